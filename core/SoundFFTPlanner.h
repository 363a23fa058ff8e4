#pragma once

#include <cstddef>
#include <functional>

struct fftw_plan_s;

/// The one place where the library creates and destroys FFTW plans.
///
/// FFTW's planner keeps process-wide state: only the execute functions are
/// thread-safe. Every plan creation and destruction of the library therefore
/// runs inside one unnamed OpenMP critical section, which serialises callers
/// from OpenMP teams, Qt worker threads and the host's thread alike. Plans are
/// always made with FFTW_ESTIMATE (planning never runs trial transforms, so it
/// neither takes long inside the section nor touches the arrays' contents).
///
/// Internal to the spectral nodes; not part of the public interface.
class SoundFFTPlanner {
public:
    using Plan = fftw_plan_s*;

    /// Runs `fn` inside the process-wide section. `fn` must not call back into
    /// this class (OpenMP critical sections do not nest).
    static void locked(const std::function<void()>& fn);

    /// `howmany` real-to-complex transforms of `size` points one after the
    /// other: transform c reads in[c * size] ... in[c * size + size - 1] and
    /// writes bin k to out[(c * (size / 2 + 1) + k) * 2] (real) and the next
    /// double (imaginary). FFTW runs these without the copies that
    /// interleaved channels cost it; the spectral nodes interleave themselves.
    static Plan planPlanarR2C(int size, int howmany, double* in, double* out);
    /// The inverse of planPlanarR2C, same layouts; destroys its input.
    static Plan planPlanarC2R(int size, int howmany, double* in, double* out);
    /// One contiguous real-to-complex transform of `size` points.
    static Plan planR2C(int size, double* in, double* out);
    /// Destroys `plan` (null is accepted) and sets it to null.
    static void destroy(Plan& plan);

    static void executeR2C(Plan plan, double* in, double* out);
    static void executeC2R(Plan plan, double* in, double* out);
    /// True when `a` and `b` have the same SIMD alignment as far as FFTW is
    /// concerned: a plan made on one may then be executed on the other.
    static bool sameAlignment(const double* a, const double* b);

    /// Arrays aligned for FFTW's SIMD code; free with freeArray.
    static double* allocArray(std::size_t doubles);
    static void freeArray(double*& array);
};
