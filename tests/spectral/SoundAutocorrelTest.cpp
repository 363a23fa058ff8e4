#include "TestUtil.h"

#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAutocorrel.h"
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
    EXPECT_STREQ(power->getName(), "SoundFFTAutocorrel");
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
