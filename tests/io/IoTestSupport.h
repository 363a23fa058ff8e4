#pragma once

// Helpers of the file tests; the command-line tools serve as independent references.

#include "SoundIDTag.h"
#include "SoundReader.h"
#include "SoundWriter.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace IoTest {

/// Hands interleaved frames to `writer` as one block at stream position `origin`; true on failure.
inline bool writeBlock(SoundWriter& writer, const std::vector<double>& samples, unsigned channels = 2,
                       int origin = 0, unsigned rate = 44100)
{
    const unsigned frames = static_cast<unsigned>(samples.size() / channels);
    auto buffer = SoundBuffer::createNew(rate);
    buffer->alloc(frames, static_cast<int>(channels), 1, 1);
    buffer->setFrameNB(frames);
    buffer->setOrigin(origin);
    if (frames > 0)
        std::memcpy(buffer->getRelFrame(0), samples.data(), samples.size() * sizeof(double));
    return writer.writeBuffer(buffer, 0);
}

/// Opens `path`, writes `samples` as one block and closes; true when all of it succeeded.
inline bool writeFile(SoundWriter& writer, const std::string& path, const std::vector<double>& samples)
{
    const bool ok = writer.open(path.c_str()) == SoundTools::StatusOk && !writeBlock(writer, samples);
    writer.close();
    return ok;
}

/// Everything `reader` delivers from its current position, as interleaved stereo.
inline std::vector<double> readAll(SoundReader& reader, unsigned block = 4096)
{
    auto buffer = SoundBuffer::createNew(reader.getSampleRate());
    buffer->alloc(block, 2, 1, 1);
    std::vector<double> out;
    while (unsigned n = reader.stereoRead(buffer, 0)) {
        const double* p = buffer->getRelFrame(0);
        out.insert(out.end(), p, p + 2 * size_t(n));
    }
    return out;
}

/// The output of a shell command as raw samples of type T, scaled by `scale`.
template <typename T>
std::vector<double> runSamples(const std::string& command, double scale = 1.0)
{
    std::string raw;
    TestUtil::run(command, &raw);
    std::vector<double> out(raw.size() / sizeof(T));
    for (size_t i = 0; i < out.size(); ++i) {
        T v;
        std::memcpy(&v, raw.data() + sizeof(T) * i, sizeof(T));
        out[i] = v * scale;
    }
    return out;
}

/// An MP3 decoded by the mpg123 command (gapless) to 16-bit stereo.
inline std::vector<double> mpg123Decode(const std::string& path)
{
    return runSamples<int16_t>("mpg123 -q --stereo -s '" + path + "' 2>/dev/null", 1.0 / 32768);
}

/// First line of a shell command's output.
inline std::string firstLine(const std::string& command)
{
    std::string out;
    TestUtil::run(command + " 2>/dev/null", &out);
    return out.substr(0, out.find('\n'));
}

/// True when an error text starts by naming `path`.
inline bool namesFile(const char* error, const std::string& path)
{
    return std::string(error).rfind(path + " : ", 0) == 0;
}

inline std::vector<std::string> fields(const SoundIDTag& t)
{
    return {t.title, t.artist, t.album, t.year, t.comment, t.track, t.genre};
}

/// Best normalised correlation of the left channels, `b` lagging 0..maxLag behind `a`; `gain` is b/a there.
inline double bestCorrelation(const std::vector<double>& a, const std::vector<double>& b, int maxLag, double* gain)
{
    double best = -2.0;
    const size_t frames = std::min(a.size(), b.size()) / 2;
    for (size_t lag = 0; lag <= size_t(maxLag); ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (size_t i = 0; i + lag < frames; ++i) {
            const double x = a[2 * i], y = b[2 * (i + lag)];
            ab += x * y, aa += x * x, bb += y * y;
        }
        const double c = (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;
        if (c > best)
            best = c, *gain = std::sqrt(bb / aa);
    }
    return best;
}

/// A fresh scratch folder per test.
struct TempDir {
    QTemporaryDir dir;
    std::string path(const std::string& name) const { return (dir.path() + "/").toStdString() + name; }
};

} // namespace IoTest
