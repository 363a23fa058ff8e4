#pragma once

#include "RMSStepDetector.h"
#include "SoundAlgo.h"
#include "SoundBuffer.h"

#include <memory>
#include <vector>

namespace DynamicsTest {

/// Releases a node through its reference count.
struct Release {
    void operator()(SoundAlgo* node) const
    {
        if (node != nullptr)
            node->releaseReference();
    }
};
template <typename T>
using Owned = std::unique_ptr<T, Release>;

/// One stretch of a test signal: a sine whose RMS is `rmsDb` on both channels
/// (digital silence below −200 dB).
struct Stretch {
    double seconds;
    double rmsDb;
};

/// Cosines of 400 Hz (a stretch never starts on a 0 sample): at 8000 Hz a
/// period is 20 frames, so a window of whole periods holds exactly the
/// stretch's power.
std::vector<double> levelSteps(const std::vector<Stretch>& stretches, unsigned rate);

/// Runs `node` over the interleaved stereo `signal` from `startSeconds` and
/// returns what the loop wrote (interleaved stereo).
std::vector<double> runNode(SoundAlgo& node, const std::vector<double>& signal, unsigned rate,
                            double startSeconds = 0.0);

/// Linear RMS to dB and back, written out here rather than taken from the
/// library.
double toDb(double amplitude);
double fromDb(double db);

/// Exposes the protected region list and analyses for hand-made lists.
class Detector : public RMSStepDetector {
public:
    using RMSStepDetector::RMSStepDetector;
    using RMSStepDetector::applyNoise;
    using RMSStepDetector::estimateNoise;

    /// Replaces the list; the rate stands for the one a run would have set.
    void setRegions(const std::vector<Region>& list, unsigned rate, double loudestPower = 0.0)
    {
        regions = list;
        regionRate = rate;
        currentMax = loudestPower;
    }
    std::vector<Region>& list() { return regions; }
};

/// Keeps the block size of the whole test program unchanged by a test.
class BlockSizeGuard {
public:
    explicit BlockSizeGuard(unsigned frames)
        : saved(SoundBuffer::getDefaultSize())
    {
        SoundBuffer::setDefaultSize(frames);
    }
    ~BlockSizeGuard() { SoundBuffer::setDefaultSize(saved); }

private:
    unsigned saved;
};

RMSStepDetector::Region region(int start, int length, double powerLeft, double powerRight, int count,
                               bool noise = false);

} // namespace DynamicsTest
