// tevo play: live playback through the audio output, with parameter changes
// typed on standard input while it plays; and the playback step of tevo demo.

#include "AppCommon.h"
#include "CommandRegistry.h"
#include "ChainStages.h"
#include "LevelJob.h"

#include "RMSStepDetector.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundBuffer.h"
#include "SoundPlayerQt.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <unistd.h>
#include <sstream>
#include <vector>

using namespace AppCommon;

namespace {

// Live playback processes a ring of blocks before the first sound and hears a
// change a ring later: with the library's default block (about 24 s) that is
// minutes; 8192 frames keep both under a second at 44.1 kHz.
constexpr unsigned kLiveBlockFrames = 8192;

const char* const kCommandsHelp = "level DB, gate DB, eq BAND freq|level|width VALUE, stop";

struct PlayOptions {
    double startSeconds = 0.0;
    bool hasLevel = false;
    double levelDb = -20.0;
    bool hasGate = false;
    double gateDb = -50.0;
    std::vector<ChainStages::EqBand> bands;
    bool verbose = false;
};

/// The graph being played and the nodes the live commands reach (owned by
/// the graph).
struct LiveGraph {
    NodePtr graph; ///< null: the file plays unchanged
    SoundAlgoFilterBiquad* equalizer = nullptr;
    SoundAlgoNoiseGate* gate = nullptr;
    SoundAlgoRMSAmplifier* amplifier = nullptr;
};

/// Equaliser, gate, then amplifier, as asked.
LiveGraph buildGraph(const PlayOptions& options)
{
    LiveGraph live;
    std::vector<SoundAlgo*> stages;
    if (!options.bands.empty()) {
        live.equalizer = new SoundAlgoFilterBiquad();
        for (const auto& band : options.bands)
            live.equalizer->pushFilter(band.type, band.freqHz, band.width, band.gainDb);
        stages.push_back(live.equalizer);
    }
    if (options.hasGate) {
        live.gate = new SoundAlgoNoiseGate(options.gateDb);
        stages.push_back(live.gate);
    }
    if (options.hasLevel) {
        // No analysis beforehand: the detector pushes its regions after every
        // block, with an absolute noise level, and the amplifier follows them.
        auto* detector = new RMSStepDetector(5.0, 2.0, -50.0, 0.2, RMSStepDetector::PassThrough, true);
        live.amplifier = new SoundAlgoRMSAmplifier(options.levelDb, detector, 0.5, 0, 20.0);
        stages.push_back(detector);
        stages.push_back(live.amplifier);
    }
    if (stages.size() == 1) {
        live.graph.reset(stages.front());
    } else if (!stages.empty()) {
        auto* chain = new SoundAlgoComposite("play", true);
        for (SoundAlgo* stage : stages)
            chain->pushAlgo(stage);
        live.graph.reset(chain);
    }
    return live;
}

std::atomic<bool> sInterrupted{false};

/// How a playback session ended.
enum class Outcome { Completed,
                     StoppedByCommand,
                     Interrupted,
                     BrokeOff,
                     StartFailed };

/// One playback: the player, the progress display, the commands of standard
/// input and Ctrl-C. Runs its own event loop until the sound has ended.
class LiveSession {
public:
    LiveSession(SoundReader& r, LiveGraph& g, bool showProgress)
        : reader(r)
        , live(g)
        , player(&r, g.graph.get())
        , progress(showProgress)
        , tty(isatty(fileno(stderr)) != 0)
    {
        player.setEqualizer(live.equalizer);
        player.setNoiseGate(live.gate);
        player.setAmplifier(live.amplifier);
    }

    /// Plays until the end, a `stop`, Ctrl-C or `limitSeconds` of sound (0:
    /// no limit). `commands`: read commands from standard input.
    Outcome run(bool commands, double limitSeconds, qint64* startedAfterMs = nullptr)
    {
        QEventLoop loop;
        Outcome outcome = Outcome::BrokeOff;
        bool requested = false;
        QObject::connect(&player, &SoundPlayer::playingProgress, [&](double seconds) {
            showProgress(seconds);
            if (limitSeconds > 0 && seconds - reader.getStartPoint() >= limitSeconds && !player.isStopped()) {
                requested = true;
                outcome = Outcome::StoppedByCommand;
                player.stop();
            }
        });
        QTimer quitTimer;
        quitTimer.setSingleShot(true);
        QObject::connect(&quitTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&player, &SoundPlayer::playingHasFinished, [&](bool completed) {
            if (completed && !requested)
                outcome = Outcome::Completed;
            // The end of the data comes before the output has played what it
            // holds; its idle state (isStopped) is the real end. Should that
            // never come, give up a little later.
            quitTimer.start(player.isStopped() ? 0 : 5000);
        });

        QSocketNotifier* input = nullptr;
        if (commands) {
            input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read);
            QObject::connect(input, &QSocketNotifier::activated, [&] {
                if (!readCommands(requested, outcome))
                    input->setEnabled(false); // end of input: play on
            });
        }
        QTimer interruptPoll;
        QObject::connect(&interruptPoll, &QTimer::timeout, [&] {
            if (sInterrupted.exchange(false) && !player.isStopped()) {
                requested = true;
                outcome = Outcome::Interrupted;
                player.stop();
            }
        });
        interruptPoll.start(100);

        QElapsedTimer clock;
        qint64 startedAfter = -1;
        QObject::connect(&player, &SoundPlayer::playingStarted, [&] {
            if (startedAfter < 0)
                startedAfter = clock.elapsed();
        });
        clock.start();
        // The player reports a failed start on the library's report stream,
        // which is standard output: catch it and say it as an error.
        std::ostringstream startReport;
        std::ostream& previousStream = SoundDebuggableClass::getOStream();
        SoundDebuggableClass::setOStream(&startReport);
        player.start();
        SoundDebuggableClass::setOStream(&previousStream);
        if (player.isStopped()) {
            QString reason = QString::fromStdString(startReport.str()).trimmed();
            if (reason.isEmpty())
                reason = "Error opening audio device";
            printError(QString("cannot play: %1 (no usable audio output; is a sound server running?)").arg(reason));
            delete input;
            return Outcome::StartFailed;
        }
        if (!startReport.str().empty())
            previousStream << startReport.str() << std::flush;
        if (startedAfterMs != nullptr)
            *startedAfterMs = startedAfter;
        loop.exec();
        delete input;
        endLine();
        return outcome;
    }

private:
    /// Reads what standard input holds and applies each whole line; false at
    /// the end of the input.
    bool readCommands(bool& requested, Outcome& outcome)
    {
        char chunk[4096];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            return true;
        if (got <= 0) {
            if (!pending.trimmed().isEmpty())
                apply(QString::fromUtf8(pending), requested, outcome);
            pending.clear();
            return false;
        }
        pending.append(chunk, static_cast<int>(got));
        for (int eol = pending.indexOf('\n'); eol >= 0; eol = pending.indexOf('\n')) {
            const QString line = QString::fromUtf8(pending.left(eol));
            pending.remove(0, eol + 1);
            apply(line, requested, outcome);
        }
        return true;
    }

    void apply(const QString& line, bool& requested, Outcome& outcome)
    {
        const QStringList words = line.simplified().split(' ', Qt::SkipEmptyParts);
        if (words.isEmpty())
            return;
        const QString command = words[0].toLower();
        double value = 0;
        if (command == "stop" && words.size() == 1) {
            requested = true;
            outcome = Outcome::StoppedByCommand;
            note("stopped");
            player.stop();
        } else if (command == "level" && words.size() == 2 && toNumber(words[1], value)) {
            if (live.amplifier == nullptr)
                return fail("no amplifier to set: start with --level to change the level while playing");
            player.setAmpLevel(value);
            note(QString("level %1 dB").arg(value));
        } else if (command == "gate" && words.size() == 2 && toNumber(words[1], value)) {
            if (live.gate == nullptr)
                return fail("no noise gate to set: start with --gate to change its threshold while playing");
            player.setGateLevel(value);
            note(QString("gate %1 dB").arg(value));
        } else if (command == "eq" && words.size() == 4) {
            applyEq(words);
        } else {
            fail(QString("unknown command '%1' (commands: %2)").arg(line.simplified(), kCommandsHelp));
        }
    }

    void applyEq(const QStringList& words)
    {
        if (live.equalizer == nullptr)
            return fail("no equaliser to set: start with --eq to change its bands while playing");
        bool ok = false;
        const unsigned band = words[1].toUInt(&ok);
        const unsigned bands = static_cast<unsigned>(bandCount);
        if (!ok || band < 1 || band > bands)
            return fail(QString("eq: BAND must be from 1 to %1 (the --eq options in order), not '%2'")
                            .arg(bands)
                            .arg(words[1]));
        const QString what = words[2].toLower();
        double value = 0;
        if (!toNumber(words[3], value))
            return fail(QString("eq: the value must be a number, not '%1'").arg(words[3]));
        if (what == "freq" && value > 0) {
            player.setEqFreq(band - 1, value);
            note(QString("eq band %1 frequency %2 Hz").arg(band).arg(value));
        } else if (what == "level") {
            player.setEqLevel(band - 1, value);
            note(QString("eq band %1 gain %2 dB").arg(band).arg(value));
        } else if (what == "width" && value > 0) {
            player.setEqWidth(band - 1, value);
            note(QString("eq band %1 width %2").arg(band).arg(value));
        } else {
            fail(QString("eq: use 'eq BAND freq HZ', 'eq BAND level DB' or 'eq BAND width W' with HZ and W above 0, "
                         "not '%1'")
                     .arg(words.join(' ')));
        }
    }

    void showProgress(double seconds)
    {
        if (!progress)
            return;
        // The output counts wall-clock time while it drains its buffer, which
        // may run past the end of the file.
        const double length = reader.getLength();
        const QString total = QString::fromStdString(SoundReader::formatLength(length));
        const QString now = QString::fromStdString(SoundReader::formatLength(std::min(seconds, length)));
        if (tty) {
            std::fprintf(stderr, "\rplaying %s / %s", qPrintable(now), qPrintable(total));
            lineOpen = true;
        } else if (std::fmod(seconds, 1.0) == 0.0 && seconds <= length) {
            std::fprintf(stderr, "playing %s / %s\n", qPrintable(now), qPrintable(total));
        }
        std::fflush(stderr);
    }

    void endLine()
    {
        if (lineOpen)
            std::fputc('\n', stderr);
        lineOpen = false;
    }
    void note(const QString& text)
    {
        endLine();
        std::fprintf(stderr, "%s\n", qPrintable(text));
    }
    void fail(const QString& text)
    {
        endLine();
        printError(text);
    }

public:
    int bandCount = 0;

private:
    SoundReader& reader;
    LiveGraph& live;
    SoundPlayerQt player;
    bool progress;
    bool tty;
    bool lineOpen = false;
    QByteArray pending;
};

bool parsePlayOptions(const QCommandLineParser& parser, PlayOptions& options, QString& error)
{
    if (!toSeconds(parser.value("start"), options.startSeconds) || options.startSeconds < 0) {
        error = QString("--start needs a number of seconds >= 0, not '%1'").arg(parser.value("start"));
        return false;
    }
    // The level and the gate take the values the level job takes.
    LevelJob::Options values;
    std::string refusal;
    for (const char* name : {"level", "gate"})
        if (parser.isSet(name) && !values.set(name, parser.value(name).toStdString(), refusal)) {
            error = QString::fromStdString(refusal);
            return false;
        }
    options.hasLevel = parser.isSet("level");
    options.levelDb = values.levelDb;
    options.hasGate = values.gate;
    options.gateDb = values.gateDb;
    for (const QString& text : parser.values("eq")) {
        ChainStages::EqBand band;
        std::string refusal;
        if (!ChainStages::parseEq(text.toStdString(), band, refusal)) {
            error = QString::fromStdString(refusal);
            return false;
        }
        options.bands.push_back(band);
    }
    options.verbose = parser.isSet("verbose");
    return true;
}

/// Plays `reader` as `options` say; returns the exit code.
int play(SoundReader& reader, const PlayOptions& options, bool commands, double limitSeconds, bool showProgress,
         Outcome* outcomeOut = nullptr)
{
    const unsigned previousBlock = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(kLiveBlockFrames);
    LiveGraph live = buildGraph(options);
    Outcome outcome;
    qint64 startedAfterMs = -1;
    {
        LiveSession session(reader, live, showProgress);
        session.bandCount = static_cast<int>(options.bands.size());
        outcome = session.run(commands, limitSeconds, &startedAfterMs);
    }
    SoundBuffer::setDefaultSize(previousBlock);
    if (outcomeOut != nullptr)
        *outcomeOut = outcome;
    if (options.verbose && startedAfterMs >= 0)
        std::fprintf(stderr, "the output became active %lld ms after start\n", static_cast<long long>(startedAfterMs));
    switch (outcome) {
    case Outcome::Completed:
    case Outcome::StoppedByCommand:
        return ExitOk;
    case Outcome::Interrupted:
        printError("playback stopped on request");
        return ExitStopped;
    case Outcome::StartFailed:
        return ExitFailure;
    case Outcome::BrokeOff:
        break;
    }
    printError("playback broke off before the end");
    return ExitFailure;
}

int runPlay(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString("Plays IN through the audio output, processed by the stages asked for (equaliser, noise gate, "
                "levelling amplifier, in that order), with a progress line. While it plays, type commands on "
                "standard input, one per line: %1. BAND counts the --eq options from 1. Playback ends with the "
                "sound, with 'stop' or with Ctrl-C.")
            .arg(kCommandsHelp));
    parser.addPositionalArgument("IN", "Input file (.wav, .flac, .ogg, .mp3).");
    parser.addOption({"start", "Start playing at TIME into IN (seconds or [[hh:]mm:]ss[.mmm]).", "TIME", "0"});
    parser.addOption({"level", "Level the sound to a target RMS level of DB (dBFS), region by region.", "DB"});
    parser.addOption({"gate", "Silence passages whose level stays below DB (dBFS).", "DB"});
    parser.addOption({"eq",
                      QString("Equaliser section (repeatable): TYPE one of %1, FREQ in Hz, WIDTH in octaves "
                              "(shelf slope for the shelves), GAIN in dB.")
                          .arg(QString::fromStdString(ChainStages::eqTypeNames())),
                      "TYPE:FREQ:WIDTH:GAIN"});
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 1, "IN", exitCode))
        return exitCode;
    PlayOptions options;
    QString error;
    if (!parsePlayOptions(parser, options, error)) {
        printError(error);
        return ExitUsage;
    }
    // The device, the player and the amplifier report through Qt's debug
    // output, several lines per block.
    if (!options.verbose)
        QLoggingCategory::setFilterRules("tevo.playback.debug=false\ndefault.debug=false");

    const QString in = parser.positionalArguments().at(0);
    auto reader = openReader(in, options.startSeconds);
    if (!reader)
        return ExitFailure;
    if (options.startSeconds > 0 && options.startSeconds >= reader->getLength()) {
        printError(QString("--start %1 is past the end of %2 (%3 s)")
                       .arg(options.startSeconds)
                       .arg(in)
                       .arg(reader->getLength()));
        return ExitUsage;
    }

    InterruptScope interrupt(nullptr, &sInterrupted);
    return play(*reader, options, true, 0.0, true);
}

const bool registered = CommandRegistry::add(
    {"play", "Play a file through the audio output, changing level, gate and equaliser live.", runPlay});

/// A few seconds of the recording through an equaliser; says so and goes on
/// when there is no audio device.
bool demoPlay(CommandRegistry::DemoContext& demo)
{
    auto reader = openReader(demo.recording, 5.0);
    if (!reader)
        return false;
    QLoggingCategory::setFilterRules("tevo.playback.debug=false");
    PlayOptions options;
    options.startSeconds = 5.0;
    ChainStages::EqBand presence;
    presence.type = SoundTools::BandEq;
    presence.freqHz = 3000.0;
    presence.width = 1.0;
    options.bands.push_back(presence);
    Outcome outcome = Outcome::BrokeOff;
    const double seconds = 3.0;
    play(*reader, options, false, seconds, false, &outcome);
    if (outcome == Outcome::StartFailed) {
        std::printf("  no audio device: playback skipped\n");
        return true;
    }
    demo.audioDevice = true;
    if (outcome != Outcome::Completed && outcome != Outcome::StoppedByCommand)
        return false;
    std::printf(
        "  played %.0f s of the recording from %.0f s through the audio output\n", seconds, options.startSeconds);
    return true;
}

const bool playStep
    = CommandRegistry::addDemoStep({400, "Live playback (a few seconds, if there is audio output)", demoPlay});

} // namespace
