#include "CommandRegistry.h"
#include "LoudnessPlot.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <memory>

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

// Starting the off-screen GUI object warns about a missing runtime directory,
// which means nothing for a picture written to a file.
static void hidePlatformNotes(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.startsWith("QStandardPaths:"))
        return;
    hideQtChatter(type, context, message);
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
    // Pictures need fonts, which only the GUI application object provides; it
    // paints off screen, so tevo still runs without a display.
    std::unique_ptr<QCoreApplication> app;
    {
        QStringList raw;
        for (int i = 0; i < argc; ++i)
            raw << QString::fromLocal8Bit(argv[i]);
        if (LoudnessPlot::wanted(raw)) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            qInstallMessageHandler(hidePlatformNotes);
            app = std::make_unique<QGuiApplication>(argc, argv);
        } else {
            app = std::make_unique<QCoreApplication>(argc, argv);
        }
    }
    QCoreApplication::setApplicationName("tevo");
    QCoreApplication::setApplicationVersion("1.0.0");
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        printUsage(stderr);
        return 2;
    }
    if (!args.contains("--verbose") && !args.contains("-v"))
        qInstallMessageHandler(hideQtChatter);
    else
        qInstallMessageHandler(nullptr);
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
