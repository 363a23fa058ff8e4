#include "GraphTestSupport.h"

#include <cmath>
#include <random>

namespace GraphTest {

SoundTools::Status TestFir::process()
{
    const unsigned n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    const SoundTools::StereoFrame<double>* x = inBuffers[0]->getStereoFrame(getInOrigin());
    SoundTools::StereoFrame<double>* y = outBuffers[0]->getStereoFrame(getOutOrigin());
    if (x == nullptr || y == nullptr)
        return SoundTools::StatusError;
    for (unsigned j = 0; j < n; ++j) {
        double left = 0.0, right = 0.0;
        for (unsigned k = 0; k <= L; ++k) {
            left += x[j + k].left / (k + 2.0);
            right += x[j + k].right / (k + 2.0);
        }
        y[j] = {left, right};
    }
    return SoundTools::StatusOk;
}

std::vector<double> TestFir::reference(const std::vector<double>& x, unsigned history, unsigned delay,
                                       std::size_t frames)
{
    const long m = static_cast<long>(x.size() / 2);
    std::vector<double> y(2 * frames, 0.0);
    for (long p = 0; p < static_cast<long>(frames); ++p) {
        for (unsigned k = 0; k <= history; ++k) {
            const long q = p - static_cast<long>(delay) + static_cast<long>(k);
            if (q < 0 || q >= m)
                continue;
            y[2 * p] += x[2 * q] / (k + 2.0);
            y[2 * p + 1] += x[2 * q + 1] / (k + 2.0);
        }
    }
    return y;
}

SoundTools::Status TestIntegrator::process()
{
    const unsigned n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    const SoundTools::StereoFrame<double>* x = inBuffers[0]->getStereoFrame(getInOrigin());
    SoundTools::StereoFrame<double>* y = outBuffers[0]->getStereoFrame(getOutOrigin());
    if (x == nullptr || y == nullptr)
        return SoundTools::StatusError;
    for (unsigned j = 0; j < n; ++j) {
        state.left = x[j].left + 0.5 * state.left;
        state.right = x[j].right + 0.5 * state.right;
        y[j] = state;
    }
    return SoundTools::StatusOk;
}

void TestIntegrator::endProcess(int status, unsigned frames)
{
    state = {0.0, 0.0};
    SoundAlgo::endProcess(status, frames);
}

std::vector<double> TestIntegrator::reference(const std::vector<double>& x)
{
    std::vector<double> y(x.size());
    double left = 0.0, right = 0.0;
    for (std::size_t i = 0; i + 1 < x.size(); i += 2) {
        left = x[i] + 0.5 * left;
        right = x[i + 1] + 0.5 * right;
        y[i] = left;
        y[i + 1] = right;
    }
    return y;
}

SoundTools::Status FailingNode::process()
{
    ++blocks;
    if (stop)
        pleaseStop();
    if (failAt > 0 && blocks >= failAt) {
        setError("synthetic failure", getName());
        return status;
    }
    const unsigned n = getOutFrameNb();
    for (unsigned j = 0; j < n; ++j)
        *outBuffers[0]->getStereoFrame(getOutOrigin() + int(j)) = *inBuffers[0]->getStereoFrame(getInOrigin() + int(j));
    return SoundTools::StatusOk;
}

SoundTools::Status CountedNode::process()
{
    const unsigned n = getOutFrameNb();
    for (unsigned j = 0; j < n; ++j)
        *outBuffers[0]->getStereoFrame(getOutOrigin() + int(j)) = *inBuffers[0]->getStereoFrame(getInOrigin() + int(j));
    return SoundTools::StatusOk;
}

RunResult runWhole(SoundAlgo& node, const std::vector<double>& input, unsigned rate)
{
    DiagnosticsCapture capture;
    TestUtil::MemoryReader reader(input, rate);
    reader.rewind();
    TestUtil::MemoryWriter writer(rate);
    RunResult result;
    result.status = node.processAll(reader, &writer);
    result.error = node.getError();
    result.out = writer.samples;
    result.diagnostics = capture.str();
    return result;
}

std::vector<double> noise(unsigned frames, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<double> uniform(-0.5, 0.5);
    std::vector<double> s(2 * std::size_t(frames));
    for (double& v : s)
        v = uniform(generator);
    return s;
}

void expectFrames(const std::vector<double>& got, const std::vector<double>& want, std::size_t frames,
                  bool silentAfter, const char* what)
{
    SCOPED_TRACE(what);
    ASSERT_GE(got.size(), 2 * frames) << "output shorter than expected";
    ASSERT_GE(want.size(), 2 * frames);
    for (std::size_t i = 0; i < 2 * frames; ++i)
        ASSERT_NEAR(got[i], want[i], 1e-12) << "frame " << i / 2 << (i % 2 ? " right" : " left");
    if (silentAfter)
        for (std::size_t i = 2 * frames; i < got.size(); ++i)
            ASSERT_EQ(got[i], 0.0) << "frame " << i / 2 << " after the signal";
}

} // namespace GraphTest
