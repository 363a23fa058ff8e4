#pragma once

#include "ChainStages.h"

#include <QCommandLineParser>
#include <QStringList>

#include <vector>

/// The stages that the chain options of the command line ask for, in the
/// order they were given.
namespace ProcessChain {

/// Declares every registered chain option to the parser.
void addOptions(QCommandLineParser& parser);

/// The stages of `args` (the raw command line, for the order of the options).
std::vector<ChainStages::Stage> stages(const QStringList& args);

} // namespace ProcessChain
