#include "AppCommon.h"

#include "SoundReaderSndfile.h"

#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <limits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace AppCommon {

void addOutputOptions(QCommandLineParser& parser)
{
    parser.addOption({"format", "Sample format of the output: pcm8, pcm16, pcm24, pcm32, float32, float64.",
                      "FORMAT", "pcm16"});
    parser.addOption({"start", "Start reading the input at SECONDS.", "SECONDS", "0"});
    parser.addOption({"range", "Write only the part FROM,TO (seconds of the input; also 'FROM TO').", "FROM,TO"});
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
    const QString format = parser.value("format").toLower();
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
    if (!toNumber(parser.value("start"), options.start) || options.start < 0) {
        error = QString("--start needs a number of seconds >= 0, not '%1'").arg(parser.value("start"));
        return false;
    }
    if (parser.isSet("range")) {
        QStringList parts = parser.value("range").split(QRegExp("[,: ]"), Qt::SkipEmptyParts);
        if (parts.size() != 2 || !toNumber(parts[0], options.rangeFrom) || !toNumber(parts[1], options.rangeTo)
            || options.rangeFrom < 0 || options.rangeTo <= options.rangeFrom) {
            error = QString("--range needs FROM,TO in seconds with 0 <= FROM < TO, not '%1'")
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
            if (toNumber(args[i + 1], a) && toNumber(args[i + 2], b) && !args[i + 1].contains(',')) {
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
    if (parser.isSet("help")) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        exitCode = ExitOk;
        return false;
    }
    const int count = parser.positionalArguments().size();
    if (expectedPositionals >= 0 && count != expectedPositionals) {
        printError(QString("expected %1").arg(positionalsHelp));
        std::fputs(qPrintable(parser.helpText()), stderr);
        exitCode = ExitUsage;
        return false;
    }
    return true;
}

void printError(const QString& message)
{
    std::fprintf(stderr, "tevo: %s\n", qPrintable(message));
}

std::unique_ptr<SoundReader> openReader(const QString& path, double startSeconds)
{
    const QByteArray utf8 = path.toUtf8();
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(utf8.constData()));
    if (!reader) {
        printError(QString("%1 : unsupported file type (expected .wav, .flac, .ogg or .mp3)").arg(path));
        return nullptr;
    }
    if (reader->open(utf8.constData()) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(reader->getError()));
        return nullptr;
    }
    reader->setStartPoint(startSeconds);
    reader->rewind();
    return reader;
}

std::unique_ptr<SoundWriter> openWriter(const QString& path, unsigned sampleRate, SoundTools::SoundFormat format,
                                        unsigned bitrate)
{
    const QByteArray utf8 = path.toUtf8();
    std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(utf8.constData(), sampleRate, bitrate, format));
    if (!writer) {
        printError(QString("%1 : cannot choose an output format (the name needs an extension)").arg(path));
        return nullptr;
    }
    if (writer->open(utf8.constData()) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(writer->getError()));
        return nullptr;
    }
    return writer;
}

static QString clockText(double seconds)
{
    // mm:ss.mmm, hours folded into the minutes.
    const int64_t millis = static_cast<int64_t>(std::floor(seconds * 1000.0 + 0.5));
    return QString("%1:%2.%3")
        .arg(millis / 60000, 2, 10, QChar('0'))
        .arg((millis / 1000) % 60, 2, 10, QChar('0'))
        .arg(millis % 1000, 3, 10, QChar('0'));
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

static void onInterrupt(int)
{
    // pleaseStop only stores an atomic flag, which is safe in a signal handler.
    if (SoundAlgo* node = sRunningNode.load())
        node->pleaseStop();
}

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
    }
    switch (status) {
    case SoundTools::StatusOk:
    case SoundTools::StatusEnd:
        return ExitOk;
    case SoundTools::StatusStopped:
        printError(QString("%1 stopped on request; the output holds what was processed so far").arg(what));
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
    if (!tty)
        std::fprintf(stderr, "%s: %u frames to process\n", qPrintable(label), total);
}

void ProgressPrinter::onProgress(unsigned int done, unsigned int total)
{
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
