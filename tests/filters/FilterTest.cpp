// Recursive kernels against the difference equation, and the block, in-place, gain and copy behaviours; filter
// nodes in a run: the same output as their kernels whatever the blocks and live changes.

#include "TestUtil.h"

#include "BiquadEqBuilder.h"
#include "BiquadFilter.h"
#include "Filter.h"
#include "Order1Filter.h"
#include "Order1FilterBuilder.h"
#include "Order6Filter.h"
#include "SoundAlgoFilter.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoFilterSplit.h"
#include "WeightingFilterBuilder.h"

using SoundTools::BiquadFilter;
using SoundTools::Filter;
using namespace TestUtil;
using namespace SoundTools;

namespace {

using Coefs = std::valarray<double>;

/// y[t] = (sum b[i] x[t-i] - sum_{i>=1} a[i] y[t-i]) / a[0] over one channel, in long double.
std::vector<double> directForm(const Coefs& b, const Coefs& a, const std::vector<double>& x, int channel)
{
    const std::size_t n = x.size() / 2;
    std::vector<long double> y(n, 0.0L);
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t i = 0; i < b.size() && i <= t; ++i)
            y[t] += (long double)b[i] * x[2 * (t - i) + channel];
        for (std::size_t i = 1; i < a.size() && i <= t; ++i)
            y[t] -= (long double)a[i] * y[t - i];
        y[t] /= a[0];
    }
    return std::vector<double>(y.begin(), y.end());
}

// Stable test filters of orders 1, 2 and 6 (poles well inside the circle).
const Coefs kB1 = {0.3, -0.2}, kA1 = {1.5, -0.6};
const Coefs kB2 = {0.2, 0.35, -0.1}, kA2 = {1.0, -1.2, 0.5};
const Coefs kB6 = {0.1, -0.05, 0.2, 0.3, -0.1, 0.05, 0.02};
// (1 - 0.5 z^-1)(1 - 0.8 z^-1)(1 + 0.3 z^-1)(1 - 0.9 z^-1 + 0.4 z^-2)(1 + 0.2 z^-1)
const Coefs kA6 = {1.0, -1.7, 0.75, 0.4656, -0.48584, 0.02496, 0.01152};

std::vector<double> filtered(Filter& f, std::vector<double> x)
{
    f.filter(frames(x), frames(x), static_cast<unsigned>(x.size() / 2));
    return x;
}

} // namespace

// The unrolled kernels of orders 1, 2 and 6 against the same equation, with a gain and the state they leave.
TEST(Filter, GeneralKernelFollowsTheDifferenceEquation)
{
    std::vector<double> x = noise(3000, 1);
    SoundTools::Order1Filter o1(&kB1[0], &kA1[0]);
    BiquadFilter o2(&kB2[0], &kA2[0]);
    SoundTools::Order6Filter o6(kB6, kA6);
    Filter g1(kB1, kA1), g2(kB2, kA2), g6(kB6, kA6), gain(Coefs{0.75}, Coefs{1.0}), average(Coefs{0.5, 0.5}, Coefs{1.0});
    // Also a moving average (feedback padded to {1, 0}) and a0 = 2 (every output halved).
    Filter halved(Coefs{1.0}, Coefs{2.0, 0.5, 0.1});
    for (Filter* f : std::initializer_list<Filter*>{&g1, &g2, &g6, &o1, &o2, &o6, &gain, &average, &halved}) {
        SCOPED_TRACE(testing::Message() << "order " << f->getOrder() << (typeid(*f) == typeid(Filter) ? "" : " unrolled"));
        f->setGain(0.7);
        const std::vector<double> out = filtered(*f, x);
        for (int ch = 0; ch < 2; ++ch) {
            const std::vector<double> ref = directForm(f->getFeedForward(), f->getFeedback(), x, ch);
            for (std::size_t t = 0; t < ref.size(); ++t)
                ASSERT_NEAR(out[2 * t + ch], 0.7 * ref[t], 1e-12) << "frame " << t << " channel " << ch;
            // The state keeps the recursion; the gain scales only what is written.
            EXPECT_NEAR(ch == 0 ? f->getOutput().left : f->getOutput().right, ref.back(), 1e-12);
        }
        EXPECT_EQ(f->getLastInput().right, x.back());
    }
}

TEST(Filter, BlockSplitAndInPlaceGiveTheSameStream)
{
    const std::vector<double> x = noise(4000, 3);
    const double b[3] = {0.2, 0.35, -0.1}, a[3] = {2.0, -2.4, 1.0}; // a0 != 1: the normalising path
    const double b1[2] = {0.4, 0.4}, a1[2] = {1.0, -0.2};
    // Owned as the library owns kernels: shared pointers of the concrete class (no virtual destructor).
    const std::function<std::shared_ptr<Filter>()> makers[] = {
        [&] { return std::make_shared<BiquadFilter>(b, a); },
        [&] { return std::make_shared<SoundTools::Order1Filter>(b1, a1); },
        [&] { return std::make_shared<SoundTools::Order6Filter>(kB6, kA6); },
        [&] { return std::make_shared<Filter>(kB6, kA6); }};
    for (std::size_t k = 0; k < std::size(makers); ++k) {
        SCOPED_TRACE(testing::Message() << "kernel " << k);
        const std::vector<double> ref = filtered(*makers[k](), x);
        std::vector<double> split = x;
        unsigned pos = 0;
        auto pieces = makers[k]();
        for (unsigned m : {0, 1, 2, 999, 0, 1500, 7, 491, 1000}) {
            pieces->filter(frames(split) + pos, frames(split) + pos, m);
            pos += m;
        }
        ASSERT_EQ(pos, 4000u);
        EXPECT_EQ(split, ref);
        std::vector<double> in = x, out(x.size());
        makers[k]()->filter(frames(in), frames(out), 4000);
        EXPECT_EQ(out, ref);
        EXPECT_EQ(in, x) << "the input must not be written";
    }
}

TEST(Filter, CopiesTakeCoefficientsAndGainButStartFromZeroState)
{
    const std::vector<double> x = noise(500, 5);
    BiquadFilter source(&kB2[0], &kA2[0]), fresh(&kB2[0], &kA2[0]);
    source.setGain(3.0);
    fresh.setGain(3.0);
    filtered(source, x); // leaves state behind
    BiquadFilter copy(source);
    EXPECT_EQ(filtered(copy, x), filtered(fresh, x));
    // Assignment keeps the target's own gain.
    Filter target(Coefs{1.0, 0.5}, Coefs{1.0}), reference(kB2, kA2);
    filtered(target, x);
    target = source;
    EXPECT_EQ(filtered(target, x), filtered(reference, x));
}

TEST(BiquadFilter, CascadeInOnePassEqualsStageAfterStage)
{
    const std::vector<double> x = noise(6000, 6);
    // Six stages (a group of four and one of two), one with a0 != 1, gains on two of them.
    const double bs[6][3] = {{0.2, 0.35, -0.1}, {1.0, -1.9, 0.95}, {0.5, 0.0, -0.5}, {0.9, -1.5, 0.7}, {0.3, 0.3, 0.3}, {1.1, -0.2, 0.05}};
    const double as[6][3] = {{1.0, -1.2, 0.5}, {1.0, -1.85, 0.9}, {2.0, -0.4, 0.3}, {1.0, -1.4, 0.6}, {1.0, 0.1, 0.2}, {1.0, -0.5, 0.1}};
    for (unsigned count : {1u, 3u, 4u, 6u}) {
        SCOPED_TRACE(testing::Message() << count << " stages");
        std::vector<std::unique_ptr<BiquadFilter>> fused, single;
        std::vector<BiquadFilter*> views;
        for (unsigned k = 0; k < count; ++k) {
            for (auto* list : {&fused, &single}) {
                list->push_back(std::make_unique<BiquadFilter>(bs[k], as[k]));
                if (k == 1 || k == count - 1)
                    list->back()->setGain(1.5);
            }
            views.push_back(fused.back().get());
        }
        // Two blocks, so that the state carried between calls is checked too.
        std::vector<double> in = x, a(x.size()), b = x;
        BiquadFilter::filterCascade(views.data(), count, frames(in), frames(a), 2500);
        BiquadFilter::filterCascade(views.data(), count, frames(in) + 2500, frames(a) + 2500, 3500);
        for (unsigned k = 0; k < count; ++k)
            b = filtered(*single[k], b);
        EXPECT_EQ(a, b);
        EXPECT_EQ(in, x);
        for (unsigned k = 0; k < count; ++k)
            EXPECT_EQ(fused[k]->getOutput().right, single[k]->getOutput().right);
    }
}

namespace {

constexpr unsigned kRate = 48000;

struct Band {
    FilterType type;
    double freq, width, gain;
};

std::shared_ptr<Filter> kernel(const Band& b)
{
    return BiquadEqBuilder(b.type, b.freq, b.width, b.gain).buildFilter(kRate);
}

/// Runs `kernels` one after the other over frames [from, to) of `x`, in place.
void cascade(const std::vector<std::shared_ptr<Filter>>& kernels, std::vector<double>& x, std::size_t from,
             std::size_t to)
{
    for (const auto& k : kernels)
        k->filter(frames(x) + from, frames(x) + from, static_cast<unsigned>(to - from));
}

/// What the writer receives from `node` run over `signal` by the processing loop in blocks of `blockFrames`.
std::vector<double> runLoop(SoundAlgo& node, const std::vector<double>& signal, unsigned blockFrames)
{
    const RunResult r = runNode(node, signal, kRate, blockFrames);
    EXPECT_EQ(r.status, StatusOk) << r.error;
    return r.out;
}

} // namespace

TEST(SoundAlgoFilter, MixedCascadeAcrossUnevenBlocks)
{
    QtLogCapture quiet;
    const std::vector<double> x = noise(9000, 12);
    auto order1 = std::make_shared<Order1FilterBuilder>(HighPass, 30.0);
    auto weighting = std::make_shared<WeightingFilterBuilder>();
    Owned<SoundAlgoFilter> node(new SoundAlgoFilter(order1));
    node->pushFilter(weighting);
    node->pushFilter(std::make_shared<BiquadEqBuilder>(BandEq, 3000, 1, -5));
    node->setOutputGain(-2.0);
    const auto out = runBlocks(*node, {x}, {1, 4000, 0, 17, 2500, 0, 2482}, kRate);

    std::vector<double> want = x;
    auto last = BiquadEqBuilder(BandEq, 3000, 1, -5).buildFilter(kRate);
    last->setGain(fromDb(-2.0));
    cascade({order1->buildFilter(kRate), weighting->buildFilter(kRate), last}, want, 0, 9000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], want);
    // The processing loop gives the same, and each run starts again from zero state.
    EXPECT_EQ(runLoop(*node, x, 4096), want);
    EXPECT_EQ(runLoop(*node, x, 1 << 20), want);
}

TEST(SoundAlgoFilter, WithoutStageTheRunFails)
{
    Owned<SoundAlgoFilter> node(new SoundAlgoFilter());
    EXPECT_EQ(node->initProcess(kRate, 2, 0, nullptr, nullptr), StatusError);
    EXPECT_STRNE(node->getError(), "");
}

TEST(SoundAlgoFilterSplit, OutputsAddUpToTheGainedInput)
{
    const std::vector<double> x = noise(12000, 13);
    Owned<SoundAlgoFilterSplit> split(
        new SoundAlgoFilterSplit(std::make_shared<BiquadEqBuilder>(LowPass, 1000, 1.0, 0.0)));
    split->setOutputGain(-3.0);
    const auto out = runBlocks(*split, {x}, {5000, 0, 4000, 3000}, kRate);
    ASSERT_EQ(out.size(), 2u);
    ASSERT_EQ(out[0].size(), x.size());
    ASSERT_EQ(out[1].size(), x.size());
    const double g = fromDb(-3.0);
    std::vector<double> low = x;
    auto lp = kernel({LowPass, 1000, 1.0, 0.0});
    lp->setGain(g);
    cascade({lp}, low, 0, 12000);
    EXPECT_EQ(out[0], low);
    for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_NEAR(out[0][i] + out[1][i], g * x[i], 1e-15) << "sample " << i;
}

TEST(SoundAlgoFilterBiquad, LiveBandChangesRestartOnlyTheirStage)
{
    const std::vector<double> x = noise(9000, 14);
    Owned<SoundAlgoFilterBiquad> node(new SoundAlgoFilterBiquad(BandEq, 1000, 1.0, 6.0));
    // A stage that is no equaliser section: the band setters leave it alone.
    node->pushFilter(std::make_shared<Order1FilterBuilder>(LowPass, 15000));
    node->pushFilter(HighShelf, 5000, 1.0, -3.0);
    node->setOutputGain(4.0);
    node->SetWidth(0, 0.5); // before the first run: only the builder changes
    const auto out = runBlocks(*node, {x}, {3000, 3000, 3000}, kRate, [&](std::size_t block) {
        if (block == 1) {
            node->SetLevel(0, -6.0);
            node->SetLevel(7, 3.0);  // no such band
            node->SetFreq(1, 100.0); // not an equaliser section
        }
        if (block == 2)
            node->SetFreq(2, 8000.0); // the last stage: keeps the output gain
    });

    // Stage 0 restarts at frame 3000 (gain), the last at 6000 (frequency); stage 1 runs throughout.
    std::vector<double> want = x;
    cascade({kernel({BandEq, 1000, 0.5, 6.0})}, want, 0, 3000);
    cascade({kernel({BandEq, 1000, 0.5, -6.0})}, want, 3000, 9000);
    cascade({Order1FilterBuilder(LowPass, 15000).buildFilter(kRate)}, want, 0, 9000);
    auto s2 = kernel({HighShelf, 5000, 1.0, -3.0}), s2b = kernel({HighShelf, 8000, 1.0, -3.0});
    s2->setGain(fromDb(4.0));
    s2b->setGain(fromDb(4.0));
    cascade({s2}, want, 0, 6000);
    cascade({s2b}, want, 6000, 9000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], want);
}
