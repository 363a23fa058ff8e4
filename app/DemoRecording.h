#pragma once

#include <cstddef>
#include <random>

/// The built-in test recording of `tevo demo`, synthesised block by block so
/// that the demo never holds the whole recording: interleaved stereo at
/// `sampleRate`, `seconds` long. Speech-like bursts of band-limited noise
/// (syllables of 120-300 ms shaped by formant resonators) in four sections at
/// different levels, pauses with a low noise floor, a short stretch of digital
/// silence at the start, and a few loud peaks. Deterministic: the same
/// samples whatever the block sizes asked for.
class DemoRecording {
public:
    DemoRecording(unsigned sampleRate, double seconds);

    /// Frames of the whole recording.
    std::size_t frames() const { return total; }
    /// Writes the next `count` frames (interleaved, 2 * count values) into
    /// `out`; frames past the end are silence. Returns the frames that belong
    /// to the recording.
    std::size_t next(double* out, std::size_t count);

private:
    /// Two-pole resonator: a crude formant, enough to give the noise a
    /// voice-like tilt.
    struct Resonator {
        double a1 = 0, a2 = 0, g = 0, y1 = 0, y2 = 0;
        void set(double freq, double bandwidth, double rate);
        double step(double x);
    };

    /// The voice and noise floor of frame `i`, before peaks and clipping.
    void voice(std::size_t i, double& left, double& right);
    /// Adds the decaying clicks that cover frame `i`.
    void peaks(std::size_t i, double& left, double& right) const;

    unsigned rate;
    double seconds;
    std::size_t total;
    std::size_t position = 0;
    std::size_t silence;
    double floorAmp;
    std::mt19937 rng{20261206};
    std::normal_distribution<double> noise{0.0, 1.0};
    std::uniform_real_distribution<double> uniform{0.0, 1.0};
    Resonator f1L, f2L, f1R, f2R;
    double syllableEnd = 0, syllableStart = 0, pauseEnd = 0.8;
    double f1 = 500, f2 = 1500, syllableAmp = 0;
    bool inPause = true;
};
