#pragma once

#include "Job.h"
#include "JobOutput.h"
#include "SoundAlgo.h"
#include "SoundReader.h"
#include "SoundTools.h"
#include "SoundWriter.h"
#include "SoundWriterMultiFile.h"

#include <QCommandLineParser>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

/// Pieces shared by the tevo commands: option sets, opening files with
/// error texts, progress display and Ctrl-C handling.
namespace AppCommon {

/// Exit codes of tevo.
enum ExitCode { ExitOk = 0,
                ExitFailure = 1,
                ExitUsage = 2,
                ExitStopped = 3 };

/// Output options shared by the commands that write a file: --format,
/// --channels, --no-dither, -y/--overwrite, --type, --start, --range.
void addOutputOptions(QCommandLineParser& parser);

using OutputOptions = JobOutput;

/// What the command line asked of every command: -q, -v, -y and the
/// container of `-`. Set by parseCommandLine.
struct Settings {
    bool quiet = false;
    bool verbose = false;
    bool overwrite = false;
    QString type;               ///< --type: container of standard input or output
    bool audioOnStdout = false; ///< results then go to standard error
};
Settings& settings();

/// Adds --json to a command.
void addJsonOption(QCommandLineParser& parser);
/// Prints `object` as indented JSON on standard output.
void printJson(const QJsonObject& object);

/// Prints "tevo: warning: <message>" on standard error unless --quiet.
void printWarning(const QString& message);

/// Parses a time: seconds ("90.5") or [[hh:]mm:]ss[.mmm] ("1:30.5").
bool toSeconds(const QString& text, double& seconds);
/// Prints `error` as an error and returns false when it is not empty.
bool refused(const std::string& error);

/// An output file written safely: refused when it is an input or exists
/// (without -y), written under a temporary name in its folder and renamed
/// when the run succeeded. `-` is standard output: written to a temporary
/// file and copied out at the end.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    /// Removes a temporary file that was not kept.
    ~OutputFile();
    /// Checks `path` against the inputs and the name rules; on refusal prints
    /// why and returns ExitUsage, else ExitOk. Nothing is created yet.
    int prepare(const QString& path, const QStringList& inputs);
    /// Where the writer writes (a temporary name); created by this call.
    QString writePath();
    /// Settles the file after the run: renames it (exit 0), keeps the part
    /// done under a ".partial" name and says so (exit 3), removes it
    /// otherwise. Returns the exit code, ExitFailure when settling failed.
    int finish(int exitCode);

private:
    QString finalPath;
    QString tempPath;
    bool toStdout = false;
};

/// Reads the output options; false (with `error` set) on a bad value.
bool parseOutputOptions(const QCommandLineParser& parser, OutputOptions& options, QString& error);

/// Parses the command line of one command (args as given by main). Handles
/// --help; on a usage error prints it and returns false with `exitCode` set.
/// `severalInputs` (the batch commands): with -o DIR any number of inputs,
/// and a command of one positional takes one or more.
bool parseCommandLine(QCommandLineParser& parser, const QStringList& args, int expectedPositionals,
                      const QString& positionalsHelp, int& exitCode, bool severalInputs = false);

/// Parses a number; false when `text` is not a finite number.
bool toNumber(const QString& text, double& value);

/// Prints "tevo: <message>" on standard error.
void printError(const QString& message);

/// The segment files of a split, written as OutputFile writes its file:
/// under temporary names, put in place when the run succeeded.
class SegmentOutputs : public SoundWriterMultiFile::SegmentFiles {
public:
    ~SegmentOutputs() override;
    /// Refuses (ExitUsage, printed) when a file name of `pattern` is an
    /// input, or exists without -y.
    int prepare(const QString& pattern, const QStringList& inputs);
    std::string openPath(const std::string& name) override;
    void closed(const std::string& name, const std::string& path, bool complete) override;
    /// Puts the complete files in place (exit 0); on a stop, the last file
    /// is kept as ".partial" (and said so on standard error when
    /// `announce`); on a failure nothing is kept.
    int finish(int exitCode);
    /// The ".partial" name finish kept, "" when none.
    const QString& partialName() const { return partial; }
    bool announce = true;

private:
    struct Segment {
        QString name;
        QString temp;
        bool complete;
    };
    std::vector<Segment> segments;
    QString partial;
};

/// A new, empty file named `prefix`XXXXXX`suffix`; "" on failure (errno set).
QString makeTemporary(const QString& prefix, const QString& suffix);
/// Renames the finished `temp` over `finalPath`, with the permissions of a
/// new file; false with `error` set.
bool putInPlace(const QString& temp, const QString& finalPath, QString& error);
/// Keeps `temp`, the part written before a stop, as NAME.partial.EXT beside
/// `finalPath` (NAME.partial-2.EXT... when taken; never over a file); the
/// name kept, "" when none could be made. `temp` itself stays.
QString keptPartial(const QString& temp, const QString& finalPath);

/// Opens a reader chosen by the file's content or name; `-` reads standard
/// input (kept in a temporary file). Null with the error printed.
std::unique_ptr<SoundReader> openReader(const QString& path, double startSeconds = 0.0);

/// Creates and opens a writer chosen by the file name; null with the error printed.
std::unique_ptr<SoundWriter> openWriter(const QString& path, unsigned sampleRate, SoundTools::SoundFormat format,
                                        unsigned bitrate = 192);
/// The same with the output options: file channels, and dither when the
/// file has fewer bits than `sourceFormat`.
std::unique_ptr<SoundWriter> openWriter(const QString& path, unsigned sampleRate, const OutputOptions& options,
                                        SoundTools::SoundFormat sourceFormat, unsigned bitrate = 192);

/// The help text of a command, starting "Usage: tevo COMMAND".
QString helpText(const QCommandLineParser& parser, const QString& command);

/// Ctrl-C and termination requests, while the scope lasts, stop `job`, or
/// set `flag` (polled by tevo play); outside any scope they end tevo with
/// exit code 3, removing the temporary output.
class InterruptScope {
public:
    explicit InterruptScope(Job* job, std::atomic<bool>* flag = nullptr);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    struct sigaction previousInt = {};
    struct sigaction previousTerm = {};
};

/// Runs `job` with a progress display (unless `progress` is false or -q) and
/// Ctrl-C wired to Job::stop; prints its warnings and, when it did not
/// succeed, its error text. Returns the exit code (the job's status).
int runJob(Job& job, bool progress = true);

/// Releases a node through its reference count when the pointer goes.
struct NodeRelease {
    void operator()(SoundAlgo* node) const
    {
        if (node)
            node->releaseReference();
    }
};
using NodePtr = std::unique_ptr<SoundAlgo, NodeRelease>;

/// Writes progress to the terminal (a bar) or as plain lines when standard
/// error is not a terminal.
class ProgressPrinter : public QObject {
    Q_OBJECT
public:
    explicit ProgressPrinter(const QString& label);
    void finish();

public slots:
    void onBegin(unsigned int total);
    void onProgress(unsigned int done, unsigned int total);

private:
    QString label;
    bool tty;
    int lastPercent = -1;
};

} // namespace AppCommon
