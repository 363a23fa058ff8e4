#pragma once

#include "AppCommon.h"

#include <QCommandLineParser>
#include <QStringList>

#include <vector>

/// The stages that the chain options of the command line ask for, in the
/// order they were given, assembled into one node.
class ProcessChain {
public:
    ProcessChain() = default;
    ProcessChain(const ProcessChain&) = delete;
    ProcessChain& operator=(const ProcessChain&) = delete;
    ~ProcessChain();

    /// Declares every registered chain option to the parser.
    static void addOptions(QCommandLineParser& parser);

    /// Builds the stages from `args` (the raw command line, for the order of
    /// the options). False with `error` set on a bad value.
    bool build(const QCommandLineParser& parser, const QStringList& args, QString& error);

    /// Stages appended after the command-line ones (for commands that add
    /// their own, such as an amplifier).
    void append(SoundAlgo* stage) { stages.push_back(stage); }
    bool empty() const { return stages.empty(); }

    /// The whole chain as one node (a pass-through when empty); the chain
    /// gives up its stages.
    AppCommon::NodePtr takeGraph();

private:
    std::vector<SoundAlgo*> stages;
};
