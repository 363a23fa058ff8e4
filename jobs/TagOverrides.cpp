#include "TagOverrides.h"

#include "SoundReader.h"

#include <QString>

namespace {
std::optional<std::string> TagOverrides::*const sGiven[] = {&TagOverrides::title, &TagOverrides::artist,
                                                            &TagOverrides::album, &TagOverrides::year,
                                                            &TagOverrides::comment, &TagOverrides::track,
                                                            &TagOverrides::genre};
} // namespace

const std::vector<TagOverrides::Field>& TagOverrides::fields()
{
    static const std::vector<Field> all = {{"title", "Title", &SoundIDTag::title},
                                           {"artist", "Artist", &SoundIDTag::artist},
                                           {"album", "Album", &SoundIDTag::album},
                                           {"year", "Year", &SoundIDTag::year},
                                           {"comment", "Comment", &SoundIDTag::comment},
                                           {"track", "Track", &SoundIDTag::track},
                                           {"genre", "Genre", &SoundIDTag::genre}};
    return all;
}

bool TagOverrides::set(const std::string& name, const std::string& text)
{
    for (size_t i = 0; i < fields().size(); ++i)
        if (name == fields()[i].name) {
            this->*sGiven[i] = text;
            return true;
        }
    return false;
}

SoundIDTag TagOverrides::apply(SoundIDTag input) const
{
    for (size_t i = 0; i < fields().size(); ++i)
        if (this->*sGiven[i])
            input.*fields()[i].member = *(this->*sGiven[i]);
    return input;
}

SoundIDTag TagOverrides::carry(SoundReader& reader) const
{
    SoundIDTag input;
    reader.getTags(input);
    return apply(input);
}

bool TagOverrides::any(const SoundIDTag& tag)
{
    for (const Field& f : fields())
        if (!(tag.*f.member).empty())
            return true;
    return false;
}

QJsonObject TagOverrides::toJson(const SoundIDTag& tag)
{
    QJsonObject object;
    for (const Field& f : fields())
        if (!(tag.*f.member).empty())
            object.insert(f.name, QString::fromStdString(tag.*f.member));
    return object;
}
