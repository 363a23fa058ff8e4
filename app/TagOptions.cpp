#include "TagOptions.h"

#include <QCommandLineParser>
#include <QString>

namespace TagOptions {

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

TagOverrides parse(const QCommandLineParser& parser)
{
    TagOverrides overrides;
    for (const TagOverrides::Field& field : TagOverrides::fields())
        if (parser.isSet(field.name))
            overrides.set(field.name, parser.value(field.name).toStdString());
    return overrides;
}

} // namespace TagOptions
