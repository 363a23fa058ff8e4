#pragma once

// Live playback helpers: a ramp whose every sample is checkable, a probe node and the audio server's presence.

#include "SoundAlgo.h"
#include "SoundAlgoDevice.h"
#include "TestUtil.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace TestUtil {

/// Block size of every playback test, in frames.
constexpr unsigned kBlock = 4096;
constexpr unsigned kRate = 44100;

/// The 16-bit code expected for frame i, channel ch of rampSignal: a walk over
/// the whole 16-bit range that never repeats within a test file.
int16_t rampCode(unsigned i, unsigned ch);
/// Stereo signal whose samples are rampCode / 32768, exact in double, so the
/// device must deliver exactly rampCode for every frame it plays.
std::vector<double> rampSignal(unsigned frames);

/// Pass-through node that counts its runs, can be slow, can withhold the
/// output of its first blocks and can ask for a silent tail.
class ProbeNode : public SoundAlgo {
public:
    ProbeNode(int sleepMsPerBlock = 0, int withheldBlocks = 0, unsigned sampleShift = 0);
    const char* getName() const override { return "ProbeNode"; }
    unsigned getSampleShift(unsigned) const override { return shift; }
    SoundTools::Status initProcess(
        unsigned rate, unsigned channels, int offset, SoundAlgo* prev, SoundAlgo* nxt) override;
    void endProcess(int status, unsigned frames) override;
    SoundTools::Status process() override;

    std::atomic<int> inits{0};
    std::atomic<int> ends{0};
    std::atomic<int> lastEndStatus{-1};

protected:
    ~ProbeNode() override = default;

private:
    int sleepMs;
    int withheld;
    unsigned shift;
};

/// Opens the protected side of the device for the tests.
class TestDevice : public SoundAlgoDevice {
public:
    using SoundAlgoDevice::addResource;
    using SoundAlgoDevice::readData;
    using SoundAlgoDevice::SoundAlgoDevice;
};

/// Reads the device to its end in chunks of `chunkBytes` on another thread.
/// `finished` is false when it did not end within `limitSeconds` (the device is
/// then stopped so the thread can return).
std::vector<int16_t> drain(TestDevice& device, qint64 chunkBytes, bool& finished, int limitSeconds = 60);

/// Waits until the worker has processed `frames` frames of the input (as
/// bytesAvailable tells) or `limitSeconds` pass; true when reached.
bool waitProcessed(const SoundAlgoDevice& device, unsigned totalFrames, unsigned frames, int limitSeconds = 30);

/// Empty when an audio output can be used, else why not. Points
/// PULSE_SERVER at a server that clients do not find on their own.
std::string audioProblem();

/// Quietens the device's debug lines (set QT_LOGGING_RULES to see them).
void quietPlaybackLog();

} // namespace TestUtil

// Fails (or skips when TEVO_NO_AUDIO=1) a test that needs the audio server.
#define REQUIRE_AUDIO()                                                                                       \
    do {                                                                                                      \
        const char* noAudio = std::getenv("TEVO_NO_AUDIO");                                                   \
        if (noAudio != nullptr && std::strcmp(noAudio, "1") == 0)                                             \
            GTEST_SKIP() << "TEVO_NO_AUDIO=1: live playback on the audio output not tested";                  \
        const std::string problem = TestUtil::audioProblem();                                                 \
        if (!problem.empty())                                                                                 \
            FAIL() << "Live playback needs an audio output: " << problem                                      \
                   << ". Start one with tests/playback/start-pulseaudio.sh, or set TEVO_NO_AUDIO=1 to skip."; \
    } while (0)
