// Filter stages of `tevo process` (--eq, --lowpass1, --highpass1, --aweight)
// and the equaliser step of `tevo demo`.

#include "AppCommon.h"
#include "CommandRegistry.h"
#include "ChainStages.h"

#include "SoundAlgoFilterBiquad.h"

#include <QDir>

#include <cstdio>
#include <memory>

using namespace AppCommon;

namespace {

const bool eqOption = CommandRegistry::addChainOption(
    {"eq", "TYPE:FREQ:WIDTH:GAIN",
     QString("Equaliser section (repeatable): TYPE one of %1, FREQ in Hz, GAIN in dB (peak and shelves). "
             "WIDTH: for lowpass and highpass the bandwidth in octaves that sets the resonance (Q about 1 / (2 sinh("
             "ln2/2 * WIDTH)) well below Fs/2), default Butterworth (Q 0.707); for bandpass and peak the bandwidth "
             "in octaves between the -3 dB points (or half-gain points), default 1; for lowshelf and highshelf the "
             "slope, 1 the steepest without overshoot, default 1.")
         .arg(QString::fromStdString(ChainStages::eqTypeNames()))});

const bool lowpass1Option = CommandRegistry::addChainOption(
    {"lowpass1", "FREQ", "First-order low-pass at FREQ Hz (-3 dB, 6 dB per octave)."});

const bool highpass1Option = CommandRegistry::addChainOption(
    {"highpass1", "FREQ", "First-order high-pass at FREQ Hz (-3 dB, 6 dB per octave)."});

const bool aweightOption = CommandRegistry::addChainOption({"aweight", "", "A-weighting filter (0 dB at 1 kHz)."});

/// An equalised copy of the recording: rumble cut, a little less boom, more
/// presence, softer top.
bool demoEqualiser(CommandRegistry::DemoContext& demo)
{
    const QString out = QDir(demo.dir).filePath("recording-eq.wav");
    auto* eq = new SoundAlgoFilterBiquad(SoundTools::HighPass, 80.0, 1.9, 0.0);
    eq->pushFilter(SoundTools::BandEq, 250.0, 1.0, -3.0);
    eq->pushFilter(SoundTools::BandEq, 3000.0, 1.5, 4.0);
    eq->pushFilter(SoundTools::HighShelf, 8000.0, 1.0, -2.0);
    NodePtr node(eq);
    auto reader = openReader(demo.recording);
    if (!reader)
        return false;
    auto writer = openWriter(out, reader->getSampleRate(), SoundTools::PCM16);
    if (!writer)
        return false;
    const SoundTools::Status status = node->processAll(*reader, writer.get());
    writer->close();
    if (status != SoundTools::StatusOk) {
        printError(QString::fromUtf8(node->getError()));
        return false;
    }
    std::printf("  wrote %s (high-pass 80 Hz, -3 dB at 250 Hz, +4 dB at 3 kHz, high shelf -2 dB at 8 kHz)\n",
                qPrintable(out));
    return true;
}

const bool eqStep = CommandRegistry::addDemoStep({200, "Equaliser (four biquad sections)", demoEqualiser});

} // namespace
