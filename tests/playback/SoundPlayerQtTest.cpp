// The Qt player on a real audio output: a PulseAudio server with a null sink
// (tests/playback/start-pulseaudio.sh). Without a server these tests fail,
// unless TEVO_NO_AUDIO=1 says there is deliberately none.

#include "Playback.h"

#include "RMSStepDetector.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundPlayerQt.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace TestUtil;

namespace {

/// One emitted player signal, in order of arrival.
struct Event {
    enum Kind { Started,
                Progress,
                Finished } kind;
    double value;
};

/// Records the player's signals in order.
struct Recorder {
    std::vector<Event> events;
    explicit Recorder(SoundPlayer& player)
    {
        QObject::connect(&player, &SoundPlayer::playingStarted, [this] { events.push_back({Event::Started, 0}); });
        QObject::connect(&player, &SoundPlayer::playingProgress, [this](double s) {
            events.push_back({Event::Progress, s});
        });
        QObject::connect(&player, &SoundPlayer::playingHasFinished, [this](bool completed) {
            events.push_back({Event::Finished, completed ? 1.0 : 0.0});
        });
    }
    std::vector<double> values(Event::Kind kind) const
    {
        std::vector<double> v;
        for (const Event& e : events)
            if (e.kind == kind)
                v.push_back(e.value);
        return v;
    }
};

class SoundPlayerQtTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { quietPlaybackLog(); }
    void SetUp() override { SoundBuffer::setDefaultSize(kBlock); }
};

TEST_F(SoundPlayerQtTest, SignalsFollowPlaybackFromAStartPointToTheEnd)
{
    REQUIRE_AUDIO();
    // 12 s of sine played from 10 s: 2 s of sound.
    MemoryReader reader(TestUtil::makeTestSignal(12 * kRate, kRate, 0.3), kRate);
    reader.setStartPoint(10.0);
    SoundPlayerQt player(&reader, nullptr);
    Recorder recorder(player);
    EXPECT_TRUE(player.isStopped());

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first play" : "replay after the end");
        recorder.events.clear();
        QElapsedTimer clock;
        clock.start();
        player.start();
        EXPECT_FALSE(player.isStopped());
        // The end arrives twice: end of the data, then the output's idle state.
        ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.values(Event::Finished).size() >= 2; }, 20000))
            << "playback did not end";
        QTest::qWait(100); // nothing may follow

        ASSERT_FALSE(recorder.events.empty());
        EXPECT_EQ(recorder.events.front().kind, Event::Started) << "the output must reach its active state first";
        EXPECT_EQ(recorder.values(Event::Started).size(), 1u);
        const std::vector<double> progress = recorder.values(Event::Progress);
        ASSERT_GE(progress.size(), 3u) << "the output must notify every 500 ms of sound";
        EXPECT_DOUBLE_EQ(progress[0], 10.5);
        EXPECT_DOUBLE_EQ(progress[1], 11.0);
        EXPECT_DOUBLE_EQ(progress[2], 11.5);
        EXPECT_EQ(recorder.values(Event::Finished), std::vector<double>({1.0, 1.0}));
        EXPECT_EQ(recorder.events.back().kind, Event::Finished);
        EXPECT_TRUE(player.isStopped()) << "idle at the end";
        // 2 s of sound cannot end much sooner (the null sink plays in real time).
        EXPECT_GE(clock.elapsed(), 1500);
    }
}

TEST_F(SoundPlayerQtTest, StopEmitsFinishedFalseOnceAndIsSafeFromSlots)
{
    REQUIRE_AUDIO();
    MemoryReader reader(TestUtil::makeTestSignal(30 * kRate, kRate, 0.3), kRate);
    Owned<RMSStepDetector> detector(new RMSStepDetector(5.0, 1.0, -80.0, 0.2, RMSStepDetector::PassThrough));
    Owned<SoundAlgoRMSAmplifier> amplifier(new SoundAlgoRMSAmplifier(-20.0, detector.get(), 0.0, 0, 20.0));
    SoundPlayerQt player(&reader, amplifier.get());
    player.setAmplifier(amplifier.get());
    Recorder recorder(player);
    // A live change from a slot on the output's thread, while the worker runs.
    int changes = 0;
    QObject::connect(&player, &SoundPlayer::playingProgress, [&](double) {
        player.setAmpLevel(changes % 2 == 0 ? -14.0 : -20.0);
        ++changes;
    });

    player.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return changes >= 2; }, 20000));
    player.stop();
    EXPECT_TRUE(player.isStopped());
    EXPECT_EQ(recorder.values(Event::Finished), std::vector<double>({0.0})) << "stopped, not completed";
    player.stop();
    QTest::qWait(200);
    EXPECT_EQ(recorder.values(Event::Finished), std::vector<double>({0.0})) << "a second stop does nothing";

    // Stopping from the slot that hears the end: the end is reported from
    // inside the output's read of the device.
    MemoryReader shortReader(TestUtil::makeTestSignal(kRate / 2, kRate, 0.3), kRate);
    SoundPlayerQt shortPlayer(&shortReader, nullptr);
    Recorder shortRecorder(shortPlayer);
    QObject::connect(&shortPlayer, &SoundPlayer::playingHasFinished, [&](bool) { shortPlayer.stop(); });
    shortPlayer.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shortPlayer.isStopped() && !shortRecorder.events.empty(); }, 20000));
    QTest::qWait(300);
    const std::vector<double> finished = shortRecorder.values(Event::Finished);
    ASSERT_FALSE(finished.empty());
    EXPECT_EQ(finished.front(), 1.0) << "the sound ran out";
}

TEST_F(SoundPlayerQtTest, UnderrunsAreNotTheEnd)
{
    REQUIRE_AUDIO();
    // Processing slower than real time: 4096 frames (93 ms of sound) take
    // 150 ms, so the output keeps running dry while the sound goes on.
    MemoryReader reader(TestUtil::makeTestSignal(kRate * 3 / 2, kRate, 0.3), kRate);
    Owned<ProbeNode> slow(new ProbeNode(150));
    SoundPlayerQt player(&reader, slow.get());
    Recorder recorder(player);
    player.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.values(Event::Finished).size() >= 2; }, 30000))
        << "playback did not end";
    QTest::qWait(300);
    EXPECT_EQ(recorder.values(Event::Finished), std::vector<double>({1.0, 1.0}))
        << "only the end of the sound may finish playback";
    EXPECT_EQ(recorder.values(Event::Started).size(), 1u);
    EXPECT_TRUE(player.isStopped());
}

/// A node the loop refuses: two inputs at the top of a run.
class TwoInputNode : public ProbeNode {
public:
    unsigned getInputNumber() const override { return 2; }
};

TEST_F(SoundPlayerQtTest, FailedStartIsReportedAndFinishesFalse)
{
    // Needs no server: without one the output fails too, with the same report.
    MemoryReader reader(TestUtil::makeTestSignal(kRate, kRate), kRate);
    Owned<TwoInputNode> node(new TwoInputNode());
    std::ostringstream report;
    SoundDebuggableClass::setOStream(&report);
    {
        SoundPlayerQt player(&reader, node.get());
        Recorder recorder(player);
        player.start();
        EXPECT_EQ(recorder.values(Event::Finished), std::vector<double>({0.0}));
        EXPECT_TRUE(player.isStopped());
        EXPECT_EQ(report.str(), "Error opening audio device\n");
    }
    SoundDebuggableClass::setOStream(&std::cout);
}

} // namespace
