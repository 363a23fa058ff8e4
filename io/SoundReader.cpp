#include "SoundReader.h"

#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iomanip>
#include <sstream>
#include <strings.h>

SoundReader::~SoundReader() = default;

bool SoundReader::getTags(SoundIDTag&)
{
    return false;
}

bool SoundReader::readFailed() const
{
    return false;
}

int SoundReader::getStartOffset()
{
    // Computed in 64 bits and clamped: a start point of hours must not wrap
    // to a negative or small frame index.
    const double frames = std::floor(double(getSampleRate()) * startPoint + 0.5);
    if (!(frames > 0))
        return 0;
    return frames >= 2147483647.0 ? 2147483647 : static_cast<int>(frames);
}

double SoundReader::getLength()
{
    const unsigned rate = getSampleRate();
    return rate == 0 ? 0.0 : double(getFrameNB()) / double(rate);
}

std::string SoundReader::getLengthString()
{
    return formatLength(getLength());
}

std::string SoundReader::formatLength(double s)
{
    if (!std::isfinite(s) || s < 0)
        s = 0;
    const double h = std::floor(s / 3600);
    s -= h * 3600;
    const double m = std::floor(s / 60);
    s -= m * 60;
    std::ostringstream text;
    text << std::setfill('0') << std::fixed << std::setw(2) << std::setprecision(0) << h << ':' << std::setw(2)
         << std::setprecision(0) << m << ':' << std::setw(6) << std::setprecision(3) << s;
    return text.str();
}

unsigned SoundReader::stereoRead(std::shared_ptr<SoundBuffer> buffer, unsigned margin)
{
    // read() writes two doubles per frame at the buffer's stride: anything
    // but a stereo buffer of plain samples would be overrun.
    if (!buffer || !buffer->isStereo()) {
        setError("stereoRead needs a stereo buffer of one value per channel", "SoundReader");
        return 0;
    }
    const unsigned held = buffer->getFrameNB();
    unsigned kept;
    if (held > 0 && held <= margin) {
        // The node consumed nothing of the last block (an input shorter than
        // its history): every frame is still needed, whereas keepMargin would
        // drop the first one.
        kept = held;
    } else {
        kept = buffer->keepMargin(margin);
    }
    buffer->setOrigin(offset - static_cast<int>(kept));
    if (buffer->getFrameNBAllocated() <= kept) {
        // A leading silence as long as the whole buffer (only possible when
        // the caller did not size the block for it): make room for a block
        // behind it rather than report the end of the input at once. The kept
        // frames are silence here, so a fresh zeroed array loses nothing.
        buffer->setFrameNB(kept);
        buffer->appendMargin(SoundBuffer::getDefaultSize());
    }
    const unsigned room = buffer->getFrameNBAllocated() - kept;
    const unsigned n = read(room, buffer->getRelFrame(static_cast<int>(kept)));
    offset += static_cast<int>(n);
    buffer->setFrameNB(kept + n);
    // At the end of the input (the reader could not fill the room), pad with
    // silence so that the node sees its whole history followed by `margin`
    // frames of look-ahead: with a full margin kept this is the usual
    // kept - n, and it also covers a first block that held less than the
    // margin. A full read is never padded, even when it is shorter than a
    // long leading silence: that would insert zeros into the stream.
    const unsigned want = std::max(kept, margin);
    if (n < room && n < want) {
        buffer->appendMargin(want - n);
        offset += static_cast<int>(want - n);
    }
    return n;
}

const char* SoundReader::fileExtension(const char* path)
{
    if (path == nullptr)
        return nullptr;
    // The extension belongs to the file name, never to a folder of the path.
    const char* name = std::strrchr(path, '/');
    name = name != nullptr ? name + 1 : path;
    const char* point = std::strrchr(name, '.');
    // A leading point alone (".hidden") starts a name, it ends no extension.
    return point != nullptr && point != name ? point : nullptr;
}

namespace {

enum class Content { Unknown, Sndfile, Mp3 };

/// A plausible MPEG audio frame header: sync, a known version and layer, a
/// bit rate that is not "bad" and a known sample rate.
bool isMpegHeader(const unsigned char* h)
{
    return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && ((h[1] >> 3) & 3) != 1 && ((h[1] >> 1) & 3) != 0
           && (h[2] >> 4) != 15 && ((h[2] >> 2) & 3) != 3;
}

/// What the first bytes of the file say it is. Containers libsndfile knows
/// carry a magic word at their start; MP3 starts with an ID3v2 header or a
/// frame header. An ID3v2 header in front of a FLAC stream is looked behind.
Content sniff(const char* path)
{
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        return Content::Unknown;
    unsigned char head[12] = {};
    size_t got = std::fread(head, 1, sizeof head, f);
    Content kind = Content::Unknown;
    if (got >= 10 && std::memcmp(head, "ID3", 3) == 0 && head[3] < 0x80 && (head[6] | head[7] | head[8] | head[9]) < 0x80) {
        const long size = (long(head[6]) << 21 | long(head[7]) << 14 | long(head[8]) << 7 | long(head[9]))
                          + 10 + ((head[5] & 0x10) ? 10 : 0);
        unsigned char behind[4] = {};
        kind = Content::Mp3;
        if (std::fseek(f, size, SEEK_SET) == 0 && std::fread(behind, 1, 4, f) == 4
            && std::memcmp(behind, "fLaC", 4) == 0)
            kind = Content::Sndfile;
    } else if (got >= 4) {
        static const char* const magics[] = {"RIFF", "RIFX", "RF64", "FORM", "fLaC", "OggS", ".snd", "caff", "BW64"};
        for (const char* magic : magics)
            if (std::memcmp(head, magic, 4) == 0)
                kind = Content::Sndfile;
        if (kind == Content::Unknown && isMpegHeader(head))
            kind = Content::Mp3;
    }
    std::fclose(f);
    return kind;
}

bool extensionIs(const char* extension, std::initializer_list<const char*> names)
{
    if (extension == nullptr)
        return false;
    for (const char* name : names)
        if (strcasecmp(extension, name) == 0)
            return true;
    return false;
}

} // namespace

SoundReader* SoundReader::getFromFilename(const char* path)
{
    if (path == nullptr || *path == '\0')
        return nullptr;
    // The content wins over the name: a WAV file called .mp3 or an MP3 file
    // without an extension open with the reader that can decode them.
    switch (sniff(QString::fromUtf8(path).toLocal8Bit().constData())) {
    case Content::Mp3:
        return new SoundReaderMp3();
    case Content::Sndfile:
        return new SoundReaderSndfile();
    case Content::Unknown:
        break;
    }
    const char* extension = fileExtension(path);
    if (extensionIs(extension, {".mp3"}))
        return new SoundReaderMp3();
    if (extensionIs(extension, {".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".aif", ".aiff"}))
        return new SoundReaderSndfile();
    if (extensionIs(extension, {".raw"})) {
        auto* reader = new SoundReaderSndfile();
        reader->setRawFormat(44100, 2);
        return reader;
    }
    return nullptr;
}
