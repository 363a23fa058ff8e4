// The factory of SoundReader: the one place where the stream interface of the
// graph meets the concrete file readers.
#include "SoundReader.h"

#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"

#include <QString>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <strings.h>

namespace {

enum class Content { Unknown,
                     Sndfile,
                     Mp3 };

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
