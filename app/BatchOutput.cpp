#include "BatchOutput.h"

#include "AppCommon.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

/// DIR/NAME.partial, DIR/NAME.partial-2, ... for a stopped split's folder.
QString keptPartialFolder(const QString& temp, const QString& finalPath)
{
    for (int n = 1; n < 1000; ++n) {
        const QString partial = finalPath + ".partial" + (n > 1 ? QString("-%1").arg(n) : QString());
        if (QFileInfo::exists(partial))
            continue;
        return QDir().rename(temp, partial) ? partial : QString();
    }
    return QString();
}

/// Moves the parts of a finished split into its folder.
bool putFolderInPlace(const QString& temp, const QString& finalPath, QString& error)
{
    if (!QFileInfo::exists(finalPath)) {
        if (QDir().rename(temp, finalPath))
            return true;
        error = QString("%1 : cannot put the folder in place: %2").arg(finalPath, std::strerror(errno));
        return false;
    }
    // -y over an existing folder: part by part, what else it holds stays.
    for (const QString& name : QDir(temp).entryList(QDir::Files | QDir::Hidden))
        if (!AppCommon::putInPlace(QDir(temp).filePath(name), QDir(finalPath).filePath(name), error))
            return false;
    QDir().rmdir(temp);
    return true;
}

/// A string as it stands escaped inside JSON text, without its quotes.
QString jsonEscaped(const QString& text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(2, array.size() - 4));
}

} // namespace

BatchOutput::BatchOutput(Kind k, const QString& path)
    : kind(k)
    , finalPath(path)
    , settled(path)
{
}

BatchOutput::~BatchOutput()
{
    if (temp.isEmpty())
        return;
    if (kind == Kind::Folder)
        QDir(temp).removeRecursively();
    else
        QFile::remove(temp);
}

bool BatchOutput::create(const QString& name, const QString& extension, QString& error)
{
    if (kind == Kind::None)
        return true;
    const QString dir = QFileInfo(finalPath).path();
    const QString prefix = QDir(dir).filePath("." + name + ".tevo-");
    if (kind == Kind::File) {
        temp = writing = AppCommon::makeTemporary(prefix, "." + extension);
    } else {
        QByteArray pattern = QFile::encodeName(prefix + "XXXXXX");
        if (::mkdtemp(pattern.data()) != nullptr) {
            temp = QFile::decodeName(pattern);
            writing = QDir(temp).filePath(name + "." + extension);
        }
    }
    named = temp;
    if (temp.isEmpty())
        error = QString("%1 : cannot write in this folder: %2").arg(dir, std::strerror(errno));
    return !temp.isEmpty();
}

int BatchOutput::settle(int exitCode, QString& note, QString& error)
{
    if (kind == Kind::None)
        return exitCode;
    if (exitCode == AppCommon::ExitOk) {
        const bool ok = kind == Kind::File ? AppCommon::putInPlace(temp, finalPath, error)
                                           : putFolderInPlace(temp, finalPath, error);
        if (ok)
            temp.clear();
        return ok ? exitCode : int(AppCommon::ExitFailure);
    }
    if (exitCode != AppCommon::ExitStopped)
        return exitCode;
    // A file stopped in its analysis has written nothing worth a name.
    const bool written = kind == Kind::File ? QFileInfo(temp).size() > 0 : !QDir(temp).isEmpty(QDir::Files);
    if (!written) {
        note = "nothing written yet";
        return exitCode;
    }
    settled = kind == Kind::File ? AppCommon::keptPartial(temp, finalPath) : keptPartialFolder(temp, finalPath);
    if (settled.isEmpty())
        note = QString("the part done could not be kept beside %1: %2").arg(finalPath, std::strerror(errno));
    else
        note = QString("the part done is in %1").arg(settled);
    if (kind == Kind::Folder && !settled.isEmpty())
        temp.clear(); // renamed, nothing left to remove
    return exitCode;
}

QString BatchOutput::shown(const QString& text) const
{
    return named.isEmpty() ? text : QString(text).replace(named, settled);
}

QJsonObject BatchOutput::shown(const QJsonObject& object) const
{
    if (named.isEmpty())
        return object;
    const QString text = QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    return QJsonDocument::fromJson(QString(text).replace(jsonEscaped(named), jsonEscaped(settled)).toUtf8()).object();
}
