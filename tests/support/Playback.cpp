#include "Playback.h"

#include <QAudioDeviceInfo>
#include <QLoggingCategory>

#include <chrono>
#include <future>
#include <thread>

#include <glob.h>
#include <unistd.h>

namespace TestUtil {

int16_t rampCode(unsigned i, unsigned ch)
{
    // 7919 is prime, so consecutive frames walk the whole 16-bit range.
    const uint32_t walk = (uint32_t(i) * 7919u + ch * 20011u) & 0xffffu;
    return static_cast<int16_t>(int32_t(walk) - 32768);
}

std::vector<double> rampSignal(unsigned frames)
{
    std::vector<double> s(2 * std::size_t(frames));
    for (unsigned i = 0; i < frames; ++i)
        for (unsigned ch = 0; ch < 2; ++ch)
            s[2 * i + ch] = rampCode(i, ch) / 32768.0;
    return s;
}

ProbeNode::ProbeNode(int sleepMsPerBlock, int withheldBlocks, unsigned sampleShift)
    : sleepMs(sleepMsPerBlock)
    , withheld(withheldBlocks)
    , shift(sampleShift)
{
}

SoundTools::Status ProbeNode::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev, SoundAlgo* nxt)
{
    ++inits;
    return SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
}

void ProbeNode::endProcess(int status, unsigned frames)
{
    ++ends;
    lastEndStatus = status;
    SoundAlgo::endProcess(status, frames);
}

SoundTools::Status ProbeNode::process()
{
    const unsigned n = getOutFrameNb();
    const int in = getInOrigin();
    const int out = getOutOrigin();
    for (unsigned i = 0; i < n; ++i)
        *outBuffers[0]->getStereoFrame(out + int(i)) = *inBuffers[0]->getStereoFrame(in + int(i));
    if (sleepMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    if (withheld > 0) {
        // Drop the block but keep the buffer's position in step with the stream.
        --withheld;
        SoundBuffer& buffer = *outBuffers[0];
        buffer.setOrigin(buffer.getOrigin() + int(buffer.getFrameNB()));
        buffer.setFrameNB(0);
    }
    return SoundTools::StatusOk;
}

std::vector<int16_t> drain(TestDevice& device, qint64 chunkBytes, bool& finished, int limitSeconds)
{
    auto job = std::async(std::launch::async, [&device, chunkBytes] {
        std::vector<int16_t> codes;
        std::vector<char> chunk(static_cast<std::size_t>(chunkBytes));
        for (;;) {
            const qint64 got = device.readData(chunk.data(), chunkBytes);
            if (got <= 0)
                break;
            for (qint64 b = 0; b + 1 < got; b += 2)
                codes.push_back(
                    static_cast<int16_t>(uint16_t(uint8_t(chunk[b])) | uint16_t(uint8_t(chunk[b + 1])) << 8));
        }
        return codes;
    });
    finished = job.wait_for(std::chrono::seconds(limitSeconds)) == std::future_status::ready;
    if (!finished)
        device.stop(); // unblocks a reader and a worker waiting for each other
    return job.get();
}

bool waitProcessed(const SoundAlgoDevice& device, unsigned totalFrames, unsigned frames, int limitSeconds)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    const qint64 wanted = (qint64(totalFrames) - frames) * 4;
    while (std::chrono::steady_clock::now() < limit) {
        if (device.bytesAvailable() <= wanted)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

/// The socket of a PulseAudio server that answers, looked for where servers
/// put it (a server started by root, or with another HOME or runtime
/// directory, is not found by clients on their own); "" when none answers.
static std::string findServerSocket()
{
    std::vector<std::string> patterns = {"/run/pulse/native", "/var/run/pulse/native", "/tmp/pulse-*/native",
                                         "/tmp/*/pulse/native", "/run/user/" + std::to_string(getuid()) + "/pulse/native"};
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"))
        patterns.insert(patterns.begin(), std::string(runtime) + "/pulse/native");
    if (const char* home = std::getenv("HOME"))
        patterns.push_back(std::string(home) + "/.config/pulse/*-runtime/native");
    for (const std::string& pattern : patterns) {
        glob_t found = {};
        if (glob(pattern.c_str(), 0, nullptr, &found) == 0)
            for (std::size_t i = 0; i < found.gl_pathc; ++i) {
                const std::string socket = found.gl_pathv[i];
                if (run("PULSE_SERVER='unix:" + socket + "' pactl info >/dev/null 2>&1") == 0) {
                    globfree(&found);
                    return socket;
                }
            }
        globfree(&found);
    }
    return "";
}

/// Empty when an audio output can be used, else why not.
std::string audioProblem()
{
    std::string info;
    if (run("pactl info 2>&1", &info) != 0) {
        const std::string socket = findServerSocket();
        if (socket.empty())
            return "no PulseAudio server answers (pactl info: " + info.substr(0, 200) + ")";
        // Before Qt's audio backend first connects, which happens once.
        setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    }
    if (QAudioDeviceInfo::defaultOutputDevice().isNull())
        return "the PulseAudio server answers but Qt sees no audio output device";
    return "";
}

void quietPlaybackLog() { QLoggingCategory::setFilterRules("tevo.playback.debug=false"); }

} // namespace TestUtil
