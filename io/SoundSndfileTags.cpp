#include "SoundSndfileTags.h"

#include "SoundTagText.h"
#include "SoundTagChunks.h"

#include <sndfile.h>

#include <cstring>

namespace {

struct TagString {
    std::string SoundIDTag::*field;
    int kind;
    const char* name;
    /// Vorbis comment or INFO names read when libsndfile has no string: the
    /// standard name first, then what some encoders use instead.
    const char* vorbis[2];
};
const TagString sTagStrings[] = {{&SoundIDTag::title, SF_STR_TITLE, "title", {"TITLE", nullptr}},
                                 {&SoundIDTag::artist, SF_STR_ARTIST, "artist", {"ARTIST", nullptr}},
                                 {&SoundIDTag::album, SF_STR_ALBUM, "album", {"ALBUM", nullptr}},
                                 {&SoundIDTag::year, SF_STR_DATE, "date", {"DATE", "YEAR"}},
                                 {&SoundIDTag::comment, SF_STR_COMMENT, "comment", {"COMMENT", "DESCRIPTION"}},
                                 {&SoundIDTag::track, SF_STR_TRACKNUMBER, "track", {"TRACKNUMBER", "IPRT"}},
                                 {&SoundIDTag::genre, SF_STR_GENRE, "genre", {"GENRE", nullptr}}};

// Earlier versions of this library stored the comment as the software string,
// to which libsndfile appends " (libsndfile-VERSION)". Such files keep
// showing their comment: the text before that suffix.
std::string commentOfOlderFiles(const char* software)
{
    if (software == nullptr)
        return std::string();
    const std::string text = SoundTagText::fromBytes(software, std::strlen(software));
    const std::string marker = " (libsndfile-";
    const size_t at = text.rfind(marker);
    if (at == std::string::npos || at == 0 || text.back() != ')' || text.find(')', at) != text.size() - 1)
        return std::string();
    return text.substr(0, at);
}

} // namespace

bool SoundSndfileTags::read(sf_private_tag* handle, const std::string& localPath, SoundIDTag& tag)
{
    if (handle == nullptr)
        return false;
    const std::vector<SoundTagChunks::Comment> comments = localPath.empty() ? std::vector<SoundTagChunks::Comment>() : SoundTagChunks::read(localPath);
    auto vorbis = [&comments](const char* name) -> const std::string* {
        if (name != nullptr)
            for (const auto& c : comments)
                if (c.first == name && !c.second.empty())
                    return &c.second;
        return nullptr;
    };
    bool found = false;
    for (const TagString& t : sTagStrings) {
        const char* value = sf_get_string(handle, t.kind);
        if (value != nullptr && *value != '\0') {
            tag.*t.field = SoundTagText::fromBytes(value, std::strlen(value));
            found = true;
            continue;
        }
        for (const char* name : t.vorbis) {
            if (const std::string* text = vorbis(name)) {
                tag.*t.field = SoundTagText::fromBytes(text->data(), text->size());
                found = true;
                break;
            }
        }
    }
    if (sf_get_string(handle, SF_STR_COMMENT) == nullptr && !vorbis("COMMENT") && !vorbis("DESCRIPTION")) {
        const std::string older = commentOfOlderFiles(sf_get_string(handle, SF_STR_SOFTWARE));
        if (!older.empty()) {
            tag.comment = older;
            found = true;
        }
    }
    return found;
}

std::string SoundSndfileTags::write(sf_private_tag* handle, const SoundIDTag& tag)
{
    std::string refused;
    if (handle == nullptr)
        return refused;
    for (const TagString& t : sTagStrings) {
        const std::string& value = tag.*t.field;
        if (!value.empty() && sf_set_string(handle, t.kind, value.c_str()) != 0)
            refused += (refused.empty() ? "" : ", ") + std::string(t.name);
    }
    return refused;
}
