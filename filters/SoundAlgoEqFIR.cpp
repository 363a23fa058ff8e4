// No fused multiply-add anywhere in this file: the convolution must give the
// same bits on every CPU path and thread count, and contraction would round
// the wider paths differently from the baseline one.
#pragma GCC optimize("fp-contract=off")

#include "SoundAlgoEqFIR.h"

#include "RemezDesign.h"
#include "SoundFFTPlanner.h"

#include <QDebug>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace {

typedef double V2 __attribute__((vector_size(16)));
typedef double V4 __attribute__((vector_size(32)));
typedef double V8 __attribute__((vector_size(64)));

/// out[i] = gain * sum_k taps[k] * in[i + k] for `count` stereo frames.
///
/// Blocks of consecutive output frames are kept in NACC vector accumulators
/// (both channels side by side in each vector), so every tap costs one
/// broadcast and NACC unaligned loads, multiplies and adds, and the adds of
/// different accumulators overlap in the pipeline. Each output is still the
/// plain sum from k = 0 upwards, then scaled: the same order as the
/// one-frame loop that finishes the span.
///
/// A macro rather than a template: a generic vector wider than the baseline
/// unit is split into pieces before inlining, so the body has to be compiled
/// inside the function that carries the wider instruction set. `s - V{}`
/// broadcasts s exactly (signed zeros included) and compiles to a broadcast.
#define TEVO_DEFINE_CONVOLVE(NAME, ATTRIBUTES, V, NACC)                                                    \
    ATTRIBUTES void NAME(const double* in, double* out, const double* taps, unsigned numTaps, double gain, \
                         unsigned count)                                                                   \
    {                                                                                                      \
        constexpr unsigned W = sizeof(V) / sizeof(double);                                                 \
        constexpr unsigned blockFrames = NACC * W / 2;                                                     \
        unsigned i = 0;                                                                                    \
        for (; i + blockFrames <= count; i += blockFrames) {                                               \
            V acc[NACC];                                                                                   \
            _Pragma("GCC unroll 16") for (unsigned a = 0; a < NACC; ++a) acc[a] = 0.0 - V{};               \
            const double* p = in + 2 * std::size_t(i);                                                     \
            for (unsigned k = 0; k < numTaps; ++k) {                                                       \
                const V t = taps[k] - V{};                                                                 \
                const double* q = p + 2 * std::size_t(k);                                                  \
                _Pragma("GCC unroll 16") for (unsigned a = 0; a < NACC; ++a)                               \
                {                                                                                          \
                    V x;                                                                                   \
                    std::memcpy(&x, q + a * W, sizeof(V));                                                 \
                    acc[a] += t * x;                                                                       \
                }                                                                                          \
            }                                                                                              \
            const V g = gain - V{};                                                                        \
            _Pragma("GCC unroll 16") for (unsigned a = 0; a < NACC; ++a)                                   \
            {                                                                                              \
                const V r = acc[a] * g;                                                                    \
                std::memcpy(out + 2 * std::size_t(i) + a * W, &r, sizeof(V));                              \
            }                                                                                              \
        }                                                                                                  \
        for (; i < count; ++i) {                                                                           \
            V2 acc = 0.0 - V2{};                                                                           \
            const double* p = in + 2 * std::size_t(i);                                                     \
            for (unsigned k = 0; k < numTaps; ++k) {                                                       \
                V2 x;                                                                                      \
                std::memcpy(&x, p + 2 * std::size_t(k), sizeof(V2));                                       \
                acc += (taps[k] - V2{}) * x;                                                               \
            }                                                                                              \
            const V2 r = acc * (gain - V2{});                                                              \
            std::memcpy(out + 2 * std::size_t(i), &r, sizeof(V2));                                         \
        }                                                                                                  \
    }

// One entry per vector width, each compiled for its own instruction set and
// chosen once, at run time, from what the CPU supports: the library itself is
// built for the baseline CPU.
TEVO_DEFINE_CONVOLVE(convolveAvx512, __attribute__((target("avx512f"))), V8, 8)
TEVO_DEFINE_CONVOLVE(convolveAvx2, __attribute__((target("avx2"))), V4, 8)
TEVO_DEFINE_CONVOLVE(convolveBaseline, , V2, 8)

using ConvolveFn = void (*)(const double*, double*, const double*, unsigned, double, unsigned);

ConvolveFn pickConvolve()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return convolveAvx512;
    if (__builtin_cpu_supports("avx2"))
        return convolveAvx2;
    return convolveBaseline;
}

const ConvolveFn sConvolve = pickConvolve();

// Ripple targets of the design: 0.5 dB in the pass band, -40 dB in the stop band.
const double sDeltaStop = 0.01;
const double sDeltaPass = (1.0 - std::pow(10.0, -0.025)) * 0.5;

} // namespace

SoundAlgoEqFIR::SoundAlgoEqFIR(SoundTools::FilterType t, double f1Hz, double f2Hz)
    : type(t)
    , freq1(f1Hz)
    , freq2(f2Hz)
{
}

SoundAlgoEqFIR::~SoundAlgoEqFIR()
{
    releaseFft();
}

void SoundAlgoEqFIR::releaseFft()
{
    SoundFFTPlanner::destroy(forward);
    SoundFFTPlanner::destroy(inverse);
    for (Scratch& arrays : scratch) {
        SoundFFTPlanner::freeArray(arrays.time);
        SoundFFTPlanner::freeArray(arrays.spectrum);
    }
    scratch.clear();
    response.clear();
    response.shrink_to_fit();
    fftSize = 0;
}

const char* SoundAlgoEqFIR::getName() const
{
    return "SoundAlgoEqFIR";
}

void SoundAlgoEqFIR::SetOutputGain(double dB)
{
    outputGain = std::pow(10.0, dB / 20.0);
}

SoundTools::EqualRippleSpec SoundAlgoEqFIR::designSpec(double fs) const
{
    const double rule = (type == SoundTools::LowPass || type == SoundTools::BandStop) ? 2.0 : 0.5;
    return SoundTools::equalRippleRequest("FIR", type, freq1, freq2, fs, sDeltaPass, sDeltaStop, freq1 * rule / fs,
                                          false, sMaxTaps, "the limit is " + std::to_string(sMaxTaps));
}

void SoundAlgoEqFIR::InitStaticParams(double fs) const
{
    paramsRate = fs;
    const SoundTools::EqualRippleSpec request = designSpec(fs);
    plan = SoundTools::planEqualRipple(request);
    transition = request.transition;
    f1 = std::min(freq1 / fs, 0.5);
    f2 = std::min(freq2 / fs, 0.5);
    stopWeight = sDeltaPass / sDeltaStop;
    // The design is made here, once per rate, because a design that misses
    // its bands with Kaiser's length is tried again longer, and the delay
    // must be that of the taps that will run.
    designed.clear();
    designError.clear();
    numTaps = 0;
    if (plan.taps == 0) {
        designError = plan.error;
        return;
    }
    if (SoundTools::designEqualRipple(request, plan, designed, designError))
        numTaps = static_cast<uint32_t>(designed.size());
}

unsigned SoundAlgoEqFIR::getDelay(unsigned rate) const
{
    if (paramsRate != double(rate))
        InitStaticParams(rate);
    return numTaps > 0 ? (numTaps - 1) / 2 : 0;
}

unsigned SoundAlgoEqFIR::getInOverlap(unsigned rate) const
{
    getDelay(rate);
    return numTaps > 0 ? numTaps - 1 : 0;
}

SoundTools::Status SoundAlgoEqFIR::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                               SoundAlgo* nxt)
{
    taps.clear();
    if (type < SoundTools::LowPass || type > SoundTools::HighPass) {
        qCritical() << "Unsupported FIR mode :" << int(type);
        setError(("Unsupported FIR mode : " + std::to_string(int(type))).c_str(), getName());
        return SoundTools::StatusError;
    }
    if (paramsRate != double(rate) || designed.empty())
        InitStaticParams(rate);
    if (numTaps == 0) {
        setError(designError.c_str(), getName());
        return SoundTools::StatusError;
    }
    if (isDebug())
        getOStream() << "FIR lenght = " << numTaps << std::endl;
    const std::vector<double>& h = designed;
    taps.assign(h.rbegin(), h.rend());
    releaseFft();
    if (numTaps >= sFftTaps) {
        unsigned size = 1024;
        while (size < 4 * numTaps)
            size *= 2;
        double* block = SoundFFTPlanner::allocArray(size);
        double* spectrum = SoundFFTPlanner::allocArray(size + 2);
        std::fill(block, block + size, 0.0);
        std::copy(h.begin(), h.end(), block);
        forward = SoundFFTPlanner::planPlanarR2C(static_cast<int>(size), 1, block, spectrum);
        inverse = SoundFFTPlanner::planPlanarC2R(static_cast<int>(size), 1, spectrum, block);
        // One pair of arrays per thread, made here so that no block allocates.
        bool ready = forward != nullptr && inverse != nullptr;
        for (int t = 0; ready && t < std::max(1, omp_get_max_threads()); ++t) {
            scratch.push_back({SoundFFTPlanner::allocArray(size), SoundFFTPlanner::allocArray(size + 2)});
            ready = scratch.back().time != nullptr && scratch.back().spectrum != nullptr;
        }
        if (ready) {
            SoundFFTPlanner::executeR2C(forward, block, spectrum);
            response.assign(spectrum, spectrum + size + 2);
            for (double& v : response)
                v /= size;
            fftSize = size;
        } else {
            releaseFft(); // the direct convolution still works
        }
        SoundFFTPlanner::freeArray(block);
        SoundFFTPlanner::freeArray(spectrum);
    }
    return SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
}

SoundTools::Status SoundAlgoEqFIR::process()
{
    if (inBuffers.empty() || outBuffers.empty() || taps.empty())
        return SoundTools::StatusError;
    SoundBuffer& in = *inBuffers[0];
    SoundBuffer& out = *outBuffers[0];
    const int64_t start = int64_t(in.getOrigin()) + getDelay(sampleRate);
    const int64_t count = int64_t(out.getOrigin()) + out.getFrameNB() - start;
    if (count <= 0)
        return SoundTools::StatusOk;
    const double* src = in.getRelFrame(0);
    double* dest = out.getFrame(static_cast<int>(start));
    if (src == nullptr || dest == nullptr)
        return SoundTools::StatusError;
    const unsigned n = static_cast<unsigned>(count);
    if (fftSize > 0)
        return processFft(src, dest, n);
    const unsigned nTaps = static_cast<unsigned>(taps.size());
    const double* t = taps.data();
    const double gain = outputGain;

    // Contiguous chunks in multiples of 64 frames, one per thread, so that
    // every thread runs whole vector blocks except the very last chunk. A
    // block too small to pay for waking the other threads (and for their
    // spinning while the loop reads and writes) runs on this one.
    const unsigned chunkUnit = 64;
    const unsigned units = (n + chunkUnit - 1) / chunkUnit;
    const bool parallel = uint64_t(n) * nTaps >= sParallelMinProducts;
#pragma omp parallel if (parallel)
    {
        const unsigned threads = static_cast<unsigned>(omp_get_num_threads());
        const unsigned me = static_cast<unsigned>(omp_get_thread_num());
        const unsigned first = static_cast<unsigned>(std::min<uint64_t>(n, uint64_t(units) * me / threads * chunkUnit));
        const unsigned last = static_cast<unsigned>(std::min<uint64_t>(n, uint64_t(units) * (me + 1) / threads * chunkUnit));
        if (last > first)
            sConvolve(src + 2 * std::size_t(first), dest + 2 * std::size_t(first), t, nTaps, gain, last - first);
    }
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgoEqFIR::processFft(const double* src, double* dest, unsigned count)
{
    // Overlap-save: a segment of fftSize input frames gives fftSize - numTaps
    // + 1 output frames, the first numTaps - 1 samples of its circular
    // convolution being wrapped. Input frame i + k feeds output i through
    // taps[k] = h[numTaps - 1 - k], that is circular sample numTaps - 1 + m
    // of the segment starting at input frame i gives output i + m.
    const unsigned size = fftSize;
    const unsigned history = numTaps - 1;
    const unsigned hop = size - history;
    const unsigned segments = (count + hop - 1) / hop;
    const unsigned bins = size / 2 + 1;
    const double gain = outputGain;
    const double* H = response.data();
    // Work of a segment grows as size log2(size): parallel only when the
    // block holds enough of it (see the direct loop).
    unsigned log2Size = 0;
    while ((1u << log2Size) < size)
        ++log2Size;
    const bool parallel = segments > 1 && uint64_t(segments) * size * log2Size >= sParallelMinProducts;
    const int teams = parallel ? static_cast<int>(scratch.size()) : 1;
#pragma omp parallel num_threads(teams) if (parallel)
    {
        const std::size_t me = static_cast<std::size_t>(omp_get_thread_num());
        double* x = scratch[me].time;
        double* X = scratch[me].spectrum;
#pragma omp for schedule(static)
        for (unsigned seg = 0; seg < segments; ++seg) {
            const unsigned first = seg * hop;
            const unsigned outputs = std::min(hop, count - first);
            const unsigned inputs = outputs + history;
            for (unsigned c = 0; c < 2; ++c) {
                const double* in = src + 2 * std::size_t(first) + c;
                for (unsigned k = 0; k < inputs; ++k)
                    x[k] = in[2 * std::size_t(k)];
                std::fill(x + inputs, x + size, 0.0);
                SoundFFTPlanner::executeR2C(forward, x, X);
                for (unsigned b = 0; b < bins; ++b) {
                    const double re = X[2 * b] * H[2 * b] - X[2 * b + 1] * H[2 * b + 1];
                    const double im = X[2 * b] * H[2 * b + 1] + X[2 * b + 1] * H[2 * b];
                    X[2 * b] = re;
                    X[2 * b + 1] = im;
                }
                SoundFFTPlanner::executeC2R(inverse, X, x);
                double* out = dest + 2 * std::size_t(first) + c;
                for (unsigned m = 0; m < outputs; ++m)
                    out[2 * std::size_t(m)] = x[history + m] * gain;
            }
        }
    }
    return SoundTools::StatusOk;
}

void SoundAlgoEqFIR::endProcess(int status, unsigned frames)
{
    releaseFft();
    taps.clear();
    taps.shrink_to_fit();
    SoundAlgo::endProcess(status, frames);
}
