#include "SplitJob.h"

#include "RMSStepDetector.h"
#include "RegionAnalysis.h"
#include "SoundAlgoBypass.h"
#include "SoundReader.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QString>

#include <climits>
#include <map>

namespace {
// The detector's decisions do not depend on the block size; blocks that stay
// in cache keep the two passes at the speed of the disk.
constexpr unsigned kBlockFrames = 1u << 14;
} // namespace

/// Passes the files to the host's SegmentFiles and remembers where each
/// went, so that the lengths are read from what was written.
class SplitJob::Recorder : public SoundWriterMultiFile::SegmentFiles {
public:
    explicit Recorder(SoundWriterMultiFile::SegmentFiles* h)
        : host(h)
    {
    }
    std::string openPath(const std::string& name) override
    {
        const std::string path = host != nullptr ? host->openPath(name) : name;
        paths[name] = path;
        return path;
    }
    void closed(const std::string& name, const std::string& path, bool complete) override
    {
        if (host != nullptr)
            host->closed(name, path, complete);
    }
    std::string pathOf(const std::string& name) const
    {
        const auto it = paths.find(name);
        return it == paths.end() ? name : it->second;
    }

private:
    SoundWriterMultiFile::SegmentFiles* host;
    std::map<std::string, std::string> paths;
};

bool SplitJob::Options::set(const std::string& name, const std::string& value, std::string& error)
{
    const QString text = QString::fromStdString(value);
    double x = 0;
    const bool number = Job::parseNumber(value, x);
    if (name == "min") {
        if (number && x >= 0) {
            minSeconds = x;
            return true;
        }
        error = QString("--min needs a number of seconds >= 0, not '%1'").arg(text).toStdString();
    } else if (name == "step") {
        if (number && x > 0) {
            stepDb = x;
            return true;
        }
        error = QString("--step needs a number of decibels > 0, not '%1'").arg(text).toStdString();
    } else if (name == "noise") {
        if (number && x <= 0) {
            noiseDb = x;
            return true;
        }
        error = QString("--noise needs a number of decibels <= 0, not '%1'").arg(text).toStdString();
    } else {
        error = "unknown option '" + name + "'";
    }
    return false;
}

Job::Status SplitJob::Options::check(std::string& error) const
{
    const QString name = QString::fromStdString(pattern);
    if (!SoundWriter::isWritableName(pattern.c_str())) {
        error = QString("%1 : unknown output type; the name must end in %2")
                    .arg(name, SoundWriter::writableExtensions())
                    .toStdString();
        return Refused;
    }
    // A missing folder is found before the analysis rather than at the first
    // passage.
    const QFileInfo info(name);
    if (!info.fileName().isEmpty() && !info.dir().exists()) {
        error = QString("%1 : the folder does not exist").arg(name).toStdString();
        return Failed;
    }
    return Ok;
}

std::string SplitJob::segmentName(const std::string& pattern, int number)
{
    SoundWriterMultiFile names(nullptr, 0.0, 44100, 2, 192, SoundTools::PCM16);
    if (names.open(pattern.c_str()) != SoundTools::StatusOk)
        return std::string();
    return names.getSegmentName(number);
}

SplitJob::SplitJob(Options o)
    : options(std::move(o))
{
}

SplitJob::~SplitJob() = default;

Job::Status SplitJob::run()
{
    begin();
    res = Result();
    res.file = options.input;
    std::string error;
    const Status usable = options.check(error);
    if (usable != Ok)
        return fail(usable, error);
    Status opened = Failed;
    auto reader = takeInput(options.input, options.out, opened);
    if (!reader)
        return opened;
    BlockFrames blocks(kBlockFrames);
    const unsigned rate = reader->getSampleRate();

    RegionAnalysis::Settings settings;
    settings.stepDb = options.stepDb;
    settings.minRegionSeconds = kRegionSeconds;
    settings.noiseDb = options.noiseDb;
    NodeRef detectorRef(RegionAnalysis::newDetector(settings));
    auto* detector = static_cast<RMSStepDetector*>(detectorRef.get());
    Status status = runNode(*detector, *reader, nullptr, "analyse");
    if (status != Ok)
        return status;
    if (options.estimateNoise) {
        res.noiseEstimated = true;
        res.estimatedNoiseDb = RegionAnalysis::estimateQuietest(*detector);
        detector->applyNoise(res.estimatedNoiseDb);
    }

    Recorder recorder(options.segmentFiles);
    SoundWriterMultiFile writer(detector, options.minSeconds, rate, 2, options.out.bitrateKbps, options.out.format);
    writer.setSegmentFiles(&recorder);
    writer.setFileChannels(options.out.channels);
    // Dither when the files hold fewer bits than the input.
    const unsigned bits = SoundWriter::fileBitsFor(options.pattern.c_str(), options.out.format);
    writer.setDither(options.out.dither && bits != 0 && bits < JobOutput::formatBits(reader->getInputFormat()));
    if (writer.open(options.pattern.c_str()) != SoundTools::StatusOk)
        return fail(Failed, writer.getError());
    SoundIDTag tags = options.tags.carry(*reader);
    // Every part is numbered: the writer replaces the track with the part's
    // number whenever a part carries any tag.
    tags.track = "1";
    writer.setTags(tags);
    // The writer places its frames at range start + frames written, the
    // coordinates of the regions: start the range where the run starts.
    int from = reader->getStartOffset();
    int to = INT_MAX;
    if (options.out.hasRange) {
        from = std::max(from, SoundTools::secondsToFrames(options.out.rangeFromSeconds, rate));
        to = SoundTools::secondsToFrames(options.out.rangeToSeconds, rate);
    }
    writer.setRange(from, to);

    reader->rewind();
    NodeRef copy(new SoundAlgoBypass());
    status = runNode(*copy, *reader, &writer, "split");
    for (int i = 1; i <= writer.GetWrittenFiles(); ++i) {
        File file;
        file.name = writer.getSegmentName(i);
        // Lengths come from the files themselves, so the report shows what
        // is on disk.
        const std::string path = recorder.pathOf(file.name);
        std::unique_ptr<SoundReader> check(SoundReader::getFromFilename(path.c_str()));
        file.lengthKnown = check && check->open(path.c_str()) == SoundTools::StatusOk;
        if (file.lengthKnown) {
            file.lengthSeconds = check->getLength();
            res.totalSeconds += file.lengthSeconds;
        }
        res.files.push_back(file);
    }
    return status;
}

QJsonObject SplitJob::resultJson() const
{
    QJsonArray written;
    for (const File& f : res.files) {
        QJsonObject file;
        file["name"] = QString::fromStdString(f.name);
        if (f.lengthKnown)
            file["lengthSeconds"] = f.lengthSeconds;
        written.append(file);
    }
    QJsonObject report;
    report["file"] = QString::fromStdString(res.file);
    report["files"] = written;
    report["totalSeconds"] = res.totalSeconds;
    return report;
}
