#pragma once

#include "BatchOutput.h"
#include "Job.h"

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

/// One command over many files at once (tevo process|level|stats|split
/// IN... -o DIR -j N): worker threads of this process take the files from a
/// queue, each file its own job, and the main thread prints one line per
/// file as it finishes, the files done so far and the Ctrl-C handling.
///
/// Output names: DIR/NAME.EXT, NAME being the input's file name without its
/// extension and EXT --type's, else the input's own when tevo writes that
/// container, else wav; split makes a folder DIR/NAME per input, its parts
/// named as `tevo split IN DIR/NAME/NAME.EXT` names them. Before anything
/// runs, the batch is refused (exit 2) when two inputs give one output name,
/// when an output is one of the inputs, or when an output exists without -y
/// or --skip-existing.
///
/// Each output is written under a temporary name in DIR and put in place
/// when its file succeeded, so an output under its final name is always
/// complete: --skip-existing resumes an interrupted batch. A failed file
/// leaves nothing and does not stop the others; a stop (Ctrl-C) keeps each
/// running file's part as NAME.partial.EXT (a split's folder as
/// NAME.partial) and starts no more files.
///
/// Exit code: 0 when every file succeeded or was skipped, 3 when stopped,
/// otherwise 1 when any file failed or its job refused it.
class BatchRun {
public:
    /// What each file makes.
    using Output = BatchOutput::Kind;

    /// One file's work, made and run on a worker thread.
    class Work {
    public:
        virtual ~Work() = default;
        virtual Job& job() = 0;
        /// After the run, before the output is put in place; returns the
        /// file's exit code (a split settles its parts here).
        virtual int finish(int exitCode) { return exitCode; }
        /// The figures that follow the names on the file's line ("" for none).
        virtual QString summary() = 0;
    };
    /// The work of a job that needs nothing besides its options.
    template <typename J>
    class JobWork : public Work {
    public:
        JobWork(typename J::Options options, std::function<QString(const J&)> summarise)
            : running(std::move(options))
            , summariser(std::move(summarise))
        {
        }
        Job& job() override { return running; }
        QString summary() override { return summariser ? summariser(running) : QString(); }

    private:
        J running;
        std::function<QString(const J&)> summariser;
    };

    /// Makes the work of `input`, writing to `writePath`: a temporary file,
    /// or for Output::Folder a name pattern inside a temporary folder ("" for
    /// Output::None).
    using MakeWork = std::function<std::unique_ptr<Work>(const QString& input, const QString& writePath)>;
    /// Checks an output name before anything runs: "" or why it is refused.
    using CheckName = std::function<std::string(const QString& output)>;

    /// Adds -j/--jobs and, when the files have an output, -o/--output-dir
    /// and --skip-existing.
    static void addOptions(QCommandLineParser& parser, Output output);
    /// True when the parsed command line asks for a batch: -o, or several
    /// inputs to a command without output.
    static bool wanted(const QCommandLineParser& parser, Output output);

    BatchRun(const QCommandLineParser& parser, Output output);
    /// Runs `make`'s work over the positional arguments; the exit code.
    int run(const MakeWork& make, const CheckName& check = nullptr);

private:
    struct Plan;
    class Workers;

    int prepare(Plan& plan, const CheckName& check) const;

    const QCommandLineParser& parser;
    Output output;
};
