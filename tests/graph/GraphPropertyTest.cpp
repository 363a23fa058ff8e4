// Random graphs from a seed: whatever the graph, the block size and the input length, a whole run gives back
// every input frame lined up (plus the delay the graph means to add), and a graph of linear nodes gives the
// input convolved with its own impulse response. A failure prints its seed; GRAPH_SEED=n replays one graph.

#include "TestNodes.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoEqFFT.h"
#include "SoundAlgoEqFIR.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoScale.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTInverseCompute.h"
#include "SoundAlgoStats.h"

#include <cstdlib>
#include <random>

using namespace TestUtil;

constexpr unsigned kRate = 44100;

namespace {

struct Graph {
    SoundAlgo* top = nullptr;
    bool linear = true;      ///< output = input convolved with the impulse response
    std::string description; ///< printed with a failure
};

class Builder {
public:
    explicit Builder(unsigned seed)
        : random(seed)
    {
    }

    Graph build()
    {
        Graph g;
        auto* top = new SoundAlgoComposite("top", true);
        const unsigned count = 1 + pick(3);
        for (unsigned k = 0; k < count; ++k)
            top->pushAlgo(stage(g, 0));
        g.top = top;
        g.linear = linear;
        g.description = text;
        return g;
    }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); }

    /// One stage with one input and one output.
    SoundAlgo* stage(Graph& g, unsigned depth)
    {
        const unsigned kind = pick(depth < 1 ? 14 : 11);
        switch (kind) {
        case 0: text += "scale "; return new SoundAlgoScale(-6.0 * pick(3));
        case 1: {
            const unsigned d = pick(300);
            text += "delay" + std::to_string(d) + " ";
            return new SoundAlgoDelay(double(d) / kRate, pick(2) == 0);
        }
        case 2: {
            const unsigned h = pick(200), d = pick(200);
            text += "bypass(" + std::to_string(h) + "," + std::to_string(d) + ") ";
            return new SoundAlgoBypass(h, d);
        }
        case 3: text += "biquad "; return new SoundAlgoFilterBiquad(SoundTools::LowPass, 2000 + 1000 * pick(10), 0.7, 0);
        // Designing a filter costs far more than running it: one graph in a
        // dozen or so gets one.
        case 4:
            if (pick(8) != 0)
                return stage(g, depth);
            text += "fir ";
            return new SoundAlgoEqFIR(SoundTools::LowPass, 10000, 0);
        case 5:
            if (pick(8) != 0)
                return stage(g, depth);
            text += "fft ";
            return new SoundAlgoEqFFT(SoundTools::LowPass, 5000, 0, 1024u << pick(2));
        case 6: text += "stats "; return new SoundAlgoStats(SoundAlgoStats::StatsOnly, 0.0);
        // Its gain follows the level, which drops in the silence after the end.
        case 7:
            text += "gate ";
            linear = false;
            return new SoundAlgoNoiseGate(-300.0, 0.001, 0.002 * (1 + pick(5)));
        case 8:
            // Its gain follows the signal: checked for length and alignment only.
            text += "limiter ";
            linear = false;
            return new SoundAlgoLimiter(20.0, 0.0005 * (1 + pick(4)), 0.001 * (1 + pick(4)));
        case 9:
            text += "detector ";
            linear = false;
            return new RMSStepDetector(5.0, 0.05, -40.0, 0.01);
        case 10: text += "copy "; return new SoundAlgoBypass();
        default: return branches(g, depth + 1);
        }
    }

    /// Two or three branches reading one input, summed; or two branches dividing two inputs.
    SoundAlgo* branches(Graph& g, unsigned depth)
    {
        const unsigned count = 2 + pick(2);
        const bool divided = count == 2 && pick(3) == 0;
        text += divided ? "{split " : "{";
        auto* inner = new SoundAlgoComposite(nullptr, true);
        for (unsigned b = 0; b < count; ++b) {
            if (b > 0) {
                inner->addNewBranch();
                text += "| ";
            }
            const unsigned length = 1 + pick(2);
            for (unsigned k = 0; k < length; ++k)
                inner->pushAlgo(stage(g, depth));
        }
        text += "} ";
        auto* wrap = new SoundAlgoComposite(nullptr, true);
        wrap->pushAlgo(inner);
        if (divided) {
            // Each of the two outputs through a branch of its own.
            auto* split = new SoundAlgoComposite(nullptr, false);
            split->pushAlgo(stage(g, depth + 2));
            split->addNewBranch();
            split->pushAlgo(stage(g, depth + 2));
            wrap->pushAlgo(split);
        }
        wrap->pushAlgo(new SoundAlgoAdd(static_cast<int>(count), true, nullptr));
        return wrap;
    }

    std::mt19937 random;
    bool linear = true;
    std::string text;
};

/// Stereo test signal below 0.5 (so that the limiter never acts), different on both channels.
Samples signal(unsigned frames, unsigned seed)
{
    Samples x = noise(frames, seed);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] *= 0.4 + 0.2 * (i % 2);
    return x;
}

unsigned blockSize(std::mt19937& random)
{
    // Mostly small blocks (many blocks per run); now and then a huge one.
    static const unsigned sizes[] = {16, 17, 64, 100, 256, 1000, 4096, 65536, 1048576};
    const unsigned k = std::uniform_int_distribution<unsigned>(0, 40)(random);
    return k < 7 ? sizes[k] : k < 39 ? sizes[k % 5]
                                     : sizes[7 + k % 2];
}

void checkGraph(unsigned seed)
{
    Builder builder(seed);
    Graph g = builder.build();
    Owned<> top(g.top);
    std::mt19937 random(seed * 7919u + 1);
    const unsigned lengths[] = {0, 1, 37, 700, 3000};
    const unsigned block = blockSize(random);
    // Tiny blocks only on the shorter inputs: a run stays a few milliseconds.
    const unsigned frames = lengths[std::uniform_int_distribution<unsigned>(0, block < 256 ? 3 : 4)(random)];
    SCOPED_TRACE("seed " + std::to_string(seed) + ": " + g.description + " over " + std::to_string(frames)
                 + " frames in blocks of " + std::to_string(block));

    const Samples x = signal(frames, seed);
    const RunResult r = runNode(*g.top, x, kRate, block);
    ASSERT_EQ(r.status, SoundTools::StatusOk) << r.error;
    ASSERT_EQ(r.diagnostics, "");
    const unsigned kept = g.top->getKeptDelay(kRate);
    ASSERT_EQ(r.out.size() / 2, std::size_t(frames) + kept) << "output length";
    if (!g.linear || frames == 0)
        return;

    // The impulse response, measured by a run of the same graph on an impulse in the middle of silence: the
    // response of a compensated graph may start before the impulse.
    const unsigned half = 1200;
    Samples impulse(2 * (2 * half + 1), 0.0);
    impulse[2 * half] = 0.25;
    impulse[2 * half + 1] = 0.5;
    const RunResult ir = runNode(*g.top, impulse, kRate, 4096);
    ASSERT_EQ(ir.status, SoundTools::StatusOk) << ir.error;
    ASSERT_EQ(ir.out.size(), impulse.size() + 2 * kept);
    // Both channels are processed alike: the left impulse response is the left output / 0.25.
    std::vector<double> h[2];
    for (int c = 0; c < 2; ++c)
        for (std::size_t i = 0; i < ir.out.size() / 2; ++i)
            h[c].push_back(ir.out[2 * i + c] / (c == 0 ? 0.25 : 0.5));
    double peak = 0;
    for (double v : x)
        peak = std::max(peak, std::fabs(v));
    for (int c = 0; c < 2; ++c) {
        for (std::size_t p = 0; p < r.out.size() / 2; ++p) {
            double want = 0;
            // y[p] = sum_k h[k] x[p - (k - half)]
            for (std::size_t k = 0; k < h[c].size(); ++k) {
                const long q = long(p) - (long(k) - long(half));
                if (q >= 0 && q < long(frames) && h[c][k] != 0.0)
                    want += h[c][k] * x[2 * q + c];
            }
            ASSERT_NEAR(r.out[2 * p + c], want, 1e-9 + 1e-5 * peak) << "frame " << p << " channel " << c;
        }
    }
}

} // namespace

TEST(GraphProperty, RandomGraphsKeepTheStreamWholeAndLinedUp)
{
    if (const char* replay = std::getenv("GRAPH_SEED")) {
        checkGraph(static_cast<unsigned>(std::strtoul(replay, nullptr, 10)));
        return;
    }
    for (unsigned seed = 1; seed <= 500; ++seed) {
        checkGraph(seed);
        if (HasFatalFailure())
            return;
    }
}

// Graphs that once came out shorter, longer or empty, and the measurements padding once spoiled.
TEST(GraphProperty, GraphsFoundLongerShorterOrEmpty)
{
    struct Case {
        const char* name;
        unsigned frames;
        std::function<SoundAlgo*()> make;
    };
    auto nested = [](bool fftFirst) {
        auto* inner = new SoundAlgoComposite(nullptr, true);
        if (fftFirst)
            inner->pushAlgo(new SoundAlgoEqFFT(SoundTools::LowPass, 1000, 0, 2048));
        else
            inner->pushAlgo(new SoundAlgoBypass());
        inner->addNewBranch();
        if (fftFirst)
            inner->pushAlgo(new SoundAlgoBypass());
        else
            inner->pushAlgo(new SoundAlgoEqFFT(SoundTools::LowPass, 1000, 0, 2048));
        auto* top = new SoundAlgoComposite(nullptr, true);
        top->pushAlgo(inner);
        top->pushAlgo(new SoundAlgoAdd(2, true, nullptr));
        return top;
    };
    const std::vector<Case> cases = {
        {"limiter", 16000, [] { return new SoundAlgoLimiter(-6.0, 0.01, 0.01); }},
        {"direct + inverse transform", 5120,
         [] {
             auto* c = new SoundAlgoComposite(nullptr, true);
             c->pushAlgo(new SoundAlgoFFTDirectCompute(512, true));
             c->pushAlgo(new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::OverlapAdd));
             return c;
         }},
        {"gain then FIR", 44100,
         [] {
             auto* c = new SoundAlgoComposite(nullptr, true);
             c->pushAlgo(new SoundAlgoScale(0.0));
             c->pushAlgo(new SoundAlgoEqFIR(SoundTools::HighPass, 100, 0));
             return c;
         }},
        {"{copy | FFT} then add", 44100, [&] { return nested(false); }},
        {"{FFT | copy} then add", 44100, [&] { return nested(true); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Owned<> node(c.make());
        const RunResult r = runNode(*node, signal(c.frames, 5));
        ASSERT_EQ(r.status, SoundTools::StatusOk) << r.error;
        EXPECT_EQ(r.out.size() / 2, std::size_t(c.frames));
    }

    // The limiter's trace file holds one gain per input frame.
    const QString trace = QDir::temp().filePath("tevo-limiter-trace-test.wav");
    {
        Owned<> limiter(new SoundAlgoLimiter(-6.0, 0.01, 0.01, trace.toUtf8().constData()));
        ASSERT_EQ(runNode(*limiter, signal(8000, 6)).status, SoundTools::StatusOk);
    }
    EXPECT_EQ(TestUtil::soxReadStereo(trace.toStdString()).size() / 2, 8000u);
    QFile::remove(trace);

    // A tone shorter than the detector's window: one region, as long and as loud as the tone.
    Samples tone(2 * 2205);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.5 * std::sin(2 * M_PI * 1000.0 * double(i / 2) / kRate);
    Owned<> detector(new RMSStepDetector(5.0, 0.01, -40.0, 0.2));
    ASSERT_EQ(runNode(*detector, tone).status, SoundTools::StatusOk);
    auto* d = static_cast<RMSStepDetector*>(detector.get());
    ASSERT_GE(d->size(), 1);
    const RMSStepDetector::Region first = d->getRegion(0);
    EXPECT_EQ(first.start, 0);
    EXPECT_EQ(first.length, 2205);
    EXPECT_NEAR(10 * std::log10(first.powerLeft), 20 * std::log10(0.5 / std::sqrt(2.0)), 0.1);
}
