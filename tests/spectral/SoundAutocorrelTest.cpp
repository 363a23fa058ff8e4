// Autocorrelation: block lags against direct sums, the spectra of a constant, and the period found in a cosine.
#include "TestUtil.h"

#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAutocorrel.h"
#include "SoundAutocorrelStats.h"
#include "SoundFFTAutocorrel.h"

#include <algorithm>

using namespace TestUtil;

// Each block of size/2 frames gives its own lags: lag j is the mean of the
// size/2 - j products x[i] x[i + j] inside the block (the floor of 50 pairs
// for the last lags), computed here by direct sums.
TEST(SoundAutocorrel, LagsAreTheBlockMeansOfProducts)
{
    const unsigned size = 256;
    const unsigned half = size / 2;
    const std::vector<double> in = TestUtil::noise(half * 5 + 37, 17);
    const std::size_t frames = in.size() / 2;
    Owned<> autocorrel(new SoundAutocorrel(size));
    const std::vector<double> out = TestUtil::runNode(*autocorrel, in, 44100, 4096).out;
    ASSERT_GE(out.size(), in.size());

    // The stream ends with the input: the last block's lags stop there too.
    const std::size_t outFrames = out.size() / 2;
    for (std::size_t start = 0; start < frames; start += half) {
        for (unsigned j = 0; j < half && start + j < outFrames; ++j) {
            for (int c = 0; c < 2; ++c) {
                double sum = 0.0;
                for (unsigned i = 0; i + j < half; ++i) {
                    const std::size_t a = start + i, b = start + i + j;
                    if (b < frames)
                        sum += in[2 * a + c] * in[2 * b + c];
                }
                const double expected = sum / std::max<double>(half - j, 50.0);
                ASSERT_NEAR(out[2 * (start + j) + c], expected, 1e-13)
                    << "block at " << start << ", lag " << j << ", channel " << c;
            }
        }
    }
}

TEST(SoundAutocorrel, PowerSpectrumNodeNeedsAFeed)
{
    Owned<> power(new SoundFFTAutocorrel());
    EXPECT_EQ(power->initProcess(44100, 2, 0, nullptr, nullptr), SoundTools::StatusError);
}

// A constant input of 1 gives spectra whose bin 0 is (size, 0) and all
// other bins 0, in the layout (bin * 2 + channel) * 2 for the real part.
TEST(SoundAlgoFFTDirectCompute, ConstantInputHasOnlyADcBin)
{
    auto* node = new SoundAlgoFFTDirectCompute(1025, false);
    Owned<> holder(node);
    EXPECT_EQ(node->getSize(), 1024u);
    EXPECT_EQ(node->getOutFrameSize(), 513u);
    const unsigned saved = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(4096);
    ASSERT_EQ(node->initProcess(44100, 2, 0, nullptr, nullptr), SoundTools::StatusOk);
    SoundBuffer::setDefaultSize(saved);
    auto in = node->getInBuffer(0);
    in->setOrigin(0);
    in->setFrameNB(3 * 1024);
    std::fill(in->getRelFrame(0), in->getRelFrame(0) + 2 * 3 * 1024, 1.0);
    node->setOutOrigin();
    node->updateOutput();
    ASSERT_EQ(node->process(), SoundTools::StatusOk);
    auto out = node->getOutBuffer(0);
    ASSERT_EQ(out->getFrameNB(), 3u); // the look-ahead is 1023 frames: three whole spectra are there
    for (int s = 0; s < 3; ++s) {
        const double* spectrum = out->getFrame(out->getOrigin() + s);
        for (unsigned k = 0; k < 513; ++k) {
            for (int c = 0; c < 2; ++c) {
                const double re = spectrum[(k * 2 + c) * 2];
                const double im = spectrum[(k * 2 + c) * 2 + 1];
                ASSERT_NEAR(re, k == 0 ? 1024.0 : 0.0, 1e-9) << "spectrum " << s << " bin " << k;
                ASSERT_NEAR(im, 0.0, 1e-9) << "spectrum " << s << " bin " << k;
            }
        }
    }
    node->endProcess(0, 0);
}

namespace {

std::vector<double> cosine(unsigned frames, double period, double amplitude)
{
    std::vector<double> s(2 * std::size_t(frames));
    for (unsigned i = 0; i < frames; ++i)
        s[2 * i] = s[2 * i + 1] = amplitude * std::cos(2.0 * M_PI * i / period);
    return s;
}

} // namespace

// A cosine of period 100 (what the autocorrelation of a sine looks like)
// gives a sine of period 100 in both channels, continuous over the blocks
// of 1024 frames; a second run goes on from the phase the first left.
TEST(SoundAutocorrelStats, FindsThePeriodOfACosine)
{
    Owned<> stats(new SoundAutocorrelStats(0));
    const unsigned frames = 4950; // 49.5 periods: the next run starts half a turn on
    const std::vector<double> in = cosine(frames, 100.0, 0.8);
    const std::vector<double> first = TestUtil::runNode(*stats, in).out;
    ASSERT_EQ(first.size(), in.size());
    for (unsigned i = 0; i < frames; ++i) {
        // Phase summed step by step: far below 1e-9 of error over 5000 steps.
        ASSERT_NEAR(first[2 * i], std::sin(2.0 * M_PI * i / 100.0), 1e-9) << "frame " << i;
        ASSERT_EQ(first[2 * i + 1], first[2 * i]) << "frame " << i;
    }
    const std::vector<double> second = TestUtil::runNode(*stats, in).out;
    for (unsigned i = 0; i < frames; ++i)
        ASSERT_NEAR(second[2 * i], -first[2 * i], 1e-9) << "frame " << i;
    EXPECT_TRUE(dynamic_cast<SoundAutocorrelStats*>(stats.get())->GetToneList().empty());
}

// A length that is a multiple of 1024 ends with an empty block, which
// resets the phase; a quiet block (never above 0.01) outputs silence.
TEST(SoundAutocorrelStats, EmptyAndQuietBlocksResetThePhase)
{
    Owned<> stats(new SoundAutocorrelStats(0));
    const std::vector<double> in = cosine(2048, 100.0, 0.5);
    const std::vector<double> first = TestUtil::runNode(*stats, in).out;
    const std::vector<double> second = TestUtil::runNode(*stats, in).out;
    EXPECT_EQ(first, second);

    const std::vector<double> quiet = TestUtil::runNode(*stats, cosine(3000, 100.0, 0.009)).out;
    for (double v : quiet)
        ASSERT_EQ(v, 0.0);
}
