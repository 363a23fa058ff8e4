#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

/// The sub-commands of tevo and the steps of `tevo demo`. Each command file
/// registers itself at start-up, so a new command needs no edit elsewhere.
namespace CommandRegistry {

struct Command {
    QString name;
    QString summary;
    /// Runs the command; `args` holds the program name, the command name and
    /// the command's own arguments (as QCommandLineParser expects). Returns the
    /// process exit code.
    std::function<int(const QStringList& args)> run;
};

/// What a demo step gets: the folder to write into and the recording.
struct DemoContext {
    QString dir;       ///< output folder, exists
    QString recording; ///< path of the synthesised recording (WAV)
    bool audioDevice = false;
    int failures = 0; ///< steps that failed
};

struct DemoStep {
    int order; ///< steps run in increasing order
    QString title;
    std::function<bool(DemoContext&)> run; ///< false when the step failed
};

/// An option of `tevo process` that appends a stage (ChainStages) to the
/// processing chain. Chain options are applied in the order they appear on
/// the command line, each occurrence adding its own stage.
struct ChainOption {
    QString name;      ///< long option name without dashes: a ChainStages name
    QString valueName; ///< empty for a flag without value
    QString description;
};

bool add(const Command& command);
bool addChainOption(const ChainOption& option);
const std::vector<ChainOption>& chainOptions();
bool addDemoStep(const DemoStep& step);
const std::vector<Command>& commands();
std::vector<DemoStep> demoSteps(); ///< sorted by order

} // namespace CommandRegistry
