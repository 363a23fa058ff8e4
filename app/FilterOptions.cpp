#include "FilterOptions.h"

#include "AppCommon.h"

#include <QStringList>

namespace FilterOptions {

namespace {

const struct {
    const char* name;
    SoundTools::FilterType type;
} kTypes[] = {{"lowpass", SoundTools::LowPass},   {"bandpass", SoundTools::BandPass},
              {"highpass", SoundTools::HighPass}, {"lowshelf", SoundTools::LowShelf},
              {"peak", SoundTools::BandEq},       {"highshelf", SoundTools::HighShelf}};

} // namespace

QString eqTypeNames()
{
    QStringList names;
    for (const auto& t : kTypes)
        names << t.name;
    return names.join(", ");
}

bool parseEq(const QString& text, EqBand& band, QString& error)
{
    const QStringList parts = text.split(':');
    if (parts.size() < 2 || parts.size() > 4) {
        error = QString("--eq needs TYPE:FREQ:WIDTH:GAIN, not '%1'").arg(text);
        return false;
    }
    const QString typeName = parts[0].trimmed().toLower();
    bool known = false;
    for (const auto& t : kTypes)
        if (typeName == t.name) {
            band.type = t.type;
            known = true;
        }
    if (!known) {
        error = QString("--eq: unknown filter type '%1' (%2)").arg(parts[0], eqTypeNames());
        return false;
    }
    if (!AppCommon::toNumber(parts[1], band.freqHz) || band.freqHz <= 0) {
        error = QString("--eq: the frequency must be a number of Hz above 0, not '%1'").arg(parts[1]);
        return false;
    }
    // A low- or high-pass without a width is Butterworth (the builder's width 0).
    band.width = band.type == SoundTools::LowPass || band.type == SoundTools::HighPass ? 0.0 : 1.0;
    if (parts.size() > 2 && (!AppCommon::toNumber(parts[2], band.width) || band.width <= 0)) {
        error = QString("--eq: the width must be a number above 0 (octaves, or shelf slope), not '%1'").arg(parts[2]);
        return false;
    }
    band.gainDb = 0.0;
    if (parts.size() > 3 && !AppCommon::toNumber(parts[3], band.gainDb)) {
        error = QString("--eq: the gain must be a number of dB, not '%1'").arg(parts[3]);
        return false;
    }
    return true;
}

} // namespace FilterOptions
