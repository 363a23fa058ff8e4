// The jobs of tevo (process, stats, regions, level, split) as functions
// returning plain Python data. Keyword arguments are the command line's
// options with '_' for '-'; the jobs' Options::set checks them, so names,
// ranges and error texts are the library's.

#include "PyCommon.h"

#include "LevelJob.h"
#include "ProcessJob.h"
#include "RegionsJob.h"
#include "SafeOutputFile.h"
#include "SplitJob.h"
#include "StatsJob.h"

#include <QJsonDocument>

#include <cstdio>

namespace pytevo {

namespace {

std::string optionName(const py::handle& key)
{
    std::string name = py::str(key);
    for (char& c : name)
        if (c == '_')
            c = '-';
    return name;
}

/// The keyword arguments given a value, under tevo's option names; None
/// counts as not given, as the stub's defaults say.
std::vector<std::pair<std::string, py::handle>> givenOptions(const py::kwargs& kwargs)
{
    std::vector<std::pair<std::string, py::handle>> given;
    for (const auto& item : kwargs)
        if (!item.second.is_none())
            given.emplace_back(optionName(item.first), item.second);
    return given;
}

py::object toPython(const QJsonObject& object)
{
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return py::module_::import("json").attr("loads")(py::str(text.constData(), size_t(text.size())));
}

template <class Options>
void setOption(Options& options, const std::string& name, const py::handle& value)
{
    std::string error;
    if (!options.set(name, optionText(value), error))
        throw py::value_error(error);
}

py::object stats(const py::object& input, bool loudness, const py::object& progress, StopToken* stop)
{
    StatsJob::Options options;
    options.input = pathOf(input);
    options.loudness = loudness;
    StatsJob job(options);
    const Job::Status status = runJob(job, progress, stop);
    raiseFor(status, job.error());
    return toPython(job.resultJson());
}

py::object regions(const py::object& input, bool estimateNoise, bool merge, const py::object& progress,
                   StopToken* stop, const py::kwargs& kwargs)
{
    RegionsJob::Options options;
    options.input = pathOf(input);
    options.estimateNoise = estimateNoise;
    options.merge = merge;
    for (const auto& [name, value] : givenOptions(kwargs))
        setOption(options, name, value);
    RegionsJob job(options);
    const Job::Status status = runJob(job, progress, stop);
    raiseFor(status, job.error());
    return toPython(job.resultJson());
}

/// Runs a job that writes one file, checked and placed as tevo does: the
/// options are checked before anything is opened, the file is written under
/// a temporary name and put in place only when the run succeeded.
template <class JobType>
py::object runWritingJob(typename JobType::Options& options, const std::string& out, bool overwrite,
                         const py::object& tags, const py::object& progress, StopToken* stop)
{
    options.tags = tagOverrides(tags);
    std::string error = options.check();
    if (error.empty())
        error = options.out.checkFor(out);
    if (!error.empty())
        throw py::value_error(error);
    PlacedOutput target;
    target.prepare(out, {options.input}, overwrite);
    options.output = target.writePath();
    JobType job(options);
    const Job::Status status = runJob(job, progress, stop);
    target.finish(status, job.error());
    py::object result = toPython(job.resultJson());
    result["output"] = out;
    return result;
}

py::object level(const py::object& input, const py::object& output, bool overwrite, const py::object& tags,
                 const py::object& progress, StopToken* stop, const py::kwargs& kwargs)
{
    LevelJob::Options options;
    options.input = pathOf(input);
    const std::string out = pathOf(output);
    for (const auto& [name, value] : givenOptions(kwargs)) {
        if (setOutputOption(options.out, name, value))
            continue;
        if (name == "estimate-noise")
            options.estimateNoise = value.cast<bool>();
        else if (name == "no-limit")
            options.stages.noLimit = value.cast<bool>();
        else if (name == "biquad")
            options.stages.biquad = value.cast<bool>();
        else if (name == "target" && py::isinstance<py::bool_>(value))
            options.hasTarget = value.cast<bool>(); // the job's default target
        else if (name == "fft" && py::isinstance<py::bool_>(value))
            options.stages.fft = value.cast<bool>(); // the default size
        else
            setOption(options, name, value);
    }
    return runWritingJob<LevelJob>(options, out, overwrite, tags, progress, stop);
}

/// The files of a split as tevo writes them (app's SegmentOutputs): under
/// temporary names, put in place when the run succeeded.
class SegmentPlacement : public SoundWriterMultiFile::SegmentFiles {
public:
    ~SegmentPlacement() override
    {
        for (const Segment& segment : segments)
            std::remove(segment.temp.c_str());
    }
    void prepare(const std::string& pattern, const std::string& input, bool overwrite)
    {
        for (int n = 1; n <= 999; ++n) {
            const std::string name = SplitJob::segmentName(pattern, n);
            if (name.empty())
                return;
            const std::string refusal = SafeOutputFile::check(name, {input}, overwrite, "overwrite=True",
                                                              SafeOutputFile::SplitPart);
            if (!refusal.empty())
                throw py::value_error(refusal);
        }
    }
    std::string openPath(const std::string& name) override
    {
        std::string error;
        const std::string temp = SafeOutputFile::makeTemporary(name, error);
        if (temp.empty())
            return name + ".tevo-tmp"; // the writer reports why it cannot open it
        segments.push_back({name, temp, false});
        return temp;
    }
    void closed(const std::string&, const std::string& path, bool complete) override
    {
        for (Segment& segment : segments)
            if (segment.temp == path)
                segment.complete = complete;
    }
    /// Puts the complete files in place on Ok; after a stop the complete
    /// ones too, and the last one as ".partial". Returns the error text.
    std::string finish(Job::Status status, std::string text)
    {
        for (size_t i = 0; i < segments.size(); ++i) {
            const Segment& segment = segments[i];
            const bool last = i + 1 == segments.size();
            std::string error;
            if ((status == Job::Ok || (status == Job::Stopped && !last)) && segment.complete) {
                if (!SafeOutputFile::putInPlace(segment.temp, segment.name, error) && text.empty())
                    text = error;
            } else if (status == Job::Stopped && last) {
                const std::string partial = SafeOutputFile::keepPartial(segment.temp, segment.name);
                if (!partial.empty())
                    text += "; the part processed before the stop is in " + partial;
            }
            std::remove(segment.temp.c_str());
            for (size_t at; (at = text.find(segment.temp)) != std::string::npos;)
                text.replace(at, segment.temp.size(), segment.name);
        }
        segments.clear();
        return text;
    }

private:
    struct Segment {
        std::string name;
        std::string temp;
        bool complete;
    };
    std::vector<Segment> segments;
};

py::object split(const py::object& input, const py::object& pattern, bool overwrite, bool estimateNoise,
                 const py::object& tags, const py::object& progress, StopToken* stop, const py::kwargs& kwargs)
{
    SplitJob::Options options;
    options.input = pathOf(input);
    options.pattern = pathOf(pattern);
    options.estimateNoise = estimateNoise;
    for (const auto& [name, value] : givenOptions(kwargs)) {
        if (!setOutputOption(options.out, name, value))
            setOption(options, name, value);
    }
    options.tags = tagOverrides(tags);
    std::string error;
    const Job::Status usable = options.check(error);
    if (usable != Job::Ok)
        raiseFor(usable, error);
    SegmentPlacement placement;
    placement.prepare(options.pattern, options.input, overwrite);
    options.segmentFiles = &placement;
    SplitJob job(options);
    Job::Status status = runJob(job, progress, stop);
    error = placement.finish(status, job.error());
    if (status == Job::Ok && !error.empty())
        status = Job::Failed;
    raiseFor(status, error);
    return toPython(job.resultJson());
}

py::object processFile(const py::object& input, const py::object& output, const py::iterable& stages,
                       bool overwrite, const py::object& tags, const py::object& progress, StopToken* stop,
                       const py::kwargs& kwargs)
{
    ProcessJob::Options options;
    options.input = pathOf(input);
    const std::string out = pathOf(output);
    for (const auto& [name, value] : givenOptions(kwargs)) {
        if (!setOutputOption(options.out, name, value))
            throw py::type_error("process_file() got an unexpected keyword argument '" + name + "'");
    }
    for (const py::handle stage : stages) {
        if (py::isinstance<py::str>(stage)) {
            options.stages.push_back({stage.cast<std::string>(), std::string()});
            continue;
        }
        const py::tuple pair = stage.cast<py::tuple>();
        if (pair.size() != 2)
            throw py::value_error("a stage is a name, or a (name, value) pair");
        options.stages.push_back({pair[0].cast<std::string>(), optionText(pair[1])});
    }
    return runWritingJob<ProcessJob>(options, out, overwrite, tags, progress, stop);
}

} // namespace

void bindJobs(py::module_& m)
{
    m.def("stats", &stats, py::arg("path"), py::kw_only(), py::arg("loudness") = true,
          py::arg("progress") = py::none(), py::arg("stop") = nullptr,
          R"(Whole-file figures of a recording, as tevo stats --json gives them: RMS and
peak levels per channel (dBFS) and, unless loudness=False, the loudness
(integratedLufs, loudnessRangeLu, momentaryMaxLufs, shortTermMaxLufs,
truePeakDbtp, samplePeakDbfs). Returns a dict.)");
    m.def("regions", &regions, py::arg("path"), py::kw_only(), py::arg("estimate_noise") = false,
          py::arg("merge") = false, py::arg("progress") = py::none(), py::arg("stop") = nullptr,
          R"(The level regions and the noise of a recording, as tevo regions --json gives
them. Options as tevo regions: step (dB), min (seconds), noise (dB),
window (seconds). Returns a dict.)");
    m.def("level", &level, py::arg("input"), py::arg("output"), py::kw_only(), py::arg("overwrite") = false,
          py::arg("tags") = py::none(), py::arg("progress") = py::none(), py::arg("stop") = nullptr,
          R"(Levels `input` into `output` as tevo level does, byte for byte.

Options are tevo level's with '_' for '-': level, target (a number of LUFS,
or True for the default), true_peak, no_limit, limit, max_gain, ramp,
smoothing, step, min_region, window, estimate_noise (default True),
compress, gate, attack, release, multiband (list of Hz), fft (size or True),
biquad; output options format, channels, start, range, bitrate, quality,
dither; tags {field: text} replace the input's. The output is written
under a temporary name and renamed when complete; never over the input,
over an existing file only with overwrite=True. Returns the result as
tevo level --json prints it.)");
    m.def("split", &split, py::arg("input"), py::arg("pattern"), py::kw_only(), py::arg("overwrite") = false,
          py::arg("estimate_noise") = false, py::arg("tags") = py::none(), py::arg("progress") = py::none(),
          py::arg("stop") = nullptr,
          R"(Cuts `input` into one file per passage of signal as tevo split does, named
after `pattern` with a three-digit number. Options: min (seconds), step
(dB), noise (dB), estimate_noise, and the output options. Returns a dict
with the files written.)");
    m.def("process_file", &processFile, py::arg("input"), py::arg("output"), py::arg("stages") = py::list(),
          py::kw_only(), py::arg("overwrite") = false, py::arg("tags") = py::none(),
          py::arg("progress") = py::none(), py::arg("stop") = nullptr,
          R"(tevo process: `stages` in order, each a (name, value) pair as the command
line gives them (("gain", -6), ("eq", "peak:1000:1:3"), "aweight"), then
the output options (format, channels, start, range, bitrate, quality,
dither) and tags. Written as tevo writes. Returns a dict.)");
}

} // namespace pytevo
