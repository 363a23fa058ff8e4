// tevo.read and tevo.write: files as numpy arrays, with their tags.

#include "PyCommon.h"

#include "JobOutput.h"
#include "SoundAlgoBypass.h"
#include "SoundBuffer.h"

#include <climits>

namespace pytevo {

py::dict tagDict(const SoundIDTag& tag)
{
    py::dict out;
    for (const TagOverrides::Field& field : TagOverrides::fields())
        if (!(tag.*field.member).empty())
            out[field.name] = tag.*field.member;
    return out;
}

TagOverrides tagOverrides(const py::handle& tags)
{
    TagOverrides overrides;
    if (tags.is_none())
        return overrides;
    for (const auto& item : tags.cast<py::dict>()) {
        const std::string name = py::str(item.first);
        const std::string text = item.second.is_none() ? std::string() : py::str(item.second).cast<std::string>();
        if (!overrides.set(name, text)) {
            std::string names;
            for (const TagOverrides::Field& field : TagOverrides::fields())
                names += (names.empty() ? "" : ", ") + std::string(field.name);
            throw py::value_error("unknown tag '" + name + "' (" + names + ")");
        }
    }
    return overrides;
}

std::string optionText(const py::handle& value)
{
    if (py::isinstance<py::str>(value))
        return value.cast<std::string>();
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
        std::string text;
        for (const py::handle item : value)
            text += (text.empty() ? "" : ",") + optionText(item);
        return text;
    }
    // repr gives the shortest text that reads back as the same double.
    return py::repr(value).cast<std::string>();
}

bool setOutputOption(JobOutput& out, const std::string& name, const py::handle& value)
{
    std::string error;
    bool ok = true;
    if (name == "dither")
        out.dither = value.cast<bool>();
    else if (name == "format")
        ok = out.setFormat(optionText(value), error);
    else if (name == "channels")
        ok = out.setChannels(optionText(value), error);
    else if (name == "start")
        ok = out.setStart(optionText(value), error);
    else if (name == "range")
        ok = out.setRange(optionText(value), error);
    else if (name == "bitrate")
        ok = out.setBitrate(optionText(value), error);
    else if (name == "quality")
        ok = out.setQuality(optionText(value), error);
    else
        return false;
    if (!ok)
        throw py::value_error(error);
    return true;
}

namespace {

py::tuple readFile(const py::object& file, double startSeconds)
{
    const std::string path = pathOf(file);
    std::string error;
    std::unique_ptr<SoundReader> reader = Job::openInput(path, startSeconds, error);
    if (!reader)
        raiseFor(Job::Failed, error);
    JobOutput fitted;
    const std::string remark = fitted.followInput(*reader);
    if (!remark.empty() && PyErr_WarnEx(PyExc_UserWarning, (path + " : " + remark).c_str(), 1) != 0)
        throw py::error_already_set();
    const unsigned rate = reader->getSampleRate();
    SoundIDTag tag;
    reader->getTags(tag);
    ArrayWriter samples(rate, fitted.channels);
    const int64_t frames = int64_t(reader->getFrameNB()) - reader->getOffset();
    if (frames > 0)
        samples.reserve(uint64_t(frames));
    bool failed = false;
    {
        py::gil_scoped_release released;
        auto buffer = SoundBuffer::createNew(rate);
        buffer->alloc(SoundBuffer::getDefaultSize(), 2, 1, 1); // set_block_size's
        samples.setRange(reader->getOffset(), INT_MAX);
        while (!failed && reader->stereoRead(buffer, 0) > 0)
            failed = samples.writeBuffer(buffer, 0);
        failed = failed || reader->readFailed();
    }
    if (failed)
        raiseFor(Job::Failed, reader->readFailed() ? reader->getError() : samples.getError());
    return py::make_tuple(samples.release(), rate, tagDict(tag));
}

void writeFile(const py::object& file, const py::array& array, unsigned rate, const py::object& format,
               const py::object& tags, bool overwrite, bool dither, const py::object& bitrate)
{
    const std::string path = pathOf(file);
    ArrayReader reader(array, rate);
    JobOutput out;
    std::string refusal;
    if (!format.is_none() && !out.setFormat(py::str(format), refusal))
        throw py::value_error(refusal);
    if (!bitrate.is_none() && !out.setBitrate(optionText(bitrate), refusal))
        throw py::value_error(refusal);
    out.dither = dither;
    out.followInput(reader);
    const SoundIDTag tag = tagOverrides(tags).apply(SoundIDTag());
    PlacedOutput target;
    target.prepare(path, {}, overwrite);
    std::string error;
    std::unique_ptr<SoundWriter> writer = out.openWriter(target.writePath(), rate, reader.getInputFormat(), error);
    if (!writer)
        target.finish(Job::Failed, error);
    if (TagOverrides::any(tag))
        writer->setTags(tag);
    reader.rewind();
    Job::NodeRef copy(new SoundAlgoBypass());
    GraphRun run(*copy, reader, *writer, "write");
    const Job::Status status = runJob(run, py::none(), nullptr);
    target.finish(status, run.error());
}

} // namespace

void bindIo(py::module_& m)
{
    m.def("read", &readFile, py::arg("path"), py::arg("start") = 0.0,
          R"(Reads a sound file (WAV, RF64, AIFF, FLAC, Ogg, Opus, MP3, raw float) whole.

Returns (samples, rate, tags): samples a float64 array of frames x channels
(1 for a mono file, else 2: wider files give their first two channels, with
a warning) in -1.0 .. 1.0, rate in Hz, tags a dict of the non-empty fields
(title, artist, album, year, comment, track, genre). ``start`` skips that
many seconds. The file is decoded with the GIL released.

Raises FileNotFoundError or OSError with the library's text.)");
    m.def("write", &writeFile, py::arg("path"), py::arg("samples"), py::arg("rate"), py::kw_only(),
          py::arg("format") = py::none(), py::arg("tags") = py::none(), py::arg("overwrite") = false,
          py::arg("dither") = true, py::arg("bitrate") = py::none(),
          R"(Writes samples (frames, or frames x 1 or 2 channels) to a sound file.

The container follows the extension of ``path`` as for tevo; ``format`` is
pcm8, pcm16, pcm24, pcm32, float32 or float64 (default: after the array's
dtype: float32, float64, int16 -> pcm16, int32 -> pcm32). Float samples are
written as they are (float formats round-trip bit-exact); integers are full
scale at their type's range. ``tags``: {field: text}. The file is written
under a temporary name and renamed when complete; an existing file is
replaced only with ``overwrite=True``.

Raises ValueError when refused (name, format, existing file), OSError when
writing fails.)");
}

} // namespace pytevo
