#pragma once

#include "SoundAlgo.h"
#include "SoundBuffer.h"

#include <cstdint>
#include <vector>

namespace SpectralTest {

/// Runs `node` over interleaved stereo `input` with blocks of `blockFrames`
/// new frames and returns what the loop wrote. The block size is restored.
std::vector<double> runNode(SoundAlgo& node, const std::vector<double>& input, unsigned blockFrames = 1048576,
                            unsigned rate = 44100, int* status = nullptr);

/// Deterministic white noise in [-amplitude, amplitude], both channels
/// different; the seed is printed by the callers on failure.
std::vector<double> noise(unsigned frames, uint32_t seed, double amplitude = 0.5);

/// |H(f)| of the taps at normalised frequency f, by a direct sum.
double magnitudeAt(const std::vector<double>& taps, double f);

/// Releases a node through its reference count at the end of a scope.
struct NodeHolder {
    explicit NodeHolder(SoundAlgo* n) : node(n) {}
    ~NodeHolder() { node->releaseReference(); }
    NodeHolder(const NodeHolder&) = delete;
    NodeHolder& operator=(const NodeHolder&) = delete;
    SoundAlgo* operator->() const { return node; }
    SoundAlgo& operator*() const { return *node; }
    SoundAlgo* node;
};

} // namespace SpectralTest
