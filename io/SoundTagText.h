#pragma once

#include <cstddef>
#include <string>

/// Text conversions shared by the tag readers and writers. Tag texts are held
/// as UTF-8 everywhere in the library; files hand over bytes of unknown
/// quality (old tools wrote Latin-1, damaged or hostile files anything).
class SoundTagText {
public:
    /// The bytes `text[0..length)` up to the first NUL as UTF-8: kept when
    /// they are valid UTF-8, otherwise taken as Latin-1 (what tools wrote
    /// before Unicode tags) and converted. Never returns invalid UTF-8.
    static std::string fromBytes(const char* text, size_t length);
    /// True when the UTF-8 `text` holds only characters of Latin-1 (U+0000 to
    /// U+00FF), so that a Latin-1 tag field can hold it unchanged.
    static bool fitsLatin1(const std::string& text);
    /// The UTF-8 `text` as Latin-1 bytes; only meaningful when fitsLatin1.
    static std::string toLatin1(const std::string& text);
};
