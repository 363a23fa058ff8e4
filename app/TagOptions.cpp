#include "TagOptions.h"

#include <QCommandLineParser>
#include <QString>

namespace TagOptions {

namespace {

struct Option {
    const char* name;
    std::optional<std::string> Overrides::*given;
    std::string SoundIDTag::*field;
};
const Option sOptions[] = {{"title", &Overrides::title, &SoundIDTag::title},
                           {"artist", &Overrides::artist, &SoundIDTag::artist},
                           {"album", &Overrides::album, &SoundIDTag::album},
                           {"year", &Overrides::year, &SoundIDTag::year},
                           {"comment", &Overrides::comment, &SoundIDTag::comment},
                           {"track", &Overrides::track, &SoundIDTag::track},
                           {"genre", &Overrides::genre, &SoundIDTag::genre}};

} // namespace

const std::vector<std::pair<const char*, std::string SoundIDTag::*>>& fields()
{
    static const std::vector<std::pair<const char*, std::string SoundIDTag::*>> all = {
        {"Title", &SoundIDTag::title},     {"Artist", &SoundIDTag::artist}, {"Album", &SoundIDTag::album},
        {"Year", &SoundIDTag::year},       {"Comment", &SoundIDTag::comment}, {"Track", &SoundIDTag::track},
        {"Genre", &SoundIDTag::genre}};
    return all;
}

void addOptions(QCommandLineParser& parser, Target target)
{
    const QString of = target == Target::Parts ? "of every file" : "of the output";
    const QString keep = " (default: the input's; an empty TEXT removes it).";
    parser.addOption({"title", "Title tag " + of + keep, "TEXT"});
    parser.addOption({"artist", "Artist tag " + of + keep, "TEXT"});
    parser.addOption({"album", "Album tag " + of + keep, "TEXT"});
    parser.addOption({"year", "Year (date) tag " + of + keep, "TEXT"});
    parser.addOption({"comment", "Comment tag " + of + keep, "TEXT"});
    if (target == Target::Parts)
        parser.addOption({"track", "Ignored: each file gets its part number (1, 2, 3...) as track number.", "N"});
    else
        parser.addOption({"track", "Track number tag " + of + keep, "N"});
    parser.addOption({"genre", "Genre tag " + of + keep, "NAME"});
}

Overrides parse(const QCommandLineParser& parser)
{
    Overrides overrides;
    for (const Option& o : sOptions)
        if (parser.isSet(o.name))
            overrides.*o.given = parser.value(o.name).toStdString();
    return overrides;
}

SoundIDTag apply(SoundIDTag input, const Overrides& overrides)
{
    for (const Option& o : sOptions)
        if (overrides.*o.given)
            input.*o.field = *(overrides.*o.given);
    return input;
}

SoundIDTag carry(SoundReader& reader, const Overrides& overrides)
{
    SoundIDTag input;
    reader.getTags(input);
    return apply(input, overrides);
}

bool any(const SoundIDTag& tag)
{
    for (const Option& o : sOptions)
        if (!(tag.*o.field).empty())
            return true;
    return false;
}

QJsonObject toJson(const SoundIDTag& tag)
{
    QJsonObject object;
    for (const Option& o : sOptions)
        if (!(tag.*o.field).empty())
            object.insert(o.name, QString::fromStdString(tag.*o.field));
    return object;
}

} // namespace TagOptions
