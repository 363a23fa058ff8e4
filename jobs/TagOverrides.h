#pragma once

#include "SoundIDTag.h"
#include "TevoExport.h"

#include <QJsonObject>

#include <optional>
#include <string>
#include <utility>
#include <vector>

class SoundReader;

/// How the input's tags reach a job's outputs: each field given here
/// replaces that field of the input's tags (an empty text removes it); the
/// other fields are carried over. Texts are UTF-8.
struct TEVO_EXPORT TagOverrides {
    std::optional<std::string> title, artist, album, year, comment, track, genre;

    /// Sets the field of that lower-case name (title, artist, album, year,
    /// comment, track, genre); false for another name.
    bool set(const std::string& name, const std::string& text);
    /// `input` with the overrides applied field by field.
    SoundIDTag apply(SoundIDTag input) const;
    /// The tags of `reader`'s file with the overrides applied.
    SoundIDTag carry(SoundReader& reader) const;

    /// The seven fields: lower-case name, display name, member.
    struct Field {
        const char* name;
        const char* label;
        std::string SoundIDTag::*member;
    };
    static const std::vector<Field>& fields();
    /// True when at least one field of `tag` is not empty.
    static bool any(const SoundIDTag& tag);
    /// The non-empty fields as a JSON object keyed by lower-case name.
    static QJsonObject toJson(const SoundIDTag& tag);
};
