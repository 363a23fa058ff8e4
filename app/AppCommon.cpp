#include "AppCommon.h"

#include "SoundReaderSndfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <algorithm>
#include <atomic>
#include <limits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace AppCommon {

Settings& settings()
{
    static Settings current;
    return current;
}

void addOutputOptions(QCommandLineParser& parser)
{
    parser.addOption({"format", "Sample format of the output: pcm8, pcm16, pcm24, pcm32, float32, float64 "
                                "(default: as the input; MP3 and Ogg inputs give pcm16).",
                      "FORMAT"});
    parser.addOption({"channels", "Channels of the output: 1 or 2 (default: as the input, 2 for wider inputs).",
                      "N"});
    parser.addOption({"no-dither", "Round without dither when the output has fewer bits than the input."});
    parser.addOption({{"y", "overwrite"}, "Replace an existing output file."});
    parser.addOption({"type", "Container of '-' (standard input or output): wav, flac, ogg, opus, aiff, mp3, raw "
                              "(default: standard input by its content, standard output wav).",
                      "TYPE"});
    parser.addOption({"start", "Start reading the input at TIME (seconds or [[hh:]mm:]ss[.mmm]).", "TIME", "0"});
    parser.addOption({"range", "Write only the part FROM,TO of the input (times as for --start; also 'FROM TO').",
                      "FROM,TO"});
}

bool toSeconds(const QString& text, double& seconds)
{
    const QStringList parts = text.trimmed().split(':');
    if (parts.size() > 3)
        return false;
    double total = 0;
    for (int i = 0; i < parts.size(); ++i) {
        double value = 0;
        const bool last = i == parts.size() - 1;
        // Every field but the last is a whole number; minutes and seconds
        // after the first field stay below 60.
        if (!toNumber(parts[i], value) || (!last && (value != std::floor(value) || parts[i].contains('.'))))
            return false;
        if (i > 0 && (value < 0 || value >= 60))
            return false;
        if (parts.size() > 1 && value < 0)
            return false;
        total = total * 60 + value;
    }
    seconds = total;
    return std::isfinite(seconds);
}

void addJsonOption(QCommandLineParser& parser)
{
    parser.addOption({"json", "Print the results as one JSON object (times in seconds, levels in dB)."});
}

void printJson(const QJsonObject& object)
{
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

void printWarning(const QString& message)
{
    if (!settings().quiet)
        std::fprintf(stderr, "tevo: warning: %s\n", qPrintable(message));
}

void followInput(OutputOptions& options, SoundReader& reader)
{
    if (!options.formatSet)
        options.format = reader.getInputFormat();
    const unsigned channels = reader.getFileChannels();
    if (options.channels == 0)
        options.channels = channels == 1 ? 1 : 2;
    if (channels > 2)
        printWarning(QString("the input has %1 channels: only channels 1 and 2 are read, channel%2 %3 dropped")
                         .arg(channels)
                         .arg(channels > 3 ? "s" : "")
                         .arg(channels > 3 ? QString("3 to %1 are").arg(channels) : QString("3 is")));
}

bool toNumber(const QString& text, double& value)
{
    bool ok = false;
    value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(value);
}

bool parseOutputOptions(const QCommandLineParser& parser, OutputOptions& options, QString& error)
{
    static const struct {
        const char* name;
        SoundTools::SoundFormat format;
    } formats[] = {{"pcm8", SoundTools::PCM8},       {"pcm16", SoundTools::PCM16},
                   {"pcm24", SoundTools::PCM24},     {"pcm32", SoundTools::PCM32},
                   {"float32", SoundTools::Float32}, {"float64", SoundTools::Float64}};
    const QString format = parser.isSet("format") ? parser.value("format").toLower() : QString("pcm16");
    options.formatSet = parser.isSet("format");
    bool known = false;
    for (const auto& f : formats)
        if (format == f.name) {
            options.format = f.format;
            known = true;
        }
    if (!known) {
        error = QString("unknown format '%1' (pcm8, pcm16, pcm24, pcm32, float32, float64)").arg(format);
        return false;
    }
    if (parser.isSet("channels")) {
        const QString value = parser.value("channels");
        if (value != "1" && value != "2") {
            error = QString("--channels needs 1 or 2, not '%1'").arg(value);
            return false;
        }
        options.channels = value.toUInt();
    }
    options.dither = !parser.isSet("no-dither");
    if (!toSeconds(parser.value("start"), options.start) || options.start < 0) {
        error = QString("--start needs a time >= 0 (seconds or [[hh:]mm:]ss[.mmm]), not '%1'").arg(parser.value("start"));
        return false;
    }
    if (parser.isSet("range")) {
        QStringList parts = parser.value("range").split(QRegExp("[, ]"), Qt::SkipEmptyParts);
        if (parts.size() != 2 || !toSeconds(parts[0], options.rangeFrom) || !toSeconds(parts[1], options.rangeTo)
            || options.rangeFrom < 0 || options.rangeTo <= options.rangeFrom) {
            error = QString("--range needs FROM,TO (seconds or [[hh:]mm:]ss[.mmm]) with 0 <= FROM < TO, not '%1'")
                        .arg(parser.value("range"));
            return false;
        }
        options.hasRange = true;
    }
    return true;
}

bool parseCommandLine(QCommandLineParser& parser, const QStringList& args, int expectedPositionals,
                      const QString& positionalsHelp, int& exitCode)
{
    parser.addHelpOption();
    parser.addOption({{"q", "quiet"}, "No progress and no warnings on standard error (errors still show)."});
    parser.addOption({{"v", "verbose"}, "More detail on standard error, Qt's own messages included."});
    // "--range FROM TO": fold the second number into the option's value so the
    // parser sees one value.
    QStringList folded;
    for (int i = 1; i < args.size(); ++i) {
        if (i == 1) {
            folded << QString("%1 %2").arg(args[0], args[1]);
            continue;
        }
        if (args[i] == "--range" && i + 2 < args.size()) {
            double a, b;
            if (toSeconds(args[i + 1], a) && toSeconds(args[i + 2], b) && !args[i + 1].contains(',')) {
                folded << args[i] << args[i + 1] + "," + args[i + 2];
                i += 2;
                continue;
            }
        }
        folded << args[i];
    }
    if (!parser.parse(folded)) {
        printError(parser.errorText());
        exitCode = ExitUsage;
        return false;
    }
    const QString command = args.size() > 1 ? args[1] : QString();
    if (parser.isSet("help")) {
        std::fputs(qPrintable(helpText(parser, command)), stdout);
        exitCode = ExitOk;
        return false;
    }
    const int count = parser.positionalArguments().size();
    if (expectedPositionals >= 0 && count != expectedPositionals) {
        printError(QString("expected %1").arg(positionalsHelp));
        std::fputs(qPrintable(helpText(parser, command)), stderr);
        exitCode = ExitUsage;
        return false;
    }
    Settings& s = settings();
    s.quiet = parser.isSet("quiet");
    s.verbose = parser.isSet("verbose");
    const QStringList names = parser.optionNames();
    s.overwrite = names.contains("y") || names.contains("overwrite");
    if (names.contains("type")) {
        s.type = parser.value("type").toLower();
        static const QStringList types = {"wav", "flac", "ogg", "opus", "aiff", "mp3", "raw"};
        if (!types.contains(s.type)) {
            printError(QString("--type needs one of %1, not '%2'").arg(types.join(", "), parser.value("type")));
            exitCode = ExitUsage;
            return false;
        }
    }
    return true;
}

QString helpText(const QCommandLineParser& parser, const QString& command)
{
    QString text = parser.helpText();
    // Qt names the program by its path; users type "tevo COMMAND".
    const int end = text.indexOf(" [options]");
    if (text.startsWith("Usage: ") && end > 0)
        text.replace(7, end - 7, "tevo " + command);
    return text;
}

namespace {

/// Temporary output names and the names users gave, so that messages show
/// the latter.
QList<QPair<QString, QString>>& shownNames()
{
    static QList<QPair<QString, QString>> names;
    return names;
}

QString userNames(QString text)
{
    for (const auto& names : shownNames())
        text.replace(names.first, names.second);
    return text;
}

// The temporary output to remove when tevo is interrupted outside a run
// (inside one, the run stops and the output is settled normally).
char sTempToRemove[4096];
void onInterrupt(int);

} // namespace

void printError(const QString& message)
{
    std::fprintf(stderr, "tevo: %s\n", qPrintable(userNames(message)));
}

namespace {

/// Temporary files that go when tevo exits: standard input kept for reading
/// (commands read their input more than once).
struct TemporaryFiles {
    QStringList paths;
    ~TemporaryFiles()
    {
        for (const QString& path : paths)
            QFile::remove(path);
    }
};
TemporaryFiles& temporaryFiles()
{
    static TemporaryFiles files;
    return files;
}

QString temporaryFolder()
{
    const QByteArray dir = qgetenv("TMPDIR");
    return dir.isEmpty() ? QString("/tmp") : QString::fromLocal8Bit(dir);
}

/// A new, empty file named `prefix`XXXXXX`suffix`; "" on failure.
QString makeTemporary(const QString& prefix, const QString& suffix)
{
    QByteArray name = QFile::encodeName(prefix + "XXXXXX" + suffix);
    const int fd = mkstemps(name.data(), static_cast<int>(QFile::encodeName(suffix).size()));
    if (fd < 0)
        return QString();
    ::close(fd);
    return QFile::decodeName(name);
}

bool copyStream(int from, int to)
{
    std::vector<char> chunk(1 << 16);
    for (;;) {
        const ssize_t n = ::read(from, chunk.data(), chunk.size());
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, chunk.data() + done, size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += w;
        }
    }
}

/// Standard input copied into a temporary file, once per run.
QString spoolStandardInput()
{
    static QString spooled;
    if (!spooled.isEmpty())
        return spooled;
    const QString type = settings().type;
    const QString path = makeTemporary(temporaryFolder() + "/tevo-stdin-", type.isEmpty() ? QString() : "." + type);
    if (path.isEmpty()) {
        printError(QString("cannot keep standard input in %1: %2").arg(temporaryFolder(), std::strerror(errno)));
        return QString();
    }
    temporaryFiles().paths << path;
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_TRUNC);
    const bool ok = fd >= 0 && copyStream(STDIN_FILENO, fd);
    const int error = errno;
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        printError(QString("cannot keep standard input in %1: %2").arg(path, std::strerror(errno)));
        return QString();
    }
    if (!ok) {
        printError(QString("cannot read standard input: %1").arg(std::strerror(error)));
        return QString();
    }
    spooled = path;
    return spooled;
}

int sStdoutFd = STDOUT_FILENO;

/// Where audio for standard output goes once results were moved aside.
int stdoutFd()
{
    return sStdoutFd;
}

/// Bits of a sample format, float formats by their width.
unsigned formatBits(SoundTools::SoundFormat format)
{
    switch (format) {
    case SoundTools::PCM8: return 8;
    case SoundTools::PCM16: return 16;
    case SoundTools::PCM24: return 24;
    case SoundTools::PCM32:
    case SoundTools::Float32: return 32;
    case SoundTools::Float64: return 64;
    }
    return 16;
}

/// Renames a finished temporary file over its final name.
bool putInPlace(const QString& temp, const QString& finalPath)
{
    // A new file gets the permissions any new file would get.
    const QByteArray tempName = QFile::encodeName(temp);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(tempName.constData(), 0666 & ~mask);
    if (::rename(tempName.constData(), QFile::encodeName(finalPath).constData()) != 0) {
        const int error = errno;
        printError(QString("%1 : cannot put the result in place: %2").arg(finalPath, std::strerror(error)));
        return false;
    }
    return true;
}

/// Keeps the part done before a stop under a name that says so, never over
/// an existing file, and says where.
void keepPartial(const QString& temp, const QString& finalPath)
{
    const QFileInfo info(finalPath);
    const QString suffix = QString::fromUtf8(SoundReader::fileExtension(finalPath.toUtf8().constData()));
    for (int n = 1; n < 1000; ++n) {
        const QString partial = info.dir().filePath(info.completeBaseName() + ".partial"
                                                    + (n > 1 ? QString("-%1").arg(n) : QString()) + suffix);
        if (::link(QFile::encodeName(temp).constData(), QFile::encodeName(partial).constData()) == 0) {
            std::fprintf(stderr, "tevo: the part processed before the stop is in %s\n", qPrintable(partial));
            return;
        }
        if (errno != EEXIST)
            break;
    }
}

} // namespace

std::unique_ptr<SoundReader> openReader(const QString& name, double startSeconds)
{
    QString path = name;
    if (name == "-") {
        path = spoolStandardInput();
        if (path.isEmpty())
            return nullptr;
    }
    const QByteArray utf8 = path.toUtf8();
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(utf8.constData()));
    if (!reader) {
        if (name == "-")
            printError("standard input : not a sound file tevo reads (WAV, FLAC, Ogg, Opus, AIFF, MP3; --type raw "
                       "for headerless 32-bit float)");
        else if (!QFileInfo::exists(name))
            printError(QString("%1 : no such file").arg(name));
        else
            printError(QString("%1 : not a sound file tevo reads (by content: WAV, FLAC, Ogg, Opus, AIFF, MP3; by "
                               "name: .wav, .wave, .flac, .ogg, .oga, .opus, .aif, .aiff, .mp3, .raw)")
                           .arg(name));
        return nullptr;
    }
    if (reader->open(utf8.constData()) != SoundTools::StatusOk) {
        QString text = QString::fromUtf8(reader->getError());
        if (name == "-")
            text.replace(path, "standard input");
        printError(text);
        return nullptr;
    }
    reader->setStartPoint(startSeconds);
    reader->rewind();
    return reader;
}

std::unique_ptr<SoundWriter> openWriter(const QString& path, unsigned sampleRate, SoundTools::SoundFormat format,
                                        unsigned bitrate)
{
    OutputOptions options;
    options.format = format;
    options.dither = false;
    return openWriter(path, sampleRate, options, format, bitrate);
}

std::unique_ptr<SoundWriter> openWriter(const QString& path, unsigned sampleRate, const OutputOptions& options,
                                        SoundTools::SoundFormat sourceFormat, unsigned bitrate, int mp3Quality)
{
    const QByteArray utf8 = path.toUtf8();
    std::unique_ptr<SoundWriter> writer(
        SoundWriter::getFromFilename(utf8.constData(), sampleRate, bitrate, options.format, mp3Quality));
    if (!writer) {
        printError(QString("%1 : unknown output type; the name must end in %2")
                       .arg(path, SoundWriter::writableExtensions()));
        return nullptr;
    }
    if (options.channels != 0 && !writer->setFileChannels(options.channels)) {
        printError(QString("%1 : this output cannot have %2 channel(s)").arg(path).arg(options.channels));
        return nullptr;
    }
    const unsigned bits = writer->getFileBits();
    writer->setDither(options.dither && bits != 0 && bits < formatBits(sourceFormat));
    if (writer->open(utf8.constData()) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(writer->getError()));
        return nullptr;
    }
    return writer;
}

static QString clockText(double seconds)
{
    // mm:ss.mmm, or h:mm:ss.mmm from an hour on: the forms --start accepts.
    const int64_t millis = static_cast<int64_t>(std::floor(seconds * 1000.0 + 0.5));
    const QString minutes = QString("%1:%2.%3")
                                .arg((millis / 60000) % 60, 2, 10, QChar('0'))
                                .arg((millis / 1000) % 60, 2, 10, QChar('0'))
                                .arg(millis % 1000, 3, 10, QChar('0'));
    return millis >= 3600000 ? QString("%1:%2").arg(millis / 3600000).arg(minutes) : minutes;
}

int checkStartAndRange(SoundReader& reader, const OutputOptions& options)
{
    const double rate = reader.getSampleRate();
    if (rate <= 0)
        return ExitOk;
    // A stream that does not announce its length is read to its end.
    if (auto* sndfile = dynamic_cast<SoundReaderSndfile*>(&reader))
        if (sndfile->lengthUnknown())
            return ExitOk;
    const double length = double(reader.getFrameNB()) / rate;
    const int64_t frames = reader.getFrameNB();
    // In 64 bits: a start point of hours is billions of frames.
    const int64_t start = static_cast<int64_t>(std::floor(options.start * rate + 0.5));
    if (options.start > 0 && start >= frames) {
        printError(QString("the start point %1 is past the end of the file (%2)")
                       .arg(clockText(options.start), clockText(length)));
        return ExitUsage;
    }
    if (options.hasRange) {
        const int64_t from = std::max<int64_t>(start, static_cast<int64_t>(std::floor(options.rangeFrom * rate + 0.5)));
        if (from >= frames) {
            printError(QString("the range %1-%2 is past the end of the file (%3)")
                           .arg(clockText(options.rangeFrom), clockText(options.rangeTo), clockText(length)));
            return ExitUsage;
        }
    }
    return ExitOk;
}

OutputFile::~OutputFile()
{
    if (!tempPath.isEmpty())
        QFile::remove(tempPath);
}

int OutputFile::prepare(const QString& path, const QStringList& inputs)
{
    finalPath = path;
    toStdout = path == "-";
    Settings& s = settings();
    if (toStdout) {
        if (isatty(STDOUT_FILENO)) {
            printError("standard output is a terminal: redirect it to a file or a pipe to write audio there");
            return ExitUsage;
        }
        // From here on the audio owns standard output: everything that would
        // be printed there (results, the library's reports) goes to standard
        // error instead.
        if (!s.audioOnStdout) {
            std::fflush(stdout);
            sStdoutFd = ::dup(STDOUT_FILENO);
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
            s.audioOnStdout = true;
        }
        return ExitOk;
    }
    if (!SoundWriter::isWritableName(path.toUtf8().constData())) {
        printError(QString("%1 : unknown output type; the name must end in %2")
                       .arg(path, SoundWriter::writableExtensions()));
        return ExitUsage;
    }
    struct stat out;
    if (::stat(QFile::encodeName(path).constData(), &out) != 0)
        return ExitOk;
    for (const QString& input : inputs) {
        struct stat in;
        if (input != "-" && ::stat(QFile::encodeName(input).constData(), &in) == 0 && in.st_dev == out.st_dev
            && in.st_ino == out.st_ino) {
            printError(QString("%1 : the output is the input file %2; choose another output name").arg(path, input));
            return ExitUsage;
        }
    }
    if (!s.overwrite) {
        printError(QString("%1 : the file exists; use -y (--overwrite) to replace it").arg(path));
        return ExitUsage;
    }
    if (S_ISDIR(out.st_mode)) {
        printError(QString("%1 : is a folder").arg(path));
        return ExitUsage;
    }
    return ExitOk;
}

QString OutputFile::writePath()
{
    if (!tempPath.isEmpty())
        return tempPath;
    if (toStdout) {
        const QString type = settings().type.isEmpty() ? QString("wav") : settings().type;
        tempPath = makeTemporary(temporaryFolder() + "/tevo-stdout-", "." + type);
        if (tempPath.isEmpty())
            printError(QString("cannot make a temporary file in %1: %2").arg(temporaryFolder(), std::strerror(errno)));
        else
            shownNames().append({tempPath, "standard output"});
        return tempPath;
    }
    // In the output's own folder, so that the final rename stays on one file
    // system and never copies.
    const QFileInfo info(finalPath);
    const QString suffix = QString::fromUtf8(SoundReader::fileExtension(finalPath.toUtf8().constData()));
    tempPath = makeTemporary(info.dir().filePath("." + info.completeBaseName() + ".tevo-"), suffix);
    if (tempPath.isEmpty()) {
        printError(QString("%1 : cannot write in this folder: %2").arg(finalPath, std::strerror(errno)));
        return tempPath;
    }
    shownNames().append({tempPath, finalPath});
    const QByteArray encoded = QFile::encodeName(tempPath);
    if (size_t(encoded.size()) < sizeof sTempToRemove) {
        std::memcpy(sTempToRemove, encoded.constData(), size_t(encoded.size()) + 1);
        struct sigaction action = {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    return tempPath;
}

int OutputFile::finish(int exitCode)
{
    if (tempPath.isEmpty())
        return exitCode;
    sTempToRemove[0] = '\0';
    const QByteArray temp = QFile::encodeName(tempPath);
    if (exitCode == ExitOk && toStdout) {
        const int fd = ::open(temp.constData(), O_RDONLY);
        const bool ok = fd >= 0 && copyStream(fd, stdoutFd());
        if (fd >= 0)
            ::close(fd);
        QFile::remove(tempPath);
        tempPath.clear();
        if (!ok) {
            printError(QString("cannot write to standard output: %1").arg(std::strerror(errno)));
            return ExitFailure;
        }
        return exitCode;
    }
    if (exitCode == ExitOk) {
        const bool ok = putInPlace(tempPath, finalPath);
        tempPath.clear();
        return ok ? exitCode : ExitFailure;
    }
    if (exitCode == ExitStopped && !toStdout)
        keepPartial(tempPath, finalPath);
    QFile::remove(tempPath);
    tempPath.clear();
    return exitCode;
}

SegmentOutputs::~SegmentOutputs()
{
    for (const Segment& segment : segments)
        QFile::remove(segment.temp);
}

int SegmentOutputs::prepare(const SoundWriterMultiFile& writer, const QStringList& inputs)
{
    // Segment names are known in advance; any of them may come up.
    for (int n = 1; n <= 999; ++n) {
        const QString name = QString::fromStdString(writer.getSegmentName(n));
        struct stat out;
        if (::stat(QFile::encodeName(name).constData(), &out) != 0)
            continue;
        for (const QString& input : inputs) {
            struct stat in;
            if (input != "-" && ::stat(QFile::encodeName(input).constData(), &in) == 0 && in.st_dev == out.st_dev
                && in.st_ino == out.st_ino) {
                printError(QString("%1 : a file of the split would be the input file %2; choose another output name")
                               .arg(name, input));
                return ExitUsage;
            }
        }
        if (!settings().overwrite) {
            printError(QString("%1 : the file exists; use -y (--overwrite) to replace it").arg(name));
            return ExitUsage;
        }
    }
    return ExitOk;
}

std::string SegmentOutputs::openPath(const std::string& name)
{
    const QString finalName = QString::fromStdString(name);
    const QFileInfo info(finalName);
    const QString suffix = QString::fromUtf8(SoundReader::fileExtension(name.c_str()));
    const QString temp = makeTemporary(info.dir().filePath("." + info.completeBaseName() + ".tevo-"), suffix);
    if (temp.isEmpty())
        return name + ".tevo-tmp"; // the writer reports why it cannot open it
    shownNames().append({temp, finalName});
    segments.push_back({finalName, temp, false});
    return temp.toStdString();
}

void SegmentOutputs::closed(const std::string&, const std::string& path, bool complete)
{
    for (Segment& segment : segments)
        if (segment.temp.toStdString() == path)
            segment.complete = complete;
}

int SegmentOutputs::finish(int exitCode)
{
    bool ok = true;
    for (size_t i = 0; i < segments.size(); ++i) {
        const Segment& segment = segments[i];
        const bool last = i + 1 == segments.size();
        if (exitCode == ExitOk && segment.complete)
            ok = putInPlace(segment.temp, segment.name) && ok;
        else if (exitCode == ExitStopped && segment.complete && !last)
            ok = putInPlace(segment.temp, segment.name) && ok;
        else if (exitCode == ExitStopped && last)
            keepPartial(segment.temp, segment.name);
        QFile::remove(segment.temp);
    }
    segments.clear();
    return ok ? exitCode : ExitFailure;
}

void applyRange(SoundWriter& writer, const OutputOptions& options, SoundReader& reader)
{
    const unsigned rate = reader.getSampleRate();
    int from = reader.getOffset();
    int to = std::numeric_limits<int>::max();
    if (options.hasRange) {
        from = std::max(from, SoundTools::secondsToFrames(options.rangeFrom, rate));
        to = SoundTools::secondsToFrames(options.rangeTo, rate);
    }
    writer.setRange(from, std::max(from, to));
}

static std::atomic<SoundAlgo*> sRunningNode{nullptr};

namespace {
void onInterrupt(int)
{
    // pleaseStop only stores an atomic flag, which is safe in a signal
    // handler; so are unlink and _exit.
    if (SoundAlgo* node = sRunningNode.load()) {
        node->pleaseStop();
        return;
    }
    if (sTempToRemove[0] != '\0')
        ::unlink(sTempToRemove);
    ::_exit(ExitStopped);
}
} // namespace

int runWithProgress(SoundAlgo& node, SoundReader& reader, SoundWriter* writer, const QString& what)
{
    ProgressPrinter progress(what);
    QObject::connect(&node, &SoundAlgo::notifyBegin, &progress, &ProgressPrinter::onBegin, Qt::DirectConnection);
    QObject::connect(&node, &SoundAlgo::notifyInProgress, &progress, &ProgressPrinter::onProgress,
                     Qt::DirectConnection);
    sRunningNode.store(&node);
    struct sigaction action = {}, previousInt = {}, previousTerm = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);

    const SoundTools::Status status = node.processAll(reader, writer);

    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    sRunningNode.store(nullptr);
    progress.finish();
    QObject::disconnect(&node, nullptr, &progress, nullptr);

    if (writer != nullptr) {
        writer->close();
        if ((status == SoundTools::StatusOk || status == SoundTools::StatusEnd) && writer->closeFailed()) {
            printError(QString::fromUtf8(writer->getError()));
            return ExitFailure;
        }
        if (const uint64_t clipped = writer->getClippedSamples())
            printWarning(QString("%1 sample(s) lay beyond full scale and were clipped in the output (lower the "
                                 "level, or write float with --format float32)")
                             .arg(clipped));
    }
    switch (status) {
    case SoundTools::StatusOk:
    case SoundTools::StatusEnd:
        return ExitOk;
    case SoundTools::StatusStopped:
        printError(QString("%1 stopped on request").arg(what));
        return ExitStopped;
    default: {
        QString text = QString::fromUtf8(node.getError());
        if (text.isEmpty())
            text = QString("%1 failed while setting up the processing graph (%2)").arg(what, node.getName());
        printError(text);
        return ExitFailure;
    }
    }
}

ProgressPrinter::ProgressPrinter(const QString& l)
    : label(l)
    , tty(isatty(fileno(stderr)) != 0)
{
}

void ProgressPrinter::onBegin(unsigned int total)
{
    if (settings().quiet)
        return;
    if (!tty)
        std::fprintf(stderr, "%s: %u frames to process\n", qPrintable(label), total);
}

void ProgressPrinter::onProgress(unsigned int done, unsigned int total)
{
    if (settings().quiet)
        return;
    const int percent = total == 0 ? 100 : static_cast<int>(std::min<double>(100.0, 100.0 * done / total));
    if (percent == lastPercent)
        return;
    lastPercent = percent;
    if (tty) {
        const int width = 40;
        const int filled = percent * width / 100;
        std::fprintf(stderr, "\r%s [%s%s] %3d%%", qPrintable(label), std::string(filled, '#').c_str(),
                     std::string(width - filled, ' ').c_str(), percent);
        std::fflush(stderr);
    } else if (percent % 10 == 0 || percent == 100) {
        std::fprintf(stderr, "%s: %d%%\n", qPrintable(label), percent);
    }
}

void ProgressPrinter::finish()
{
    if (tty && lastPercent >= 0)
        std::fprintf(stderr, "\n");
}

} // namespace AppCommon
