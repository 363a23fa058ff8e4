#pragma once

#include "StatsJob.h"

#include <QString>
#include <QStringList>

#include <vector>

class SoundAlgoLoudness;

/// Loudness figures for the commands that measure or level: the report
/// lines, and a picture of loudness over time (SVG or PNG).
namespace LoudnessPlot {

/// Prints the figures of a finished measurement, one per line, each label
/// preceded by `indent`.
void printLoudness(const StatsJob::Loudness& loudness, const char* indent);
/// One figure as the report lines show it: "-16.02 LUFS", or "-inf LUFS"
/// where there is no loudness (silence); `width` pads the number.
QString figure(double value, const char* unit, int width = 7);

/// One stretch of the level regions, in seconds from the start.
struct Region {
    double startSeconds = 0.0;
    double endSeconds = 0.0;
    bool noise = false;
};

/// What a picture shows; empty series are left out.
struct Series {
    QString title;
    double step = 0.1;                   ///< seconds between readings
    std::vector<double> inputShortTerm;  ///< LUFS, one per step
    std::vector<double> outputShortTerm; ///< LUFS, one per step
    std::vector<double> gainDb;          ///< gain applied, dB, one per step
    std::vector<Region> regions;
    bool hasTarget = false;
    double targetLufs = -16.0;
};

/// True when `path` names a picture this module can draw (.svg or .png);
/// otherwise false with `error` set.
bool checkPath(const QString& path, QString& error);

/// Draws the series into `path`; the file is replaced only once the picture
/// is complete. False with `error` set when it cannot be written.
bool draw(const Series& series, const QString& path, QString& error);

/// Whether the command line asks for a picture: painting text needs the GUI
/// flavour of the application object, created before anything else.
bool wanted(const QStringList& arguments);

} // namespace LoudnessPlot
