#pragma once

// What every test program shares: memory streams, the node runner, signal generators, level and response
// measurements written independently of the library, the command-line tools as references, and the tevo runner.

#include "FilterType.h"
#include "SoundAlgo.h"
#include "SoundBuffer.h"
#include "SoundIDTag.h"
#include "SoundReader.h"
#include "SoundWriter.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <valarray>
#include <vector>

namespace SoundTools {
class Filter;
}

namespace TestUtil {

using Samples = std::vector<double>; ///< interleaved stereo

/// Interleaved stereo frames held in memory, read like a file.
class MemoryReader : public SoundReader {
public:
    MemoryReader(Samples interleavedStereo, unsigned sampleRate);
    SoundTools::Status open(const char*) override { return SoundTools::StatusOk; }
    void close() override {}
    unsigned getFrameNB() override { return static_cast<unsigned>(samples.size() / 2); }
    unsigned getSampleRate() override { return rate; }
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Float64; }

protected:
    unsigned read(unsigned frames, double* out) override;

private:
    Samples samples;
    unsigned rate;
};

/// Collects what the loop writes; optionally fails after a number of calls.
class MemoryWriter : public SoundWriter {
public:
    explicit MemoryWriter(unsigned sampleRate, int failAfterCalls = -1);
    SoundTools::Status open(const char*) override { return SoundTools::StatusOk; }
    void close() override {}
    Samples samples;
    int calls = 0;

protected:
    unsigned write(unsigned frames, double* data) override;

private:
    int failAfter;
};

// ---- Nodes and process-wide settings

/// Releases a node through its reference count.
struct Release {
    void operator()(SoundAlgo* node) const
    {
        if (node != nullptr)
            node->releaseReference();
    }
};
template <typename T = SoundAlgo>
using Owned = std::unique_ptr<T, Release>;

/// Keeps the block size of the whole test program unchanged by a test.
class BlockSizeGuard {
public:
    explicit BlockSizeGuard(unsigned frames) { SoundBuffer::setDefaultSize(frames); }
    ~BlockSizeGuard() { SoundBuffer::setDefaultSize(saved); }

private:
    const unsigned saved = SoundBuffer::getDefaultSize();
};

/// Diagnostics go to a string while the object lives; debug and verbose are off afterwards.
class CapturedStream {
public:
    CapturedStream();
    ~CapturedStream();
    std::string str() const { return text.str(); }

private:
    std::ostringstream text;
    std::ostream* previous;
};

// ---- The node runner

struct RunResult {
    SoundTools::Status status = SoundTools::StatusOk;
    std::string error;
    Samples out;             ///< interleaved stereo, from the run's first position
    std::string diagnostics; ///< a correct run writes none ("Frame ... inferior to ..." = a read below an origin)
};

/// processAll of `node` over `input` into memory: blocks of `block` frames (0: the current size), from
/// `startSeconds` on (the output then starts there too).
RunResult runNode(SoundAlgo& node, const Samples& input, unsigned rate = 44100, unsigned block = 0,
                  double startSeconds = 0.0);

/// Drives a lone node block by block by hand (0: a block with no new frames), one signal per input port,
/// collecting every output port; `between(i)` runs before block i.
std::vector<Samples> runBlocks(SoundAlgo& node, const std::vector<Samples>& inputs,
                               const std::vector<unsigned>& blocks, unsigned rate,
                               const std::function<void(std::size_t)>& between = nullptr);

/// `got` equals `want` on the first `frames` frames within `tolerance`, and is silent after them when
/// `silentAfter` is set.
void expectFrames(const Samples& got, const Samples& want, std::size_t frames, bool silentAfter, const char* what,
                  double tolerance = 1e-12);

// ---- Signals

/// Deterministic uniform noise in [-amplitude, amplitude], both channels different.
Samples noise(unsigned frames, unsigned seed = 1, double amplitude = 0.5);

/// The frames of interleaved stereo samples.
inline SoundTools::StereoFrame<double>* frames(Samples& v)
{
    return reinterpret_cast<SoundTools::StereoFrame<double>*>(v.data());
}

/// Uniform noise in [-1, 1] (right channel scaled) for the first half of `frames`, then digital silence.
Samples noiseThenSilence(unsigned frames, double rightScale);

/// Left: a 440 Hz sine, right: a 1000 Hz one, both of `amplitude`.
Samples makeTestSignal(unsigned frames, unsigned sampleRate, double amplitude = 0.5);

/// A cosine of `freq` Hz on both channels.
Samples tone(unsigned frames, double freq, unsigned rate, double amplitude);

/// One stretch of a test signal: RMS `rmsDb` on both channels (silence below -200 dB).
struct Stretch {
    double seconds;
    double rmsDb;
};
/// 400 Hz cosines: at 8000 Hz a window of whole 20-frame periods holds exactly the stretch's power.
Samples levelSteps(const std::vector<Stretch>& stretches, unsigned rate);

/// Lowest value a running window sum of squares of `x` reaches, one add then one subtract per step, over windows
/// [k, k + w) for k in [begin, end): below zero, the material makes naive running sums go negative.
double lowestRunningSum(const std::function<double(int)>& x, int begin, int end, int w);

// ---- Levels, written out here rather than taken from the library

double toDb(double amplitude);
double fromDb(double db);
/// Mean power in dB of one channel (0 left, 1 right) over frames [from, to) (to 0: the end); -200 for silence.
double powerDb(const Samples& s, int channel = 0, std::size_t from = 0, std::size_t to = 0);

// ---- Responses

/// |H(e^jw)| of b(z^-1) / a(z^-1) at `freq` (same unit as `fs`), in long double.
double magnitude(const std::valarray<double>& b, const std::valarray<double>& a, double freq, double fs);
/// |H| of a filter kernel at `freq` Hz.
double magnitude(const SoundTools::Filter& f, double freq, double fs);
/// Success when a first- or second-order kernel is finite and its poles (long double) lie inside the circle.
testing::AssertionResult finiteAndStable(const SoundTools::Filter& f);
/// |H| of FIR taps at `freq`.
double magnitude(const std::vector<double>& taps, double freq, double fs = 1.0);
/// Expects FIR taps `h` to meet the bands of a `type` design with edges f1 < f2 (normalised, f2 <= 0.5): pass
/// bands within `passDev` of unity, stop bands below `stopMax`, from `transition` beyond the edges (less where
/// the edges leave less room).
void expectBands(const std::vector<double>& h, SoundTools::FilterType type, double f1, double f2, double transition,
                 double passDev, double stopMax);
/// Amplitude at `freq` in the left channel over frames [from, to) (to 0: the end), by least squares on a sine and
/// a cosine.
double toneAmplitude(const Samples& signal, double freq, double fs, std::size_t from = 0, std::size_t to = 0);

// ---- Files and the command-line tools as references

/// A fresh scratch folder.
struct TempDir {
    QTemporaryDir dir;
    std::string path(const std::string& name) const { return (dir.path() + "/").toStdString() + name; }
    QString qpath(const std::string& name) const { return QString::fromStdString(path(name)); }
};

/// Names of the commands missing from the PATH, "" when all are there.
std::string missingTools(std::initializer_list<const char*> names);
bool haveTool(const char* name);
/// Runs a shell command; returns its exit status and, optionally, its output.
int run(const std::string& command, std::string* output = nullptr);
/// First line of a shell command's output.
std::string firstLine(const std::string& command);
/// Decodes any file sox can read into interleaved stereo (mono doubled, extra channels dropped).
Samples soxReadStereo(const std::string& path, unsigned* sampleRate = nullptr);
/// The output of a shell command read as raw 64-bit floats.
Samples commandSamples(const std::string& command);
/// An MP3 decoded by the mpg123 command (gapless) to 16-bit stereo.
Samples mpg123Decode(const std::string& path);
/// Container and stream tags as ffprobe lists them, names in lower case, the encoders' own names left out.
std::map<std::string, std::string> probeTags(const std::string& path);
/// One row of `sox FILE -n EFFECTS stats` ("RMS lev dB", "Pk lev dB"): overall, left, right (empty when missing).
std::vector<double> soxStats(const std::string& path, const std::string& row, const std::string& effects = "");
/// What ffmpeg's ebur128 filter reads in a file (any field NaN when it could not measure).
struct Loudness {
    double integrated, range, truePeak, samplePeak;
};
Loudness ffmpegLoudness(const std::string& path, const std::string& inputOptions = "");
/// The number a regular expression captures in `text`, NaN when it does not match.
double captured(const QString& text, const char* pattern);
/// A file's bytes (empty when it cannot be read).
QByteArray fileBytes(const QString& path);

/// Hands interleaved frames to `writer` as one block at stream position `origin`; true on failure.
bool writeBlock(SoundWriter& writer, const Samples& samples, unsigned channels = 2, int origin = 0,
                unsigned rate = 44100);
/// Opens `path`, writes `samples` as one block and closes; true when all of it succeeded.
bool writeFile(SoundWriter& writer, const std::string& path, const Samples& samples);
/// Everything `reader` delivers from its current position, as interleaved stereo.
Samples readAll(SoundReader& reader, unsigned block = 4096);
/// True when an error text starts by naming `path`.
bool namesFile(const char* error, const std::string& path);
std::vector<std::string> fields(const SoundIDTag& t);
/// Best normalised correlation of the left channels, `b` lagging 0..maxLag behind `a`; `gain` is b/a there.
double bestCorrelation(const Samples& a, const Samples& b, int maxLag, double* gain);

// ---- tevo

/// Path of the tevo command built with the tests ("" when not built).
std::string tevoPath();
struct TevoRun {
    int exitCode = -1; ///< -1 when it crashed or timed out
    QString out;
    QString err;
};
/// Runs tevo with `args` and waits for it.
TevoRun runTevo(const QStringList& args, int timeoutMs = 120000);

/// Swallows Qt's log output while alive; keeps the last critical message.
class QtLogCapture {
public:
    QtLogCapture();
    ~QtLogCapture();
    static QString& lastCritical();

private:
    QtMessageHandler previous;
};

} // namespace TestUtil

/// Skips a test when a command-line reference is not installed.
#define REQUIRE_TOOLS(...)                                                  \
    do {                                                                    \
        const std::string missing_ = TestUtil::missingTools({__VA_ARGS__}); \
        if (!missing_.empty())                                              \
            GTEST_SKIP() << "not installed: " << missing_;                  \
    } while (0)

/// Skips a test when tevo was not built.
#define REQUIRE_TEVO()                            \
    do {                                          \
        if (TestUtil::tevoPath().empty())         \
            GTEST_SKIP() << "tevo was not built"; \
    } while (0)
