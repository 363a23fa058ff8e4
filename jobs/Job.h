#pragma once

#include "SoundBuffer.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <QJsonObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class SoundAlgo;
class SoundReader;
struct JobOutput;
class SoundWriter;

/// Base of the jobs: one whole operation on a file (process, stats, regions,
/// level, split, bands) behind one call, for tevo, scripts and batch runs.
///
/// Use: fill the job's `Options`, optionally hand it an open reader
/// (setInput), set callbacks, call run() once, then read its `Result` (also
/// as JSON through resultJson()). run() blocks; stop() may be called from any
/// thread, or from a signal handler, while it runs.
///
/// Errors: run() returns a Status and error() says why in one sentence meant
/// for users; values are named the way the command line names them
/// ("--step needs ..."). A job never reports a wrong result as Ok.
class TEVO_EXPORT Job {
public:
    /// The outcome of run(); the values are tevo's exit codes.
    enum Status {
        Ok = 0,      ///< done; the result is complete
        Failed = 1,  ///< reading, processing or writing failed
        Refused = 2, ///< an option or the input does not allow the job; nothing was written
        Stopped = 3  ///< stop() was called; what was written so far is incomplete
    };

    /// One report of a running stage: `begin` once when the stage starts with
    /// `total` frames to read, then `done` of `total` frames after each block.
    struct Progress {
        std::string stage; ///< "analyse", "level", "split", ...
        uint64_t done = 0;
        uint64_t total = 0;
        bool begin = false;
    };
    using ProgressCallback = std::function<void(const Progress&)>;
    /// A remark that does not stop the job (dropped channels, clipped samples).
    using WarningCallback = std::function<void(const std::string&)>;

    /// Releases a node through its reference count.
    struct NodeRelease {
        void operator()(SoundAlgo* node) const;
    };
    using NodeRef = std::unique_ptr<SoundAlgo, NodeRelease>;

    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    virtual ~Job();

    /// Runs the whole job; blocks until it is done, failed or stopped.
    virtual Status run() = 0;
    /// The result as one JSON object (times in seconds, levels in dB).
    virtual QJsonObject resultJson() const = 0;

    /// The error text of the last run ("" after Ok).
    const std::string& error() const { return errorText; }
    /// Called on the thread that runs the job, after every block.
    void setProgressCallback(ProgressCallback callback) { progress = std::move(callback); }
    /// Called on the thread that runs the job, when the remark arises.
    void setWarningCallback(WarningCallback callback) { warning = std::move(callback); }
    /// Reads this reader instead of opening the input by name (the host kept
    /// standard input in a file, say). The job applies its start point.
    void setInput(std::unique_ptr<SoundReader> reader);

    /// Ends the run within a block or two; run() then returns Stopped. Safe
    /// from any thread and from a signal handler (one atomic store).
    void stop() noexcept;
    bool stopRequested() const { return stopFlag.load(); }

    /// Opens `path` with the reader its content or name asks for, at
    /// `startSeconds`; null with `error` set.
    static std::unique_ptr<SoundReader> openInput(const std::string& path, double startSeconds, std::string& error);

    /// Parses a finite number ("-3.5"); false otherwise.
    static bool parseNumber(const std::string& text, double& value);
    /// Parses a time: seconds ("90.5") or [[hh:]mm:]ss[.mmm] ("1:30.5").
    static bool parseTime(const std::string& text, double& seconds);
    /// mm:ss.mmm, or h:mm:ss.mmm from an hour on: the forms parseTime reads.
    static std::string clockText(double seconds);

protected:
    Job();

    /// Runs `node` over `reader` into `writer` (may be null, closed at the
    /// end), reporting progress under `stage` and honouring stop(). Sets the
    /// error text on failure.
    Status runNode(SoundAlgo& node, SoundReader& reader, SoundWriter* writer, const char* stage);
    /// Sets the error text and returns `status`.
    Status fail(Status status, const std::string& text);
    /// The reader given by setInput, else `path` opened; at `startSeconds`.
    std::unique_ptr<SoundReader> takeInput(const std::string& path, double startSeconds);
    /// The same for a job that writes: at `out`'s start point, refused
    /// (error text set, `status` Refused) when the start point or range lies
    /// past the end, and with `out`'s unset choices fitted to the input (a
    /// remark on dropped channels goes to the warning callback).
    std::unique_ptr<SoundReader> takeInput(const std::string& path, JobOutput& out, Status& status);
    void warn(const std::string& text) const;
    /// Starts a run: clears the error text and the stop flag.
    void begin();

    /// Sets the block size of the runs for its lifetime, on the calling
    /// thread only: a job's choice neither leaks into the next job nor
    /// changes the blocks of jobs running beside it in other threads.
    using BlockFrames = SoundBuffer::ThreadScope;

private:
    std::string errorText;
    ProgressCallback progress;
    WarningCallback warning;
    std::unique_ptr<SoundReader> givenInput;
    std::atomic<bool> stopFlag{false};
};
