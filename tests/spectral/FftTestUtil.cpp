#include "FftTestUtil.h"

#include "TestUtil.h"

#include <cmath>
#include <complex>

namespace SpectralTest {

std::vector<double> runNode(SoundAlgo& node, const std::vector<double>& input, unsigned blockFrames, unsigned rate,
                            int* status)
{
    const unsigned saved = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(blockFrames);
    TestUtil::MemoryReader reader(input, rate);
    reader.rewind();
    TestUtil::MemoryWriter writer(rate);
    const int result = node.processAll(reader, &writer);
    SoundBuffer::setDefaultSize(saved);
    if (status != nullptr)
        *status = result;
    return writer.samples;
}

std::vector<double> noise(unsigned frames, uint32_t seed, double amplitude)
{
    std::vector<double> s(2 * std::size_t(frames));
    uint64_t state = seed * 2654435761u + 1;
    for (double& v : s) {
        // 64-bit LCG; the top 53 bits make a uniform double in [0, 1).
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        v = amplitude * (2.0 * double(state >> 11) / 9007199254740992.0 - 1.0);
    }
    return s;
}

double magnitudeAt(const std::vector<double>& taps, double f)
{
    std::complex<double> sum = 0.0;
    for (std::size_t n = 0; n < taps.size(); ++n)
        sum += taps[n] * std::polar(1.0, -2.0 * M_PI * f * double(n));
    return std::abs(sum);
}

} // namespace SpectralTest
