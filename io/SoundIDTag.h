#pragma once

#include <string>

/// The seven tag strings carried by the readers and writers.
struct SoundIDTag {
    std::string title;
    std::string artist;
    std::string album;
    std::string year;    ///< as text
    std::string comment;
    std::string track;   ///< track number, as text
    std::string genre;   ///< genre name
};
