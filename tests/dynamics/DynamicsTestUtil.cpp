#include "DynamicsTestUtil.h"

#include "TestUtil.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <random>

namespace DynamicsTest {

double toDb(double amplitude) { return 20.0 * std::log10(amplitude); }
double fromDb(double db) { return std::pow(10.0, db / 20.0); }

std::vector<double> levelSteps(const std::vector<Stretch>& stretches, unsigned rate)
{
    std::vector<double> s;
    size_t frame = 0;
    for (const Stretch& st : stretches) {
        const size_t n = static_cast<size_t>(std::lround(st.seconds * rate));
        const double peak = st.rmsDb < -200 ? 0.0 : fromDb(st.rmsDb) * std::sqrt(2.0); // RMS = peak / sqrt(2)
        for (size_t i = 0; i < n; ++i, ++frame) {
            const double v = peak * std::cos(2 * M_PI * 400.0 * double(frame) / rate);
            s.insert(s.end(), {v, v});
        }
    }
    return s;
}

std::vector<double> noiseThenSilence(int frames, double rightScale)
{
    std::mt19937 random(2);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> s;
    for (int i = 0; i < frames; ++i) {
        s.push_back(i < frames / 2 ? uniform(random) : 0.0);
        s.push_back(i < frames / 2 ? rightScale * uniform(random) : 0.0);
    }
    return s;
}

double lowestRunningSum(const std::function<double(int)>& x, int begin, int end, int w)
{
    double running = 0.0, lowest = 0.0;
    for (int j = 0; j < w; ++j)
        running += x(begin + j) * x(begin + j);
    for (int k = begin; k < end; ++k) {
        if (k > begin)
            running += x(k + w - 1) * x(k + w - 1);
        lowest = std::min(lowest, running);
        running -= x(k) * x(k);
    }
    return lowest;
}

std::vector<double> runNode(SoundAlgo& node, const std::vector<double>& signal, unsigned rate, double startSeconds)
{
    TestUtil::MemoryReader reader(signal, rate);
    reader.setStartPoint(startSeconds);
    reader.rewind();
    TestUtil::MemoryWriter writer(rate);
    if (startSeconds > 0)
        writer.setRange(reader.getOffset(), 2147483647);
    node.processAll(reader, &writer);
    return writer.samples;
}

CapturedStream::~CapturedStream()
{
    SoundDebuggableClass::setOStream(&std::cout);
    SoundDebuggableClass::setDebug(false);
    SoundDebuggableClass::setVerbose(false);
}

RMSStepDetector::Region region(int start, int length, double powerLeft, double powerRight, int count, bool noise)
{
    return RMSStepDetector::Region{start, length, powerLeft, powerRight, count, noise};
}

} // namespace DynamicsTest
