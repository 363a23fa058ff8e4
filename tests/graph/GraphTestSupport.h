#pragma once

// Helpers shared by the graph tests: guards, test nodes, composite builders and a whole-run driver.

#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace GraphTest {

constexpr unsigned kRate = 44100;
using Frame = SoundTools::StereoFrame<double>;
using Samples = std::vector<double>;

/// Restores the process-wide block size on scope exit (runs may raise it).
struct BlockSizeGuard {
    explicit BlockSizeGuard(unsigned n) : saved(SoundBuffer::getDefaultSize()) { SoundBuffer::setDefaultSize(n); }
    ~BlockSizeGuard() { SoundBuffer::setDefaultSize(saved); }
    unsigned saved;
};

/// A one-port node computing each output frame from the input frames at and after the same offset.
class FrameNode : public SoundAlgo {
public:
    SoundTools::Status process() override
    {
        const unsigned n = getOutFrameNb();
        if (n == 0)
            return SoundTools::StatusOk;
        const Frame* x = inBuffers[0]->getStereoFrame(getInOrigin());
        Frame* y = outBuffers[0]->getStereoFrame(getOutOrigin());
        if (x == nullptr || y == nullptr)
            return SoundTools::StatusError;
        for (unsigned j = 0; j < n; ++j)
            y[j] = frame(x + j);
        return SoundTools::StatusOk;
    }

protected:
    virtual Frame frame(const Frame* x) = 0;
};

/// y[p] = sum_{k <= history} x[p - delay + k] / (k + 2): looks `history` frames ahead, outputs `delay` frames later.
class TestFir : public FrameNode {
public:
    /// `shift`: sample shift to declare (a look-ahead node in a chain declares it so the run's end flushes it).
    TestFir(unsigned history, unsigned delay, unsigned shift = 0) : L(history), D(delay), S(shift) {}
    const char* getName() const override { return "TestFir"; }
    unsigned getInOverlap(unsigned) const override { return L; }
    unsigned getDelay(unsigned) const override { return D; }
    unsigned getSampleShift(unsigned) const override { return S; }

private:
    Frame frame(const Frame* x) override
    {
        Frame y{0.0, 0.0};
        for (unsigned k = 0; k <= L; ++k)
            y = {y.left + x[k].left / (k + 2.0), y.right + x[k].right / (k + 2.0)};
        return y;
    }
    unsigned L, D, S;
};

/// Copies its input; from block `failAt` on (from 1) returns `status` with an error text; may ask its run to stop.
class FailingNode : public SoundAlgoBypass {
public:
    FailingNode(int at, SoundTools::Status s, bool stop = false) : failAt(at), status(s), stop(stop) {}
    const char* getName() const override { return "FailingNode"; }
    SoundTools::Status process() override
    {
        if (stop)
            pleaseStop();
        if (failAt > 0 && ++blocks >= failAt) {
            setError("synthetic failure", getName());
            return status;
        }
        return SoundAlgoBypass::process();
    }

private:
    int blocks = 0, failAt;
    SoundTools::Status status;
    bool stop;
};

/// A copying node that counts its deletions, to check ownership.
struct CountedNode : SoundAlgoBypass {
    explicit CountedNode(int* deletions) : deletions(deletions) {}
    ~CountedNode() override { ++*deletions; }
    const char* getName() const override { return "CountedNode"; }
    int* deletions;
};

/// A composite of `branches` (each a sequence of nodes); `shared`: every branch reads the same input.
template <class C = SoundAlgoComposite>
C* composite(std::initializer_list<std::initializer_list<SoundAlgo*>> branches, bool shared = true,
             const char* name = nullptr)
{
    auto* c = new C(name, shared);
    for (const auto& branch : branches) {
        if (&branch != branches.begin())
            c->addNewBranch();
        for (SoundAlgo* node : branch)
            c->pushAlgo(node);
    }
    return c;
}

/// A one-branch composite running `nodes` in sequence.
inline SoundAlgoComposite* chain(std::initializer_list<SoundAlgo*> nodes) { return composite({nodes}, true, "chain"); }

struct RunResult {
    SoundTools::Status status = SoundTools::StatusOk;
    std::string error;
    Samples out; ///< interleaved stereo, from the run's first position
    std::string diagnostics; ///< a correct run writes none ("Frame ... inferior to ..." = a read below an origin)
};

/// processAll of `node` over `input` (interleaved stereo) into a MemoryWriter, capturing the diagnostics.
inline RunResult runWhole(SoundAlgo& node, const Samples& input, unsigned rate = kRate)
{
    std::ostringstream diagnostics;
    SoundDebuggableClass::setOStream(&diagnostics);
    TestUtil::MemoryReader reader(input, rate);
    reader.rewind();
    TestUtil::MemoryWriter writer(rate);
    const SoundTools::Status status = node.processAll(reader, &writer);
    SoundDebuggableClass::setOStream(&std::cout);
    return {status, node.getError(), writer.samples, diagnostics.str()};
}

/// Expects a run that succeeded without diagnostics.
inline void expectClean(const RunResult& r)
{
    EXPECT_EQ(r.status, SoundTools::StatusOk) << r.error;
    EXPECT_EQ(r.diagnostics, "");
}

/// Deterministic broadband stereo test signal (fixed-seed noise).
inline Samples noise(unsigned frames, unsigned seed = 1)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<double> uniform(-0.5, 0.5);
    Samples s(2 * std::size_t(frames));
    for (double& v : s)
        v = uniform(generator);
    return s;
}

/// `got` equals `want` on the first `frames` frames within 1e-12 (only the summation order may differ), and is
/// silent after them when `silentAfter` is set.
inline void expectFrames(const Samples& got, const Samples& want, std::size_t frames, bool silentAfter,
                         const char* what)
{
    SCOPED_TRACE(what);
    ASSERT_GE(got.size(), 2 * frames) << "output shorter than expected";
    ASSERT_GE(want.size(), 2 * frames);
    for (std::size_t i = 0; i < 2 * frames; ++i)
        ASSERT_NEAR(got[i], want[i], 1e-12) << "frame " << i / 2 << (i % 2 ? " right" : " left");
    for (std::size_t i = 2 * frames; silentAfter && i < got.size(); ++i)
        ASSERT_EQ(got[i], 0.0) << "frame " << i / 2 << " after the signal";
}

/// Releases a node through its reference count at scope exit.
struct NodeRef {
    explicit NodeRef(SoundAlgo* n) : node(n) {}
    ~NodeRef() { node->releaseReference(); }
    SoundAlgo* operator->() const { return node; }
    SoundAlgo& operator*() const { return *node; }
    SoundAlgo* node;
};

} // namespace GraphTest
