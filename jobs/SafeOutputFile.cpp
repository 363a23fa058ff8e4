#include "SafeOutputFile.h"

#include "SoundReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
/// The process's umask, read once at load: reading it means setting it, which
/// would change it for a moment under the threads of a batch.
mode_t readUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}
const mode_t sUmask = readUmask();

QByteArray local(const std::string& path)
{
    return QFile::encodeName(QString::fromStdString(path));
}

QString extensionOf(const std::string& path)
{
    const char* suffix = SoundReader::fileExtension(path.c_str());
    return suffix ? QString::fromUtf8(suffix) : QString();
}
} // namespace

std::string SafeOutputFile::check(const std::string& path, const std::vector<std::string>& inputs, bool overwrite,
                                  const std::string& overwriteHint, Kind kind)
{
    struct stat out;
    if (::stat(local(path).constData(), &out) != 0)
        return std::string();
    const QString name = QString::fromStdString(path);
    for (const std::string& input : inputs) {
        struct stat in;
        if (input != "-" && ::stat(local(input).constData(), &in) == 0 && in.st_dev == out.st_dev
            && in.st_ino == out.st_ino)
            return (kind == SplitPart
                        ? QString("%1 : a file of the split would be the input file %2; choose another output name")
                        : QString("%1 : the output is the input file %2; choose another output name"))
                .arg(name, QString::fromStdString(input))
                .toStdString();
    }
    if (!overwrite)
        return QString("%1 : the file exists; use %2 to replace it")
            .arg(name, QString::fromStdString(overwriteHint))
            .toStdString();
    if (S_ISDIR(out.st_mode))
        return QString("%1 : is a folder").arg(name).toStdString();
    return std::string();
}

std::string SafeOutputFile::makeTemporary(const std::string& path, std::string& error)
{
    // In the output's own folder, so that the final rename stays on one file
    // system and never copies.
    const QFileInfo info(QString::fromStdString(path));
    const QString suffix = extensionOf(path);
    QByteArray name = QFile::encodeName(info.dir().filePath("." + info.completeBaseName() + ".tevo-XXXXXX" + suffix));
    const int fd = mkstemps(name.data(), static_cast<int>(QFile::encodeName(suffix).size()));
    if (fd < 0) {
        error = QString("%1 : cannot write in this folder: %2")
                    .arg(QString::fromStdString(path), std::strerror(errno))
                    .toStdString();
        return std::string();
    }
    ::close(fd);
    return QFile::decodeName(name).toStdString();
}

bool SafeOutputFile::putInPlace(const std::string& temp, const std::string& path, std::string& error)
{
    // mkstemps made the file private; the result gets what any new file gets.
    const QByteArray tempName = local(temp);
    ::chmod(tempName.constData(), 0666 & ~sUmask);
    if (::rename(tempName.constData(), local(path).constData()) != 0) {
        error = QString("%1 : cannot put the result in place: %2")
                    .arg(QString::fromStdString(path), std::strerror(errno))
                    .toStdString();
        return false;
    }
    return true;
}

std::string SafeOutputFile::keepPartial(const std::string& temp, const std::string& path)
{
    const QFileInfo info(QString::fromStdString(path));
    const QString suffix = extensionOf(path);
    for (int n = 1; n < 1000; ++n) {
        const QString partial = info.dir().filePath(info.completeBaseName() + ".partial"
                                                    + (n > 1 ? QString("-%1").arg(n) : QString()) + suffix);
        // link() fails on an existing name, where rename would replace it.
        if (::link(local(temp).constData(), QFile::encodeName(partial).constData()) == 0)
            return partial.toStdString();
        if (errno != EEXIST)
            break;
    }
    return std::string();
}
