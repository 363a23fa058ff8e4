#include "SoundTagText.h"

#include <QString>

#include <cstring>

namespace {

/// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isUtf8(const unsigned char* p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra = 0;
        unsigned long cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += extra + 1;
    }
    return true;
}

} // namespace

std::string SoundTagText::fromBytes(const char* text, size_t length)
{
    if (text == nullptr)
        return std::string();
    const size_t n = strnlen(text, length);
    if (isUtf8(reinterpret_cast<const unsigned char*>(text), n))
        return std::string(text, n);
    return QString::fromLatin1(text, static_cast<int>(n)).toUtf8().toStdString();
}

bool SoundTagText::fitsLatin1(const std::string& text)
{
    const QString decoded = QString::fromUtf8(text.data(), static_cast<int>(text.size()));
    for (const QChar c : decoded)
        if (c.unicode() > 0xFF)
            return false;
    return true;
}

std::string SoundTagText::toLatin1(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<int>(text.size())).toLatin1().toStdString();
}
