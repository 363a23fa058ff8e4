#include "CommandRegistry.h"

#include <algorithm>

namespace CommandRegistry {

static std::vector<Command>& commandList()
{
    static std::vector<Command> list;
    return list;
}

static std::vector<DemoStep>& stepList()
{
    static std::vector<DemoStep> list;
    return list;
}

static std::vector<ChainOption>& chainList()
{
    static std::vector<ChainOption> list;
    return list;
}

bool addChainOption(const ChainOption& option)
{
    chainList().push_back(option);
    return true;
}

const std::vector<ChainOption>& chainOptions()
{
    return chainList();
}

bool add(const Command& command)
{
    commandList().push_back(command);
    return true;
}

bool addDemoStep(const DemoStep& step)
{
    stepList().push_back(step);
    return true;
}

const std::vector<Command>& commands()
{
    auto& list = commandList();
    std::sort(list.begin(), list.end(), [](const Command& a, const Command& b) { return a.name < b.name; });
    return list;
}

std::vector<DemoStep> demoSteps()
{
    std::vector<DemoStep> steps = stepList();
    std::stable_sort(steps.begin(), steps.end(), [](const DemoStep& a, const DemoStep& b) { return a.order < b.order; });
    return steps;
}

} // namespace CommandRegistry
