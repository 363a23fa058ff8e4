#pragma once

#include "TevoExport.h"

#include <ostream>
#include <string>

/// Error text of one object, and the process-wide diagnostics stream and flags.
///
/// Every buffer, node, reader and writer derives from it. The flags and the
/// stream pointer are plain statics: the host sets them before processing and
/// the library only reads them afterwards.
class TEVO_EXPORT SoundDebuggableClass {
public:
    SoundDebuggableClass() = default;
    SoundDebuggableClass(const SoundDebuggableClass&) = default;
    SoundDebuggableClass& operator=(const SoundDebuggableClass& other);

    /// The last error as a NUL-terminated string; "" when there is none. Valid
    /// until the next change of the text.
    virtual const char* getError() const;

    /// Sets the error text to "context : message". A null message changes
    /// nothing; a null context drops the old text and keeps only the message;
    /// an empty message becomes "Unknown system error.".
    void setError(const char* message, const char* context);

    static bool isVerbose() { return sVerbose; }
    static void setVerbose(bool v) { sVerbose = v; }
    static bool isDebug() { return sDebug; }
    static void setDebug(bool d) { sDebug = d; }

    /// Where every report of the library goes; standard output at load.
    static std::ostream& getOStream() { return *sOStream; }
    /// Replaces the stream. Not owned and not tested for null: the caller keeps
    /// it alive while the library may write to it.
    static void setOStream(std::ostream* stream) { sOStream = stream; }

protected:
    // Not virtual on purpose: no object is deleted through this base.
    ~SoundDebuggableClass() = default;

    std::string errorText;

    static bool sVerbose;
    static bool sDebug;
    static std::ostream* sOStream;
};
