#pragma once

#include "SoundIDTag.h"
#include "SoundReader.h"

#include <QJsonObject>

#include <optional>
#include <string>
#include <utility>
#include <vector>

class QCommandLineParser;

/// The tag options shared by the commands that write files (--title,
/// --artist, --album, --year, --comment, --track, --genre), and the way the
/// input's tags reach the outputs: each option given replaces that field of
/// the input's tags (an empty text removes it), the other fields are carried.
namespace TagOptions {

/// The fields given on the command line; unset ones leave the input's field.
struct Overrides {
    std::optional<std::string> title, artist, album, year, comment, track, genre;
};

/// Who gets the tags: one output file, or numbered parts (whose track number
/// is their part number).
enum class Target { File, Parts };

/// The seven tag fields with their display names, in display order.
const std::vector<std::pair<const char*, std::string SoundIDTag::*>>& fields();

void addOptions(QCommandLineParser& parser, Target target);
/// The options given, as UTF-8.
Overrides parse(const QCommandLineParser& parser);
/// `input` with the overrides applied field by field.
SoundIDTag apply(SoundIDTag input, const Overrides& overrides);
/// The tags of `reader`'s file with the overrides applied: what an output
/// of that input gets.
SoundIDTag carry(SoundReader& reader, const Overrides& overrides);
/// True when at least one field is not empty.
bool any(const SoundIDTag& tag);
/// The non-empty fields as a JSON object keyed by lower-case field name.
QJsonObject toJson(const SoundIDTag& tag);

} // namespace TagOptions
