#pragma once

// Nodes made for tests: look-ahead and failing nodes, composite builders, a detector with hand-made regions.

#include "RMSStepDetector.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "TestUtil.h"

#include <vector>

namespace TestUtil {

using Frame = SoundTools::StereoFrame<double>;
using Samples = std::vector<double>;

/// y[p] = sum_{k <= history} x[p - delay + k] / (k + 2): looks `history` frames ahead, outputs `delay` frames later.
class TestFir : public SoundAlgo {
public:
    /// `shift`: sample shift to declare (a look-ahead node in a chain declares it so the run's end flushes it).
    TestFir(unsigned history, unsigned delay, unsigned shift = 0)
        : L(history)
        , D(delay)
        , S(shift)
    {
    }
    const char* getName() const override { return "TestFir"; }
    unsigned getInOverlap(unsigned) const override { return L; }
    unsigned getDelay(unsigned) const override { return D; }
    unsigned getSampleShift(unsigned) const override { return S; }
    SoundTools::Status process() override
    {
        const unsigned n = getOutFrameNb();
        if (n == 0)
            return SoundTools::StatusOk;
        const Frame* x = inBuffers[0]->getStereoFrame(getInOrigin());
        Frame* y = outBuffers[0]->getStereoFrame(getOutOrigin());
        if (x == nullptr || y == nullptr)
            return SoundTools::StatusError;
        for (unsigned j = 0; j < n; ++j) {
            y[j] = {0.0, 0.0};
            for (unsigned k = 0; k <= L; ++k)
                y[j] = {y[j].left + x[j + k].left / (k + 2.0), y[j].right + x[j + k].right / (k + 2.0)};
        }
        return SoundTools::StatusOk;
    }

private:
    unsigned L, D, S;
};

/// Copies its input; from block `failAt` on (from 1) returns `status` with an error text; may ask its run to stop.
class FailingNode : public SoundAlgoBypass {
public:
    FailingNode(int at, SoundTools::Status s, bool stop = false)
        : failAt(at)
        , status(s)
        , stop(stop)
    {
    }
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
    explicit CountedNode(int* deletions)
        : deletions(deletions)
    {
    }
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

/// Exposes the detector's protected region list and analyses for hand-made lists.
class Detector : public RMSStepDetector {
public:
    using RMSStepDetector::applyNoise;
    using RMSStepDetector::estimateNoise;
    using RMSStepDetector::RMSStepDetector;

    /// Replaces the list; the rate stands for the one a run would have set.
    void setRegions(const std::vector<Region>& list, unsigned rate, double loudestPower = 0.0)
    {
        regions = list;
        regionRate = rate;
        currentMax = loudestPower;
    }
    std::vector<Region>& list() { return regions; }
};

inline RMSStepDetector::Region region(int start, int length, double powerLeft, double powerRight, int count,
                                      bool noise = false)
{
    return RMSStepDetector::Region{start, length, powerLeft, powerRight, count, noise};
}

} // namespace TestUtil
