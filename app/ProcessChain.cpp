#include "ProcessChain.h"

#include "CommandRegistry.h"

#include <algorithm>

namespace ProcessChain {

void addOptions(QCommandLineParser& parser)
{
    for (const auto& option : CommandRegistry::chainOptions()) {
        if (option.valueName.isEmpty())
            parser.addOption({option.name, option.description});
        else
            parser.addOption({option.name, option.description, option.valueName});
    }
}

std::vector<ChainStages::Stage> stages(const QStringList& args)
{
    std::vector<ChainStages::Stage> list;
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
        // Other options and their values are the parser's: values never
        // start with "--", and a stray word is a positional it checked.
        if (option == options.end())
            continue;
        QString value;
        if (!option->valueName.isEmpty()) {
            if (eq >= 0)
                value = arg.mid(eq + 1);
            else if (i + 1 < args.size())
                value = args[++i];
        }
        list.push_back({name.toStdString(), value.toStdString()});
    }
    return list;
}

} // namespace ProcessChain
