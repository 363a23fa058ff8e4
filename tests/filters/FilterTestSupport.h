#pragma once

// Helpers of the filter tests, independent of the library's design code (long double, textbook formulas).

#include "Filter.h"
#include "SoundAlgo.h"
#include "SoundBuffer.h"

#include <QString>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <memory>
#include <random>
#include <valarray>
#include <vector>

namespace FilterTest {

using cld = std::complex<long double>;

/// |H(e^jw)| of b(z^-1) / a(z^-1) at `freq` Hz.
inline double magnitude(const std::valarray<double>& b, const std::valarray<double>& a, double freq, double fs)
{
    const long double w = 2.0L * 3.14159265358979323846264338327950288L * freq / fs;
    auto poly = [w](const std::valarray<double>& c) {
        cld sum = 0;
        for (std::size_t i = 0; i < c.size(); ++i)
            sum += (long double)c[i] * std::polar(1.0L, -w * (long double)i);
        return sum;
    };
    return static_cast<double>(std::abs(poly(b) / poly(a)));
}

inline double magnitude(const SoundTools::Filter& f, double freq, double fs)
{
    return magnitude(f.getFeedForward(), f.getFeedback(), freq, fs);
}

inline double toDb(double x)
{
    return 20.0 * std::log10(x);
}

/// Success when a first- or second-order kernel is finite and its poles (long double) lie inside the circle.
inline testing::AssertionResult finiteAndStable(const SoundTools::Filter& f)
{
    for (const auto* c : {&f.getFeedForward(), &f.getFeedback()})
        for (double v : *c)
            if (!std::isfinite(v))
                return testing::AssertionFailure() << "coefficient " << v;
    const std::valarray<double>& a = f.getFeedback();
    const long double a1 = a.size() > 1 ? a[1] / (long double)a[0] : 0.0L;
    const long double a2 = a.size() > 2 ? a[2] / (long double)a[0] : 0.0L;
    const cld root = std::sqrt(cld(a1 * a1 - 4.0L * a2, 0.0L));
    const long double radius = a2 == 0.0L ? std::fabs(a1)
                                          : std::max(std::abs((-a1 + root) / 2.0L), std::abs((-a1 - root) / 2.0L));
    if (radius < 1.0L)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "pole radius " << (double)radius;
}

/// Interleaved stereo noise from a fixed seed.
inline std::vector<double> noise(unsigned frames, unsigned seed, double amplitude = 0.5)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-amplitude, amplitude);
    std::vector<double> v(2 * std::size_t(frames));
    for (double& x : v)
        x = dist(gen);
    return v;
}

inline SoundTools::StereoFrame<double>* frames(std::vector<double>& v)
{
    return reinterpret_cast<SoundTools::StereoFrame<double>*>(v.data());
}

/// Releases a node through its reference count.
struct Release {
    void operator()(SoundAlgo* node) const { node->releaseReference(); }
};
template <typename T>
using NodeHolder = std::unique_ptr<T, Release>;

/// Runs a lone node block by block (0: no new frames), collecting every output; `between(i)` precedes block i.
inline std::vector<std::vector<double>> runBlocks(SoundAlgo& node, const std::vector<double>& signal,
                                                  const std::vector<unsigned>& blocks, unsigned rate,
                                                  const std::function<void(std::size_t)>& between = nullptr)
{
    const unsigned savedSize = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(std::max(1u, *std::max_element(blocks.begin(), blocks.end())));
    std::vector<std::vector<double>> out;
    if (node.initProcess(rate, 2, 0, nullptr, nullptr) != SoundTools::StatusOk) {
        ADD_FAILURE() << "initProcess failed: " << node.getError();
        SoundBuffer::setDefaultSize(savedSize);
        return out;
    }
    out.resize(node.getOutputNumber());
    auto in = node.getInBuffer(0);
    in->setOrigin(0);
    node.setOutOrigin();
    std::size_t pos = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const unsigned m = blocks[i];
        if (between)
            between(i);
        in->keepMargin(0);
        std::copy(signal.begin() + 2 * pos, signal.begin() + 2 * (pos + m), in->getRelFrame(0));
        in->setFrameNB(m);
        pos += m;
        node.updateOutput();
        EXPECT_EQ(node.process(), SoundTools::StatusOk);
        const unsigned n = node.getOutFrameNb();
        for (unsigned p = 0; p < out.size(); ++p) {
            if (n == 0)
                continue;
            const double* f = node.getOutBuffer(p)->getFrame(node.getOutOrigin());
            out[p].insert(out[p].end(), f, f + 2 * n);
        }
    }
    node.endProcess(0, static_cast<unsigned>(pos));
    SoundBuffer::setDefaultSize(savedSize);
    return out;
}

/// Amplitude at `freq` in the left channel from frame `from` on (least squares on a sine and a cosine).
inline double toneAmplitude(const std::vector<double>& signal, double freq, double fs, std::size_t from)
{
    long double ss = 0, sc = 0;
    std::size_t n = 0;
    const long double w = 2.0L * 3.14159265358979323846264338327950288L * freq / fs;
    for (std::size_t t = from; 2 * t < signal.size(); ++t, ++n) {
        ss += signal[2 * t] * std::sin(w * t);
        sc += signal[2 * t] * std::cos(w * t);
    }
    return static_cast<double>(2.0L * std::sqrt(ss * ss + sc * sc) / n);
}

/// Swallows Qt's log output while alive (the A-weighting builder logs every build); keeps the last critical message.
class QtLogCapture {
public:
    QtLogCapture() : previous(qInstallMessageHandler(handler)) { lastCritical().clear(); }
    ~QtLogCapture() { qInstallMessageHandler(previous); }
    static QString& lastCritical()
    {
        static QString text;
        return text;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (type == QtCriticalMsg)
            lastCritical() = text;
    }
    QtMessageHandler previous;
};

} // namespace FilterTest
