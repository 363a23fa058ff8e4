#pragma once

#include <QJsonObject>
#include <QString>

/// What one file of a batch writes, kept under a temporary name beside its
/// final one until the file succeeded: an output under its final name is
/// always complete, so a batch resumes by leaving out the outputs that exist.
/// Used by one worker thread at a time; nothing here is shared.
class BatchOutput {
public:
    /// What a file makes: nothing (stats), a file, or a folder of files (split).
    enum class Kind { None,
                      File,
                      Folder };

    /// `finalPath`: the output's name ("" for Kind::None).
    BatchOutput(Kind kind, const QString& finalPath);
    /// Removes the temporary file or folder when it was not settled.
    ~BatchOutput();
    BatchOutput(const BatchOutput&) = delete;
    BatchOutput& operator=(const BatchOutput&) = delete;

    /// Creates the temporary file (.NAME.tevo-XXXXXX.EXT) or folder
    /// (.NAME.tevo-XXXXXX) beside the final name; false with `error` set.
    bool create(const QString& name, const QString& extension, QString& error);
    /// Where the job writes: the temporary file, or NAME.EXT inside the
    /// temporary folder (a split's pattern); "" for Kind::None.
    const QString& writePath() const { return writing; }

    /// Settles after the run: puts the output in place on exit 0 (a folder
    /// over an existing one part by part, what else it holds staying), keeps
    /// the part done as NAME.partial.EXT or the folder as NAME.partial on
    /// exit 3, removes it otherwise. Returns the exit code, 1 with `error`
    /// set when putting in place failed; `note` says what a stop kept.
    int settle(int exitCode, QString& note, QString& error);

    /// `text` naming the settled output where it named the temporary one.
    QString shown(const QString& text) const;
    /// The same through every string of a JSON object.
    QJsonObject shown(const QJsonObject& object) const;

private:
    Kind kind;
    QString finalPath;
    QString temp;    ///< the temporary file or folder; "" once settled
    QString writing; ///< what the job is given
    QString named;   ///< the temporary path as users see it after settle
    QString settled; ///< what stands there now: the final or the partial name
};
