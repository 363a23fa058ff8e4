#pragma once

// Helpers shared by the file tests: feeding frames to a writer the way the
// processing loop does, reading a whole file through a reader, and decoding
// with the command-line tools as independent references.

#include "SoundReader.h"
#include "SoundWriter.h"
#include "TestUtil.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace IoTest {

/// Hands interleaved frames of `channels` channels to `writer` as one block
/// at stream position `origin`; true when writeBuffer reported a failure.
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

/// Reads everything `reader` delivers from its current position, in blocks of
/// `block` frames (interleaved stereo).
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

/// Decodes an MP3 file to 16-bit stereo with mpg123 (gapless, the same
/// library family but its own front end); samples scaled by 1/32768.
inline std::vector<double> mpg123Decode(const std::string& path)
{
    std::string raw;
    TestUtil::run("mpg123 -q --stereo -s '" + path + "' 2>/dev/null", &raw);
    std::vector<double> out(raw.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int16_t v;
        std::memcpy(&v, raw.data() + 2 * i, 2);
        out[i] = v / 32768.0;
    }
    return out;
}

/// Largest normalised cross-correlation of the left channels of `a` and `b`
/// over lags 0 .. maxLag of `b` behind `a` (codecs add a delay), and the lag.
inline double bestCorrelation(const std::vector<double>& a, const std::vector<double>& b, int maxLag, int* lagOut,
                              double* gainOut = nullptr)
{
    double best = -2.0;
    const size_t frames = std::min(a.size(), b.size()) / 2;
    for (int lag = 0; lag <= maxLag; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (size_t i = 0; i + size_t(lag) < frames; ++i) {
            const double x = a[2 * i], y = b[2 * (i + size_t(lag))];
            ab += x * y;
            aa += x * x;
            bb += y * y;
        }
        const double c = (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;
        if (c > best) {
            best = c;
            *lagOut = lag;
            if (gainOut != nullptr)
                *gainOut = std::sqrt(bb / aa);
        }
    }
    return best;
}

/// A fresh scratch folder per test.
struct TempDir {
    QTemporaryDir dir;
    std::string path(const std::string& name) const { return (dir.path() + "/").toStdString() + name; }
};

} // namespace IoTest
