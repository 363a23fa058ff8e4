#include "SoundReaderMp3.h"

#include <QDebug>
#include <QString>

#include <mpg123.h>

#include <cerrno>
#include <cmath>
#include <cstring>

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

std::string fromUtf8(const mpg123_string* s)
{
    if (s == nullptr || s->p == nullptr || s->fill == 0)
        return std::string();
    // fill counts the terminating NUL; the text ends at the first NUL anyway.
    const size_t length = strnlen(s->p, s->fill);
    return QString::fromUtf8(s->p, static_cast<int>(length)).toLocal8Bit().toStdString();
}

/// ID3v1 fields are fixed-width ISO-8859-1, NUL-padded or blank-padded.
std::string fromLatin1(const char* field, size_t width)
{
    const size_t length = strnlen(field, width);
    return QString::fromLatin1(field, static_cast<int>(length)).toLocal8Bit().toStdString();
}

} // namespace

SoundReaderMp3::SoundReaderMp3()
{
    init();
}

SoundReaderMp3::~SoundReaderMp3()
{
    close();
    delete[] decodeBuffer;
}

void SoundReaderMp3::init()
{
    mpg123_init();
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
    error = mpg123_open(handle, path.c_str());
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

    // A stream without a length header (no Xing/Info frame, no seekable
    // size) reports an error here; scanning it once gives the exact count,
    // which progress reports and start points rely on.
    if (mpg123_length(handle) < 0)
        mpg123_scan(handle);
    return SoundTools::StatusOk;
}

void SoundReaderMp3::close()
{
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
    const off_t length = mpg123_length(handle);
    return length > 0 ? static_cast<unsigned>(length) : 0;
}

unsigned SoundReaderMp3::getSampleRate()
{
    return static_cast<unsigned>(rate);
}

void SoundReaderMp3::rewind()
{
    if (handle == nullptr)
        return;
    offset = static_cast<int32_t>(std::floor(double(getSampleRate()) * startPoint + 0.5));
    if (offset < 0)
        offset = 0;
    const unsigned frames = getFrameNB();
    if (static_cast<unsigned>(offset) > frames) {
        qDebug() << "rewind too wide " << offset << " " << frames;
        offset = static_cast<int32_t>(frames);
    }
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
    if (frames != decodeFrames) {
        delete[] decodeBuffer;
        decodeBuffer = nullptr;
        decodeFrames = frames;
    }
    if (decodeBuffer == nullptr)
        decodeBuffer = new int16_t[size_t(decodeFrames) * 2];

    // mpg123_read stops early at a format notice (the first read after the
    // output format was fixed) and may deliver less than asked at frame
    // boundaries; keep going until the block is full or the stream ends, so
    // that a short block never reads as the end of the file.
    const size_t wanted = size_t(frames) * 4;
    size_t got = 0;
    int code = MPG123_OK;
    while (got < wanted) {
        size_t done = 0;
        code = mpg123_read(handle, reinterpret_cast<unsigned char*>(decodeBuffer) + got, wanted - got, &done);
        got += done;
        if (code == MPG123_NEW_FORMAT || (code == MPG123_OK && done > 0))
            continue;
        break;
    }
    const unsigned decoded = static_cast<unsigned>(got / 4);
    if (code != MPG123_OK) {
        qDebug() << "mp3 reader return code " << code;
        qDebug() << "count " << decoded;
    }
    const double scale = 1.0 / 32768.0;
    const size_t samples = size_t(decoded) * 2;
    for (size_t i = 0; i < samples; ++i)
        out[i] = decodeBuffer[i] * scale;
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
    // libmpg123 hands out its (empty) version 2 record whenever any tag was
    // seen, an ID3v1 tag alone included; a real version 2 tag has a version.
    if (v2 != nullptr && v2->version != 0) {
        tag.title = fromUtf8(v2->title);
        tag.artist = fromUtf8(v2->artist);
        tag.album = fromUtf8(v2->album);
        tag.year = fromUtf8(v2->year);
        tag.comment = fromUtf8(v2->comment);
        tag.genre = fromUtf8(v2->genre);
        for (size_t i = 0; i < v2->texts; ++i) {
            if (std::memcmp(v2->text[i].id, "TRCK", 4) == 0) {
                tag.track = fromUtf8(&v2->text[i].text);
                break;
            }
        }
        return true;
    }
    if (v1 != nullptr) {
        tag.title = fromLatin1(v1->title, sizeof v1->title);
        tag.artist = fromLatin1(v1->artist, sizeof v1->artist);
        tag.album = fromLatin1(v1->album, sizeof v1->album);
        tag.year = fromLatin1(v1->year, sizeof v1->year);
        tag.comment = fromLatin1(v1->comment, sizeof v1->comment);
        tag.genre = getGenreName(v1->genre);
        return true;
    }
    return false;
}
