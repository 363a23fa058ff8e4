#include "ChainStages.h"

#include "Job.h"
#include "Order1FilterBuilder.h"
#include "SoundAlgoEqFFT.h"
#include "SoundAlgoEqFIR.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFilter.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoScale.h"
#include "WeightingFilterBuilder.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace {

const struct {
    const char* name;
    SoundTools::FilterType type;
} kEqTypes[] = {{"lowpass", SoundTools::LowPass}, {"bandpass", SoundTools::BandPass}, {"highpass", SoundTools::HighPass}, {"lowshelf", SoundTools::LowShelf}, {"peak", SoundTools::BandEq}, {"highshelf", SoundTools::HighShelf}};

const char* const kFirTypes = "lowpass, bandpass, bandstop, highpass";

bool number(const QString& text, double& value)
{
    return Job::parseNumber(text.toStdString(), value);
}

struct BandRequest {
    SoundTools::FilterType type = SoundTools::LowPass;
    double freq1 = 0;
    double freq2 = 0;
    QStringList rest; ///< fields after the frequencies
};

/// TYPE:F1[:F2]...: the type, its frequencies (two for the band types, the
/// second above the first) and whatever follows them.
bool parseBandRequest(const QString& option, const QString& value, BandRequest& request, QString& error)
{
    const QStringList parts = value.split(':');
    const QString type = parts.value(0).trimmed().toLower();
    bool band = false;
    if (type == "lowpass")
        request.type = SoundTools::LowPass;
    else if (type == "highpass")
        request.type = SoundTools::HighPass;
    else if (type == "bandpass")
        request.type = SoundTools::BandPass, band = true;
    else if (type == "bandstop")
        request.type = SoundTools::BandStop, band = true;
    else {
        error = QString("--%1: unknown filter type '%2' (%3)").arg(option, parts.value(0), kFirTypes);
        return false;
    }
    const int frequencies = band ? 2 : 1;
    if (parts.size() < 1 + frequencies || !number(parts[1], request.freq1) || request.freq1 <= 0) {
        error = QString("--%1 needs %2 with a frequency in Hz above 0, not '%3'")
                    .arg(option, band ? type + ":F1:F2" : type + ":F1", value);
        return false;
    }
    if (band && (!number(parts[2], request.freq2) || request.freq2 <= request.freq1)) {
        error = QString("--%1 %2 needs F2 above F1, in Hz, not '%3'").arg(option, type, value);
        return false;
    }
    request.rest = parts.mid(1 + frequencies);
    return true;
}

SoundAlgo* makeStage(const QString& name, const QString& value, QString& error)
{
    if (name == "gain") {
        double db = 0;
        if (!number(value, db)) {
            error = QString("--gain needs a number of decibels, not '%1'").arg(value);
            return nullptr;
        }
        return new SoundAlgoScale(db);
    }
    if (name == "eq") {
        ChainStages::EqBand band;
        std::string text;
        if (!ChainStages::parseEq(value.toStdString(), band, text)) {
            error = QString::fromStdString(text);
            return nullptr;
        }
        return new SoundAlgoFilterBiquad(band.type, band.freqHz, band.width, band.gainDb);
    }
    if (name == "lowpass1" || name == "highpass1") {
        double freq = 0;
        if (!number(value, freq) || freq <= 0) {
            error = QString("--%1 needs a frequency in Hz above 0, not '%2'").arg(name, value);
            return nullptr;
        }
        const auto type = name == "lowpass1" ? SoundTools::LowPass : SoundTools::HighPass;
        return new SoundAlgoFilter(std::make_shared<SoundTools::Order1FilterBuilder>(type, freq));
    }
    if (name == "aweight")
        return new SoundAlgoFilter(std::make_shared<SoundTools::WeightingFilterBuilder>());
    if (name == "fir") {
        BandRequest request;
        if (!parseBandRequest("fir", value, request, error))
            return nullptr;
        if (!request.rest.isEmpty()) {
            error = QString("--fir takes TYPE:F1[:F2] only, not '%1'").arg(value);
            return nullptr;
        }
        return new SoundAlgoEqFIR(request.type, request.freq1, request.freq2);
    }
    if (name == "fft-eq") {
        BandRequest request;
        if (!parseBandRequest("fft-eq", value, request, error))
            return nullptr;
        double size = ChainStages::kDefaultFftEqSize;
        if (request.rest.size() > 1
            || (request.rest.size() == 1
                && (!number(request.rest[0], size) || size != double(long(size)) || long(size) % 2 != 0
                    || size < SoundAlgoFFTFilter::getMinFullSize() || size > ChainStages::kMaxFftEqSize))) {
            error = QString("--fft-eq: SIZE must be an even number of frames from %1 to %2, in '%3'")
                        .arg(SoundAlgoFFTFilter::getMinFullSize())
                        .arg(ChainStages::kMaxFftEqSize)
                        .arg(value);
            return nullptr;
        }
        return new SoundAlgoEqFFT(request.type, request.freq1, request.freq2, static_cast<unsigned>(size));
    }
    error = QString("unknown processing stage '%1' (%2)")
                .arg(name, QString::fromStdString("gain, eq, lowpass1, highpass1, aweight, fir, fft-eq"));
    return nullptr;
}

} // namespace

const std::vector<std::string>& ChainStages::names()
{
    static const std::vector<std::string> all = {"gain", "eq", "lowpass1", "highpass1", "aweight", "fir", "fft-eq"};
    return all;
}

bool ChainStages::takesValue(const std::string& name)
{
    return name != "aweight";
}

SoundAlgo* ChainStages::make(const Stage& stage, std::string& error)
{
    QString text;
    SoundAlgo* node = makeStage(QString::fromStdString(stage.name), QString::fromStdString(stage.value), text);
    if (node == nullptr)
        error = text.isEmpty() ? "bad value for --" + stage.name + ": '" + stage.value + "'" : text.toStdString();
    return node;
}

std::string ChainStages::eqTypeNames()
{
    QStringList names;
    for (const auto& t : kEqTypes)
        names << t.name;
    return names.join(", ").toStdString();
}

std::string ChainStages::firTypeNames()
{
    return kFirTypes;
}

bool ChainStages::parseEq(const std::string& textIn, EqBand& band, std::string& errorOut)
{
    const QString text = QString::fromStdString(textIn);
    QString error;
    const QStringList parts = text.split(':');
    bool ok = true;
    if (parts.size() < 2 || parts.size() > 4) {
        error = QString("--eq needs TYPE:FREQ:WIDTH:GAIN, not '%1'").arg(text);
        ok = false;
    }
    if (ok) {
        const QString typeName = parts[0].trimmed().toLower();
        bool known = false;
        for (const auto& t : kEqTypes)
            if (typeName == t.name) {
                band.type = t.type;
                known = true;
            }
        if (!known) {
            error = QString("--eq: unknown filter type '%1' (%2)").arg(parts[0], QString::fromStdString(eqTypeNames()));
            ok = false;
        }
    }
    if (ok && (!number(parts[1], band.freqHz) || band.freqHz <= 0)) {
        error = QString("--eq: the frequency must be a number of Hz above 0, not '%1'").arg(parts[1]);
        ok = false;
    }
    if (ok) {
        // A low- or high-pass without a width is Butterworth (the builder's width 0).
        band.width = band.type == SoundTools::LowPass || band.type == SoundTools::HighPass ? 0.0 : 1.0;
        if (parts.size() > 2 && (!number(parts[2], band.width) || band.width <= 0)) {
            error = QString("--eq: the width must be a number above 0 (octaves, or shelf slope), not '%1'")
                        .arg(parts[2]);
            ok = false;
        }
    }
    if (ok) {
        band.gainDb = 0.0;
        if (parts.size() > 3 && !number(parts[3], band.gainDb)) {
            error = QString("--eq: the gain must be a number of dB, not '%1'").arg(parts[3]);
            ok = false;
        }
    }
    errorOut = error.toStdString();
    return ok;
}
