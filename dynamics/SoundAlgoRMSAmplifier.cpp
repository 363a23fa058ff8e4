#include "SoundAlgoRMSAmplifier.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QWriteLocker>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <iomanip>

using SoundTools::StereoFrame;

SoundAlgoRMSAmplifier::SoundAlgoRMSAmplifier(double levelDb, RMSStepDetector* regionSource, double rampSeconds,
                                             int smoothingFactor, double maxGainDb)
    : maxGain(SoundTools::dbToLinear(maxGainDb))
    , rampDuration(rampSeconds)
    , level(SoundTools::dbToLinear(levelDb))
    , detector(regionSource)
    , smoothing(smoothingFactor)
{
    if (detector != nullptr)
        detector->addReference();
}

SoundAlgoRMSAmplifier::~SoundAlgoRMSAmplifier()
{
    if (detector != nullptr)
        detector->releaseReference();
}

const char* SoundAlgoRMSAmplifier::getName() const
{
    return "SoundAlgoRMSAmplifier";
}

int SoundAlgoRMSAmplifier::regionCount() const
{
    return detector != nullptr ? detector->size() : 0;
}

int SoundAlgoRMSAmplifier::rampFrames() const
{
    return SoundTools::secondsToFrames(rampDuration, sampleRate);
}

SoundTools::Status SoundAlgoRMSAmplifier::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                                      SoundAlgo* nxt)
{
    // A new run (a replay, another start point) must not keep the gain of
    // wherever the last run stopped: look the region up again.
    reset();
    sampleRate = rate;
    rampRemaining = rampFrames();
    return SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
}

void SoundAlgoRMSAmplifier::reset()
{
    coeff = 1.0;
    gain = 1.0;
    initialised = false;
    levelCursor = 0;
    // A ramp left running would drift the gain away from the value the next
    // lookup sets.
    rampStep = 0.0;
}

void SoundAlgoRMSAmplifier::setLevel(double levelDb)
{
    QWriteLocker lock(&levelLock);
    level = SoundTools::dbToLinear(levelDb);
    initCurrentCoeff();
}

void SoundAlgoRMSAmplifier::setBalanceFromRMS(const StereoFrame<double>& rmsDb)
{
    const double loudest = SoundTools::dbToLinear(std::max(rmsDb.left, rmsDb.right));
    balanceLeft = loudest / SoundTools::dbToLinear(rmsDb.left);
    balanceRight = loudest / SoundTools::dbToLinear(rmsDb.right);
}

double SoundAlgoRMSAmplifier::computeCoeffFromRegion(RMSStepDetector::Region& region)
{
    const double loudest = detector != nullptr ? detector->getCurrentMax() : 0.0;
    double x = std::max(balanceLeft * std::sqrt(region.powerLeft), balanceRight * std::sqrt(region.powerRight));
    if (smoothing > 0)
        x += (loudest - x) / smoothing;
    double c = level / x;
    // Also catches a silent region (x = 0: infinite or undefined gain).
    if (!(c <= maxGain))
        c = maxGain;
    // Qt drops a disabled debug message only after it has been formatted,
    // which allocates; this runs at every block.
    if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug().noquote().nospace() << "Amp=" << SoundTools::linearToDb(c) << " dB";
    return c;
}

void SoundAlgoRMSAmplifier::printAmplification(std::ostream& os) const
{
    os << std::fixed << std::setprecision(2) << "Amplification set to " << SoundTools::linearToDb(balanceLeft * coeff)
       << " " << SoundTools::linearToDb(balanceRight * coeff) << std::endl;
}

void SoundAlgoRMSAmplifier::initCurrentCoeff()
{
    if (regionCount() > 0)
        coeff = currentRegion.isNoise ? 1.0 : computeCoeffFromRegion(currentRegion);
    gain = coeff;
    // The new gain holds at once: a ramp still running would carry it past.
    rampStep = 0.0;
    rampRemaining = 0;
    if (sDebug)
        printAmplification(getOStream());
}

void SoundAlgoRMSAmplifier::recomputeCoeffFromRegion()
{
    if (currentRegion.isNoise) {
        gain = 1.0;
        coeff = 1.0;
        rampStep = 0.0;
        rampRemaining = 0;
        return;
    }
    coeff = computeCoeffFromRegion(currentRegion);
    const int n = rampFrames();
    if (n <= 0) {
        // No ramp asked for: follow the regions with a step.
        gain = coeff;
        rampStep = 0.0;
        rampRemaining = 0;
        return;
    }
    rampStep = (coeff - gain) / n;
    rampRemaining = n;
    if (rampStep == 0.0)
        rampRemaining = 0;
}

void SoundAlgoRMSAmplifier::initCoeffFromRegionManager(int frame)
{
    if (!initialised) {
        const int n = regionCount();
        if (n == 0) {
            gain = 1.0;
            return;
        }
        RMSStepDetector::Region r = detector->getRegion(0);
        regionIndex = 1;
        while (int64_t(r.start) + r.length - 1 < frame && regionIndex < n) {
            r = detector->getRegion(regionIndex);
            ++regionIndex;
        }
        currentRegion = r;
        initCurrentCoeff();
        initialised = true;
        return;
    }
    // The detector may have grown or merged the region since the last block.
    currentRegion = detector->getRegion(regionIndex - 1);
    recomputeCoeffFromRegion();
}

void SoundAlgoRMSAmplifier::setCoeff(int frame)
{
    if (currentRegion.length > 0 && int64_t(frame) > int64_t(currentRegion.start) + currentRegion.length - 1
        && regionIndex < blockRegionCount) {
        currentRegion = detector->getRegion(regionIndex);
        ++regionIndex;
        if (currentRegion.isNoise) {
            // Hold the gain through the noise rather than pump it up.
            coeff = 1.0;
            rampRemaining = 0;
        } else {
            recomputeCoeffFromRegion();
        }
        if (sDebug) {
            std::ostream& os = detector->outputRegion(currentRegion);
            os << std::fixed << std::setprecision(2) << "[Thread " << omp_get_thread_num() << "]"
               << " " << RMSStepDetector::formatTime(sampleRate > 0 ? double(frame) / sampleRate : 0.0)
               << " : ";
            printAmplification(os);
        }
        return;
    }
    if (rampRemaining != 0) {
        --rampRemaining;
        gain += rampStep;
    }
}

SoundTools::Status SoundAlgoRMSAmplifier::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0 || inBuffers.empty() || outBuffers.empty())
        return SoundTools::StatusOk;
    const int f0 = getInOrigin();
    const StereoFrame<double>* x = inBuffers[0]->getStereoFrame(f0);
    StereoFrame<double>* y = outBuffers[0]->getStereoFrame(getOutOrigin());
    if (x == nullptr || y == nullptr)
        return SoundTools::StatusOk;

    initCoeffFromRegionManager(f0);
    // Regions that appear during the block are picked up at the next one; this
    // keeps the detector's lock out of the per-frame path.
    blockRegionCount = regionCount();
    for (int k = 0; k < n; ++k) {
        setCoeff(f0 + k);
        y[k].left = x[k].left * balanceLeft * gain;
        y[k].right = x[k].right * balanceRight * gain;
    }
    return SoundTools::StatusOk;
}

double SoundAlgoRMSAmplifier::getLevel(double seconds)
{
    const int n = regionCount();
    if (levelCursor >= n)
        return 0.0;
    const int frame = SoundTools::secondsToFrames(seconds, sampleRate);
    RMSStepDetector::Region r = detector->getRegion(levelCursor);
    while (int64_t(frame) > int64_t(r.start) + r.length - 1) {
        ++levelCursor;
        if (levelCursor >= n) {
            levelCursor = 0;
            return 0.0;
        }
        r = detector->getRegion(levelCursor);
    }
    return SoundTools::linearToDb(computeCoeffFromRegion(r));
}
