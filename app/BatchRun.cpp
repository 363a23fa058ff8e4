#include "BatchRun.h"

#include "AppCommon.h"
#include "SoundWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <omp.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace AppCommon;

namespace {

enum class State { Ok,
                   Failed,
                   Skipped,
                   Stopped,
                   NotRun };

struct Outcome {
    State state = State::NotRun;
    int exitCode = ExitOk;
    QString text; ///< the summary, the error or what was kept
    QJsonObject result;
};

/// Set by the signal handler only; the main thread passes it on to the jobs.
std::atomic<bool> sInterrupted{false};

void onInterrupt(int)
{
    sInterrupted.store(true);
}

} // namespace

struct BatchRun::Plan {
    struct Item {
        QString input;
        QString output; ///< final name; "" for Output::None
        QString base;   ///< the input's name without its extension
        QString extension;
    };
    std::vector<Item> items;
    QString dir;
    unsigned workers = 1;
    bool skipExisting = false;
    bool json = false;
};

/// The worker threads, the queue of files and the jobs running.
class BatchRun::Workers {
public:
    Workers(const Plan& p, Output o, const MakeWork& m)
        : plan(p)
        , output(o)
        , make(m)
    {
    }

    /// Takes files until none is left.
    void work()
    {
        for (;;) {
            const size_t index = next.fetch_add(1);
            if (index >= plan.items.size())
                return;
            Outcome outcome = runOne(plan.items[index]);
            const std::lock_guard<std::mutex> guard(lock);
            events.push_back({index, std::move(outcome), QString()});
            wake.notify_one();
        }
    }

    struct Event {
        size_t index;
        Outcome outcome;
        QString warning; ///< not empty: a warning rather than an outcome
    };

    /// Waits up to `ms` for events, then hands them over.
    std::deque<Event> take(int ms)
    {
        std::unique_lock<std::mutex> guard(lock);
        wake.wait_for(guard, std::chrono::milliseconds(ms), [this] { return !events.empty(); });
        std::deque<Event> taken;
        taken.swap(events);
        return taken;
    }

    /// Stops the running jobs and starts no more. Called again and again
    /// while they finish: a job that was just starting clears its stop
    /// request when its run begins.
    void stopAll()
    {
        stopping.store(true);
        const std::lock_guard<std::mutex> guard(lock);
        for (Job* job : running)
            job->stop();
    }

private:
    Outcome runOne(const Plan::Item& item)
    {
        Outcome o;
        if (stopping.load())
            return o;
        if (plan.skipExisting && output != Output::None && QFileInfo::exists(item.output)) {
            o.state = State::Skipped;
            o.text = QString("%1 exists").arg(item.output);
            return o;
        }
        BatchOutput target(output, item.output);
        if (!target.create(item.base, item.extension, o.text)) {
            o.state = State::Failed;
            o.exitCode = ExitFailure;
            return o;
        }
        std::unique_ptr<Work> work = make(item.input, target.writePath());
        Job& job = work->job();
        job.setWarningCallback([this, &item](const std::string& text) {
            const std::lock_guard<std::mutex> guard(lock);
            events.push_back({0, Outcome(), item.input + ": " + QString::fromStdString(text)});
            wake.notify_one();
        });
        {
            const std::lock_guard<std::mutex> guard(lock);
            running.insert(&job);
        }
        int code = job.run();
        {
            const std::lock_guard<std::mutex> guard(lock);
            running.erase(&job);
        }
        QString error;
        code = target.settle(work->finish(code), o.text, error);

        o.exitCode = code;
        // What the user sees names the settled output, never the temporary one.
        if (code == ExitOk) {
            o.state = State::Ok;
            o.text = target.shown(work->summary());
            o.result = target.shown(job.resultJson());
        } else if (code == ExitStopped) {
            o.state = State::Stopped;
        } else {
            o.state = State::Failed;
            o.text = error.isEmpty() ? target.shown(QString::fromStdString(job.error())) : error;
        }
        return o;
    }

    const Plan& plan;
    Output output;
    const MakeWork& make;
    std::atomic<size_t> next{0};
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Event> events;
    std::set<Job*> running;
};

void BatchRun::addOptions(QCommandLineParser& parser, Output output)
{
    if (output != Output::None) {
        parser.addOption({{"o", "output-dir"},
                          output == Output::Folder
                              ? "Batch: cut every input (any number of them) into a folder DIR/NAME of its own, NAME "
                                "being the input's name without its extension."
                              : "Batch: write every input (any number of them) to DIR/NAME.EXT, NAME being the "
                                "input's name without its extension, EXT --type's or else the input's.",
                          "DIR"});
        parser.addOption({"skip-existing", "Batch: leave out the inputs whose output exists (resumes an "
                                           "interrupted batch: outputs appear only when complete)."});
    }
    parser.addOption({{"j", "jobs"},
                      QString("Batch: files processed at once (default: the number of cores, %1 here).")
                          .arg(QThread::idealThreadCount()),
                      "N"});
}

bool BatchRun::wanted(const QCommandLineParser& parser, Output output)
{
    if (output == Output::None)
        return parser.positionalArguments().size() > 1;
    return parser.isSet("output-dir");
}

BatchRun::BatchRun(const QCommandLineParser& p, Output o)
    : parser(p)
    , output(o)
{
}

int BatchRun::prepare(Plan& plan, const CheckName& check) const
{
    plan.json = parser.isSet("json");
    plan.workers = static_cast<unsigned>(std::max(1, QThread::idealThreadCount()));
    if (parser.isSet("jobs")) {
        bool ok = false;
        plan.workers = parser.value("jobs").toUInt(&ok);
        if (!ok || plan.workers == 0) {
            printError(QString("-j needs the number of files to process at once, 1 or more, not '%1'")
                           .arg(parser.value("jobs")));
            return ExitUsage;
        }
    }
    const bool overwrite = settings().overwrite;
    if (output != Output::None) {
        plan.skipExisting = parser.isSet("skip-existing");
        plan.dir = parser.value("output-dir");
        if (plan.skipExisting && overwrite) {
            printError("-y replaces existing outputs and --skip-existing keeps them: choose one");
            return ExitUsage;
        }
        if (QFileInfo::exists(plan.dir) && !QFileInfo(plan.dir).isDir()) {
            printError(QString("%1 : not a folder (-o names the folder of the outputs)").arg(plan.dir));
            return ExitUsage;
        }
    }

    QHash<QString, QString> outputs;       // output name -> input
    std::set<std::pair<dev_t, ino_t>> ins; // to find an output that is an input
    for (const QString& input : parser.positionalArguments()) {
        if (input == "-") {
            printError("standard input cannot be one of the inputs of a batch: give file names");
            return ExitUsage;
        }
        struct stat in;
        if (::stat(QFile::encodeName(input).constData(), &in) == 0)
            ins.insert({in.st_dev, in.st_ino});
        const QFileInfo info(input);
        Plan::Item item{input, QString(), info.completeBaseName(), settings().type};
        if (item.extension.isEmpty())
            item.extension = SoundWriter::isWritableName(("x." + info.suffix()).toUtf8().constData())
                ? info.suffix()
                : QString("wav");
        if (output != Output::None) {
            item.output = QDir::cleanPath(QDir(plan.dir).filePath(
                output == Output::File ? item.base + "." + item.extension : item.base));
            const auto taken = outputs.constFind(item.output);
            if (taken != outputs.constEnd()) {
                printError(QString("%1 and %2 would both write %3: rename one of them, or run them apart")
                               .arg(taken.value(), input, item.output));
                return ExitUsage;
            }
            outputs.insert(item.output, input);
        }
        plan.items.push_back(item);
    }

    int existing = 0;
    for (const Plan::Item& item : plan.items) {
        if (output == Output::None)
            break;
        if (check) {
            const std::string refused = check(item.output);
            if (!refused.empty()) {
                printError(QString::fromStdString(refused));
                return ExitUsage;
            }
        }
        struct stat out;
        if (::stat(QFile::encodeName(item.output).constData(), &out) != 0)
            continue;
        if (ins.count({out.st_dev, out.st_ino}) != 0) {
            printError(QString("%1 : the output of %2 would be an input file; choose another folder with -o")
                           .arg(item.output, item.input));
            return ExitUsage;
        }
        if (S_ISDIR(out.st_mode) != (output == Output::Folder)) {
            printError(QString(output == Output::Folder ? "%1 : exists and is not a folder" : "%1 : is a folder")
                           .arg(item.output));
            return ExitUsage;
        }
        if (!overwrite && !plan.skipExisting && existing++ == 0)
            printError(QString("%1 : exists; use -y (--overwrite) to replace it, or --skip-existing to keep it and "
                               "process the others")
                           .arg(item.output));
    }
    if (existing > 1)
        printError(QString("%1 outputs exist in all").arg(existing));
    if (existing > 0)
        return ExitUsage;
    if (output != Output::None && !QDir().mkpath(plan.dir)) {
        printError(QString("%1 : cannot create the folder").arg(plan.dir));
        return ExitFailure;
    }
    return ExitOk;
}

int BatchRun::run(const MakeWork& make, const CheckName& check)
{
    Plan plan;
    const int refused = prepare(plan, check);
    if (refused != ExitOk)
        return refused;

    const size_t total = plan.items.size();
    const bool quiet = settings().quiet;
    const bool tty = isatty(fileno(stderr)) != 0;
    Workers workers(plan, output, make);

    // Only the main thread takes Ctrl-C: the workers start with the signals
    // blocked, and the handler merely sets a flag that the loop below
    // passes on to the jobs, outside the handler.
    sInterrupted.store(false);
    struct sigaction action = {}, previousInt = {}, previousTerm = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
    std::vector<std::thread> threads;
    const unsigned count = static_cast<unsigned>(std::min<size_t>(plan.workers, total));
    // The files are the parallel work now: the OpenMP teams a job starts
    // for its branches and filters share the cores out among the workers
    // instead of each claiming all of them. Results do not depend on it.
    const int team = std::max(1, omp_get_num_procs() / int(count));
    for (unsigned i = 0; i < count; ++i)
        threads.emplace_back([&workers, team] {
            omp_set_num_threads(team);
            workers.work();
        });
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);

    size_t finished = 0, failed = 0, skipped = 0, stopped = 0, notRun = 0;
    bool stopping = false;
    const auto showProgress = [&] {
        if (quiet)
            return;
        if (tty) {
            const int width = 30;
            const int filled = total == 0 ? width : int(width * finished / total);
            std::fprintf(stderr, "\rfiles [%s%s] %zu/%zu", std::string(size_t(filled), '#').c_str(),
                         std::string(size_t(width - filled), ' ').c_str(), finished, total);
        } else {
            std::fprintf(stderr, "files: %zu/%zu done\n", finished, total);
        }
        std::fflush(stderr);
    };
    const auto clearProgress = [&] {
        if (!quiet && tty) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
    };
    if (tty)
        showProgress();
    while (finished < total) {
        for (Workers::Event& event : workers.take(100)) {
            clearProgress();
            if (!event.warning.isEmpty()) {
                printWarning(event.warning);
                if (tty)
                    showProgress();
                continue;
            }
            const Plan::Item& item = plan.items[event.index];
            const Outcome& o = event.outcome;
            ++finished;
            static const char* const names[] = {"ok", "failed", "skipped", "stopped", "not started"};
            const char* name = names[int(o.state)];
            failed += o.state == State::Failed;
            skipped += o.state == State::Skipped;
            stopped += o.state == State::Stopped;
            notRun += o.state == State::NotRun;
            if (o.state == State::NotRun) {
                // Files a stop kept from starting get no line: they were not touched.
            } else if (plan.json) {
                QJsonObject line;
                line["file"] = item.input;
                if (output != Output::None)
                    line["output"] = item.output;
                line["status"] = name;
                line["exitCode"] = o.exitCode;
                if (o.state == State::Ok)
                    line["result"] = o.result;
                else if (!o.text.isEmpty())
                    line[o.state == State::Failed ? "error" : "note"] = o.text;
                std::fputs(QJsonDocument(line).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
            } else {
                QString text = QString("%1 %2").arg(name, item.input);
                if (o.state == State::Ok && output != Output::None)
                    text += " -> " + item.output;
                if (!o.text.isEmpty())
                    text += ": " + o.text;
                std::fputs(qPrintable(text + "\n"), stdout);
            }
            std::fflush(stdout);
            if (o.state != State::NotRun)
                showProgress();
        }
        if (sInterrupted.load() && !stopping) {
            stopping = true;
            clearProgress();
            std::fprintf(stderr, "tevo: stopping the files in progress...\n");
        }
        if (stopping)
            workers.stopAll();
    }
    for (std::thread& thread : threads)
        thread.join();
    clearProgress();
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);

    if (stopping || stopped > 0) {
        std::fprintf(stderr,
                     "tevo: stopped: %zu of %zu file(s) done, %zu stopped, %zu not started; the same command "
                     "with --skip-existing goes on from there\n",
                     total - failed - stopped - notRun, total, stopped, notRun);
        return ExitStopped;
    }
    if (failed > 0 || !quiet)
        std::fprintf(stderr, "tevo: %zu file(s): %zu done, %zu skipped, %zu failed\n", total,
                     total - failed - skipped, skipped, failed);
    return failed > 0 ? ExitFailure : ExitOk;
}
