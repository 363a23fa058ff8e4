#include "SoundReaderSndfile.h"

#include "SoundSndfileTags.h"

#include <QString>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

uint32_t le32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

/// For a RIFF/WAVE file, how many bytes of the data chunk are missing from the
/// file (0 when complete or not a plain WAV file). libsndfile silently shortens
/// such files to what is there, which would make a cut copy look like a
/// complete, shorter recording. Streaming writers leave the size at 0 or
/// 0xFFFFFFFF until they finish: those placeholders are not taken as a promise.
uint64_t missingWavBytes(const QByteArray& localPath)
{
    FILE* f = std::fopen(localPath.constData(), "rb");
    if (f == nullptr)
        return 0;
    uint64_t missing = 0;
    unsigned char head[12];
    if (std::fread(head, 1, 12, f) == 12
        && (std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0
            || std::memcmp(head, "BW64", 4) == 0)
        && std::memcmp(head + 8, "WAVE", 4) == 0 && fseeko(f, 0, SEEK_END) == 0) {
        const int64_t fileSize = int64_t(ftello(f));
        // RF64 keeps the real data size in its ds64 chunk, the 32-bit field
        // of the data chunk reading 0xFFFFFFFF.
        uint64_t dataSize64 = 0;
        int64_t pos = 12;
        unsigned char chunk[8];
        while (fileSize > 0 && pos + 8 <= fileSize && fseeko(f, pos, SEEK_SET) == 0
               && std::fread(chunk, 1, 8, f) == 8) {
            const uint32_t size = le32(chunk + 4);
            if (std::memcmp(chunk, "ds64", 4) == 0) {
                unsigned char sizes[16];
                if (std::fread(sizes, 1, 16, f) == 16)
                    dataSize64 = uint64_t(le32(sizes + 8)) | uint64_t(le32(sizes + 12)) << 32;
            }
            if (std::memcmp(chunk, "data", 4) == 0) {
                const uint64_t present = uint64_t(fileSize - pos - 8);
                const uint64_t announced = size == 0xFFFFFFFFu && dataSize64 > 0 ? dataSize64 : size;
                if (announced != 0 && announced != 0xFFFFFFFFu && announced > present)
                    missing = announced - present;
                break;
            }
            // Chunks are word aligned.
            pos += 8 + int64_t(size) + int64_t(size & 1);
        }
    }
    std::fclose(f);
    return missing;
}

} // namespace

SoundReaderSndfile::SoundReaderSndfile()
{
    info.reset(new SF_INFO());
    info->samplerate = 44100;
    info->channels = 2;
}

SoundReaderSndfile::~SoundReaderSndfile()
{
    close();
}

SoundTools::Status SoundReaderSndfile::open(const char* p)
{
    close();
    shortRead = false;
    path = p != nullptr ? p : "";
    const QByteArray local = QString::fromUtf8(path.c_str()).toLocal8Bit();
    SF_INFO opened;
    std::memset(&opened, 0, sizeof opened);
    if (rawRate != 0) {
        opened.samplerate = static_cast<int>(rawRate);
        opened.channels = static_cast<int>(rawChannels);
        opened.format = SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_CPU;
    }
    handle = sf_open(local.constData(), SFM_READ, &opened);
    if (handle == nullptr) {
        const char* message = sf_strerror(nullptr);
        setError(message != nullptr && *message ? message : "Unable to open file for reading", path.c_str());
        return SoundTools::StatusError;
    }
    // Only a successful open replaces the record: a failed one keeps the
    // reader's closed state as it was.
    *info = opened;
    if ((info->format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV || (info->format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RF64) {
        const uint64_t missing = missingWavBytes(local);
        if (missing > 0) {
            const std::string message = "the file ends early: its data chunk lacks " + std::to_string(missing)
                + " bytes";
            close();
            setError(message.c_str(), path.c_str());
            return SoundTools::StatusError;
        }
    }
    if (info->channels < 1 || info->samplerate < 1) {
        close();
        setError("no audio channels or no sample rate", path.c_str());
        return SoundTools::StatusError;
    }
    switch (info->format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
        sampleKind = Sample::Short;
        break;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
        sampleKind = Sample::Int;
        break;
    default:
        sampleKind = Sample::Double;
        break;
    }
    return SoundTools::StatusOk;
}

unsigned SoundReaderSndfile::getFileChannels()
{
    return static_cast<unsigned>(info->channels);
}

void SoundReaderSndfile::setRawFormat(unsigned sampleRate, unsigned channels)
{
    rawRate = sampleRate;
    rawChannels = channels;
}

void SoundReaderSndfile::close()
{
    if (handle != nullptr) {
        sf_close(handle);
        handle = nullptr;
    }
}

unsigned SoundReaderSndfile::getFrameNB()
{
    // A stream that does not announce its length (a FLAC written to a pipe)
    // reads as the largest count: report 0, an unknown length, and let the
    // run read to the end of the data.
    if (lengthUnknown())
        return 0;
    return static_cast<unsigned>(std::min<sf_count_t>(info->frames, 0xFFFFFFFF));
}

unsigned SoundReaderSndfile::getSampleRate()
{
    return static_cast<unsigned>(info->samplerate);
}

void SoundReaderSndfile::rewind()
{
    if (handle == nullptr)
        return;
    offset = static_cast<int32_t>(std::floor(double(getSampleRate()) * startPoint + 0.5));
    if (offset < 0 || static_cast<unsigned>(offset) >= getFrameNB())
        offset = 0;
    sf_seek(handle, offset, SEEK_SET);
    shortRead = false;
}

SoundTools::SoundFormat SoundReaderSndfile::getInputFormat() const
{
    switch (info->format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return SoundTools::PCM8;
    case SF_FORMAT_PCM_24:
        return SoundTools::PCM24;
    case SF_FORMAT_PCM_32:
        return SoundTools::PCM32;
    case SF_FORMAT_FLOAT:
        return SoundTools::Float32;
    case SF_FORMAT_DOUBLE:
        return SoundTools::Float64;
    default:
        return SoundTools::PCM16;
    }
}

bool SoundReaderSndfile::getTags(SoundIDTag& tag)
{
    // The tag parser reopens the file by the name libsndfile was given; a
    // stream ("-") cannot be read twice and keeps to libsndfile's strings.
    const std::string local = path == "-" ? std::string() : QString::fromUtf8(path.c_str()).toLocal8Bit().toStdString();
    return SoundSndfileTags::read(handle, local, tag);
}

namespace {

// Frames converted per libsndfile call: large enough that the system reads
// many pages at a time, small enough that the integers stay in cache and the
// reader's memory does not follow the block size.
const sf_count_t sChunkFrames = 16384;

sf_count_t readFile(SNDFILE* handle, int16_t* samples, sf_count_t frames)
{
    return sf_readf_short(handle, samples, frames);
}
sf_count_t readFile(SNDFILE* handle, int32_t* samples, sf_count_t frames)
{
    return sf_readf_int(handle, samples, frames);
}
sf_count_t readFile(SNDFILE* handle, double* samples, sf_count_t frames)
{
    return sf_readf_double(handle, samples, frames);
}

} // namespace

template <typename T>
int64_t SoundReaderSndfile::readChunks(unsigned frames, double* out, std::vector<T>& chunk, double scale)
{
    const size_t channels = static_cast<size_t>(info->channels);
    if (chunk.size() < size_t(sChunkFrames) * channels)
        chunk.resize(size_t(sChunkFrames) * channels);
    const T* in = chunk.data();
    int64_t got = 0;
    while (got < int64_t(frames)) {
        const sf_count_t want = std::min<sf_count_t>(sChunkFrames, sf_count_t(frames) - got);
        const sf_count_t n = readFile(handle, chunk.data(), want);
        if (n <= 0)
            break;
        double* o = out + 2 * size_t(got);
        // Scaling by a power of two: the doubles are the file's integers
        // exactly, as libsndfile's own conversion gives them.
        if (channels == 2) {
            for (size_t i = 0; i < 2 * size_t(n); ++i)
                o[i] = double(in[i]) * scale;
        } else if (channels == 1) {
            for (size_t i = 0; i < size_t(n); ++i)
                o[2 * i] = o[2 * i + 1] = double(in[i]) * scale;
        } else {
            for (size_t i = 0; i < size_t(n); ++i) {
                o[2 * i] = double(in[i * channels]) * scale;
                o[2 * i + 1] = double(in[i * channels + 1]) * scale;
            }
        }
        got += n;
        if (n < want)
            break;
    }
    return got;
}

unsigned SoundReaderSndfile::read(unsigned frames, double* out)
{
    if (handle == nullptr || frames == 0)
        return 0;
    sf_count_t got = 0;
    switch (sampleKind) {
    case Sample::Short:
        got = readChunks(frames, out, shorts, 1.0 / 32768.0);
        break;
    case Sample::Int:
        got = readChunks(frames, out, ints, 1.0 / 2147483648.0);
        break;
    case Sample::Double:
        got = info->channels == 2 ? sf_readf_double(handle, out, frames) : readChunks(frames, out, convert, 1.0);
        break;
    }
    if (got < 0)
        got = 0;
    setError(sf_strerror(handle), sf_error(handle) != SF_ERR_NO_ERROR ? path.c_str() : nullptr);
    // Decoders of compressed files (FLAC, Vorbis) stop quietly at a damaged
    // or missing part; a read that falls short of the announced length is
    // the only sign of it.
    if (sf_count_t(got) < sf_count_t(frames) && offset >= 0 && sf_count_t(offset) + got < info->frames
        && (!lengthUnknown() || sf_error(handle) != SF_ERR_NO_ERROR)) {
        shortRead = true;
        // An unknown length (the largest count) means the end of the stream
        // was never found: the file was cut off.
        const std::string total = info->frames >= 0x7fffffff ? std::string("an unknown length (the end of the stream is missing)")
                                                             : std::to_string(info->frames);
        const std::string message = "the file ends early: decoding stopped at frame "
            + std::to_string(sf_count_t(offset) + got) + " of " + total
            + (sf_error(handle) != SF_ERR_NO_ERROR ? std::string(" (") + sf_strerror(handle) + ")" : std::string());
        setError(message.c_str(), path.c_str());
    }
    return static_cast<unsigned>(got);
}

bool SoundReaderSndfile::lengthUnknown() const
{
    // Only FLAC says "unknown" on purpose (a total of 0 in its stream info);
    // an Ogg file without its last page was cut off.
    return handle != nullptr && info->frames >= SF_COUNT_MAX
        && (info->format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
}
