#include "SoundFFTPlanner.h"

#include <fftw3.h>

#include <new>

void SoundFFTPlanner::locked(const std::function<void()>& fn)
{
    // Unnamed on purpose: every critical section of the library that guards
    // FFTW shares this one lock.
#pragma omp critical
    fn();
}

SoundFFTPlanner::Plan SoundFFTPlanner::planPlanarR2C(int size, int howmany, double* in, double* out)
{
    Plan plan = nullptr;
    const int bins = size / 2 + 1;
    locked([&] {
        plan = fftw_plan_many_dft_r2c(1, &size, howmany, in, nullptr, 1, size, reinterpret_cast<fftw_complex*>(out),
                                      nullptr, 1, bins, FFTW_ESTIMATE);
    });
    return plan;
}

SoundFFTPlanner::Plan SoundFFTPlanner::planPlanarC2R(int size, int howmany, double* in, double* out)
{
    Plan plan = nullptr;
    const int bins = size / 2 + 1;
    locked([&] {
        plan = fftw_plan_many_dft_c2r(1, &size, howmany, reinterpret_cast<fftw_complex*>(in), nullptr, 1, bins, out,
                                      nullptr, 1, size, FFTW_ESTIMATE);
    });
    return plan;
}

SoundFFTPlanner::Plan SoundFFTPlanner::planR2C(int size, double* in, double* out)
{
    Plan plan = nullptr;
    locked([&] { plan = fftw_plan_dft_r2c_1d(size, in, reinterpret_cast<fftw_complex*>(out), FFTW_ESTIMATE); });
    return plan;
}

void SoundFFTPlanner::destroy(Plan& plan)
{
    if (plan == nullptr)
        return;
    locked([&] { fftw_destroy_plan(plan); });
    plan = nullptr;
}

void SoundFFTPlanner::executeR2C(Plan plan, double* in, double* out)
{
    fftw_execute_dft_r2c(plan, in, reinterpret_cast<fftw_complex*>(out));
}

void SoundFFTPlanner::executeC2R(Plan plan, double* in, double* out)
{
    fftw_execute_dft_c2r(plan, reinterpret_cast<fftw_complex*>(in), out);
}

bool SoundFFTPlanner::sameAlignment(const double* a, const double* b)
{
    return fftw_alignment_of(const_cast<double*>(a)) == fftw_alignment_of(const_cast<double*>(b));
}

double* SoundFFTPlanner::allocArray(std::size_t doubles)
{
    // fftw_malloc is thread-safe; it only aligns. A failure goes out like any
    // other allocation failure of the library.
    double* array = fftw_alloc_real(doubles == 0 ? 1 : doubles);
    if (array == nullptr)
        throw std::bad_alloc();
    return array;
}

void SoundFFTPlanner::freeArray(double*& array)
{
    if (array != nullptr)
        fftw_free(array);
    array = nullptr;
}
