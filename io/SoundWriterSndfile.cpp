#include "SoundWriterSndfile.h"

#include "SoundSndfileTags.h"

#include <QString>

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

// Vorbis encodes in one go whatever it is handed; bounded chunks keep its
// working memory small for long blocks.
const sf_count_t sOggChunkFrames = 44100;
// Other files take chunks that keep the converted integers in cache and the
// writer's memory bounded whatever the block.
const sf_count_t sChunkFrames = 16384;

/// Rounds `count` samples to `bits`-bit integers, into `out` scaled by `unit`
/// (the step of the file's grid in the integer type libsndfile takes: 256 for
/// 8 bits in shorts and 24 bits in ints, 1 otherwise); with TPDF dither (two
/// uniform values of one step, from `state`) when asked. Values beyond the
/// range are clamped and counted (before dither); NaN becomes 0.
template <bool Dither, typename T>
uint64_t roundToGrid(const double* source, size_t count, unsigned bits, T* out, int32_t unit, uint64_t& state)
{
    const double scale = std::ldexp(1.0, int(bits) - 1);
    const double top = scale - 1.0;
    const double bottom = -scale;
    const double clipTop = top + 0.5;
    const double clipBottom = bottom - 0.5;
    // Adding and taking away 1.5 * 2^52 rounds to the nearest integer with
    // plain arithmetic, which compiles to vector code.
    const double magic = 6755399441055744.0;
    if (!Dither) {
        // Plain loops that compile to vector code, where one loop rounding and
        // counting would not: round, then count clipped samples only when
        // the chunk reaches full scale at all (rare, and cheap to look for in
        // the integers).
        for (size_t i = 0; i < count; ++i) {
            double v = source[i] * scale;
            v = v == v ? v : 0.0;
            v = std::min(top, std::max(bottom, v));
            out[i] = static_cast<T>(static_cast<int32_t>((v + magic) - magic) * unit);
        }
        const T high = static_cast<T>(static_cast<int32_t>(top) * unit);
        const T low = static_cast<T>(static_cast<int32_t>(bottom) * unit);
        T edge = 0;
        for (size_t i = 0; i < count; ++i)
            edge |= static_cast<T>((out[i] == high) | (out[i] == low));
        if (edge == 0)
            return 0;
        // The count is kept in a double, the width of the samples, so that
        // this loop too compiles to vector code (exact far beyond a chunk).
        double counted = 0.0;
        for (size_t i = 0; i < count; ++i) {
            const double v = source[i] * scale;
            counted += (v >= clipTop ? 1.0 : 0.0) + (v < clipBottom ? 1.0 : 0.0);
        }
        return uint64_t(counted);
    }
    uint64_t clips = 0;
    uint64_t x = state;
    for (size_t i = 0; i < count; ++i) {
        double v = source[i] * scale;
        v = v == v ? v : 0.0;
        clips += (v >= clipTop ? 1u : 0u) + (v < clipBottom ? 1u : 0u);
        double u[2];
        for (double& value : u) {
            // xorshift64*
            x ^= x >> 12;
            x ^= x << 25;
            x ^= x >> 27;
            value = double((x * 0x2545F4914F6CDD1Dull) >> 11) * (1.0 / 9007199254740992.0);
        }
        v += u[0] - u[1];
        v = std::min(top, std::max(bottom, v));
        out[i] = static_cast<T>(static_cast<int32_t>((v + magic) - magic) * unit);
    }
    state = x;
    return clips;
}

template <typename T>
uint64_t roundSamples(bool dither, const double* source, size_t count, unsigned bits, T* out, int32_t unit,
                      uint64_t& state)
{
    return dither ? roundToGrid<true>(source, count, bits, out, unit, state)
                  : roundToGrid<false>(source, count, bits, out, unit, state);
}

} // namespace

SoundWriterSndfile::SoundWriterSndfile(unsigned rate, unsigned channels, SoundTools::SoundFormat format, FileType type)
    : SoundWriter(rate)
    , streamChannels(channels)
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
    case OPUS:
        return SF_FORMAT_OGG | SF_FORMAT_OPUS;
    case AIFF:
        switch (format) {
        case SoundTools::PCM8:
            return SF_FORMAT_AIFF | SF_FORMAT_PCM_S8;
        case SoundTools::PCM24:
            return SF_FORMAT_AIFF | SF_FORMAT_PCM_24;
        case SoundTools::PCM32:
            return SF_FORMAT_AIFF | SF_FORMAT_PCM_32;
        case SoundTools::Float32:
            return SF_FORMAT_AIFF | SF_FORMAT_FLOAT;
        case SoundTools::Float64:
            return SF_FORMAT_AIFF | SF_FORMAT_DOUBLE;
        default:
            return SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
        }
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
    // The float WAV/AIFF peak chunk carries the time of writing: two runs of
    // the same job would give files that differ, which breaks comparing a
    // batch's outputs, resuming one, and caching by content.
    sf_command(handle, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
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
    return streamChannels;
}

bool SoundWriterSndfile::setFileChannels(unsigned channels)
{
    if (handle != nullptr || channels > 2 || (channels == 2 && streamChannels != 2))
        return false;
    fileChannels = channels;
    info->channels = static_cast<int>(channels != 0 ? channels : streamChannels);
    return true;
}

bool SoundWriterSndfile::isLossy() const
{
    const int codec = info->format & SF_FORMAT_SUBMASK;
    return codec == SF_FORMAT_VORBIS || codec == SF_FORMAT_OPUS;
}

unsigned SoundWriterSndfile::getFileBits() const
{
    if ((info->format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW)
        return 0;
    switch (info->format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_S8:
        return 8;
    case SF_FORMAT_PCM_16:
        return 16;
    case SF_FORMAT_PCM_24:
        return 24;
    case SF_FORMAT_PCM_32:
        return 32;
    default:
        return 0;
    }
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

int64_t SoundWriterSndfile::writeChunk(int64_t frames, const double* data)
{
    const unsigned fileCh = static_cast<unsigned>(info->channels);
    const double* source = data;
    if (fileCh != streamChannels) {
        // Only a one-channel file of a wider stream gets here.
        mixed.resize(size_t(frames));
        for (int64_t i = 0; i < frames; ++i) {
            const double* frame = data + size_t(i) * streamChannels;
            double sum = 0.0;
            for (unsigned c = 0; c < streamChannels; ++c)
                sum += frame[c];
            mixed[size_t(i)] = sum / streamChannels;
        }
        source = mixed.data();
    }
    const unsigned bits = getFileBits();
    if (bits == 0)
        return sf_writef_double(handle, source, frames);

    // libsndfile's own conversion of doubles truncates rather than rounds,
    // neither dithers nor says how many samples it clipped: samples are
    // rounded here and reach it as integers, which a 16-bit file takes as
    // they are.
    const size_t count = size_t(frames) * fileCh;
    if (bits <= 16) {
        shorts.resize(count);
        clipped += roundSamples(dither, source, count, bits, shorts.data(), 1 << (16 - bits), noise);
        return sf_writef_short(handle, shorts.data(), frames);
    }
    ints.resize(count);
    clipped += roundSamples(dither, source, count, bits, ints.data(), bits < 32 ? 1 << (32 - bits) : 1, noise);
    return sf_writef_int(handle, ints.data(), frames);
}

unsigned SoundWriterSndfile::write(unsigned frames, double* data)
{
    if (handle == nullptr)
        return 0;
    errno = 0;
    sf_count_t done = 0;
    // Ogg Vorbis encodes whatever it is handed in one go, and the mix-down
    // and integer buffers grow with the chunk: bounded chunks keep memory small.
    const bool vorbis = info->format == (SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    const sf_count_t chunkFrames = vorbis ? sOggChunkFrames : sChunkFrames;
    while (done < sf_count_t(frames)) {
        const sf_count_t chunk = std::min<sf_count_t>(chunkFrames, sf_count_t(frames) - done);
        const sf_count_t w = writeChunk(chunk, data + size_t(done) * streamChannels);
        if (w > 0)
            done += w;
        if (w != chunk)
            break;
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
