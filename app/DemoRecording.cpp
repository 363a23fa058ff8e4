#include "DemoRecording.h"

#include <algorithm>
#include <cmath>

namespace {

// Section levels (dBFS of the bursts); the sections are quarters of the
// recording.
const double kSectionDb[] = {-18.0, -32.0, -12.0, -24.0};
// Where the loud peaks start, as fractions of the recording.
const double kPeakPlaces[] = {0.21, 0.55, 0.83};

} // namespace

void DemoRecording::Resonator::set(double freq, double bandwidth, double rate)
{
    const double r = std::exp(-M_PI * bandwidth / rate);
    a1 = 2 * r * std::cos(2 * M_PI * freq / rate);
    a2 = -r * r;
    g = 1 - r;
}

double DemoRecording::Resonator::step(double x)
{
    const double y = g * x + a1 * y1 + a2 * y2;
    y2 = y1;
    y1 = y;
    return y;
}

DemoRecording::DemoRecording(unsigned sampleRate, double length)
    : rate(sampleRate)
    , seconds(length)
    , total(static_cast<std::size_t>(length * sampleRate))
    , silence(static_cast<std::size_t>(0.3 * sampleRate))
    , floorAmp(std::pow(10.0, -62.0 / 20.0))
{
}

void DemoRecording::voice(std::size_t i, double& left, double& right)
{
    const double t = double(i) / rate;
    const int section = std::min(3, static_cast<int>(t / (seconds / 4)));
    const double level = std::pow(10.0, kSectionDb[section] / 20.0);

    if (inPause && t >= pauseEnd) {
        inPause = false;
        syllableEnd = t;
    }
    if (!inPause && t >= syllableEnd) {
        // Phrases of syllables separated by pauses of 0.4 to 1.5 s.
        if (uniform(rng) < 0.12) {
            inPause = true;
            pauseEnd = t + 0.4 + 1.1 * uniform(rng);
            syllableAmp = 0;
        } else {
            syllableStart = t;
            syllableEnd = t + 0.12 + 0.18 * uniform(rng);
            f1 = 300 + 600 * uniform(rng);
            f2 = 900 + 1800 * uniform(rng);
            syllableAmp = level * (0.6 + 0.8 * uniform(rng)) * 1.2;
            f1L.set(f1, 120, rate);
            f2L.set(f2, 200, rate);
            f1R.set(f1 * 1.02, 120, rate);
            f2R.set(f2 * 0.98, 200, rate);
        }
    }
    left = floorAmp * noise(rng);
    right = floorAmp * noise(rng);
    if (!inPause && syllableAmp > 0) {
        // Raised-sine envelope over the syllable.
        const double phase = (t - syllableStart) / (syllableEnd - syllableStart);
        const double env = std::sin(M_PI * std::min(1.0, std::max(0.0, phase)));
        const double src = noise(rng);
        left += syllableAmp * env * (f1L.step(src) + 0.5 * f2L.step(src));
        right += syllableAmp * env * 0.9 * (f1R.step(src) + 0.5 * f2R.step(src));
    }
}

void DemoRecording::peaks(std::size_t i, double& left, double& right) const
{
    // Short decaying clicks near full scale.
    for (double place : kPeakPlaces) {
        const std::size_t start = static_cast<std::size_t>(seconds * place * rate);
        if (i < start || i - start >= rate / 50)
            continue;
        const std::size_t k = i - start;
        const double env = 0.97 * std::exp(-double(k) / (rate / 400.0));
        const double s = env * std::sin(2 * M_PI * 180.0 * double(k) / rate);
        left += s;
        right += 0.9 * s;
    }
}

std::size_t DemoRecording::next(double* out, std::size_t count)
{
    const std::size_t available = position < total ? std::min(count, total - position) : 0;
    for (std::size_t j = 0; j < available; ++j, ++position) {
        double left = 0.0;
        double right = 0.0;
        if (position >= silence)
            voice(position, left, right);
        peaks(position, left, right);
        out[2 * j] = std::max(-0.999, std::min(0.999, left));
        out[2 * j + 1] = std::max(-0.999, std::min(0.999, right));
    }
    std::fill(out + 2 * available, out + 2 * count, 0.0);
    return available;
}
