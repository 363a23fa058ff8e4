#pragma once

#include "Filter.h"
#include "TevoExport.h"

#include <boost/noncopyable.hpp>

#include <memory>

namespace SoundTools {

/// Holds the parameters of one filter independently of the sample rate and
/// designs a kernel for a given rate on demand.
///
/// Nodes keep builders and call buildFilter when a run starts and whenever a
/// parameter changes. Every call returns a fresh kernel (zero state, gain 1.0)
/// that the builder does not keep. Not locked: one thread modifies and uses a
/// builder at a time.
class TEVO_EXPORT FilterBuilder : private boost::noncopyable {
public:
    virtual ~FilterBuilder();
    /// Designs the kernel for `sampleRate` (Hz). Never returns null, and the
    /// kernel always has finite coefficients and a stable recursion.
    virtual std::shared_ptr<Filter> buildFilter(unsigned sampleRate) = 0;

protected:
    FilterBuilder();
};

} // namespace SoundTools
