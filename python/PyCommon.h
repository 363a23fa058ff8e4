#pragma once

// Pieces the Python module's topics share: arrays as readers and writers,
// the stop token, and the library's statuses turned into exceptions.

// Python's headers before Qt's: Qt defines `slots` as a macro, a name
// Python's object.h uses as a member.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "Job.h"
#include "JobOutput.h"
#include "SoundReader.h"
#include "SoundWriter.h"
#include "TagOverrides.h"

#include <atomic>
#include <exception>
#include <string>
#include <vector>

namespace py = pybind11;

namespace pytevo {

/// A stop request another thread may raise while a run holds no GIL.
struct StopToken {
    std::atomic<bool> flag{false};
};

/// Raised for Job::Stopped and stopped graph runs.
extern py::handle sStoppedError;

/// Throws the exception that fits a job's status: ValueError when the job
/// refused its options or input, FileNotFoundError for a missing file,
/// OSError for other failures, tevo.Stopped after a stop. Returns on Ok.
void raiseFor(Job::Status status, const std::string& text);

/// A numpy array (frames,) or (frames, channels), float or integer, as the
/// library's stream: interleaved stereo doubles in -1 .. 1. A C-ordered
/// float64 stereo array is read where it lies; any other layout is converted
/// once.
class ArrayReader : public SoundReader {
public:
    ArrayReader(py::array array, unsigned sampleRate);
    SoundTools::Status open(const char*) override { return SoundTools::StatusOk; }
    void close() override {}
    unsigned getFrameNB() override { return frames; }
    unsigned getSampleRate() override { return rate; }
    void rewind() override { offset = getStartOffset(); }
    SoundTools::SoundFormat getInputFormat() const override { return format; }
    unsigned getFileChannels() override { return channels; }
    unsigned getChannels() const { return channels; }

protected:
    unsigned read(unsigned count, double* out) override;

private:
    py::array_t<double, py::array::c_style> samples; ///< frames x channels, kept alive by the reader
    unsigned frames = 0;
    unsigned channels = 1;
    unsigned rate;
    SoundTools::SoundFormat format = SoundTools::Float64;
};

/// Collects a run's output as frames x `channels` doubles (1: the left
/// channel, which a mono source carries on both); handed to numpy without a
/// copy by release().
class ArrayWriter : public SoundWriter {
public:
    ArrayWriter(unsigned sampleRate, unsigned channels);
    SoundTools::Status open(const char*) override { return SoundTools::StatusOk; }
    void close() override {}
    /// Room for `frames` frames ahead, when the length is known.
    void reserve(uint64_t frames);
    /// The samples as a numpy array that owns them (needs the GIL).
    py::array release();

protected:
    unsigned write(unsigned count, double* data) override;

private:
    unsigned channels;
    std::vector<double> samples;
};

/// Calls a Python progress callback from a run's thread, taking the GIL only
/// then, and on Python's main thread passes on Ctrl-C; an exception in the
/// callback (KeyboardInterrupt included) stops the run and is raised after it.
class ProgressRelay {
public:
    ProgressRelay(py::object callback, StopToken* token);
    /// For the run's thread: true when the run should stop.
    bool report(const std::string& stage, uint64_t done, uint64_t total);
    bool stopRequested() const { return (token && token->flag.load()) || failed; }
    /// Re-raises an exception of the callback (needs the GIL).
    void rethrow();

private:
    py::object callback;
    StopToken* token;
    bool checkSignals = false;
    std::atomic<bool> failed{false};
    std::exception_ptr error;
};

/// An output file written as tevo writes its outputs (SafeOutputFile):
/// refused when it is an input or exists without overwrite, written under a
/// temporary name, put in place on success, kept as ".partial" after a stop,
/// removed otherwise.
class PlacedOutput {
public:
    PlacedOutput() = default;
    PlacedOutput(const PlacedOutput&) = delete;
    PlacedOutput& operator=(const PlacedOutput&) = delete;
    ~PlacedOutput();
    /// Throws ValueError with the library's text on a refusal.
    void prepare(const std::string& path, const std::vector<std::string>& inputs, bool overwrite);
    /// Where the writer writes.
    const std::string& writePath() const { return temp; }
    /// `text` with the temporary name replaced by the user's.
    std::string userText(std::string text) const;
    /// Settles the file after the run; raises for any status but Ok.
    void finish(Job::Status status, const std::string& error);

private:
    std::string finalPath;
    std::string temp;
};

/// The non-empty fields of a tag as {name: text}.
py::dict tagDict(const SoundIDTag& tag);
/// {name: text} as overrides of the input's tags; ValueError for a name that
/// is not a tag field.
TagOverrides tagOverrides(const py::handle& tags);

/// One run of a graph from a reader into a writer as a job: the library's
/// own loop (Job::runNode) with its progress, stop flag, closing of the
/// writer, clipping remark and error texts.
class GraphRun : public Job {
public:
    /// None of them owned; `stage` names the run in progress reports.
    GraphRun(SoundAlgo& node, SoundReader& reader, SoundWriter& writer, const char* stage);
    Status run() override;
    QJsonObject resultJson() const override { return QJsonObject(); }

private:
    SoundAlgo& node;
    SoundReader& reader;
    SoundWriter& writer;
    const char* stage;
};

/// Runs `job` with the GIL released: progress and the stop token through a
/// ProgressRelay, the job's remarks raised as UserWarnings once it is done.
/// Returns its status; raises what the progress callback raised.
Job::Status runJob(Job& job, const py::object& progress, StopToken* stop);

/// A keyword argument's value as the command line would spell it: numbers
/// in their shortest exact form, sequences joined by commas.
std::string optionText(const py::handle& value);
/// Sets an output option (format, channels, start, range, bitrate, quality,
/// dither) from a keyword argument; false when `name` is none of them.
/// ValueError with the library's text for a bad value.
bool setOutputOption(JobOutput& out, const std::string& name, const py::handle& value);

void bindIo(py::module_& m);
void bindGraph(py::module_& m);
void bindJobs(py::module_& m);

/// Paths as the library takes them: str or os.PathLike, as UTF-8.
std::string pathOf(const py::handle& path);

} // namespace pytevo
