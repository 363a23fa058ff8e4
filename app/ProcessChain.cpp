#include "ProcessChain.h"

#include "CommandRegistry.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"

#include <algorithm>

ProcessChain::~ProcessChain()
{
    for (SoundAlgo* stage : stages)
        stage->releaseReference();
}

void ProcessChain::addOptions(QCommandLineParser& parser)
{
    for (const auto& option : CommandRegistry::chainOptions()) {
        if (option.valueName.isEmpty())
            parser.addOption({option.name, option.description});
        else
            parser.addOption({option.name, option.description, option.valueName});
    }
}

bool ProcessChain::build(const QCommandLineParser& parser, const QStringList& args, QString& error)
{
    Q_UNUSED(parser);
    const auto& options = CommandRegistry::chainOptions();
    for (int i = 2; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == "--")
            break;
        if (!arg.startsWith("--"))
            continue;
        const int eq = arg.indexOf('=');
        const QString name = arg.mid(2, eq < 0 ? -1 : eq - 2);
        auto option = std::find_if(options.begin(), options.end(), [&](const auto& o) { return o.name == name; });
        if (option == options.end()) {
            // Skip the value of a non-chain option given as a separate word is
            // not needed: values never start with "--" for our options, and a
            // stray word is a positional the parser already checked.
            continue;
        }
        QString value;
        if (!option->valueName.isEmpty()) {
            if (eq >= 0) {
                value = arg.mid(eq + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            }
        }
        SoundAlgo* stage = option->make(value, error);
        if (stage == nullptr) {
            if (error.isEmpty())
                error = QString("bad value for --%1: '%2'").arg(name, value);
            return false;
        }
        stages.push_back(stage);
    }
    return true;
}

AppCommon::NodePtr ProcessChain::takeGraph()
{
    if (stages.empty())
        return AppCommon::NodePtr(new SoundAlgoBypass());
    if (stages.size() == 1) {
        SoundAlgo* only = stages.front();
        stages.clear();
        return AppCommon::NodePtr(only);
    }
    auto* composite = new SoundAlgoComposite(nullptr, true);
    for (SoundAlgo* stage : stages)
        composite->pushAlgo(stage);
    stages.clear();
    return AppCommon::NodePtr(composite);
}
