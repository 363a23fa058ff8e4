#pragma once

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

#include <memory>
#include <string>
#include <vector>

/// Pieces shared by the tevo commands: option sets, opening files with
/// error texts, progress display and Ctrl-C handling.
namespace AppCommon {

/// Exit codes of tevo.
enum ExitCode { ExitOk = 0, ExitFailure = 1, ExitUsage = 2, ExitStopped = 3 };

/// Output options shared by the commands that write a file: --format,
/// --channels, --no-dither, -y/--overwrite, --type, --start, --range.
void addOutputOptions(QCommandLineParser& parser);

struct OutputOptions {
    SoundTools::SoundFormat format = SoundTools::PCM16;
    bool formatSet = false; ///< false: the output follows the input's format
    unsigned channels = 0;  ///< 1 or 2 from --channels; 0: follow the input
    bool dither = true;     ///< TPDF dither when the output has fewer bits
    double start = 0.0;
    bool hasRange = false;
    double rangeFrom = 0.0;
    double rangeTo = 0.0;
};

/// ExitOk when the start point and the range select something of `reader`'s
/// input; otherwise prints why and returns ExitUsage, before anything is read.
int checkStartAndRange(SoundReader& reader, const OutputOptions& options);
/// What the command line asked of every command: -q, -v, -y and the
/// container of `-`. Set by parseCommandLine.
struct Settings {
    bool quiet = false;
    bool verbose = false;
    bool overwrite = false;
    QString type; ///< --type: container of standard input or output
    bool audioOnStdout = false; ///< results then go to standard error
};
Settings& settings();

/// Fits the output to the input (format, channels) unless the options say
/// otherwise; prints the channel warning of inputs wider than stereo.
void followInput(OutputOptions& options, SoundReader& reader);

/// Adds --json to a command.
void addJsonOption(QCommandLineParser& parser);
/// Prints `object` as indented JSON on standard output.
void printJson(const QJsonObject& object);

/// Prints "tevo: warning: <message>" on standard error unless --quiet.
void printWarning(const QString& message);

/// Parses a time: seconds ("90.5") or [[hh:]mm:]ss[.mmm] ("1:30.5").
bool toSeconds(const QString& text, double& seconds);

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
bool parseCommandLine(QCommandLineParser& parser, const QStringList& args, int expectedPositionals,
                      const QString& positionalsHelp, int& exitCode);

/// Parses a number; false when `text` is not a finite number.
bool toNumber(const QString& text, double& value);

/// Prints "tevo: <message>" on standard error.
void printError(const QString& message);

/// The segment files of a split, written as OutputFile writes its file:
/// under temporary names, put in place when the run succeeded.
class SegmentOutputs : public SoundWriterMultiFile::SegmentFiles {
public:
    ~SegmentOutputs() override;
    /// Refuses (ExitUsage, printed) when a segment name is an input, or
    /// exists without -y. `writer` is open on its pattern.
    int prepare(const SoundWriterMultiFile& writer, const QStringList& inputs);
    std::string openPath(const std::string& name) override;
    void closed(const std::string& name, const std::string& path, bool complete) override;
    /// Puts the complete files in place (exit 0); on a stop, the last file
    /// is kept as ".partial"; on a failure nothing is kept.
    int finish(int exitCode);

private:
    struct Segment {
        QString name;
        QString temp;
        bool complete;
    };
    std::vector<Segment> segments;
};

/// Opens a reader chosen by the file's content or name; `-` reads standard
/// input (kept in a temporary file). Null with the error printed.
std::unique_ptr<SoundReader> openReader(const QString& path, double startSeconds = 0.0);

/// Creates and opens a writer chosen by the file name; null with the error printed.
std::unique_ptr<SoundWriter> openWriter(const QString& path, unsigned sampleRate, SoundTools::SoundFormat format,
                                        unsigned bitrate = 192);
/// The same with the output options: file channels, and dither when the
/// file has fewer bits than `sourceFormat`. `mp3Quality` as for
/// SoundWriter::getFromFilename.
std::unique_ptr<SoundWriter> openWriter(const QString& path, unsigned sampleRate, const OutputOptions& options,
                                        SoundTools::SoundFormat sourceFormat, unsigned bitrate = 192,
                                        int mp3Quality = -1);

/// The help text of a command, starting "Usage: tevo COMMAND".
QString helpText(const QCommandLineParser& parser, const QString& command);

/// Sets the writer's frame range from --range (seconds of the input file) and
/// the reader's start point: output starts where the run starts, so a start
/// point alone is not taken for a gap in the output.
void applyRange(SoundWriter& writer, const OutputOptions& options, SoundReader& reader);

/// Runs `node` over `reader` into `writer` (may be null) with a progress
/// display and Ctrl-C wired to pleaseStop. Prints the outcome; returns the
/// process exit code. `what` names the job in messages.
int runWithProgress(SoundAlgo& node, SoundReader& reader, SoundWriter* writer, const QString& what);

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
