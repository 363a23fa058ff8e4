#include "SoundTagChunks.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Comment blocks beyond this size hold pictures, not texts worth reading.
const uint32_t sMaxBlockBytes = 1u << 20;
// Pages looked at for the comment packet of an Ogg stream: it follows the
// identification packet, at most a few pages in.
const int sMaxOggPages = 64;

uint32_t le32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool readExactly(FILE* f, void* to, size_t bytes)
{
    return std::fread(to, 1, bytes, f) == bytes;
}

/// The VORBIS_COMMENT block of a FLAC file positioned after "fLaC".
std::string flacCommentBlock(FILE* f)
{
    for (int blocks = 0; blocks < 128; ++blocks) {
        unsigned char header[4];
        if (!readExactly(f, header, 4))
            return std::string();
        const uint32_t length = uint32_t(header[1]) << 16 | uint32_t(header[2]) << 8 | header[3];
        if ((header[0] & 0x7F) == 4) {
            if (length > sMaxBlockBytes)
                return std::string();
            std::string block(length, '\0');
            return readExactly(f, &block[0], length) ? block : std::string();
        }
        if ((header[0] & 0x80) != 0 || std::fseek(f, long(length), SEEK_CUR) != 0)
            return std::string();
    }
    return std::string();
}

/// The comment body of the second packet of the first Ogg stream (Vorbis:
/// "\x03vorbis", Opus: "OpusTags"), from a file positioned at its start.
std::string oggCommentBlock(FILE* f)
{
    std::string packet;
    int packetIndex = 0;
    uint32_t serial = 0;
    for (int page = 0; page < sMaxOggPages; ++page) {
        unsigned char header[27];
        if (!readExactly(f, header, 27) || std::memcmp(header, "OggS", 4) != 0)
            return std::string();
        const uint32_t pageSerial = le32(header + 14);
        if (page == 0)
            serial = pageSerial;
        unsigned char lacing[255];
        const unsigned segments = header[26];
        if (!readExactly(f, lacing, segments))
            return std::string();
        for (unsigned s = 0; s < segments; ++s) {
            std::string segment(lacing[s], '\0');
            if (lacing[s] > 0 && !readExactly(f, &segment[0], lacing[s]))
                return std::string();
            if (pageSerial != serial)
                continue;
            if (packetIndex == 1) {
                if (packet.size() + segment.size() > sMaxBlockBytes)
                    return std::string();
                packet += segment;
            }
            // A segment shorter than 255 bytes ends its packet.
            if (lacing[s] < 255 && ++packetIndex == 2) {
                if (packet.compare(0, 7, "\x03vorbis") == 0)
                    return packet.substr(7);
                if (packet.compare(0, 8, "OpusTags") == 0)
                    return packet.substr(8);
                return std::string();
            }
        }
    }
    return std::string();
}

/// The entries of the LIST/INFO chunk of a RIFF/WAVE file positioned after
/// its 12-byte header.
std::vector<SoundTagChunks::Comment> wavInfo(FILE* f)
{
    std::vector<SoundTagChunks::Comment> entries;
    for (int chunks = 0; chunks < 1024; ++chunks) {
        unsigned char header[8];
        if (!readExactly(f, header, 8))
            break;
        const uint32_t size = le32(header + 4);
        if (std::memcmp(header, "LIST", 4) == 0 && size >= 4 && size <= sMaxBlockBytes) {
            std::string list(size, '\0');
            if (!readExactly(f, &list[0], size))
                break;
            if (list.compare(0, 4, "INFO") == 0) {
                size_t at = 4;
                while (at + 8 <= list.size()) {
                    const uint32_t length = le32(reinterpret_cast<const unsigned char*>(list.data()) + at + 4);
                    if (length > list.size() - at - 8)
                        break;
                    const std::string id = list.substr(at, 4);
                    std::string value = list.substr(at + 8, length);
                    value.resize(strnlen(value.c_str(), value.size()));
                    entries.emplace_back(id, value);
                    at += 8 + length + (length & 1);
                }
                return entries;
            }
            if (size & 1)
                std::fseek(f, 1, SEEK_CUR);
            continue;
        }
        // Chunks are word aligned; the data chunk is skipped, not read.
        if (std::fseek(f, long(size) + long(size & 1), SEEK_CUR) != 0)
            break;
    }
    return entries;
}

} // namespace

std::vector<SoundTagChunks::Comment> SoundTagChunks::read(const std::string& localPath)
{
    File f(std::fopen(localPath.c_str(), "rb"));
    if (!f)
        return {};
    unsigned char magic[10];
    if (!readExactly(f.get(), magic, 10))
        return {};
    long start = 0;
    // Some taggers put an ID3v2 tag in front of a FLAC stream.
    if (std::memcmp(magic, "ID3", 3) == 0)
        start = 10 + long((magic[6] & 0x7F) << 21 | (magic[7] & 0x7F) << 14 | (magic[8] & 0x7F) << 7 | (magic[9] & 0x7F));
    if (std::fseek(f.get(), start, SEEK_SET) != 0 || !readExactly(f.get(), magic, 4))
        return {};
    if (std::memcmp(magic, "fLaC", 4) == 0)
        return parse(flacCommentBlock(f.get()));
    if (std::memcmp(magic, "OggS", 4) == 0 && std::fseek(f.get(), start, SEEK_SET) == 0)
        return parse(oggCommentBlock(f.get()));
    if (start == 0 && std::memcmp(magic, "RIFF", 4) == 0 && std::fseek(f.get(), 8, SEEK_SET) == 0
        && readExactly(f.get(), magic, 4) && std::memcmp(magic, "WAVE", 4) == 0)
        return wavInfo(f.get());
    return {};
}

std::vector<SoundTagChunks::Comment> SoundTagChunks::parse(const std::string& block)
{
    std::vector<Comment> comments;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(block.data());
    size_t left = block.size();
    auto take32 = [&](uint32_t& v) {
        if (left < 4)
            return false;
        v = le32(p);
        p += 4;
        left -= 4;
        return true;
    };
    uint32_t vendor = 0;
    if (!take32(vendor) || vendor > left)
        return comments;
    p += vendor;
    left -= vendor;
    uint32_t count = 0;
    if (!take32(count))
        return comments;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        if (!take32(length) || length > left)
            break;
        const std::string entry(reinterpret_cast<const char*>(p), length);
        p += length;
        left -= length;
        const size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0)
            continue;
        std::string name = entry.substr(0, equals);
        for (char& c : name)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        comments.emplace_back(name, entry.substr(equals + 1));
    }
    return comments;
}
