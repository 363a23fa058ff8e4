#include "AppCommon.h"
#include "CommandRegistry.h"
#include "DemoRecording.h"

#include "SoundAlgoBypass.h"
#include "SoundAlgoScale.h"
#include "SoundBuffer.h"
#include "SoundWriterSndfile.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdio>

using namespace AppCommon;

namespace {

constexpr unsigned kRate = 44100;
constexpr double kSeconds = 50.0;
// Blocks of 16k frames keep every step small in memory; a step that needs
// another size (level) sets its own, and the next step starts afresh.
constexpr unsigned kDemoBlockFrames = 1u << 14;

/// Writes the synthesised recording as 16-bit WAV; false with the error printed.
bool writeRecording(const QString& path)
{
    SoundWriterSndfile writer(kRate, 2, SoundTools::PCM16, SoundWriterSndfile::WAV);
    const QByteArray name = path.toUtf8();
    if (writer.open(name.constData()) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(writer.getError()));
        return false;
    }
    // Synthesised and written block by block: the whole recording in doubles
    // would take 35 MB, more than the rest of the demo together.
    DemoRecording recording(kRate, kSeconds);
    auto buffer = SoundBuffer::createNew(kRate);
    buffer->alloc(kDemoBlockFrames, 2, 1, 1);
    bool failed = false;
    for (std::size_t first = 0; first < recording.frames() && !failed; first += kDemoBlockFrames) {
        buffer->setOrigin(static_cast<int>(first));
        buffer->setFrameNB(static_cast<unsigned>(recording.next(buffer->getRelFrame(0), kDemoBlockFrames)));
        failed = writer.writeBuffer(buffer, 0);
    }
    writer.close();
    if (failed) {
        printError(QString::fromUtf8(writer.getError()));
        return false;
    }
    return true;
}

/// Runs `node` from `in` into `out` quietly; false with the error printed.
bool runJob(SoundAlgo* stage, const QString& in, const QString& out, SoundTools::SoundFormat format)
{
    NodePtr node(stage);
    auto reader = openReader(in);
    if (!reader)
        return false;
    auto writer = openWriter(out, reader->getSampleRate(), format);
    if (!writer)
        return false;
    const SoundTools::Status status = node->processAll(*reader, writer.get());
    writer->close();
    if (status != SoundTools::StatusOk) {
        printError(QString::fromUtf8(node->getError()));
        return false;
    }
    std::printf("  wrote %s\n", qPrintable(out));
    return true;
}

bool demoFiles(CommandRegistry::DemoContext& demo)
{
    const QDir dir(demo.dir);
    bool ok = runJob(new SoundAlgoBypass(), demo.recording, dir.filePath("recording.flac"), SoundTools::PCM24);
    ok = runJob(new SoundAlgoBypass(), demo.recording, dir.filePath("recording.ogg"), SoundTools::PCM16) && ok;
    ok = runJob(new SoundAlgoScale(-6.0), demo.recording, dir.filePath("recording-6dB.wav"), SoundTools::PCM16) && ok;
    return ok;
}

const bool fileStep = CommandRegistry::addDemoStep({100, "File copies and a gain of -6 dB", demoFiles});

int runDemo(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Synthesises a 50 s stereo test recording (speech-like bursts at several levels, pauses with a low "
        "noise floor, a few loud peaks), writes it into DIR and runs every job of the library on it.");
    parser.addPositionalArgument("DIR", "Output folder (default ./tevo-demo).", "[DIR]");
    parser.addOption({"synth-only", "Only write the recording."});
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, -1, "", exitCode))
        return exitCode;
    if (parser.positionalArguments().size() > 1) {
        printError("expected at most one DIR");
        return ExitUsage;
    }
    const QString dirPath = parser.positionalArguments().value(0, "tevo-demo");
    if (!QDir().mkpath(dirPath)) {
        printError(QString("%1 : cannot create the folder").arg(dirPath));
        return ExitFailure;
    }
    // The folder is the demo's own: a second run replaces what the first wrote.
    settings().overwrite = true;
    CommandRegistry::DemoContext demo;
    demo.dir = QDir(dirPath).absolutePath();
    demo.recording = QDir(demo.dir).filePath("recording.wav");
    std::printf("Synthesising the test recording (%.0f s, stereo, %u Hz)\n", kSeconds, kRate);
    if (!writeRecording(demo.recording))
        return ExitFailure;
    std::printf("  wrote %s\n", qPrintable(demo.recording));
    if (parser.isSet("synth-only"))
        return ExitOk;

    for (const auto& step : CommandRegistry::demoSteps()) {
        std::printf("\n== %s\n", qPrintable(step.title));
        std::fflush(stdout);
        SoundBuffer::setDefaultSize(kDemoBlockFrames);
        if (!step.run(demo)) {
            ++demo.failures;
            std::printf("  (this step failed)\n");
        }
        std::fflush(stdout);
    }
    std::printf("\nDemo finished in %s: %d step(s) failed.\n", qPrintable(demo.dir), demo.failures);
    return demo.failures == 0 ? ExitOk : ExitFailure;
}

const bool registered = CommandRegistry::add({"demo", "Run every job of the library on a built-in recording.", runDemo});

} // namespace
