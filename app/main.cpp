#include "CommandRegistry.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

// The library writes diagnostics to Qt's debug output, and Qt's own modules
// warn about their back ends (a missing sound server, say) that tevo reports
// in its own words: a command-line user sees them only with --verbose.
// Critical messages always show, on standard error.
static void hideQtChatter(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

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
    if (!args.contains("--verbose") && !args.contains("-v"))
        qInstallMessageHandler(hideQtChatter);
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
