#include "SpectralTestUtil.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoEqFFT.h"
#include <gtest/gtest.h>
using SpectralTest::NodeHolder;
TEST(Scratch, AbsorberThenEq)
{
    const std::vector<double> in = SpectralTest::noise(20000, 21);
    for (int variant = 0; variant < 3; ++variant) {
    NodeHolder eqAlone(new SoundAlgoEqFFT(SoundTools::LowPass, 3000, 0, 1024));
    const std::vector<double> a = SpectralTest::runNode(*eqAlone, in, 4096);
    auto* c = new SoundAlgoComposite("c", true);
    if (variant == 0) c->pushAlgo(new SoundAlgoBypass(68, 0));
    if (variant == 2) c->pushAlgo(new SoundAlgoBypass(0, 68));
    c->pushAlgo(new SoundAlgoEqFFT(SoundTools::LowPass, 3000, 0, 1024));
    NodeHolder h(c);
    const std::vector<double> o = SpectralTest::runNode(*h, in, 4096);
    printf("variant %d sizes %zu %zu\n", variant, o.size()/2, a.size()/2);
    int shift = variant == 2 ? 68 : 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        double ex = (i >= 2*shift) ? a[i - 2*shift] : 0;
        if (std::fabs(o[i] - ex) > 1e-12) { printf("first diff frame %zu\n", i/2); break; }
    }
    }
}
