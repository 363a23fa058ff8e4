#pragma once

#include <vector>

/// Synthesises the built-in test recording of `tevo demo`: interleaved stereo
/// at `sampleRate`, `seconds` long. Speech-like bursts of band-limited noise
/// (syllables of 120-300 ms shaped by formant resonators) in four sections at
/// different levels, pauses with a low noise floor, a short stretch of digital
/// silence at the start, and a few loud peaks. Deterministic.
std::vector<double> synthesiseRecording(unsigned sampleRate, double seconds);
