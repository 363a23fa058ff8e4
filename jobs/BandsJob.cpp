#include "BandsJob.h"

#include "SoundAlgoFFTMultiStats.h"
#include "SoundReader.h"

#include <QJsonArray>

namespace {
// Band levels do not depend on the block size; small blocks keep the band
// spectra small.
constexpr unsigned kBlockFrames = 1u << 14;
} // namespace

bool BandsJob::Options::set(const std::string& name, const std::string& value, std::string& error)
{
    if (name == "crossovers")
        return Crossovers::parse(Crossovers::BandsOption, value, crossoversHz, error);
    error = "unknown option '" + name + "'";
    return false;
}

std::string BandsJob::Options::check() const
{
    return crossoversHz.empty() ? "--crossovers is required (e.g. --crossovers 250,2000)" : "";
}

BandsJob::BandsJob(Options o)
    : options(std::move(o))
{
}

Job::Status BandsJob::run()
{
    begin();
    res = Result();
    res.file = options.input;
    const std::string wrong = options.check();
    if (!wrong.empty())
        return fail(Refused, wrong);
    auto reader = takeInput(options.input, 0.0);
    if (!reader)
        return Failed;
    const unsigned rate = reader->getSampleRate();
    const std::string refused = Crossovers::checkSampleRate(Crossovers::BandsOption, options.crossoversHz, rate);
    if (!refused.empty())
        return fail(Refused, refused);
    // With the bands summed the composite has one output and runs on its own;
    // the sum itself is not written anywhere.
    std::vector<double> freqs = options.crossoversHz;
    auto* multi = new SoundAlgoFFTMultiStats(freqs, 0, true);
    NodeRef node(multi);
    BlockFrames blocks(kBlockFrames);
    const Status status = runNode(*multi, *reader, nullptr, "bands");
    if (status != Ok)
        return status;
    for (unsigned b = 0; b < multi->getBandNumber(); ++b) {
        Band band;
        band.fromHz = b == 0 ? 0.0 : freqs[b - 1];
        band.toHz = b < freqs.size() ? freqs[b] : rate / 2.0;
        band.levels = StatsJob::levelsOf(*multi->GetStats(static_cast<int>(b)));
        res.bands.push_back(band);
    }
    return Ok;
}

QJsonObject BandsJob::resultJson() const
{
    QJsonArray bands;
    for (const Band& b : res.bands) {
        QJsonObject band;
        band["fromHz"] = b.fromHz;
        band["toHz"] = b.toHz;
        band["rmsDb"] = b.levels.rmsDb;
        band["rmsLeftDb"] = b.levels.rmsLeftDb;
        band["rmsRightDb"] = b.levels.rmsRightDb;
        band["peakLeftDb"] = b.levels.peakLeftDb;
        band["peakRightDb"] = b.levels.peakRightDb;
        bands.append(band);
    }
    QJsonObject root;
    root["file"] = QString::fromStdString(res.file);
    root["bands"] = bands;
    return root;
}
