#include "AppCommon.h"

#include "SafeOutputFile.h"
#include "SoundReaderSndfile.h"
#include "SplitJob.h"

#include <memory>

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
#include <mutex>
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
    parser.addOption({"type", "Container of '-' (standard input or output), and of every output of a batch (-o): "
                              "wav, flac, ogg, opus, aiff, mp3, raw (default: standard input by its content, "
                              "standard output wav, a batch's outputs as their inputs).",
                      "TYPE"});
    parser.addOption({"start", "Start reading the input at TIME (seconds or [[hh:]mm:]ss[.mmm]).", "TIME", "0"});
    parser.addOption({"range", "Write only the part FROM,TO of the input (times as for --start; also 'FROM TO').",
                      "FROM,TO"});
}

bool toSeconds(const QString& text, double& seconds)
{
    return Job::parseTime(text.toStdString(), seconds);
}

bool refused(const std::string& error)
{
    if (error.empty())
        return false;
    printError(QString::fromStdString(error));
    return true;
}

void addJsonOption(QCommandLineParser& parser)
{
    parser.addOption({"json", "Print the results as one JSON object (times in seconds, levels in dB); a batch "
                              "prints one object per file, one per line: file, output, status (ok, failed, "
                              "skipped, stopped), exitCode, and result, error or note."});
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

bool toNumber(const QString& text, double& value)
{
    return Job::parseNumber(text.toStdString(), value);
}

bool parseOutputOptions(const QCommandLineParser& parser, OutputOptions& options, QString& error)
{
    std::string text;
    const bool ok = (!parser.isSet("format") || options.setFormat(parser.value("format").toStdString(), text))
        && (!parser.isSet("channels") || options.setChannels(parser.value("channels").toStdString(), text))
        && options.setStart(parser.value("start").toStdString(), text)
        && (!parser.isSet("range") || options.setRange(parser.value("range").toStdString(), text));
    options.dither = !parser.isSet("no-dither");
    error = QString::fromStdString(text);
    return ok;
}

bool parseCommandLine(QCommandLineParser& parser, const QStringList& args, int expectedPositionals,
                      const QString& positionalsHelp, int& exitCode, bool severalInputs)
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
    // With -o DIR every positional is an input; a command that writes no
    // file takes its inputs as they come.
    const QStringList given = parser.optionNames();
    const bool toFolder = severalInputs && (given.contains("o") || given.contains("output-dir"));
    const bool batch = severalInputs && count >= 1 && (toFolder || expectedPositionals == 1);
    if (expectedPositionals >= 0 && count != expectedPositionals && !batch) {
        printError(QString("expected %1").arg(positionalsHelp)
                   + (severalInputs && count > expectedPositionals ? " (several inputs go with -o DIR)" : ""));
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

/// Batch runs name temporary files from several threads.
std::mutex& shownNamesLock()
{
    static std::mutex lock;
    return lock;
}

void addShownName(const QString& temp, const QString& shown)
{
    const std::lock_guard<std::mutex> guard(shownNamesLock());
    shownNames().append({temp, shown});
}

QString userNames(QString text)
{
    const std::lock_guard<std::mutex> guard(shownNamesLock());
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

} // namespace

QString makeTemporary(const QString& prefix, const QString& suffix)
{
    QByteArray name = QFile::encodeName(prefix + "XXXXXX" + suffix);
    const int fd = mkstemps(name.data(), static_cast<int>(QFile::encodeName(suffix).size()));
    if (fd < 0)
        return QString();
    ::close(fd);
    return QFile::decodeName(name);
}

namespace {

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

/// Renames a finished temporary file over its final name, or prints why not.
bool putInPlace(const QString& temp, const QString& finalPath)
{
    QString error;
    if (AppCommon::putInPlace(temp, finalPath, error))
        return true;
    printError(error);
    return false;
}

/// Keeps the part done before a stop, as keptPartial does, and says where.
void keepPartial(const QString& temp, const QString& finalPath)
{
    const QString partial = keptPartial(temp, finalPath);
    if (!partial.isEmpty())
        std::fprintf(stderr, "tevo: the part processed before the stop is in %s\n", qPrintable(partial));
}

/// Inputs as the library takes them.
std::vector<std::string> names(const QStringList& paths)
{
    std::vector<std::string> out;
    for (const QString& path : paths)
        out.push_back(path.toStdString());
    return out;
}

} // namespace

bool putInPlace(const QString& temp, const QString& finalPath, QString& error)
{
    std::string text;
    if (SafeOutputFile::putInPlace(temp.toStdString(), finalPath.toStdString(), text))
        return true;
    error = QString::fromStdString(text);
    return false;
}

QString keptPartial(const QString& temp, const QString& finalPath)
{
    return QString::fromStdString(SafeOutputFile::keepPartial(temp.toStdString(), finalPath.toStdString()));
}

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
                                        SoundTools::SoundFormat sourceFormat, unsigned bitrate)
{
    OutputOptions withRate = options;
    withRate.bitrateKbps = bitrate;
    std::string error;
    auto writer = withRate.openWriter(path.toStdString(), sampleRate, sourceFormat, error);
    if (!writer)
        printError(QString::fromStdString(error));
    return writer;
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
    const std::string refusal = SafeOutputFile::check(path.toStdString(), names(inputs), s.overwrite, "-y (--overwrite)");
    if (!refusal.empty()) {
        printError(QString::fromStdString(refusal));
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
            addShownName(tempPath, "standard output");
        return tempPath;
    }
    std::string error;
    tempPath = QString::fromStdString(SafeOutputFile::makeTemporary(finalPath.toStdString(), error));
    if (tempPath.isEmpty()) {
        printError(QString::fromStdString(error));
        return tempPath;
    }
    addShownName(tempPath, finalPath);
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

int SegmentOutputs::prepare(const QString& pattern, const QStringList& inputs)
{
    // Segment names are known in advance; any of them may come up.
    for (int n = 1; n <= 999; ++n) {
        const QString name = QString::fromStdString(SplitJob::segmentName(pattern.toStdString(), n));
        if (name.isEmpty())
            return ExitOk;
        const std::string refusal = SafeOutputFile::check(name.toStdString(), names(inputs), settings().overwrite,
                                                          "-y (--overwrite)", SafeOutputFile::SplitPart);
        if (!refusal.empty()) {
            printError(QString::fromStdString(refusal));
            return ExitUsage;
        }
    }
    return ExitOk;
}

std::string SegmentOutputs::openPath(const std::string& name)
{
    const QString finalName = QString::fromStdString(name);
    std::string error;
    const QString temp = QString::fromStdString(SafeOutputFile::makeTemporary(name, error));
    if (temp.isEmpty())
        return name + ".tevo-tmp"; // the writer reports why it cannot open it
    addShownName(temp, finalName);
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
        else if (exitCode == ExitStopped && last) {
            partial = keptPartial(segment.temp, segment.name);
            if (announce && !partial.isEmpty())
                std::fprintf(stderr, "tevo: the part processed before the stop is in %s\n", qPrintable(partial));
        }
        QFile::remove(segment.temp);
    }
    segments.clear();
    return ok ? exitCode : ExitFailure;
}

static std::atomic<Job*> sRunningJob{nullptr};
static std::atomic<std::atomic<bool>*> sInterruptFlag{nullptr};

namespace {
void onInterrupt(int)
{
    // Job::stop and the flag store only atomics, which is safe in a signal
    // handler; so are unlink and _exit.
    if (Job* job = sRunningJob.load()) {
        job->stop();
        return;
    }
    if (std::atomic<bool>* flag = sInterruptFlag.load()) {
        flag->store(true);
        return;
    }
    if (sTempToRemove[0] != '\0')
        ::unlink(sTempToRemove);
    ::_exit(ExitStopped);
}
} // namespace

InterruptScope::InterruptScope(Job* job, std::atomic<bool>* flag)
{
    sRunningJob.store(job);
    sInterruptFlag.store(flag);
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
}

InterruptScope::~InterruptScope()
{
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    sRunningJob.store(nullptr);
    sInterruptFlag.store(nullptr);
}

int runJob(Job& job, bool progress)
{
    std::unique_ptr<ProgressPrinter> printer;
    if (progress)
        job.setProgressCallback([&printer](const Job::Progress& p) {
            if (p.begin || !printer) {
                if (printer)
                    printer->finish();
                printer = std::make_unique<ProgressPrinter>(QString::fromStdString(p.stage));
                if (p.begin) {
                    printer->onBegin(static_cast<unsigned>(p.total));
                    return;
                }
            }
            printer->onProgress(static_cast<unsigned>(p.done), static_cast<unsigned>(p.total));
        });
    job.setWarningCallback([&printer](const std::string& text) {
        if (printer) {
            printer->finish();
            printer.reset();
        }
        printWarning(QString::fromStdString(text));
    });
    Job::Status status;
    {
        InterruptScope interrupt(&job);
        status = job.run();
    }
    if (printer)
        printer->finish();
    job.setProgressCallback(nullptr);
    job.setWarningCallback(nullptr);
    if (status != Job::Ok)
        printError(QString::fromStdString(job.error()));
    return status;
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
