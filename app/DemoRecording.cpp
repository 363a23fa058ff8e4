#include "DemoRecording.h"

#include <cmath>
#include <cstdint>
#include <random>

namespace {

/// Two-pole resonator: a crude formant, enough to give the noise a voice-like tilt.
struct Resonator {
    double a1 = 0, a2 = 0, g = 0, y1 = 0, y2 = 0;
    void set(double freq, double bandwidth, double rate)
    {
        const double r = std::exp(-M_PI * bandwidth / rate);
        a1 = 2 * r * std::cos(2 * M_PI * freq / rate);
        a2 = -r * r;
        g = 1 - r;
    }
    double step(double x)
    {
        const double y = g * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

} // namespace

std::vector<double> synthesiseRecording(unsigned rate, double seconds)
{
    const std::size_t frames = static_cast<std::size_t>(seconds * rate);
    std::vector<double> out(2 * frames, 0.0);
    std::mt19937 rng(20261206);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);

    // Section levels (dBFS of the bursts) and where they change.
    const double sectionDb[] = {-18.0, -32.0, -12.0, -24.0};
    const std::size_t silence = static_cast<std::size_t>(0.3 * rate);
    const double floorAmp = std::pow(10.0, -62.0 / 20.0);

    Resonator f1L, f2L, f1R, f2R;
    double syllableEnd = 0, syllableStart = 0, pauseEnd = 0;
    double f1 = 500, f2 = 1500, syllableAmp = 0;
    bool inPause = true;
    pauseEnd = 0.8;

    for (std::size_t i = silence; i < frames; ++i) {
        const double t = double(i) / rate;
        const int section = std::min(3, static_cast<int>(t / (seconds / 4)));
        const double level = std::pow(10.0, sectionDb[section] / 20.0);

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
        double left = floorAmp * noise(rng);
        double right = floorAmp * noise(rng);
        if (!inPause && syllableAmp > 0) {
            // Raised-sine envelope over the syllable.
            const double phase = (t - syllableStart) / (syllableEnd - syllableStart);
            const double env = std::sin(M_PI * std::min(1.0, std::max(0.0, phase)));
            const double src = noise(rng);
            left += syllableAmp * env * (f1L.step(src) + 0.5 * f2L.step(src));
            right += syllableAmp * env * 0.9 * (f1R.step(src) + 0.5 * f2R.step(src));
        }
        out[2 * i] = left;
        out[2 * i + 1] = right;
    }

    // A few loud peaks: short decaying clicks near full scale.
    const double peakTimes[] = {seconds * 0.21, seconds * 0.55, seconds * 0.83};
    for (double pt : peakTimes) {
        const std::size_t start = static_cast<std::size_t>(pt * rate);
        for (std::size_t k = 0; k < rate / 50 && start + k < frames; ++k) {
            const double env = 0.97 * std::exp(-double(k) / (rate / 400.0));
            const double s = env * std::sin(2 * M_PI * 180.0 * double(k) / rate);
            out[2 * (start + k)] += s;
            out[2 * (start + k) + 1] += 0.9 * s;
        }
    }
    for (double& v : out)
        v = std::max(-0.999, std::min(0.999, v));
    return out;
}
