#include "RMSStepDetector.h"

#include <QReadLocker>
#include <QWriteLocker>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <sstream>

using SoundTools::StereoFrame;

RMSStepDetector::RMSStepDetector(double stepThreshold, double minRegionDurationSeconds, double noiseLevelDb,
                                 double windowDurationSeconds, OutputMode mode, bool flushEveryBlock)
    : stepRatio(std::pow(SoundTools::dbToLinear(stepThreshold), 2))
    , minRegionDuration(minRegionDurationSeconds)
    , noiseLevel(SoundTools::dbToLinear(noiseLevelDb))
    , windowDuration(windowDurationSeconds)
    , outputMode(mode)
    , flushEachBlock(flushEveryBlock)
{
    regions.reserve(100);
}

RMSStepDetector::~RMSStepDetector() = default;

const char* RMSStepDetector::getName() const
{
    return "RMSStepDetector";
}

unsigned RMSStepDetector::getInOverlap(unsigned rate) const
{
    const int frames = SoundTools::secondsToFrames(windowDuration, rate);
    return frames > 0 ? static_cast<unsigned>(frames) : 0;
}

double RMSStepDetector::levelOf(const Region& r)
{
    return std::max(r.powerLeft, r.powerRight);
}

double RMSStepDetector::quietOf(const Region& r)
{
    return std::min(r.powerLeft, r.powerRight);
}

SoundTools::Status RMSStepDetector::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                                SoundAlgo* nxt)
{
    minRegionFrames = std::max(1, SoundTools::secondsToFrames(minRegionDuration, rate));
    minPushFrames = std::max(1, SoundTools::secondsToFrames(0.5, rate));
    windowFrames = std::max(1, SoundTools::secondsToFrames(windowDuration, rate));
    {
        QWriteLocker lock(&regionLock);
        sumLeft = 0.0;
        sumRight = 0.0;
        count = 0;
        // Regions are kept in stream positions: the first region of a run that
        // starts at a start point begins there, not at 0.
        regionStart = offset;
        lastFrame = offset - 1;
        regionRate = rate;
    }
    leadingSilence = true;
    return SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
}

namespace {

/// Whether the power `p` of the current frame lies more than `ratio` away from
/// the region's mean power `sum / count` in either direction, where the mean
/// is the larger of the channels' means. The division of every frame costs
/// more than the rest of the detector: products with the count decide all but
/// near ties, which are left to the division, so that every answer is the one
/// the division gives (dividing the larger sum equals taking the larger of
/// the two means: division by a positive count keeps the order).
inline bool stepsAway(double p, double sum, int32_t count, double ratio)
{
    // Within these bounds every product below stays a normal number, so
    // rounding moves each by a few parts in 1e16: beyond a relative margin of
    // 1e-12 the products' order is the quotients'.
    auto moderate = [](double v, double low, double high) { return v == 0.0 || (v > low && v < high); };
    if (count > 0 && moderate(p, 1e-250, 1e250) && moderate(sum, 1e-250, 1e250) && ratio > 1e-20 && ratio < 1e20) {
        constexpr double up = 1.0 + 1e-12;
        constexpr double down = 1.0 - 1e-12;
        const double c = double(count);
        const double pc = p * c;
        const double sumRatio = sum * ratio;
        const double pcRatio = pc * ratio;
        const bool louder = pc > sumRatio * up;
        const bool notLouder = pc < sumRatio * down;
        const bool quieter = sum > pcRatio * up;
        const bool notQuieter = sum < pcRatio * down;
        if (louder || quieter)
            return true;
        if (notLouder && notQuieter)
            return false;
    }
    const double a = count > 0 ? sum / count : 0.0;
    return p > a * ratio || a > p * ratio;
}

} // namespace

SoundTools::Status RMSStepDetector::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0 || inBuffers.empty() || outBuffers.empty())
        return SoundTools::StatusOk;

    const int c0 = getInOrigin();
    const StereoFrame<double>* x = inBuffers[0]->getStereoFrame(c0);
    StereoFrame<double>* y = outputMode == NoOutput ? nullptr : outBuffers[0]->getStereoFrame(getOutOrigin());
    if (x == nullptr)
        return SoundTools::StatusOk;

    const int w = windowFrames;
    const double invW = 1.0 / w;
    const double ratio = stepRatio;
    const int64_t end = inputEnd;
    // Fixed for the run (set at its start); a region shorter than this is
    // never pushed, so the loop need not take the lock to learn that.
    const int32_t minPush = minPushFrames;
    // Running window sums of squares: one full sum at the first frame handled
    // in the block, then one add and one subtract per frame.
    double windowLeft = 0.0;
    double windowRight = 0.0;
    bool haveWindow = false;
    // The region under construction lives in locals while the block runs, so
    // that its sums stay in registers; the members see them around every
    // push (pushRegion reads and resets them) and at the end of the block.
    double sumL = sumLeft;
    double sumR = sumRight;
    int32_t cnt = count;
    int32_t last = lastFrame;
    bool silence = leadingSilence;
    auto push = [&](bool force) {
        sumLeft = sumL;
        sumRight = sumR;
        count = cnt;
        lastFrame = last;
        const SoundTools::Status status = pushRegion(force);
        sumL = sumLeft;
        sumR = sumRight;
        cnt = count;
        return status;
    };

    for (int k = 0; k < n; ++k) {
        const int cur = c0 + k;
        if (cur > last) {
            if (!haveWindow) {
                windowLeft = 0.0;
                windowRight = 0.0;
                for (int j = 0; j < w; ++j) {
                    windowLeft += x[k + j].left * x[k + j].left;
                    windowRight += x[k + j].right * x[k + j].right;
                }
                haveWindow = true;
            } else {
                const StereoFrame<double>& f = x[k + w - 1];
                windowLeft += f.left * f.left;
                windowRight += f.right * f.right;
            }
            // Adding and subtracting squares leaves the sums a few ulps below 0
            // after loud audio followed by digital silence. Near the end of the
            // input the window reaches into the silence that flushes the run:
            // only the input's frames count.
            const int64_t real = std::min<int64_t>(w, end - int64_t(cur));
            const double scale = real >= w ? invW : real > 0 ? 1.0 / double(real)
                                                             : 0.0;
            const double powerLeft = std::max(windowLeft, 0.0) * scale;
            const double powerRight = std::max(windowRight, 0.0) * scale;
            windowLeft -= x[k].left * x[k].left;
            windowRight -= x[k].right * x[k].right;
            if (real <= 0) {
                // Past the end: no material to measure.
                last = cur;
                if (y != nullptr)
                    y[k] = outputMode == RegionLevel ? StereoFrame<double>{0.0, 0.0} : x[k];
                continue;
            }

            if (silence && !(powerLeft > 0.0) && !(powerRight > 0.0)) {
                // Leading digital silence stays out of the first region.
                regionStart = cur + 1;
                last = cur;
            } else {
                silence = false;
                const double p = std::max(powerLeft, powerRight);
                SoundTools::Status pushed = SoundTools::StatusError;
                if (cnt >= minPush && stepsAway(p, std::max(sumL, sumR), cnt, ratio))
                    pushed = push(false);
                switch (pushed) {
                case SoundTools::StatusOk:
                    sumL = powerLeft;
                    sumR = powerRight;
                    cnt = 1;
                    // The step lies somewhere inside the look-ahead window:
                    // its centre is the best guess.
                    regionStart = cur + w / 2;
                    last = cur;
                    break;
                case SoundTools::StatusEnd:
                    sumL = powerLeft;
                    sumR = powerRight;
                    cnt = 1;
                    regionStart = cur;
                    last = cur;
                    break;
                default:
                    sumL += powerLeft;
                    sumR += powerRight;
                    ++cnt;
                    last = cur;
                    break;
                }
            }
        }

        if (y != nullptr) {
            if (outputMode == RegionLevel) {
                if (cnt > 0) {
                    y[k].left = std::sqrt(sumL / cnt);
                    y[k].right = std::sqrt(sumR / cnt);
                } else {
                    y[k].left = 0.0;
                    y[k].right = 0.0;
                }
            } else {
                y[k] = x[k];
            }
        }
    }
    sumLeft = sumL;
    sumRight = sumR;
    count = cnt;
    lastFrame = last;

    // Only the first block may skip silence: later silence is material.
    leadingSilence = false;
    if (flushEachBlock)
        flush(false);
    return SoundTools::StatusOk;
}

SoundTools::Status RMSStepDetector::pushRegion(bool force)
{
    QWriteLocker lock(&regionLock);
    return pushRegionLocked(force);
}

SoundTools::Status RMSStepDetector::pushRegionLocked(bool force)
{
    if (!force && count < minPushFrames)
        return SoundTools::StatusError;
    Region added;
    added.start = regionStart;
    added.length = count;
    added.powerLeft = count > 0 ? sumLeft / count : 0.0;
    added.powerRight = count > 0 ? sumRight / count : 0.0;
    added.count = count;
    added.isNoise = false;

    if (regions.empty()) {
        regions.push_back(added);
        currentMax = levelOf(added);
        return SoundTools::StatusOk;
    }

    Region& last = regions.back();
    const int distance = regionStart - last.start;
    const double newLevel = levelOf(added);
    const double lastLevel = levelOf(last);
    if (distance >= minRegionFrames && (newLevel > lastLevel * stepRatio || lastLevel > newLevel * stepRatio)) {
        last.length = distance;
        if (newLevel > currentMax)
            currentMax = newLevel;
        regions.push_back(added);
        return SoundTools::StatusOk;
    }

    const int64_t weight = int64_t(last.count) + count;
    if (weight > 0) {
        last.powerLeft = (last.powerLeft * last.count + count * added.powerLeft) / double(weight);
        last.powerRight = (last.powerRight * last.count + count * added.powerRight) / double(weight);
    }
    last.count += count;
    last.length += count;
    regionStart = lastFrame;
    sumLeft = 0.0;
    sumRight = 0.0;
    count = 0;
    if (levelOf(last) > currentMax)
        currentMax = levelOf(last);
    return SoundTools::StatusEnd;
}

void RMSStepDetector::flush(bool force)
{
    QWriteLocker lock(&regionLock);
    if (pushRegionLocked(force) == SoundTools::StatusOk) {
        sumLeft = 0.0;
        sumRight = 0.0;
        count = 0;
        regionStart = lastFrame + 1;
    }
    if (sDebug)
        printRegions(nullptr);
    applyNoise(SoundTools::linearToDb(noiseLevel), regions.begin(), regions.end());
}

void RMSStepDetector::endProcess(int status, unsigned frames)
{
    const int64_t endFrame = int64_t(startOffset) + frames;
    // A step in the last half window places the region under construction at
    // or after the end frame: it holds only look-ahead into the silence
    // padded behind the input. Pushing it would leave a region that starts
    // after the end of the material and swallow the closing region.
    if (count > 1 && regionStart < endFrame)
        pushRegion(true);
    {
        QWriteLocker lock(&regionLock);
        // The window looks ahead into the silence that flushes the run: what
        // it found there is no region of the input. Only the closing region
        // below starts at the end; the one before it ends there.
        while (!regions.empty() && int64_t(regions.back().start) >= endFrame)
            regions.pop_back();
        if (!regions.empty() && int64_t(regions.back().start) + regions.back().length > endFrame)
            regions.back().length = static_cast<int32_t>(endFrame - regions.back().start);
        regionStart = static_cast<int32_t>(endFrame);
        sumLeft = 0.0;
        sumRight = 0.0;
        count = 1;
    }
    flush(true);
    {
        QWriteLocker lock(&regionLock);
        savedRegions = regions;
    }
    SoundAlgo::endProcess(status, frames);
}

void RMSStepDetector::reset()
{
    QWriteLocker lock(&regionLock);
    regions.clear();
    sumLeft = 0.0;
    sumRight = 0.0;
    count = 0;
    regionStart = 0;
    currentMax = 0.0;
}

void RMSStepDetector::ResetRegions()
{
    QWriteLocker lock(&regionLock);
    regions = savedRegions;
}

int RMSStepDetector::size() const
{
    QReadLocker lock(&regionLock);
    return static_cast<int>(regions.size());
}

RMSStepDetector::Region RMSStepDetector::getRegion(int i) const
{
    QReadLocker lock(&regionLock);
    if (i < 0 || static_cast<size_t>(i) >= regions.size())
        return Region{0, 0, 0.0, 0.0, 0, false};
    return regions[static_cast<size_t>(i)];
}

int RMSStepDetector::GetSegmentsNumber() const
{
    QReadLocker lock(&regionLock);
    int segments = 0;
    bool inSignal = false;
    for (const Region& r : regions) {
        if (!r.isNoise && !inSignal)
            ++segments;
        inSignal = !r.isNoise;
    }
    return segments;
}

unsigned RMSStepDetector::GetFullLength() const
{
    QReadLocker lock(&regionLock);
    return regions.empty() ? 0u : static_cast<unsigned>(regions.back().start);
}

int RMSStepDetector::getSignalStart(double margin) const
{
    QReadLocker lock(&regionLock);
    const int m = SoundTools::secondsToFrames(margin, regionRate);
    for (const Region& r : regions)
        if (!r.isNoise)
            return r.start <= m ? 0 : r.start - m;
    return std::numeric_limits<int32_t>::max();
}

int RMSStepDetector::getSignalEnd(double margin) const
{
    QReadLocker lock(&regionLock);
    const int m = SoundTools::secondsToFrames(margin, regionRate);
    for (auto it = regions.rbegin(); it != regions.rend(); ++it)
        if (!it->isNoise)
            return it->start + it->length - 1 + m;
    return 0;
}

double RMSStepDetector::getCurrentMax() const
{
    QReadLocker lock(&regionLock);
    return std::sqrt(currentMax);
}

double RMSStepDetector::getNoiseLevelDb() const
{
    return SoundTools::linearToDb(noiseLevel);
}

int RMSStepDetector::_size(RegionConstIterator first, RegionConstIterator last) const
{
    if (first == regions.end() || last == regions.end())
        return 0;
    return last->start - first->start;
}

void RMSStepDetector::applyNoise(double noiseDb)
{
    QWriteLocker lock(&regionLock);
    applyNoise(noiseDb, regions.begin(), regions.end());
}

bool RMSStepDetector::applyNoise(double noiseDb, RegionIterator first, RegionIterator last)
{
    noiseLevel = SoundTools::dbToLinear(noiseDb);
    if (first == last)
        return false;
    double threshold = noiseLevel * noiseLevel;
    if (!flushEachBlock) {
        // Relative to the loudest material of the range, judged by its quieter
        // channel so that a one-sided burst does not raise the threshold.
        double loudest = 0.0;
        for (auto it = first; it != last; ++it)
            if (quietOf(*it) > loudest)
                loudest = quietOf(*it);
        threshold *= loudest;
    }
    bool changed = false;
    for (auto it = first; it != last; ++it) {
        const double level = levelOf(*it);
        if (threshold >= level && !it->isNoise) {
            it->isNoise = true;
            changed = true;
        } else if (level > threshold && it->isNoise) {
            it->isNoise = false;
            changed = true;
        }
    }
    if (sDebug && changed)
        printRegions("Apply Noise");
    return changed;
}

std::string RMSStepDetector::formatTime(double seconds)
{
    std::ostringstream text;
    if (!std::isfinite(seconds))
        seconds = 0.0;
    if (seconds < 0) {
        text << '-';
        seconds = -seconds;
    }
    const double hours = std::floor(seconds / 3600.0);
    seconds -= hours * 3600.0;
    const double minutes = std::floor(seconds / 60.0);
    seconds -= minutes * 60.0;
    text << std::fixed << std::setfill('0') << std::setprecision(0) << std::setw(2) << hours << ':' << std::setw(2)
         << minutes << ':' << std::setprecision(3) << std::setw(6) << seconds;
    return text.str();
}

std::ostream& RMSStepDetector::outputRegion(const Region& region) const
{
    std::ostream& os = getOStream();
    const double rate = regionRate > 0 ? double(regionRate) : 0.0;
    const double startSeconds = rate > 0 ? region.start / rate : 0.0;
    const double lengthSeconds = rate > 0 ? region.length / rate : 0.0;
    os << std::fixed << std::setprecision(2);
    os << "[Thread " << omp_get_thread_num() << "]"
       << " ";
    if (region.isNoise)
        os << "[";
    os << formatTime(startSeconds) << " (" << formatTime(lengthSeconds) << ") : "
       << SoundTools::linearToDb(std::sqrt(region.powerLeft)) << " "
       << SoundTools::linearToDb(std::sqrt(region.powerRight));
    if (region.isNoise)
        os << "]";
    os << std::endl;
    return os;
}

void RMSStepDetector::printRegions(const char* title) const
{
    std::ostream& os = getOStream();
    if (title != nullptr)
        os << title << " ";
    os << regions.size() << " regions" << std::endl;
    os << std::fixed << std::setprecision(2) << "Noise level :" << SoundTools::linearToDb(noiseLevel) << " dB"
       << std::endl;
    // Long lists would drown the report; the count says enough.
    if (regions.size() <= 200)
        for (const Region& r : regions)
            outputRegion(r);
}

double RMSStepDetector::estimateNoise(double quietDuration, double range) const
{
    return estimateNoise(quietDuration, range, regions.begin(), regions.end());
}

double RMSStepDetector::estimateNoise(double quietDuration, double range, RegionConstIterator first,
                                      RegionConstIterator last) const
{
    if (first == last)
        return -range;
    if (quietDuration <= 0)
        quietDuration = 1.0;
    std::vector<Region> sorted(first, last);
    std::sort(sorted.begin(), sorted.end(),
              [](const Region& a, const Region& b) { return levelOf(a) < levelOf(b); });

    // Long recordings hold more quiet material: ask for quietDuration seconds
    // of it per five minutes.
    const unsigned stretch = static_cast<unsigned>(std::max(1, SoundTools::secondsToFrames(300.0, regionRate)));
    const unsigned pieces = std::max(1u, GetFullLength() / stretch);
    const double quota = std::floor(pieces * quietDuration * regionRate + 0.5);

    const Region& loudest = sorted.back();
    const double reference = quietOf(loudest);
    // Nothing to measure against: a loudest region with a silent channel would
    // give an infinite noise level.
    if (!(reference > 0.0))
        return -range;
    // Material more than `range` below the loudest region is digital silence
    // or fades, not the noise floor.
    const double floorPower = std::pow(SoundTools::dbToLinear(-range), 2) * reference;
    Region candidate{0, 0, floorPower, floorPower, 0, false};
    double total = 0.0;
    for (const Region& r : sorted) {
        if (total >= quota)
            break;
        if (levelOf(r) > floorPower) {
            candidate = r;
            total += r.length;
        }
    }
    if (candidate.start == loudest.start && candidate.length == loudest.length)
        return -range;
    // 5 % above the quiet material so that the noise pass marks it.
    const double ratio = std::sqrt(levelOf(candidate)) * 1.05 / std::sqrt(reference);
    if (sDebug)
        getOStream() << "Noise=" << SoundTools::linearToDb(ratio) << "dB" << std::endl;
    return SoundTools::linearToDb(ratio);
}

void RMSStepDetector::Split(double quietDuration, double minRunDuration, double range)
{
    if (regions.empty())
        return;
    const int minRun = SoundTools::secondsToFrames(minRunDuration, regionRate);
    bool inNoise = true;
    size_t runStart = 0;
    size_t i = 0;
    while (i < regions.size()) {
        if (!regions[i].isNoise) {
            if (inNoise) {
                inNoise = false;
                runStart = i;
            }
            ++i;
            continue;
        }
        if (!inNoise && _size(regions.begin() + runStart, regions.begin() + i) > minRun) {
            const double noiseDb = estimateNoise(quietDuration, range, regions.begin() + runStart,
                                                 regions.begin() + i);
            if (applyNoise(noiseDb, regions.begin() + runStart, regions.begin() + i)) {
                // New marks inside the run: walk it again, so that the pieces
                // it fell into are examined on their own.
                if (sDebug)
                    getOStream() << "Noise = " << noiseDb << " dB" << std::endl;
                i = runStart;
                continue;
            }
        }
        inNoise = true;
        ++i;
    }
    if (sDebug)
        printRegions("Split");
}

void RMSStepDetector::mergeRegions()
{
    std::vector<Region> merged;
    merged.reserve(std::max<size_t>(regions.capacity(), 100));
    Region current{0, 0, 0.0, 0.0, 0, true};
    auto fold = [&current](const Region& r) {
        if (current.length == 0) {
            current = r;
            return;
        }
        current.length += r.length;
        const int64_t weight = int64_t(current.count) + r.count;
        if (weight > 0) {
            current.powerLeft = (r.powerLeft * r.count + current.powerLeft * current.count) / double(weight);
            current.powerRight = (r.powerRight * r.count + current.powerRight * current.count) / double(weight);
        }
        current.count = static_cast<int32_t>(weight);
    };
    for (const Region& r : regions) {
        if (r.isNoise != current.isNoise && current.length >= 1) {
            merged.push_back(current);
            current = r;
        } else {
            fold(r);
        }
    }
    if (current.length >= 1)
        merged.push_back(current);
    regions.swap(merged);
    if (sDebug)
        printRegions("Merge");
}

double RMSStepDetector::compressDynamic(double ratio)
{
    ratio = std::max(ratio, 1.0);
    const double exponent = std::pow(1.0 - 1.0 / ratio, 2);

    double maxLevel = 0.0;
    int64_t totalLength = 0;
    for (const Region& r : regions)
        if (!r.isNoise) {
            maxLevel = std::max(maxLevel, levelOf(r));
            totalLength += r.length;
        }
    const double ref = std::sqrt(maxLevel);

    auto divide = [this](size_t from, size_t to, double by) {
        for (size_t j = from; j < to; ++j) {
            regions[j].powerLeft /= by;
            regions[j].powerRight /= by;
        }
    };

    // Each group of consecutive signal regions is compressed towards the
    // loudest level, then divided by its smallest correction (that of its own
    // loudest region): the loudest region of every group keeps its level and
    // the quieter ones come up towards it.
    double minGain = 0.0;
    size_t groupStart = 0;
    double sumCount = 0.0;
    double sumGain = 0.0;
    for (size_t i = 0; i < regions.size(); ++i) {
        Region& r = regions[i];
        if (!r.isNoise) {
            if (minGain == 0.0) {
                minGain = 1000.0;
                groupStart = i;
            }
            const double rms = std::sqrt(levelOf(r));
            // A silent region has nothing to bring up; leave it alone rather
            // than multiply 0 by infinity.
            const double gain = rms > 0.0 ? std::pow(rms / ref, exponent) * (ref / rms) : 1.0;
            const double g2 = gain * gain;
            r.powerLeft *= g2;
            r.powerRight *= g2;
            if (g2 < minGain)
                minGain = g2;
            sumCount += r.count;
            sumGain += r.count * g2;
        } else if (minGain > 0.0) {
            divide(groupStart, i, minGain);
            minGain = 0.0;
        }
    }

    // Fade-out: when the signal gets quieter towards its last region, the
    // amplifier would raise each step of the fade to the target and undo it.
    // The stretch before the last region (about a tenth of the signal at
    // most) takes the level of its earliest louder region, so it gets one
    // gain and the fade survives.
    std::ptrdiff_t reference = -1;
    std::ptrdiff_t louder = -1;
    double louderLeft = 0.0;
    double louderRight = 0.0;
    int64_t acc = 0;
    for (std::ptrdiff_t i = std::ptrdiff_t(regions.size()) - 1; i >= 0; --i) {
        const Region& r = regions[size_t(i)];
        if (r.isNoise) {
            if (reference >= 0)
                break;
            continue;
        }
        acc += r.length;
        if (reference < 0) {
            reference = i;
            continue;
        }
        const Region& ref = regions[size_t(reference)];
        if (r.powerLeft > ref.powerLeft || r.powerRight > ref.powerRight) {
            louder = i;
            louderLeft = r.powerLeft;
            louderRight = r.powerRight;
            if (acc > totalLength / 10)
                break;
        } else {
            break;
        }
    }
    if (louder >= 0 && acc > 0) {
        for (std::ptrdiff_t j = louder; j < reference; ++j) {
            regions[size_t(j)].powerLeft = louderLeft;
            regions[size_t(j)].powerRight = louderRight;
        }
        if (sDebug)
            printRegions("Fade out processed");
    }

    if (minGain > 0.0)
        divide(groupStart, regions.size(), minGain);

    const double correction = std::sqrt(sumGain / sumCount);
    const double correctionDb = SoundTools::linearToDb(correction);
    if (sDebug) {
        std::ostream& os = getOStream();
        os << "=====================================\n"
           << "      Compression de dynamique\n"
           << " Correction moyenne : " << std::fixed << std::setprecision(2) << correctionDb << " dB" << std::endl;
        printRegions(nullptr);
    }
    return correctionDb;
}
