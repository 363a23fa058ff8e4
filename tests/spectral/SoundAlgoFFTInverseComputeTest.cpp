#include "TestUtil.h"

#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTInverseCompute.h"

using namespace TestUtil;

namespace {

/// A forward and an inverse transform in series: a chain that should give
/// back its input.
SoundAlgoComposite* makeRoundTrip(unsigned size, bool zeroPadded, SoundAlgoFFTInverseCompute::Mode mode,
                                  bool behindNode = false)
{
    auto* chain = new SoundAlgoComposite("round trip", true);
    if (behindNode)
        chain->pushAlgo(new SoundAlgoBypass()); // the end of the stream comes from the sample shift alone
    chain->pushAlgo(new SoundAlgoFFTDirectCompute(size, zeroPadded));
    chain->pushAlgo(new SoundAlgoFFTInverseCompute(mode));
    return chain;
}

// Double-precision transforms and back: anything above -240 dB of the
// signal is a lost, repeated or misplaced frame, not rounding.
constexpr double sRoundTripTolerance = 1e-12;

void expectReproduces(const std::vector<double>& in, const std::vector<double>& out, unsigned hop)
{
    const std::size_t frames = in.size() / 2;
    // The input, then a tail of silence shorter than two hops.
    ASSERT_GE(out.size(), in.size()) << "frames lost at the end";
    EXPECT_LT(out.size() / 2, frames + 2 * hop);
    std::size_t firstBad = frames;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (std::fabs(out[i] - in[i]) > sRoundTripTolerance) {
            firstBad = i / 2;
            break;
        }
    }
    EXPECT_EQ(firstBad, frames) << "first wrong frame";
    for (std::size_t i = in.size(); i < out.size(); ++i)
        ASSERT_NEAR(out[i], 0.0, sRoundTripTolerance) << "padding frame " << i / 2;
}

} // namespace

// Blocks that are and are not multiples of the hop, inputs shorter than one
// hop, and lengths that leave a partial hop at the end: every frame must come
// back once, at its own position.
TEST(SoundAlgoFFTInverseCompute, RoundTripsReproduceTheInputForAnyBlockAndLength)
{
    struct Case {
        unsigned size;
        bool zeroPadded;
        SoundAlgoFFTInverseCompute::Mode mode;
        bool behindNode;
    };
    const Case cases[] = {{1024, true, SoundAlgoFFTInverseCompute::OverlapAdd, false},
                          {1000, false, SoundAlgoFFTInverseCompute::Plain, false},
                          {512, true, SoundAlgoFFTInverseCompute::OverlapAdd, true}};
    const unsigned blocks[] = {4096, 44100, 1048576};
    const unsigned lengths[] = {300, 4096 * 3 + 17, 44100 * 2 + 333, 1048576 + 1001};
    for (const Case& c : cases) {
        for (unsigned block : blocks) {
            for (unsigned length : lengths) {
                if ((block == 1048576 && length < 44100) || (c.behindNode && block != 4096))
                    continue; // one block either way, or nothing new to learn
                SCOPED_TRACE(testing::Message() << "size " << c.size << (c.zeroPadded ? " padded" : " plain")
                                                << (c.behindNode ? " behind a node" : "")
                                                << ", block " << block << ", length " << length);
                const std::vector<double> in = TestUtil::noise(length, length + block);
                Owned<> chain(makeRoundTrip(c.size, c.zeroPadded, c.mode, c.behindNode));
                const RunResult run = TestUtil::runNode(*chain, in, 44100, block);
                const int status = run.status;
                const std::vector<double>& out = run.out;
                EXPECT_EQ(status, 0);
                expectReproduces(in, out, c.zeroPadded ? c.size / 2 : c.size);
            }
        }
    }
}

// A later run with another transform size reallocates what the first run
// sized, and still reproduces its input; the overlap-add tail of one run
// must not reach the start of the next (run again at the same size).
TEST(SoundAlgoFFTInverseCompute, EachRunStartsFromSilenceWhateverTheSize)
{
    // The creator's reference keeps the node across the composites.
    auto* inverse = new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::OverlapAdd);
    const std::vector<double> in = TestUtil::noise(20000, 11);
    for (unsigned size : {256u, 2048u, 2048u}) {
        SCOPED_TRACE(size);
        auto* chain = new SoundAlgoComposite("resize", true);
        chain->pushAlgo(new SoundAlgoFFTDirectCompute(size, true));
        inverse->addReference();
        chain->pushAlgo(inverse);
        Owned<> holder(chain);
        expectReproduces(in, TestUtil::runNode(*chain, in, 44100, 4096).out, size / 2);
        EXPECT_EQ(inverse->getSize(), size);
    }
    inverse->releaseReference();
}

TEST(SoundAlgoFFTInverseCompute, FailsWithoutFeedOrWithATooSmallTransform)
{
    Owned<> inverse(new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::Plain));
    EXPECT_EQ(inverse->initProcess(44100, 2, 0, nullptr, nullptr), SoundTools::StatusError);
    EXPECT_STRNE(inverse->getError(), "");

    // A size of 1 rounds down to 0: no hop to advance by.
    Owned<> chain(makeRoundTrip(1, false, SoundAlgoFFTInverseCompute::Plain));
    const int status = TestUtil::runNode(*chain, TestUtil::noise(100, 1), 44100, 4096).status;
    EXPECT_EQ(status, SoundTools::StatusError);
    EXPECT_NE(std::string(chain->getError()).find("below 2"), std::string::npos) << chain->getError();
}

TEST(SoundAlgoFFTInverseCompute, ModesOutOfRangeBehaveAsTheNearestOne)
{
    auto modeOf = [](int value) {
        auto* node = new SoundAlgoFFTInverseCompute(static_cast<SoundAlgoFFTInverseCompute::Mode>(value));
        const SoundAlgoFFTInverseCompute::Mode mode = node->getMode();
        node->releaseReference();
        return mode;
    };
    EXPECT_EQ(modeOf(-3), SoundAlgoFFTInverseCompute::Plain);
    EXPECT_EQ(modeOf(7), SoundAlgoFFTInverseCompute::Autocorrelation);
}
