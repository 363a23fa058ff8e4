#pragma once

#include "SoundIDTag.h"

#include <string>

// libsndfile stays private to the library: its handle is only named here.
struct sf_private_tag;

/// The pairing of SoundIDTag fields with libsndfile's strings, shared by the
/// libsndfile reader and writer. libsndfile maps them to each container's own
/// fields: Vorbis comments in FLAC, Ogg Vorbis and Opus (TITLE, ARTIST, ALBUM,
/// DATE, COMMENT, TRACKNUMBER, GENRE), the LIST/INFO chunk in WAV, and the
/// few text chunks AIFF has. Texts are UTF-8.
class SoundSndfileTags {
public:
    /// Fills the fields found in the open file `handle`; fields without a
    /// string keep their value. With the file's name in the system's
    /// encoding, `localPath`, Vorbis comments libsndfile does not map are
    /// looked at too (DESCRIPTION as the comment, YEAR as the date). True
    /// when at least one field was found.
    static bool read(sf_private_tag* handle, const std::string& localPath, SoundIDTag& tag);
    /// Hands the non-empty fields to the open file `handle` (before its first
    /// frames). Returns the names of the fields the container refused, comma
    /// separated, or an empty text.
    static std::string write(sf_private_tag* handle, const SoundIDTag& tag);
};
