#pragma once

#include "TevoExport.h"

#include <string>
#include <vector>

/// Writing a file without ever losing one: the output is refused when it is
/// an input (by identity, whatever the path says) or exists without leave
/// to replace it, written under a temporary name in its own folder, and put
/// in place by a rename once complete. A stopped run keeps its part under a
/// name that says so. Shared by tevo and the Python module.
class TEVO_EXPORT SafeOutputFile {
public:
    /// What the checked name is, for the refusal's text.
    enum Kind { WholeFile,
                SplitPart };

    /// "" when `path` may be written; otherwise why not. `overwriteHint`
    /// names what allows replacing an existing file ("-y (--overwrite)").
    static std::string check(const std::string& path, const std::vector<std::string>& inputs, bool overwrite,
                             const std::string& overwriteHint, Kind kind = WholeFile);
    /// A new, empty file in the folder of `path`, hidden and named after it
    /// with its extension (writers choose the container by it); "" with
    /// `error` set when the folder does not allow it.
    static std::string makeTemporary(const std::string& path, std::string& error);
    /// Renames the finished `temp` over `path`, with the permissions any new
    /// file gets; false with `error` set.
    static bool putInPlace(const std::string& temp, const std::string& path, std::string& error);
    /// Links `temp` under "NAME.partial.EXT" next to `path` (then
    /// ".partial-2", ...; never over an existing file). Returns that name, ""
    /// when none could be made. `temp` itself stays for the caller to remove.
    static std::string keepPartial(const std::string& temp, const std::string& path);
};
