#pragma once

#include "SoundTools.h"
#include "TevoExport.h"

#include <valarray>

namespace SoundTools {

/// Recursive (IIR) filter of any order run over blocks of stereo frames.
///
/// y[t] = (sum_{i=0}^{N-1} b[i] x[t-i] - sum_{i=1}^{N-1} a[i] y[t-i]) / a[0],
/// written out as y[t] * gain. Both channels use the same coefficients and
/// independent state. The delay lines carry over from one filter() call to the
/// next, so a stream filtered block by block has no seams; the state only
/// restarts from zero when the kernel is replaced (builders make fresh ones).
///
/// BiquadFilter, Order1Filter and Order6Filter are the same recurrence with the
/// loop unrolled for N = 3, 2 and 7. Kernels are owned through a
/// std::shared_ptr created for the concrete class, which is why the destructor
/// need not be virtual. Not locked: one thread uses a kernel at a time.
class TEVO_EXPORT Filter {
public:
    /// N = the longer of the two arrays; the shorter one is padded with zeros.
    /// `a` must not be empty and a[0] must not be 0 (the kernel divides by it).
    Filter(std::valarray<double> b, std::valarray<double> a);
    /// Same coefficients and gain as `other`, delay lines cleared.
    Filter(const Filter& other);
    /// Takes the coefficients of `other`; the delay lines are cleared and this
    /// kernel keeps its own gain.
    Filter& operator=(const Filter& other);
    ~Filter();

    /// Filters n frames from `in` into `out`. `in` and `out` may be the same
    /// array: each input frame is read before its output frame is written.
    /// Allocates nothing.
    virtual void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned n);

    /// Linear factor applied to each frame written out. The recursion runs on
    /// the values before it, so changing it never disturbs the filter state.
    void setGain(double linear) { gain = linear; }
    double getGain() const { return gain; }

    /// The last input frame filtered (zero before the first call).
    StereoFrame<double> getLastInput() { return inputHistory[0]; }
    /// The last output frame before the gain was applied.
    StereoFrame<double> getOutput() { return outputHistory[0]; }

    /// N, the length of both coefficient arrays.
    unsigned getOrder() const { return order; }
    /// Feed-forward coefficients; b[i] multiplies the input i frames back.
    const std::valarray<double>& getFeedForward() const { return b; }
    /// Feedback coefficients; a[0] is the normaliser.
    const std::valarray<double>& getFeedback() const { return a; }

protected:
    unsigned order;
    std::valarray<double> b;
    std::valarray<double> a;
    double gain;
    /// Index 0 is the most recent frame; only entries 0 to N-2 take part in
    /// the recursion, entry N-1 stays zero.
    std::valarray<StereoFrame<double>> inputHistory;
    std::valarray<StereoFrame<double>> outputHistory;
};

} // namespace SoundTools
