#include "Crossovers.h"

#include "Job.h"

#include <QString>
#include <QStringList>

bool Crossovers::parse(Option option, const std::string& text, std::vector<double>& freqsHz, std::string& error)
{
    const QString value = QString::fromStdString(text);
    freqsHz.clear();
    for (const QString& part : value.split(',')) {
        double f = 0;
        const bool positive = Job::parseNumber(part.toStdString(), f) && f > 0;
        const bool ascending = freqsHz.empty() || f > freqsHz.back();
        if (!positive || !ascending) {
            if (option == BandsOption)
                error = QString("--crossovers needs ascending frequencies in Hz above 0, separated by commas, not "
                                "'%1'")
                            .arg(value)
                            .toStdString();
            else if (!positive)
                error = QString("--multiband needs frequencies in Hz above 0, separated by commas, not '%1'")
                            .arg(value)
                            .toStdString();
            else
                error = QString("--multiband needs ascending frequencies, not '%1'").arg(value).toStdString();
            return false;
        }
        freqsHz.push_back(f);
    }
    return true;
}

std::string Crossovers::checkSampleRate(Option option, const std::vector<double>& freqsHz, unsigned sampleRate)
{
    const double nyquist = sampleRate / 2.0;
    if (freqsHz.empty() || freqsHz.back() < nyquist)
        return std::string();
    if (option == BandsOption)
        return QString("--crossovers: %1 Hz is not below half the sample rate (%2 Hz)")
            .arg(freqsHz.back())
            .arg(nyquist)
            .toStdString();
    return QString("--multiband frequencies must stay below half the sample rate (%1 Hz)").arg(nyquist).toStdString();
}
