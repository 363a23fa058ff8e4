#include "SoundWriterSndfile.h"

#include "SoundSndfileTags.h"

#include <QString>

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Vorbis encodes in one go whatever it is handed; bounded chunks keep its
// working memory small for long blocks.
const sf_count_t sOggChunkFrames = 44100;

} // namespace

SoundWriterSndfile::SoundWriterSndfile(unsigned rate, unsigned channels, SoundTools::SoundFormat format, FileType type)
    : SoundWriter(rate)
{
    info.reset(new SF_INFO());
    info->samplerate = static_cast<int>(rate);
    info->channels = static_cast<int>(channels);
    info->format = formatCode(type, format);
}

SoundWriterSndfile::~SoundWriterSndfile()
{
    close();
}

int SoundWriterSndfile::formatCode(FileType type, SoundTools::SoundFormat format)
{
    switch (type) {
    case WAV:
        switch (format) {
        case SoundTools::PCM8:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
        case SoundTools::PCM24:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        case SoundTools::PCM32:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_32;
        case SoundTools::Float32:
            return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        case SoundTools::Float64:
            return SF_FORMAT_WAV | SF_FORMAT_DOUBLE;
        default:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        }
    case FLAC:
        switch (format) {
        case SoundTools::PCM24:
        case SoundTools::PCM32:
        case SoundTools::Float32:
        case SoundTools::Float64:
            return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
        default:
            return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        }
    case OGG:
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    default:
        return SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_CPU;
    }
}

SoundTools::Status SoundWriterSndfile::open(const char* p)
{
    close();
    lastCloseFailed = false;
    path = p != nullptr ? p : "";
    const QByteArray local = QString::fromUtf8(path.c_str()).toLocal8Bit();
    SF_INFO prepared = *info;
    handle = sf_open(local.constData(), SFM_WRITE, &prepared);
    if (handle == nullptr) {
        const char* message = sf_strerror(nullptr);
        setError(message != nullptr && *message ? message : "Unable to open file for writing", path.c_str());
        return SoundTools::StatusError;
    }
    sf_command(handle, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return SoundTools::StatusOk;
}

void SoundWriterSndfile::close()
{
    if (handle == nullptr)
        return;
    // A codec that buffers (FLAC, Vorbis) and the WAV header update write at
    // close: a failure here means the file is incomplete.
    const int before = sf_error(handle);
    std::string message = before > 0 ? sf_strerror(handle) : "";
    const int result = sf_close(handle);
    handle = nullptr;
    if (result != 0 || before != 0) {
        lastCloseFailed = true;
        if (message.empty() && result > 0)
            message = sf_error_number(result);
        if (message.empty())
            message = "the file could not be completed";
        setError(message.c_str(), path.c_str());
    }
}

unsigned SoundWriterSndfile::getChannelNum() const
{
    return static_cast<unsigned>(info->channels);
}

void SoundWriterSndfile::setTags(const SoundIDTag& tag)
{
    SoundSndfileTags::write(handle, tag);
}

bool SoundWriterSndfile::getTags(SoundIDTag& tag)
{
    // The file is still being written: only what libsndfile holds counts.
    return SoundSndfileTags::read(handle, std::string(), tag);
}

unsigned SoundWriterSndfile::write(unsigned frames, double* data)
{
    if (handle == nullptr)
        return 0;
    errno = 0;
    sf_count_t done = 0;
    if (info->format == (SF_FORMAT_OGG | SF_FORMAT_VORBIS)) {
        const size_t stride = static_cast<size_t>(info->channels);
        while (done < frames) {
            const sf_count_t chunk = std::min<sf_count_t>(sOggChunkFrames, sf_count_t(frames) - done);
            const sf_count_t w = sf_writef_double(handle, data + size_t(done) * stride, chunk);
            if (w > 0)
                done += w;
            if (w != chunk)
                break;
        }
    } else {
        done = sf_writef_double(handle, data, frames);
        if (done < 0)
            done = 0;
    }
    if (done == sf_count_t(frames)) {
        setError(sf_strerror(handle), "SoundWriterSndfile");
    } else {
        // Some codecs (Vorbis) fail without a libsndfile error number; the
        // system's reason is then the useful one.
        const int code = sf_error(handle);
        std::string message = code > 0 ? sf_strerror(handle) : "";
        if (message.empty() || message.find("No error defined") != std::string::npos)
            message = std::string("write failed: ") + std::strerror(errno != 0 ? errno : EIO);
        setError(message.c_str(), path.c_str());
    }
    return static_cast<unsigned>(done);
}

bool SoundWriterSndfile::truncate(int64_t frames)
{
    if (handle == nullptr)
        return false;
    sf_count_t count = frames;
    if (written > frames)
        written = static_cast<int32_t>(frames);
    return sf_command(handle, SFC_FILE_TRUNCATE, &count, sizeof(count)) == 0;
}
