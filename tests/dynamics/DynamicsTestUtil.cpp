#include "DynamicsTestUtil.h"

#include "TestUtil.h"

#include <cmath>

namespace DynamicsTest {

double toDb(double amplitude)
{
    return 20.0 * std::log10(amplitude);
}

double fromDb(double db)
{
    return std::pow(10.0, db / 20.0);
}

std::vector<double> levelSteps(const std::vector<Stretch>& stretches, unsigned rate)
{
    std::vector<double> s;
    size_t frame = 0;
    for (const Stretch& st : stretches) {
        const size_t n = static_cast<size_t>(std::lround(st.seconds * rate));
        // A sine of peak A has RMS A / sqrt(2).
        const double peak = st.rmsDb < -200 ? 0.0 : fromDb(st.rmsDb) * std::sqrt(2.0);
        for (size_t i = 0; i < n; ++i, ++frame) {
            const double v = peak * std::cos(2 * M_PI * 400.0 * double(frame) / rate);
            s.push_back(v);
            s.push_back(v);
        }
    }
    return s;
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

RMSStepDetector::Region region(int start, int length, double powerLeft, double powerRight, int count, bool noise)
{
    return RMSStepDetector::Region{start, length, powerLeft, powerRight, count, noise};
}

} // namespace DynamicsTest
