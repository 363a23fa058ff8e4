#pragma once

#include <string>
#include <utility>
#include <vector>

/// Reads the text tags of a file straight from its bytes: the Vorbis comments
/// of a FLAC, Ogg Vorbis or Opus file, the LIST/INFO chunk of a WAV file.
/// libsndfile maps only a fixed set of names to its strings; others, such as
/// DESCRIPTION or IPRT (where several encoders put the comment and the track
/// number), are only found here. Every length in the file is checked
/// against what is left of it: damaged or hostile files give fewer comments,
/// never a read outside the data.
class SoundTagChunks {
public:
    /// Name in upper case (a Vorbis comment name, or a four-letter INFO
    /// identifier), and the value as stored.
    using Comment = std::pair<std::string, std::string>;

    /// The tags of the file at `localPath` (a name in the system's
    /// encoding), in file order; empty for other files or without tags.
    static std::vector<Comment> read(const std::string& localPath);
    /// The comments of one comment block (vendor string, count, comments),
    /// as FLAC and Ogg store it: little-endian lengths.
    static std::vector<Comment> parse(const std::string& block);
};
