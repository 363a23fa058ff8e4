#pragma once

#include "TagOverrides.h"

class QCommandLineParser;

/// The tag options shared by the commands that write files (--title,
/// --artist, --album, --year, --comment, --track, --genre): each option
/// given replaces that field of the input's tags (TagOverrides).
namespace TagOptions {

/// Who gets the tags: one output file, or numbered parts (whose track number
/// is their part number).
enum class Target { File,
                    Parts };

void addOptions(QCommandLineParser& parser, Target target);
/// The options given, as UTF-8.
TagOverrides parse(const QCommandLineParser& parser);

} // namespace TagOptions
