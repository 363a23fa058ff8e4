#include "SoundAlgoLimiter.h"

#include "SoundWriter.h"
#include "TruePeakInterpolator.h"

#include <QWriteLocker>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <ostream>

namespace {

double framePeak(const SoundTools::StereoFrame<double>& frame)
{
    return std::max(std::fabs(frame.left), std::fabs(frame.right));
}

constexpr int kHalfTaps = TruePeakInterpolator::kHalfTaps;

// With true-peak detection attacks and clip corrections aim this much (0.26 dB)
// below the ceiling: the gain itself moves from frame to frame, so the
// oversampled output differs slightly from gain x oversampled input. Uniform
// noise peaking 12 dB over full scale, the worst case found, overshoots the
// aim by up to 0.24 dB.
constexpr double kTruePeakMargin = 0.97;

} // namespace

SoundAlgoLimiter::SoundAlgoLimiter(double levelDb, double attack, double release, const char* debugFile)
    : attackDuration(attack)
    , releaseDuration(release)
    , level(SoundTools::dbToLinear(levelDb))
    , gain(level)
    , debugFileName(debugFile != nullptr ? debugFile : "")
{
}

SoundAlgoLimiter::~SoundAlgoLimiter() = default;

const char* SoundAlgoLimiter::getName() const
{
    return "SoundAlgoLimiter";
}

int SoundAlgoLimiter::framesFor(double seconds, unsigned rate)
{
    // A length of 0 frames would leave the release step 0 / 0 and the gain NaN
    // for good, and the look-ahead would see nothing ahead: one frame is the
    // shortest meaningful length. The upper clamp keeps the int conversion
    // defined for absurd durations.
    const double frames = std::floor(seconds * rate + 0.5);
    if (!(frames >= 1.0))
        return 1;
    return static_cast<int>(std::min(frames, double(std::numeric_limits<int32_t>::max() / 4)));
}

unsigned SoundAlgoLimiter::getInOverlap(unsigned rate) const
{
    return static_cast<unsigned>(framesFor(attackDuration, rate) + framesFor(releaseDuration, rate));
}

unsigned SoundAlgoLimiter::getSampleShift(unsigned rate) const
{
    return getInOverlap(rate);
}

void SoundAlgoLimiter::SetSlopeMax(double slopeDb)
{
    slopeMax = SoundTools::dbToLinear(slopeDb);
}

void SoundAlgoLimiter::SetDebugFile(const char*)
{
}

void SoundAlgoLimiter::setCeiling(double ceilingDb)
{
    QWriteLocker locker(&limiterLock);
    ceiling = SoundTools::dbToLinear(std::min(0.0, std::max(-60.0, std::isfinite(ceilingDb) ? ceilingDb : 0.0)));
}

double SoundAlgoLimiter::getCeiling() const
{
    return SoundTools::linearToDb(ceiling);
}

void SoundAlgoLimiter::setTruePeak(bool on)
{
    QWriteLocker locker(&limiterLock);
    truePeak = on;
}

inline double SoundAlgoLimiter::peakAt(const SoundTools::StereoFrame<double>* in, int i) const
{
    if (truePeak && i < truePeakFrames)
        return truePeaks[static_cast<size_t>(i)];
    // Beyond the reach of the interpolator (a release shorter than its half
    // length): the sample itself.
    return framePeak(in[i]);
}

void SoundAlgoLimiter::findTruePeaks(const SoundTools::StereoFrame<double>* in, int available, int frames)
{
    // scratch[k + kHalfTaps] is input frame k of the block; the frames before
    // the block come from the previous one (silence at the start of a run).
    tpScratch.assign(tpHistory.begin(), tpHistory.end());
    tpScratch.insert(tpScratch.end(), in, in + available);
    const int count = std::max(0, available - kHalfTaps);
    // tpBetween[k + 1]: the largest interpolated magnitude between input
    // frames k and k + 1, for k = -1 ... count - 1. The look-ahead of the
    // previous block already covered the first of them: only the frames that
    // came into reach since are interpolated.
    const size_t needed = static_cast<size_t>(count) + 1;
    size_t known = std::min(tpBetween.size(), needed);
    tpBetween.resize(needed);
    const TruePeakInterpolator& interpolator = TruePeakInterpolator::get();
    if (needed > known)
        interpolator.between(&tpScratch[known], needed - known, &tpBetween[known]);
    truePeaks.resize(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k)
        truePeaks[static_cast<size_t>(k)] = std::max(
            {framePeak(in[k]), tpBetween[static_cast<size_t>(k)], tpBetween[static_cast<size_t>(k) + 1]});
    truePeakFrames = count;
    // The block moves on by `frames`: keep the last kHalfTaps frames before
    // the next block's first one, and what was found beyond the block.
    for (int k = 0; k < kHalfTaps; ++k)
        tpHistory[static_cast<size_t>(k)] = tpScratch[static_cast<size_t>(frames + k)];
    const size_t moved = std::min(tpBetween.size(), static_cast<size_t>(frames));
    tpBetween.erase(tpBetween.begin(), tpBetween.begin() + static_cast<std::ptrdiff_t>(moved));
}

void SoundAlgoLimiter::setLevel(double levelDb)
{
    QWriteLocker locker(&limiterLock);
    level = SoundTools::dbToLinear(levelDb);
    gain = level;
}

void SoundAlgoLimiter::reset()
{
    QWriteLocker locker(&limiterLock);
    gain = level;
}

double SoundAlgoLimiter::getLevel(double)
{
    return SoundTools::linearToDb(level);
}

SoundTools::Status SoundAlgoLimiter::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                                 SoundAlgo* nxt)
{
    {
        QWriteLocker locker(&limiterLock);
        // A run stopped in the middle of an attack must not hand its lowered
        // gain to the next run.
        gain = level;
        attackStep = 0.0;
        attackRemaining = 0;
        attackFloor = 0.0;
        releaseStep = 0.0;
        releaseRemaining = 0;
        attackTarget = 0;
        debugBuffer.reset();
        positiveAttacks = 0;
        clippingsFiltered = 0;
        loweredFrames = 0;
        sampleRate = rate;
        // The clip threshold keeps its small distance above the ceiling in
        // sample-peak mode; for true peaks the ceiling is the limit itself.
        clipThreshold = truePeak ? ceiling * kTruePeakMargin : ceiling * (sClipThreshold / sPeakCeiling);
        tpHistory.assign(truePeak ? kHalfTaps : 0, SoundTools::StereoFrame<double>{0.0, 0.0});
        truePeakFrames = 0;
        tpBetween.clear();
        attackFrames = framesFor(attackDuration, rate);
        releaseFrames = framesFor(releaseDuration, rate);
        slopeMaxPerFrame = rate > 0 ? slopeMax / rate : slopeMax;

        if (!debugFileName.empty()) {
            // A mono 16-bit WAV file whatever the name says; the writer comes
            // from the stream interface's factory, so dynamics needs no io.
            debugWriter.reset(SoundWriter::getFromExtension(".wav", rate, 1, 0, SoundTools::PCM16));
            if (!debugWriter || debugWriter->open(debugFileName.c_str()) != SoundTools::StatusOk)
                debugWriter.reset();
            else
                // The file starts where the run starts, like the main output;
                // frames the graph produces before that (leading silence of
                // delayed nodes) are skipped by the writer.
                debugWriter->setRange(offset, std::numeric_limits<int32_t>::max());
            // The file belongs to one run: a later run must not overwrite it.
            debugFileName.clear();
        }
        if (debugWriter && !debugBuffer)
            debugBuffer = SoundBuffer::createNew(rate);
    }
    const SoundTools::Status status = SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
    if (status == SoundTools::StatusOk && debugBuffer && !inBuffers.empty() && inBuffers[0])
        // Sized once here so that the blocks of the run do not allocate.
        debugBuffer->alloc(inBuffers[0]->getFrameNBAllocated(), 1, 1, 1);
    if (status == SoundTools::StatusOk && truePeak && !inBuffers.empty() && inBuffers[0]) {
        const size_t size = inBuffers[0]->getFrameNBAllocated() + kHalfTaps + 1;
        tpScratch.reserve(size);
        truePeaks.reserve(size);
        tpBetween.reserve(size);
    }
    return status;
}

void SoundAlgoLimiter::startRelease()
{
    releaseRemaining = releaseFrames;
    const double distance = level - gain;
    releaseStep = std::min(distance / releaseFrames, slopeMaxPerFrame);
    if (releaseStep > 0.0)
        // Rounded up: a truncated count stops the climb up to one step short
        // of the make-up gain, and nothing would lift it afterwards. The last
        // step is clipped at `level` instead.
        releaseRemaining = static_cast<int32_t>(
            std::min(std::ceil(distance / releaseStep), double(std::numeric_limits<int32_t>::max())));
    else
        releaseRemaining = 1;
}

// Inline and private: process asks for it once per frame, and the exported
// GetForwardCoeff would be called through the PLT.
inline double SoundAlgoLimiter::forwardCoeff() const
{
    if (attackRemaining == 0) {
        if (releaseRemaining != 0 && releaseRemaining >= attackFrames)
            return gain + attackFrames * releaseStep;
        return level;
    }
    double end = gain + attackRemaining * attackStep;
    if (attackStep < 0.0)
        end = std::max(end, attackFloor);
    if (attackRemaining >= attackFrames)
        return end;
    // The attack ends inside the look-ahead: assume the release that follows.
    const double slope = std::min((level - end) / releaseFrames, slopeMaxPerFrame);
    return end + (attackFrames - attackRemaining) * slope;
}

double SoundAlgoLimiter::GetForwardCoeff() const
{
    return forwardCoeff();
}

void SoundAlgoLimiter::planAttack(const SoundTools::StereoFrame<double>* in, int i, int frames, int32_t position,
                                  double q)
{
    // A larger peak a little further on may need the steeper ramp: aim at the
    // later frame while its peak grows faster than the ramp length does. The
    // scan stays inside the look-ahead of this block.
    int32_t length = attackFrames;
    double peak = q;
    for (int j = i + 1; j < frames; ++j) {
        const double further = peakAt(in, i + length + 1);
        if (further / (length + 1) < peak / length)
            break;
        ++length;
        peak = further;
    }

    const double aim = truePeak ? ceiling * kTruePeakMargin : ceiling;
    const double target = aim / peak;
    const double step = (target - gain) / length;
    if (attackRemaining == 0 || attackStep > step || position > attackTarget) {
        attackStep = step;
        attackTarget = position + length;
        attackFloor = target;
    } else {
        // The attack in progress falls faster than the new peak needs; it goes
        // on for `length` frames so that it also covers the new peak. Without
        // a floor it would run past both targets and could take the gain below
        // zero (a short loud burst inverted the signal): it stops at the lowest
        // gain any of the merged peaks needs.
        attackFloor = std::min(attackFloor, target);
    }
    attackRemaining = length;
    if (step > 0.0)
        ++positiveAttacks;
}

SoundTools::Status SoundAlgoLimiter::process()
{
    QWriteLocker locker(&limiterLock);
    if (inBuffers.empty() || outBuffers.empty() || !inBuffers[0] || !outBuffers[0])
        return SoundTools::StatusOk;
    const int frames = static_cast<int>(getOutFrameNb());
    if (frames <= 0)
        return SoundTools::StatusOk;
    const int inOrigin = getInOrigin();
    const SoundTools::StereoFrame<double>* in = inBuffers[0]->getStereoFrame(inOrigin);
    SoundTools::StereoFrame<double>* out = outBuffers[0]->getStereoFrame(getOutOrigin());
    if (in == nullptr || out == nullptr)
        return SoundTools::StatusOk;

    if (truePeak)
        findTruePeaks(in, frames + attackFrames + releaseFrames, frames);

    double* trace = nullptr;
    if (debugBuffer) {
        debugBuffer->alloc(static_cast<unsigned>(frames), 1, 1, 1);
        debugBuffer->setFrameNB(static_cast<unsigned>(frames));
        debugBuffer->setOrigin(inOrigin);
        trace = debugBuffer->getRelFrame(0);
    }

    for (int i = 0; i < frames; ++i) {
        if (attackRemaining == 0 && releaseRemaining == 0) {
            // At rest most frames only pass at the gain in force: run through
            // them until one would clip or needs a plan, and give that one to
            // the full treatment below. (|x| * gain is exactly |x * gain|, so
            // the tests are the ones below.)
            while (i < frames && peakAt(in, i) * gain <= clipThreshold
                   && (inOrigin + i + attackFrames <= attackTarget
                       || level * peakAt(in, i + attackFrames) <= ceiling)) {
                if (gain < level)
                    ++loweredFrames;
                out[i].left = in[i].left * gain;
                out[i].right = in[i].right * gain;
                if (trace != nullptr)
                    trace[i] = gain;
                ++i;
            }
            if (i == frames)
                break;
        }
        const int32_t position = inOrigin + i;
        out[i].left = in[i].left * gain;
        out[i].right = in[i].right * gain;
        if (trace != nullptr)
            trace[i] = gain;

        bool lowered = gain < level;
        const double p = truePeak ? gain * peakAt(in, i) : framePeak(out[i]);
        if (p > clipThreshold) {
            // The plan fell short: pull this frame to the ceiling and bend the
            // frames before it in this block down to meet it, so that the
            // correction is a ramp and not a step.
            const double r = (truePeak ? ceiling * kTruePeakMargin : ceiling) / p;
            gain *= r;
            const int j0 = std::max(i - attackFrames, 0);
            if (j0 < i) {
                for (int k = j0; k <= i; ++k) {
                    const double factor = 1.0 + (k - j0) * (1.0 - r) / (j0 - i);
                    out[k].left *= factor;
                    out[k].right *= factor;
                    if (trace != nullptr)
                        trace[k] *= factor;
                }
            } else {
                // Nothing of this block lies before the frame (first frame of
                // a block): the frame itself takes the whole correction.
                out[i].left *= r;
                out[i].right *= r;
                if (trace != nullptr)
                    trace[i] *= r;
            }
            startRelease();
            ++clippingsFiltered;
            lowered = true;
            attackRemaining = 0;
        }

        // The frame attackFrames ahead is not covered by a plan yet: will it
        // pass the ceiling with the gain expected when it arrives? At rest
        // (no attack, no release) that gain is simply the make-up level.
        if (position + attackFrames > attackTarget) {
            const double q = peakAt(in, i + attackFrames);
            const double forward = attackRemaining == 0 && releaseRemaining == 0 ? level : forwardCoeff();
            if (forward * q > ceiling)
                planAttack(in, i, frames, position, q);
        }

        if (lowered)
            ++loweredFrames;

        if (attackRemaining > 0) {
            --attackRemaining;
            gain += attackStep;
            if (attackStep < 0.0 && gain < attackFloor)
                gain = attackFloor;
            if (gain > level) {
                gain = level;
                attackRemaining = 0;
                startRelease();
            } else if (attackRemaining == 0) {
                startRelease();
            }
        } else if (releaseRemaining > 0) {
            --releaseRemaining;
            gain += releaseStep;
            if (gain > level) {
                gain = level;
                releaseRemaining = 0;
            }
        }
    }

    if (debugWriter && trace != nullptr) {
        // Relative to the make-up gain; a level of 0 (-inf dB) has no scale,
        // its gains are written as they are.
        if (level > 0.0)
            for (int i = 0; i < frames; ++i)
                trace[i] = (trace[i] - level) / level;
        // The run flushes the look-ahead with silence after the input: the
        // gains traced over it belong to no input frame, and stay out.
        if (getInputEnd() != INT64_MAX)
            debugWriter->setRange(startOffset, int(std::clamp<int64_t>(getInputEnd(), startOffset, std::numeric_limits<int32_t>::max())));
        // The file is a diagnostic: when it cannot be written (full disk) it
        // is dropped and the processing goes on.
        if (debugWriter->writeBuffer(debugBuffer, 0)) {
            debugWriter->close();
            debugWriter.reset();
        }
    }
    return SoundTools::StatusOk;
}

void SoundAlgoLimiter::endProcess(int status, unsigned frames)
{
    if (debugWriter) {
        debugWriter->close();
        debugWriter.reset();
    }
    debugBuffer.reset();
    if (SoundDebuggableClass::isDebug() && status == SoundTools::StatusOk) {
        std::ostream& os = getOStream();
        const std::ios::fmtflags flags = os.flags();
        const std::streamsize precision = os.precision();
        os << std::fixed << std::setprecision(2);
        if (positiveAttacks != 0)
            os << "SoundAlgoAmplify : " << positiveAttacks << " positives attacks" << std::endl;
        if (clippingsFiltered != 0)
            os << "SoundAlgoAmplify : " << clippingsFiltered << " clippings filtered" << std::endl;
        os.flags(flags);
        os.precision(precision);
    }
    SoundAlgo::endProcess(status, frames);
}
