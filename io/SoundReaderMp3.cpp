#include "SoundReaderMp3.h"

#include "SoundTagText.h"

#include <QDebug>
#include <QString>

#include <mpg123.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

namespace {

// ID3v1 genres 0-79 and the customary extensions 80-147.
const char* const sGenres[SoundReaderMp3::sGenreCount] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz", "Metal",
    "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno", "Industrial",
    "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno", "Ambient", "Trip-Hop", "Vocal",
    "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental", "Acid", "House", "Game", "Sound Clip",
    "Gospel", "Noise", "AlternRock", "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop",
    "Instrumental Rock", "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk",
    "Eurodance", "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40", "Christian Rap", "Pop/Funk",
    "Jungle", "Native American", "Cabaret", "New Wave", "Psychadelic", "Rave", "Showtunes", "Trailer", "Lo-Fi",
    "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll", "Hard Rock",
    // 80
    "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival", "Celtic",
    "Bluegrass", "Avantgarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock", "Symphonic Rock",
    "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour", "Speech", "Chanson", "Opera",
    "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus", "Porn Groove", "Satire", "Slow Jam", "Club",
    "Tango", "Samba", "Folklore", "Ballad", "Power Ballad", "Rhythmic Soul", "Freestyle", "Duet", "Punk Rock",
    "Drum Solo", "A capella", "Euro-House", "Dance Hall", "Goa", "Drum & Bass", "Club-House", "Hardcore",
    "Terror", "Indie", "BritPop", "Negerpunk", "Polsk Punk", "Beat", "Christian Gangsta Rap", "Heavy Metal",
    "Black Metal", "Crossover", "Contemporary Christian", "Christian Rock", "Merengue", "Salsa",
    "Thrash Metal", "Anime", "Jpop", "Synthpop"};

/// libmpg123 converts every ID3v2 text encoding (Latin-1, UTF-16 with a byte
/// order mark, UTF-16BE, UTF-8) to UTF-8; a damaged frame may still hand over
/// bytes that are not UTF-8, which are then taken as Latin-1.
std::string fromId3v2(const mpg123_string* s)
{
    if (s == nullptr || s->p == nullptr || s->fill == 0)
        return std::string();
    // fill counts the terminating NUL; the text ends at the first NUL anyway.
    return SoundTagText::fromBytes(s->p, s->fill);
}

/// ID3v1 fields are fixed-width ISO-8859-1, NUL-padded or blank-padded.
std::string fromLatin1(const char* field, size_t width)
{
    const size_t length = strnlen(field, width);
    return QString::fromLatin1(field, static_cast<int>(length)).toUtf8().toStdString();
}

/// ID3v2 genres may be a reference to the ID3v1 table, "(13)" or "13", or a
/// reference followed by a refinement, "(13)Pop song": the refinement wins,
/// else the table's name.
std::string genreName(const std::string& text)
{
    size_t digitsFrom = 0;
    size_t digitsTo = text.size();
    std::string rest;
    if (!text.empty() && text[0] == '(') {
        const size_t close = text.find(')');
        if (close == std::string::npos)
            return text;
        digitsFrom = 1;
        digitsTo = close;
        rest = text.substr(close + 1);
        if (text.compare(0, 4, "(RX)") == 0 && rest.empty())
            return "Remix";
        if (text.compare(0, 4, "(CR)") == 0 && rest.empty())
            return "Cover";
    }
    if (digitsTo == digitsFrom || digitsTo - digitsFrom > 3)
        return text;
    int index = 0;
    for (size_t i = digitsFrom; i < digitsTo; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return text;
        index = index * 10 + (text[i] - '0');
    }
    if (!rest.empty())
        return rest;
    return index < SoundReaderMp3::sGenreCount ? SoundReaderMp3::getGenreName(index) : text;
}

/// What the Xing or Info frame of `path` (the first MPEG frame, behind an
/// ID3v2 tag) announces: false without one. `frames` and `bytes` are -1 when
/// the frame leaves them out; `streamBytes` is what the file holds from the
/// first MPEG frame on.
bool readXingHeader(const std::string& path, int64_t& frames, int64_t& bytes, int64_t& streamBytes)
{
    frames = bytes = streamBytes = -1;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    unsigned char head[10] = {};
    long start = 0;
    if (std::fread(head, 1, 10, file) == 10 && std::memcmp(head, "ID3", 3) == 0) {
        start = 10 + ((long(head[6] & 0x7f) << 21) | (long(head[7] & 0x7f) << 14) | (long(head[8] & 0x7f) << 7) | long(head[9] & 0x7f));
        if (head[5] & 0x10)
            start += 10;
    }
    unsigned char frame[256] = {};
    std::size_t got = 0;
    if (std::fseek(file, start, SEEK_SET) == 0)
        got = std::fread(frame, 1, sizeof frame, file);
    if (std::fseek(file, 0, SEEK_END) == 0)
        streamBytes = int64_t(std::ftell(file)) - start;
    std::fclose(file);
    auto be32 = [&](std::size_t i) {
        return int64_t(frame[i]) << 24 | int64_t(frame[i + 1]) << 16 | int64_t(frame[i + 2]) << 8 | frame[i + 3];
    };
    // The tag sits behind the side information: 9 to 32 bytes after the
    // 4-byte header, depending on version and channels.
    for (std::size_t i = 4; i + 16 <= got && i < 64; ++i) {
        if (std::memcmp(frame + i, "Xing", 4) != 0 && std::memcmp(frame + i, "Info", 4) != 0)
            continue;
        const int64_t flags = be32(i + 4);
        std::size_t field = i + 8;
        if (flags & 1) {
            frames = be32(field);
            field += 4;
        }
        if ((flags & 2) && field + 4 <= got)
            bytes = be32(field);
        return true;
    }
    return false;
}

// libmpg123's own file reading asks the system for every frame header and
// frame body apart (two calls per 26 ms of audio); a stdio stream with a
// large buffer serves them from memory.
constexpr size_t sFileBufferBytes = 1 << 16;

mpg123_ssize_t readStream(void* stream, void* bytes, size_t count)
{
    FILE* file = static_cast<FILE*>(stream);
    const size_t got = std::fread(bytes, 1, count, file);
    if (got == 0 && std::ferror(file))
        return -1;
    return static_cast<mpg123_ssize_t>(got);
}

off_t seekStream(void* stream, off_t offset, int whence)
{
    FILE* file = static_cast<FILE*>(stream);
    if (fseeko(file, offset, whence) != 0)
        return -1;
    return ftello(file);
}

void closeStream(void* stream)
{
    std::fclose(static_cast<FILE*>(stream));
}

} // namespace

SoundReaderMp3::SoundReaderMp3()
{
    init();
}

SoundReaderMp3::~SoundReaderMp3()
{
    close();
}

void SoundReaderMp3::init()
{
    // Older libmpg123 builds its tables here and is not safe to enter from
    // two threads at once (readers opened side by side in a batch); newer
    // ones ignore the call. Once per process is what both need.
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

const char* SoundReaderMp3::getGenreName(int index)
{
    return index >= 0 && index < sGenreCount ? sGenres[index] : "Unknown";
}

SoundTools::Status SoundReaderMp3::open(const char* p)
{
    close();
    path = p != nullptr ? p : "";
    int error = MPG123_OK;
    handle = mpg123_new(nullptr, &error);
    if (handle == nullptr) {
        setError(mpg123_plain_strerror(error), path.c_str());
        return SoundTools::StatusError;
    }
    // Mono streams come out as two equal channels; the decoder's own warnings
    // on damaged frames would otherwise go straight to the terminal.
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_FORCE_STEREO | MPG123_QUIET, 0.0);

    // libmpg123 reports most failures as a generic error whose detail stays
    // in the handle, and an empty or non-MPEG file as the end of the stream:
    // turn both into the reason a user can act on.
    auto fail = [this](int code, int systemError) {
        std::string message;
        if (code == MPG123_DONE) {
            message = "no MPEG audio data found";
        } else {
            const int detail = code == MPG123_ERR && handle != nullptr ? mpg123_errcode(handle) : code;
            message = mpg123_plain_strerror(detail);
            if (detail == MPG123_BAD_FILE && systemError != 0)
                message += std::string(": ") + std::strerror(systemError);
        }
        close();
        setError(message.c_str(), path.c_str());
        return SoundTools::StatusError;
    };
    if (path.empty())
        return fail(MPG123_BAD_FILE, ENOENT);
    errno = 0;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return fail(MPG123_BAD_FILE, errno);
    std::setvbuf(file, nullptr, _IOFBF, sFileBufferBytes);
    // From here the handle owns the stream: closeStream runs at mpg123_close.
    error = mpg123_replace_reader_handle(handle, readStream, seekStream, closeStream);
    if (error == MPG123_OK)
        error = mpg123_open_handle(handle, file);
    else
        std::fclose(file);
    if (error != MPG123_OK)
        return fail(error, errno);
    long fileRate = 0;
    int channels = 0;
    int encoding = 0;
    error = mpg123_getformat(handle, &fileRate, &channels, &encoding);
    if (error != MPG123_OK)
        return fail(error, 0);
    rate = fileRate;
    if (encoding != MPG123_ENC_SIGNED_16) {
        close();
        setError("Only 16 bits mp3 supported", path.c_str());
        return SoundTools::StatusError;
    }
    mpg123_format_none(handle);
    mpg123_format(handle, rate, MPG123_STEREO, MPG123_ENC_SIGNED_16);
    // The forced stereo output hides the stream's own mode; the frame header
    // tells it.
    mpg123_frameinfo frame;
    fileChannels = mpg123_info(handle, &frame) == MPG123_OK && frame.mode == MPG123_M_MONO ? 1 : 2;

    // Without a Xing/Info frame libmpg123's length is an estimate from the
    // file size (an ID3v2 tag counts as audio); with one, a file cut off
    // still announces its whole length. Scanning the frames once gives the
    // exact count, and the two counts together tell a cut-off file.
    int64_t xingFrames = -1, xingBytes = -1, streamBytes = -1;
    const bool xing = readXingHeader(path, xingFrames, xingBytes, streamBytes);
    // A header whose byte count is the file's (an ID3v1 tag or a few bytes
    // of padding aside) and whose frame count fits in those bytes (a frame
    // holds at least 24) describes this file exactly: no scan needed.
    const bool trusted = xing && xingFrames > 0 && xingBytes > 0 && streamBytes >= xingBytes
        && streamBytes - xingBytes <= 1024 && xingFrames <= xingBytes / 24;
    if (!trusted && mpg123_scan(handle) != MPG123_OK)
        return fail(MPG123_ERR, 0);
    exactFrames = std::max<int64_t>(0, int64_t(mpg123_length(handle)));
    scannedMpeg = int64_t(mpg123_framelength(handle));
    // A file is cut off when it holds fewer bytes than its header announces
    // (a header whose frame count alone is wrong, with the right size, is
    // only a bad header: the scanned count stands); without a byte count,
    // the frame count decides.
    announcedMpeg = -1;
    if (xing && xingBytes > 0 && streamBytes >= 0) {
        if (xingBytes > streamBytes)
            announcedMpeg = xingFrames > scannedMpeg ? xingFrames : scannedMpeg + 1;
    } else if (xing && xingFrames > scannedMpeg) {
        announcedMpeg = xingFrames;
    }
    shortRead = false;
    return SoundTools::StatusOk;
}

void SoundReaderMp3::close()
{
    pending = nullptr;
    pendingFrames = 0;
    if (handle != nullptr) {
        mpg123_close(handle);
        mpg123_delete(handle);
        handle = nullptr;
    }
}

unsigned SoundReaderMp3::getFrameNB()
{
    if (handle == nullptr)
        return 0;
    return static_cast<unsigned>(std::min<int64_t>(exactFrames, std::numeric_limits<unsigned>::max()));
}

unsigned SoundReaderMp3::getSampleRate()
{
    return static_cast<unsigned>(rate);
}

void SoundReaderMp3::rewind()
{
    if (handle == nullptr)
        return;
    shortRead = false;
    // In 64 bits: a start point of hours must not wrap.
    const double wanted = std::floor(double(getSampleRate()) * startPoint + 0.5);
    int64_t start = wanted > 0 ? static_cast<int64_t>(std::min(wanted, 9.0e18)) : 0;
    const int64_t frames = std::min<int64_t>(exactFrames, std::numeric_limits<int32_t>::max());
    if (start > frames) {
        qDebug() << "rewind too wide " << start << " " << frames;
        start = frames;
    }
    offset = static_cast<int32_t>(start);
    pending = nullptr;
    pendingFrames = 0;
    mpg123_seek(handle, offset, SEEK_SET);
}

SoundTools::SoundFormat SoundReaderMp3::getInputFormat() const
{
    return SoundTools::PCM16;
}

unsigned SoundReaderMp3::read(unsigned frames, double* out)
{
    if (handle == nullptr || frames == 0)
        return 0;
    // Samples are taken straight from the decoder's frame buffer, one MPEG
    // frame at a time (mpg123_read would copy them once more). A block ends
    // early only at the end of the stream or on an error, so that a short
    // block never reads as the end of the file.
    const double scale = 1.0 / 32768.0;
    unsigned decoded = 0;
    int code = MPG123_OK;
    while (decoded < frames) {
        if (pendingFrames == 0) {
            off_t frameNumber = 0;
            unsigned char* audio = nullptr;
            size_t bytes = 0;
            code = mpg123_decode_frame(handle, &frameNumber, &audio, &bytes);
            // A format notice (the first call after the output format was
            // fixed) carries no samples.
            if (code == MPG123_NEW_FORMAT)
                continue;
            if (code != MPG123_OK)
                break;
            pending = reinterpret_cast<const int16_t*>(audio);
            pendingFrames = audio != nullptr ? bytes / 4 : 0;
            continue;
        }
        const size_t take = std::min<size_t>(pendingFrames, frames - decoded);
        double* to = out + size_t(decoded) * 2;
        for (size_t i = 0; i < take * 2; ++i)
            to[i] = pending[i] * scale;
        pending += take * 2;
        pendingFrames -= take;
        decoded += static_cast<unsigned>(take);
    }
    if (decoded < frames && announcedMpeg >= 0 && scannedMpeg < announcedMpeg && !shortRead) {
        shortRead = true;
        const std::string message = "the file ends early: it holds " + std::to_string(scannedMpeg)
            + " of the " + std::to_string(announcedMpeg) + " MPEG frames its header announces";
        setError(message.c_str(), path.c_str());
    }
    if (code != MPG123_OK) {
        qDebug() << "mp3 reader return code " << code;
        qDebug() << "count " << decoded;
    }
    return decoded;
}

bool SoundReaderMp3::getTags(SoundIDTag& tag)
{
    if (handle == nullptr)
        return false;
    mpg123_id3v1* v1 = nullptr;
    mpg123_id3v2* v2 = nullptr;
    if (mpg123_id3(handle, &v1, &v2) != MPG123_OK)
        return false;
    SoundIDTag found;
    // libmpg123 hands out its (empty) version 2 record whenever any tag was
    // seen, an ID3v1 tag alone included; a real version 2 tag has a version.
    const bool hasV2 = v2 != nullptr && v2->version != 0;
    if (hasV2) {
        found.title = fromId3v2(v2->title);
        found.artist = fromId3v2(v2->artist);
        found.album = fromId3v2(v2->album);
        found.year = fromId3v2(v2->year);
        found.comment = fromId3v2(v2->comment);
        found.genre = genreName(fromId3v2(v2->genre));
        for (size_t i = 0; i < v2->texts; ++i) {
            if (std::memcmp(v2->text[i].id, "TRCK", 4) == 0) {
                found.track = fromId3v2(&v2->text[i].text);
                break;
            }
        }
        // Version 2.4 dates its recordings in TDRC, which this libmpg123
        // does not take as the year.
        for (size_t i = 0; i < v2->texts && found.year.empty(); ++i)
            if (std::memcmp(v2->text[i].id, "TDRC", 4) == 0)
                found.year = fromId3v2(&v2->text[i].text);
        // Some encoders store the comment as a user text named "comment".
        for (size_t i = 0; i < v2->extras && found.comment.empty(); ++i)
            if (QString::fromStdString(fromId3v2(&v2->extra[i].description)).compare("comment", Qt::CaseInsensitive) == 0)
                found.comment = fromId3v2(&v2->extra[i].text);
    }
    // The version 1 tag fills what version 2 lacks: writers put texts that
    // fit Latin-1 in both, and a version 2 tag may hold only some fields.
    if (v1 != nullptr) {
        auto fill = [](std::string& field, std::string value) {
            if (field.empty())
                field = std::move(value);
        };
        fill(found.title, fromLatin1(v1->title, sizeof v1->title));
        fill(found.artist, fromLatin1(v1->artist, sizeof v1->artist));
        fill(found.album, fromLatin1(v1->album, sizeof v1->album));
        fill(found.year, fromLatin1(v1->year, sizeof v1->year));
        // ID3v1.1: a NUL in the comment's 29th byte and a number in its 30th
        // is the track; the comment is then 28 bytes.
        const bool hasTrack = v1->comment[28] == '\0' && v1->comment[29] != '\0';
        fill(found.comment, fromLatin1(v1->comment, hasTrack ? 28 : sizeof v1->comment));
        if (hasTrack)
            fill(found.track, std::to_string(static_cast<unsigned char>(v1->comment[29])));
        // 255 is the format's "no genre"; only a version 1 tag alone names it.
        if (!hasV2 || static_cast<unsigned char>(v1->genre) < sGenreCount)
            fill(found.genre, getGenreName(static_cast<unsigned char>(v1->genre)));
    }
    if (!hasV2 && v1 == nullptr)
        return false;
    for (auto field : {&SoundIDTag::title, &SoundIDTag::artist, &SoundIDTag::album, &SoundIDTag::year,
                       &SoundIDTag::comment, &SoundIDTag::genre})
        tag.*field = found.*field;
    if (!found.track.empty())
        tag.track = found.track;
    return true;
}
