#include "CommandRegistry.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

static void printUsage(FILE* to)
{
    QTextStream out(to);
    out << "Usage: tevo COMMAND [ARGS...]\n\nCommands:\n";
    for (const auto& command : CommandRegistry::commands())
        out << "  " << command.name.leftJustified(10) << command.summary << "\n";
    out << "\nRun 'tevo COMMAND --help' for the options of a command.\n";
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tevo");
    QCoreApplication::setApplicationVersion("1.0.0");
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        printUsage(stderr);
        return 2;
    }
    const QString name = args.at(1);
    if (name == "--help" || name == "-h" || name == "help") {
        printUsage(stdout);
        return 0;
    }
    if (name == "--version") {
        std::printf("tevo %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    for (const auto& command : CommandRegistry::commands())
        if (command.name == name)
            return command.run(args);
    std::fprintf(stderr, "tevo: unknown command '%s'\n\n", qPrintable(name));
    printUsage(stderr);
    return 2;
}
