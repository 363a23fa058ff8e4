#pragma once

// Helpers shared by the graph tests: block-size and diagnostics guards, a FIR
// test node with a declared history and delay, a node that fails on demand,
// and a whole-run driver on in-memory audio.

#include "SoundAlgo.h"
#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace GraphTest {

constexpr unsigned kRate = 44100;

/// Restores the process-wide block size on scope exit (runs may raise it).
struct BlockSizeGuard {
    explicit BlockSizeGuard(unsigned frames) : saved(SoundBuffer::getDefaultSize())
    {
        SoundBuffer::setDefaultSize(frames);
    }
    ~BlockSizeGuard() { SoundBuffer::setDefaultSize(saved); }
    unsigned saved;
};

/// Captures the library's diagnostics; a correct run writes none (a "Frame
/// ... inferior to ..." line means a node asked for a frame below an origin).
struct DiagnosticsCapture {
    DiagnosticsCapture() { SoundDebuggableClass::setOStream(&text); }
    ~DiagnosticsCapture() { SoundDebuggableClass::setOStream(&std::cout); }
    std::string str() const { return text.str(); }
    std::ostringstream text;
};

/// y[p] = sum_k h[k] x[p - delay + k], k = 0..history, h[k] = 1 / (k + 2):
/// needs `history` frames beyond each output frame and places its output
/// `delay` frames later (delay = history makes it causal).
class TestFir : public SoundAlgo {
public:
    /// `shift`: sample shift to declare (a look-ahead node inside a chain
    /// declares its history so that the end of a run flushes it).
    TestFir(unsigned history, unsigned delay, unsigned shift = 0) : L(history), D(delay), S(shift) {}
    const char* getName() const override { return "TestFir"; }
    unsigned getInOverlap(unsigned) const override { return L; }
    unsigned getDelay(unsigned) const override { return D; }
    unsigned getSampleShift(unsigned) const override { return S; }
    SoundTools::Status process() override;
    /// The same filter computed directly on a whole signal (zeros outside it).
    static std::vector<double> reference(const std::vector<double>& x, unsigned history, unsigned delay,
                                         std::size_t frames);

private:
    unsigned L;
    unsigned D;
    unsigned S;
};

/// y[p] = x[p] + 0.5 y[p - 1]: stateful, no history, no delay. Processing a
/// frame twice (or skipping one) changes everything after it.
class TestIntegrator : public SoundAlgo {
public:
    const char* getName() const override { return "TestIntegrator"; }
    SoundTools::Status process() override;
    void endProcess(int status, unsigned frames) override;
    static std::vector<double> reference(const std::vector<double>& x);

private:
    SoundTools::StereoFrame<double> state{0.0, 0.0};
};

/// Copies its input; from block `failAt` on (counting from 1) returns `status`
/// with an error text. Optionally asks its own run to stop while processing.
class FailingNode : public SoundAlgo {
public:
    FailingNode(int failAt, SoundTools::Status status, bool stopWhileProcessing = false)
        : failAt(failAt), status(status), stop(stopWhileProcessing)
    {
    }
    const char* getName() const override { return "FailingNode"; }
    SoundTools::Status process() override;
    int blocks = 0;

private:
    int failAt;
    SoundTools::Status status;
    bool stop;
};

/// Counts deletions, to check ownership.
class CountedNode : public SoundAlgo {
public:
    explicit CountedNode(int* deletions) : deletions(deletions) {}
    ~CountedNode() override { ++*deletions; }
    const char* getName() const override { return "CountedNode"; }
    /// Copies its input, like a bypass.
    SoundTools::Status process() override;

private:
    int* deletions;
};

struct RunResult {
    SoundTools::Status status = SoundTools::StatusOk;
    std::string error;
    std::vector<double> out; ///< interleaved stereo, from the run's first position
    std::string diagnostics;
};

/// processAll of `node` over `input` (interleaved stereo) into a MemoryWriter.
RunResult runWhole(SoundAlgo& node, const std::vector<double>& input, unsigned rate = kRate);

/// Deterministic broadband stereo test signal (fixed-seed noise).
std::vector<double> noise(unsigned frames, unsigned seed = 1);

/// Expects `got` to equal `want` frame for frame on the first `frames` frames
/// (within 1e-12, far below any audible difference: only the summation order
/// may differ), and `got` to be silent after them when `silentAfter` is set.
void expectFrames(const std::vector<double>& got, const std::vector<double>& want, std::size_t frames,
                  bool silentAfter, const char* what);

/// Releases a node through its reference count at scope exit.
struct NodeRef {
    explicit NodeRef(SoundAlgo* n) : node(n) {}
    ~NodeRef() { node->releaseReference(); }
    SoundAlgo* operator->() const { return node; }
    SoundAlgo& operator*() const { return *node; }
    SoundAlgo* node;
};

} // namespace GraphTest
