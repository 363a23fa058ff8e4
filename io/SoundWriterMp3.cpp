#include "SoundWriterMp3.h"

#include "SoundTagText.h"

#include <QLibrary>
#include <QString>

#include <lame/lame.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

std::atomic<int> SoundWriterMp3::sLameInit{0};

namespace {
// Writers opened side by side in threads would otherwise load the library
// and fill the entry points below at the same time.
std::once_flag sLameOnce;
} // namespace

namespace {

// The encoder's entry points, resolved by name when the library is found.
// The types come from the installed header; nothing is linked at build time.
#define TEVO_LAME_FUNCTIONS(X) \
    X(lame_init)               \
    X(lame_set_brate)          \
    X(lame_set_num_channels)   \
    X(lame_set_in_samplerate)  \
    X(lame_set_mode)           \
    X(lame_set_quality)        \
    X(lame_init_params)        \
    X(lame_close)              \
    X(lame_encode_flush)       \
    X(lame_mp3_tags_fid)       \
    X(lame_encode_buffer)      \
    X(lame_get_num_channels)   \
    X(id3tag_init)             \
    X(id3tag_add_v2)           \
    X(id3tag_set_title)        \
    X(id3tag_set_artist)       \
    X(id3tag_set_album)        \
    X(id3tag_set_year)         \
    X(id3tag_set_comment)      \
    X(id3tag_set_track)        \
    X(id3tag_set_genre)        \
    X(lame_set_write_id3tag_automatic)

struct LameApi {
#define TEVO_LAME_POINTER(name) decltype(&::name) name = nullptr;
    TEVO_LAME_FUNCTIONS(TEVO_LAME_POINTER)
#undef TEVO_LAME_POINTER
};
LameApi sLame;

// The Unicode tag functions came with later encoder versions; without them
// texts outside Latin-1 cannot be stored, everything else still works.
struct LameUnicodeApi {
    decltype(&::id3tag_set_textinfo_utf16) textinfo = nullptr;
    decltype(&::id3tag_set_comment_utf16) comment = nullptr;
};
LameUnicodeApi sLameUnicode;

// Worst case of lame_encode_buffer's output for n frames (LAME's own rule of
// thumb, 1.25 n + 7200 bytes), and the least lame_encode_flush may need.
const unsigned sFlushBytes = 7200;
unsigned mp3BytesFor(unsigned frames)
{
    return frames + frames / 4 + 1 + sFlushBytes;
}

/// One sample as the encoder's 16-bit integer, at the writer's level: NaN as
/// 0, the rest truncated toward zero and clipped; `clips` counts the samples
/// whose integer does not fit. Clipping and counting happen on 32-bit
/// integers, after a wide clamp that keeps the conversion defined: a count
/// taken on the doubles would keep the loops scalar.
inline int16_t toPcm(double x, uint32_t& clips)
{
    double v = x * (SoundWriterMp3::sLevelGain * 32768.0);
    v = v == v ? v : 0.0;
    v = v > 65536.0 ? 65536.0 : v;
    v = v < -65536.0 ? -65536.0 : v;
    int32_t n = static_cast<int32_t>(v);
    clips += static_cast<uint32_t>((n > 32767) | (n < -32768));
    n = n > 32767 ? 32767 : n;
    n = n < -32768 ? -32768 : n;
    return static_cast<int16_t>(n);
}

#if defined(__SSE2__)
/// toPcm on two stereo frames at once: their four samples as 32-bit
/// integers (left, right, left, right), overs counted into `clips` (one lane
/// per sample, as -1 per over).
inline __m128i toPcm32x4(const double* frames, __m128i& clips)
{
    const __m128d scale = _mm_set1_pd(SoundWriterMp3::sLevelGain * 32768.0);
    const __m128d wide = _mm_set1_pd(65536.0);
    __m128d a = _mm_mul_pd(_mm_loadu_pd(frames), scale);
    __m128d b = _mm_mul_pd(_mm_loadu_pd(frames + 2), scale);
    a = _mm_and_pd(a, _mm_cmpord_pd(a, a));
    b = _mm_and_pd(b, _mm_cmpord_pd(b, b));
    a = _mm_max_pd(_mm_min_pd(a, wide), _mm_sub_pd(_mm_setzero_pd(), wide));
    b = _mm_max_pd(_mm_min_pd(b, wide), _mm_sub_pd(_mm_setzero_pd(), wide));
    const __m128i n = _mm_unpacklo_epi64(_mm_cvttpd_epi32(a), _mm_cvttpd_epi32(b));
    clips = _mm_add_epi32(clips, _mm_or_si128(_mm_cmpgt_epi32(n, _mm_set1_epi32(32767)), _mm_cmplt_epi32(n, _mm_set1_epi32(-32768))));
    return n;
}

/// toPcm of `frames` interleaved stereo frames into two channel buffers.
/// The compiler's own vectorisation of the portable loop leaves it three
/// times slower: it cannot see that the saturating pack clips exactly as
/// toPcm does, nor split the channels with shuffles.
void stereoToPcm(const double* data, unsigned frames, int16_t* left, int16_t* right, uint32_t& clips)
{
    __m128i lanes = _mm_setzero_si128();
    unsigned i = 0;
    for (; i + 4 <= frames; i += 4) {
        const __m128i first = toPcm32x4(data + 2 * size_t(i), lanes);
        const __m128i second = toPcm32x4(data + 2 * size_t(i) + 4, lanes);
        // l0 r0 l1 r1 l2 r2 l3 r3, then l0 l1 r0 r1 l2 l3 r2 r3, then the
        // left samples in the low half and the right ones in the high half.
        __m128i pcm = _mm_packs_epi32(first, second);
        pcm = _mm_shufflehi_epi16(_mm_shufflelo_epi16(pcm, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
        pcm = _mm_shuffle_epi32(pcm, _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(left + i), pcm);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(right + i), _mm_srli_si128(pcm, 8));
    }
    uint32_t counted[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(counted), lanes);
    clips -= counted[0] + counted[1] + counted[2] + counted[3];
    for (; i < frames; ++i) {
        left[i] = toPcm(data[2 * size_t(i)], clips);
        right[i] = toPcm(data[2 * size_t(i) + 1], clips);
    }
}
#else
void stereoToPcm(const double* data, unsigned frames, int16_t* left, int16_t* right, uint32_t& clips)
{
    for (unsigned i = 0; i < frames; ++i) {
        left[i] = toPcm(data[2 * size_t(i)], clips);
        right[i] = toPcm(data[2 * size_t(i) + 1], clips);
    }
}
#endif

/// A UTF-8 text as the encoder's UTF-16: byte order mark first, NUL ended.
/// Characters beyond the basic plane travel as surrogate pairs.
std::vector<unsigned short> toUtf16(const std::string& text)
{
    const QString decoded = QString::fromUtf8(text.data(), static_cast<int>(text.size()));
    std::vector<unsigned short> units;
    units.reserve(size_t(decoded.size()) + 2);
    units.push_back(0xFEFF);
    for (const QChar c : decoded)
        units.push_back(c.unicode());
    units.push_back(0);
    return units;
}

} // namespace

void SoundWriterMp3::_init_lame()
{
    QLibrary* library = new QLibrary("libmp3lame-0");
    if (!library->load()) {
        delete library;
        library = new QLibrary("lame_enc");
        if (!library->load()) {
            // This platform's name for the encoder (libmp3lame.so.0).
            delete library;
            library = new QLibrary("mp3lame", 0);
            if (!library->load()) {
                delete library;
                library = nullptr;
            }
        }
    }
    bool complete = library != nullptr;
    if (library != nullptr) {
#define TEVO_LAME_RESOLVE(name)                                                   \
    sLame.name = reinterpret_cast<decltype(sLame.name)>(library->resolve(#name)); \
    complete = complete && sLame.name != nullptr;
        TEVO_LAME_FUNCTIONS(TEVO_LAME_RESOLVE)
#undef TEVO_LAME_RESOLVE
        sLameUnicode.textinfo = reinterpret_cast<decltype(sLameUnicode.textinfo)>(
            library->resolve("id3tag_set_textinfo_utf16"));
        sLameUnicode.comment = reinterpret_cast<decltype(sLameUnicode.comment)>(
            library->resolve("id3tag_set_comment_utf16"));
        // Deleting the QLibrary object does not unload the library.
        delete library;
    }
    sLameInit = complete ? 1 : -1;
}

bool SoundWriterMp3::Init()
{
    std::call_once(sLameOnce, _init_lame);
    return sLameInit == 1;
}

bool SoundWriterMp3::IsInit()
{
    return sLameInit == 1;
}

SoundWriterMp3::SoundWriterMp3(unsigned rate, unsigned channels, unsigned kbps, int algorithmQuality)
    : SoundWriter(rate)
    , channelCount(channels)
    , bitrate(kbps)
    , quality(algorithmQuality < 0 ? sDefaultQuality : algorithmQuality)
{
    if (!Init())
        return;
    lame = sLame.lame_init();
    if (lame == nullptr)
        return;
    sLame.id3tag_init(lame);
    configure(lame);
}

void SoundWriterMp3::configure(lame_global_struct* handle) const
{
    sLame.lame_set_brate(handle, static_cast<int>(bitrate));
    const unsigned encoded = fileChannels != 0 ? fileChannels : channelCount;
    sLame.lame_set_num_channels(handle, static_cast<int>(encoded));
    sLame.lame_set_in_samplerate(handle, static_cast<int>(sampleRate));
    sLame.lame_set_mode(handle, encoded == 1 ? MONO : JOINT_STEREO);
    sLame.lame_set_quality(handle, quality);
}

bool SoundWriterMp3::startEncoder()
{
    if (started)
        return true;
    const int result = sLame.lame_init_params(lame);
    if (result < 0) {
        fail("the mp3 encoder refused its parameters, code " + std::to_string(result));
        return false;
    }
    started = true;
    return true;
}

SoundWriterMp3::~SoundWriterMp3()
{
    close();
    if (lame != nullptr)
        sLame.lame_close(lame);
    delete[] mp3Buffer;
    delete[] leftBuffer;
    delete[] rightBuffer;
}

void SoundWriterMp3::fail(const std::string& message)
{
    setError(message.c_str(), path.c_str());
}

SoundTools::Status SoundWriterMp3::open(const char* p)
{
    if (lame == nullptr) {
        setError("This version doesn't support mp3 encoding", nullptr);
        return SoundTools::StatusError;
    }
    close();
    lastCloseFailed = false;
    path = p != nullptr ? p : "";
    // The encoder would quietly take 9 for anything above.
    if (quality > 9) {
        fail("the mp3 encoder's quality goes from 0 (best, slowest) to 9 (fastest), not " + std::to_string(quality));
        return SoundTools::StatusError;
    }
    const QByteArray local = QString::fromUtf8(path.c_str()).toLocal8Bit();
    // Read access too: completing the stream header at close reads the start
    // of the file back.
    file = std::fopen(local.constData(), "w+b");
    if (file == nullptr) {
        fail(std::strerror(errno));
        return SoundTools::StatusError;
    }
    // The real encoder fixes its parameters at the first write (see
    // `started`); a scratch encoder with the same settings tells now whether
    // it will accept them.
    int result = -1;
    if (lame_global_struct* probe = sLame.lame_init()) {
        configure(probe);
        result = sLame.lame_init_params(probe);
        sLame.lame_close(probe);
    }
    if (result < 0) {
        std::fclose(file);
        file = nullptr;
        fail("the mp3 encoder refused its parameters (sample rate, channels or bit rate), code "
             + std::to_string(result));
        return SoundTools::StatusError;
    }
    return SoundTools::StatusOk;
}

bool SoundWriterMp3::putBytes(const unsigned char* bytes, size_t count)
{
    // Flushing at once turns a full disk into a failed write rather than a
    // file silently cut at close.
    if (std::fwrite(bytes, 1, count, file) != count || std::fflush(file) != 0) {
        fail(std::strerror(errno != 0 ? errno : EIO));
        return false;
    }
    return true;
}

void SoundWriterMp3::close()
{
    if (file == nullptr || lame == nullptr)
        return;
    bool ok = true;
    if (mp3Buffer != nullptr) {
        if (mp3Capacity < sFlushBytes)
            growBuffers(0);
        errno = 0;
        const int n = sLame.lame_encode_flush(lame, mp3Buffer, static_cast<int>(mp3Capacity));
        if (n < 0) {
            fail("the mp3 encoder could not flush its last frames, code " + std::to_string(n));
            ok = false;
        } else if (n > 0) {
            ok = putBytes(mp3Buffer, static_cast<size_t>(n));
        }
        // Fills the Info frame reserved at the head of the stream, so that
        // decoders know the exact length and drop the encoder's padding.
        if (ok)
            sLame.lame_mp3_tags_fid(lame, file);
    }
    errno = 0;
    if (std::fclose(file) != 0 && ok) {
        fail(std::strerror(errno != 0 ? errno : EIO));
        ok = false;
    }
    file = nullptr;
    lastCloseFailed = !ok;
}

unsigned SoundWriterMp3::getChannelNum() const
{
    return lame != nullptr ? channelCount : 0;
}

double SoundWriterMp3::getGainDb() const
{
    return SoundTools::linearToDb(sLevelGain);
}

bool SoundWriterMp3::setFileChannels(unsigned channels)
{
    if (lame == nullptr || file != nullptr || started || channels > 2 || (channels == 2 && channelCount != 2))
        return false;
    fileChannels = channels;
    configure(lame);
    return true;
}

void SoundWriterMp3::setTags(const SoundIDTag& tag)
{
    // The encoder writes its version 2 tag when its parameters are fixed:
    // later tags could only reach the version 1 tag, a half-tagged file.
    if (lame == nullptr || started)
        return;
    // Start from an empty tag, so that a second call replaces the first
    // rather than mixing with it.
    sLame.id3tag_init(lame);
    // Each Latin-1 setter fills both the version 1 field and a Latin-1
    // version 2 frame. A text beyond Latin-1 goes to a UTF-16 version 2
    // frame only: its version 1 field stays blank rather than holding a
    // mangled copy (version 1 knows no other character set).
    struct Field {
        const std::string& text;
        void (*setLatin1)(lame_global_struct*, const char*);
        const char* frame;
    };
    const Field fields[] = {
        {tag.title, sLame.id3tag_set_title, "TIT2"},
        {tag.artist, sLame.id3tag_set_artist, "TPE1"},
        {tag.album, sLame.id3tag_set_album, "TALB"},
        {tag.year, sLame.id3tag_set_year, "TYER"},
        {tag.comment, sLame.id3tag_set_comment, "COMM"},
        {tag.track, nullptr, "TRCK"},
        {tag.genre, nullptr, "TCON"},
    };
    for (const Field& f : fields) {
        if (f.text.empty())
            continue;
        if (SoundTagText::fitsLatin1(f.text)) {
            const std::string latin1 = SoundTagText::toLatin1(f.text);
            if (f.setLatin1 != nullptr)
                f.setLatin1(lame, latin1.c_str());
            else if (std::strcmp(f.frame, "TRCK") == 0)
                sLame.id3tag_set_track(lame, latin1.c_str());
            else
                sLame.id3tag_set_genre(lame, latin1.c_str());
            continue;
        }
        const std::vector<unsigned short> text = toUtf16(f.text);
        if (std::strcmp(f.frame, "COMM") == 0) {
            // An empty description: the frame readers show as "the" comment.
            const unsigned short noDescription[] = {0xFEFF, 0};
            if (sLameUnicode.comment != nullptr)
                sLameUnicode.comment(lame, "eng", noDescription, text.data());
        } else if (sLameUnicode.textinfo != nullptr) {
            sLameUnicode.textinfo(lame, f.frame, text.data());
        }
    }
    sLame.id3tag_add_v2(lame);
}

bool SoundWriterMp3::growBuffers(unsigned frames)
{
    if (pcmCapacity < frames) {
        delete[] leftBuffer;
        delete[] rightBuffer;
        leftBuffer = new int16_t[frames];
        rightBuffer = new int16_t[frames];
        pcmCapacity = frames;
    }
    const unsigned bytes = mp3BytesFor(frames);
    if (mp3Capacity < bytes) {
        delete[] mp3Buffer;
        mp3Buffer = new unsigned char[bytes];
        mp3Capacity = bytes;
    }
    return true;
}

unsigned SoundWriterMp3::write(unsigned frames, double* data)
{
    if (file == nullptr || lame == nullptr || frames == 0)
        return 0;
    const unsigned channels = getChannelNum();
    const unsigned encoded = static_cast<unsigned>(sLame.lame_get_num_channels(lame));
    if (channels < 1 || channels > 2) {
        fail("the mp3 encoder takes 1 or 2 channels");
        return 0;
    }
    // The encoder's int counts bound one call.
    if (frames > 0x7fffffffu / 2) {
        fail("block too large for the mp3 encoder");
        return 0;
    }
    if (!startEncoder())
        return 0;
    growBuffers(frames);
    // The encoder's input is 16-bit whatever its settings. One loop per
    // layout, without branches or calls, so that they vectorise; stereo, the
    // common case, by hand.
    uint32_t clips = 0;
    if (channels == 2 && encoded == 1) {
        for (unsigned i = 0; i < frames; ++i)
            leftBuffer[i] = rightBuffer[i] = toPcm(0.5 * (data[2 * size_t(i)] + data[2 * size_t(i) + 1]), clips);
    } else if (channels == 2) {
        stereoToPcm(data, frames, leftBuffer, rightBuffer, clips);
    } else {
        for (unsigned i = 0; i < frames; ++i)
            leftBuffer[i] = rightBuffer[i] = toPcm(data[i], clips);
    }
    clipped += clips;
    const int n = sLame.lame_encode_buffer(lame, leftBuffer, rightBuffer, static_cast<int>(frames), mp3Buffer,
                                           static_cast<int>(mp3Capacity));
    if (n < 0) {
        fail("the mp3 encoder failed, code " + std::to_string(n));
        return 0;
    }
    errno = 0;
    if (n > 0 && !putBytes(mp3Buffer, static_cast<size_t>(n)))
        return 0;
    return frames;
}
