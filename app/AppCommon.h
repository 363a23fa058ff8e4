#pragma once

#include "SoundAlgo.h"
#include "SoundReader.h"
#include "SoundTools.h"
#include "SoundWriter.h"

#include <QCommandLineParser>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

/// Pieces shared by the tevo commands: option sets, opening files with
/// error texts, progress display and Ctrl-C handling.
namespace AppCommon {

/// Exit codes of tevo.
enum ExitCode { ExitOk = 0, ExitFailure = 1, ExitUsage = 2, ExitStopped = 3 };

/// Output options shared by the commands that write a file:
/// --format, --start, --range.
void addOutputOptions(QCommandLineParser& parser);

struct OutputOptions {
    SoundTools::SoundFormat format = SoundTools::PCM16;
    double start = 0.0;
    bool hasRange = false;
    double rangeFrom = 0.0;
    double rangeTo = 0.0;
};

/// ExitOk when the start point and the range select something of `reader`'s
/// input; otherwise prints why and returns ExitUsage, before anything is read.
int checkStartAndRange(SoundReader& reader, const OutputOptions& options);

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

/// Opens a reader chosen by the file name; null with the error printed.
std::unique_ptr<SoundReader> openReader(const QString& path, double startSeconds = 0.0);

/// Creates and opens a writer chosen by the file name; null with the error printed.
std::unique_ptr<SoundWriter> openWriter(const QString& path, unsigned sampleRate, SoundTools::SoundFormat format,
                                        unsigned bitrate = 192);

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
