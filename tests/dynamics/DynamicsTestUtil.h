#pragma once

#include "RMSStepDetector.h"
#include "SoundAlgo.h"
#include "SoundBuffer.h"

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace DynamicsTest {

/// Releases a node through its reference count.
struct Release {
    void operator()(SoundAlgo* node) const { if (node != nullptr) node->releaseReference(); }
};
template <typename T>
using Owned = std::unique_ptr<T, Release>;

/// One stretch of a test signal: RMS `rmsDb` on both channels (silence below -200 dB).
struct Stretch {
    double seconds;
    double rmsDb;
};

/// 400 Hz cosines: at 8000 Hz a window of whole 20-frame periods holds exactly the stretch's power.
std::vector<double> levelSteps(const std::vector<Stretch>& stretches, unsigned rate);

/// Stereo uniform noise (seed 2, right channel scaled) for the first half of `frames`, then digital silence.
std::vector<double> noiseThenSilence(int frames, double rightScale);

/// Lowest value a running window sum of squares of `x` reaches, one add then one subtract per
/// step, over windows [k, k + w) for k in [begin, end).
double lowestRunningSum(const std::function<double(int)>& x, int begin, int end, int w);

/// Runs `node` over interleaved stereo `signal` from `startSeconds`; returns what the loop wrote.
std::vector<double> runNode(SoundAlgo& node, const std::vector<double>& signal, unsigned rate,
                            double startSeconds = 0.0);

/// Linear RMS to dB and back, written out here rather than taken from the library.
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
    explicit BlockSizeGuard(unsigned frames) { SoundBuffer::setDefaultSize(frames); }
    ~BlockSizeGuard() { SoundBuffer::setDefaultSize(saved); }

private:
    const unsigned saved = SoundBuffer::getDefaultSize();
};

/// Diagnostics go to a string while the object lives; debug and verbose are off afterwards.
class CapturedStream {
public:
    CapturedStream() { SoundDebuggableClass::setOStream(&text); }
    ~CapturedStream();
    std::string str() const { return text.str(); }

private:
    std::ostringstream text;
};

RMSStepDetector::Region region(int start, int length, double powerLeft, double powerRight, int count,
                               bool noise = false);

} // namespace DynamicsTest
