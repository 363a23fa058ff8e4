#include "PyCommon.h"

#include "SafeOutputFile.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace pytevo {

py::handle sStoppedError;

void raiseFor(Job::Status status, const std::string& text)
{
    switch (status) {
    case Job::Ok: return;
    case Job::Refused: throw py::value_error(text);
    case Job::Stopped: PyErr_SetString(sStoppedError.ptr(), text.c_str()); throw py::error_already_set();
    case Job::Failed: break;
    }
    // A missing file: the library's own text (Job::openInput) or the
    // system's, passed on by the file libraries.
    std::string lower = text;
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const bool missing = lower.find("no such file") != std::string::npos;
    PyErr_SetString(missing ? PyExc_FileNotFoundError : PyExc_OSError, text.c_str());
    throw py::error_already_set();
}

std::string pathOf(const py::handle& path)
{
    return py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
}

namespace {
/// Integers are scaled as the file formats scale them: full scale is the
/// type's most negative value.
double integerScale(const py::dtype& type)
{
    return std::ldexp(1.0, int(type.itemsize()) * 8 - 1);
}
} // namespace

ArrayReader::ArrayReader(py::array array, unsigned sampleRate)
    : rate(sampleRate)
{
    if (array.ndim() < 1 || array.ndim() > 2)
        throw py::value_error("the samples must be an array of frames, or of frames x channels");
    const py::ssize_t n = array.shape(0);
    const py::ssize_t width = array.ndim() == 2 ? array.shape(1) : 1;
    if (width < 1 || width > 2)
        throw py::value_error("the samples must have 1 or 2 channels, not " + std::to_string(width));
    if (n > py::ssize_t(INT32_MAX))
        throw py::value_error("the library's streams hold at most 2^31 - 1 frames");
    if (sampleRate == 0)
        throw py::value_error("the sample rate must be above 0 Hz");
    frames = unsigned(n);
    channels = unsigned(width);
    const char kind = array.dtype().kind();
    if (kind == 'f') {
        format = array.dtype().itemsize() == 4 ? SoundTools::Float32 : SoundTools::Float64;
        // forcecast leaves a C-ordered float64 array as it is: no copy then.
        samples = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
    } else if (kind == 'i') {
        const unsigned bits = unsigned(array.dtype().itemsize()) * 8;
        format = bits == 8 ? SoundTools::PCM8 : bits == 16 ? SoundTools::PCM16
                                                           : SoundTools::PCM32;
        samples = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
        const double scale = 1.0 / integerScale(array.dtype());
        double* data = samples.mutable_data();
        for (py::ssize_t i = 0; i < samples.size(); ++i)
            data[i] *= scale;
    } else {
        throw py::type_error("the samples must be floats (-1.0 .. 1.0) or signed integers, not dtype "
                             + py::str(array.dtype()).cast<std::string>());
    }
    if (!samples)
        throw py::error_already_set();
}

unsigned ArrayReader::read(unsigned count, double* out)
{
    const int64_t from = std::max<int64_t>(0, offset);
    if (from >= frames)
        return 0;
    const unsigned n = unsigned(std::min<int64_t>(count, int64_t(frames) - from));
    const double* in = samples.data() + from * channels;
    if (channels == 2) {
        std::memcpy(out, in, sizeof(double) * 2 * n);
    } else {
        for (unsigned i = 0; i < n; ++i)
            out[2 * i] = out[2 * i + 1] = in[i];
    }
    return n;
}

ArrayWriter::ArrayWriter(unsigned sampleRate, unsigned fileChannels)
    : SoundWriter(sampleRate)
    , channels(fileChannels)
{
}

void ArrayWriter::reserve(uint64_t frames)
{
    samples.reserve(size_t(frames) * channels);
}

unsigned ArrayWriter::write(unsigned count, double* data)
{
    const size_t at = samples.size();
    samples.resize(at + size_t(count) * channels);
    if (channels == 2) {
        std::memcpy(samples.data() + at, data, sizeof(double) * 2 * count);
    } else {
        for (unsigned i = 0; i < count; ++i)
            samples[at + i] = data[2 * i];
    }
    return count;
}

py::array ArrayWriter::release()
{
    // numpy takes over the vector's memory: the capsule frees it with the array.
    auto* owned = new std::vector<double>(std::move(samples));
    py::capsule free(owned, [](void* p) { delete static_cast<std::vector<double>*>(p); });
    const py::ssize_t frames = py::ssize_t(owned->size() / channels);
    return py::array_t<double>({frames, py::ssize_t(channels)}, owned->data(), free);
}

ProgressRelay::ProgressRelay(py::object cb, StopToken* stop)
    : callback(std::move(cb))
    , token(stop)
{
    // Ctrl-C reaches Python on its main thread only; elsewhere (a Dask
    // worker's thread, say) a run need not take the GIL between blocks.
    const py::object threading = py::module_::import("threading");
    checkSignals = threading.attr("current_thread")().is(threading.attr("main_thread")());
}

bool ProgressRelay::report(const std::string& stage, uint64_t done, uint64_t total)
{
    if ((checkSignals || !callback.is_none()) && !failed) {
        py::gil_scoped_acquire gil;
        try {
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
            if (!callback.is_none())
                callback(stage, done, total);
        } catch (...) {
            error = std::current_exception();
            failed = true;
        }
    }
    return stopRequested();
}

void ProgressRelay::rethrow()
{
    if (error)
        std::rethrow_exception(error);
}

GraphRun::GraphRun(SoundAlgo& n, SoundReader& r, SoundWriter& w, const char* s)
    : node(n)
    , reader(r)
    , writer(w)
    , stage(s)
{
}

Job::Status GraphRun::run()
{
    begin();
    return runNode(node, reader, &writer, stage);
}

Job::Status runJob(Job& job, const py::object& progress, StopToken* stop)
{
    ProgressRelay relay(progress, stop);
    job.setProgressCallback([&](const Job::Progress& p) {
        if (relay.report(p.stage, p.done, p.total))
            job.stop();
    });
    std::vector<std::string> warnings;
    job.setWarningCallback([&](const std::string& text) { warnings.push_back(text); });
    Job::Status status;
    {
        py::gil_scoped_release released;
        status = job.run();
    }
    job.setProgressCallback(nullptr);
    job.setWarningCallback(nullptr);
    relay.rethrow();
    for (const std::string& text : warnings)
        if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 2) != 0)
            throw py::error_already_set();
    return status;
}

PlacedOutput::~PlacedOutput()
{
    if (!temp.empty())
        std::remove(temp.c_str());
}

void PlacedOutput::prepare(const std::string& path, const std::vector<std::string>& inputs, bool overwrite)
{
    if (!SoundWriter::isWritableName(path.c_str()))
        throw py::value_error(path + " : unknown output type; the name must end in "
                              + SoundWriter::writableExtensions());
    const std::string refusal = SafeOutputFile::check(path, inputs, overwrite, "overwrite=True");
    if (!refusal.empty())
        throw py::value_error(refusal);
    std::string error;
    temp = SafeOutputFile::makeTemporary(path, error);
    if (temp.empty())
        raiseFor(Job::Failed, error);
    finalPath = path;
}

std::string PlacedOutput::userText(std::string text) const
{
    for (size_t at; !temp.empty() && (at = text.find(temp)) != std::string::npos;)
        text.replace(at, temp.size(), finalPath);
    return text;
}

void PlacedOutput::finish(Job::Status status, const std::string& error)
{
    if (status == Job::Ok) {
        std::string placeError;
        const bool placed = SafeOutputFile::putInPlace(temp, finalPath, placeError);
        temp.clear();
        if (!placed)
            raiseFor(Job::Failed, placeError);
        return;
    }
    std::string text = userText(error);
    if (status == Job::Stopped) {
        const std::string partial = SafeOutputFile::keepPartial(temp, finalPath);
        if (!partial.empty())
            text += "; the part processed before the stop is in " + partial;
    }
    std::remove(temp.c_str());
    temp.clear();
    raiseFor(status, text);
}

} // namespace pytevo
