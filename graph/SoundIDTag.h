#pragma once

#include <string>

/// The seven tag strings carried by the readers and writers, as UTF-8 text
/// (any script); an empty string is a missing field.
struct SoundIDTag {
    std::string title;
    std::string artist;
    std::string album;
    std::string year; ///< as text (a year or a date)
    std::string comment;
    std::string track; ///< track number, as text ("3" or "3/12")
    std::string genre; ///< genre name
};
