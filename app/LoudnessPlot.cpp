#include "LoudnessPlot.h"

#include "SoundAlgoLoudness.h"

#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QSvgGenerator>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace LoudnessPlot {

namespace {

constexpr int kWidth = 1200;
constexpr int kHeight = 600;
constexpr int kLeft = 70;
constexpr int kRight = 70;
constexpr int kTop = 50;
constexpr int kBottom = 60;
// Loudness below this is drawn at the bottom edge: quieter passages are
// silence for a listener, and the scale stays readable.
constexpr double kFloorLufs = -70.0;
constexpr double kGainRangeDb = 30.0; ///< the gain axis runs from -30 to +30 dB

struct Frame {
    double seconds;
    double top;    ///< LUFS at the top edge
    double bottom; ///< LUFS at the bottom edge

    double x(double t) const { return kLeft + (kWidth - kLeft - kRight) * (seconds > 0 ? t / seconds : 0.0); }
    double y(double lufs) const
    {
        lufs = std::min(top, std::max(bottom, lufs));
        return kTop + (kHeight - kTop - kBottom) * (top - lufs) / (top - bottom);
    }
    double yGain(double db) const
    {
        db = std::min(kGainRangeDb, std::max(-kGainRangeDb, db));
        return kTop + (kHeight - kTop - kBottom) * (kGainRangeDb - db) / (2 * kGainRangeDb);
    }
};

void drawCurve(QPainter& painter, const Frame& frame, const std::vector<double>& values, double step,
               const QColor& colour, bool gain)
{
    if (values.empty())
        return;
    QPainterPath path;
    for (size_t k = 0; k < values.size(); ++k) {
        const QPointF point(frame.x((k + 1) * step), gain ? frame.yGain(values[k]) : frame.y(values[k]));
        if (k == 0)
            path.moveTo(point);
        else
            path.lineTo(point);
    }
    painter.setPen(QPen(colour, 1.6));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
}

void paint(QPainter& painter, const Series& s)
{
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillRect(0, 0, kWidth, kHeight, Qt::white);
    const size_t readings = std::max(s.inputShortTerm.size(), s.outputShortTerm.size());
    double seconds = readings * s.step;
    for (const Region& r : s.regions)
        seconds = std::max(seconds, r.endSeconds);
    seconds = std::max(seconds, s.step);
    const Frame frame{seconds, 0.0, kFloorLufs};
    const QRectF plot(kLeft, kTop, kWidth - kLeft - kRight, kHeight - kTop - kBottom);

    // Regions: signal in pale blue and noise in grey, alternating shades so
    // that neighbouring regions stay apart.
    int index = 0;
    for (const Region& r : s.regions) {
        if (r.endSeconds <= r.startSeconds)
            continue;
        const QColor colour = r.noise ? QColor(200, 200, 200) : (index++ % 2 ? QColor(225, 235, 250) : QColor(210, 225, 245));
        painter.fillRect(QRectF(QPointF(frame.x(r.startSeconds), kTop), QPointF(frame.x(r.endSeconds), plot.bottom())),
                         colour);
    }

    QFont font("DejaVu Sans");
    font.setPixelSize(13);
    painter.setFont(font);
    painter.setPen(QPen(QColor(160, 160, 160), 0.8, Qt::DotLine));
    for (double lufs = 0.0; lufs >= kFloorLufs; lufs -= 10.0) {
        painter.drawLine(QPointF(kLeft, frame.y(lufs)), QPointF(plot.right(), frame.y(lufs)));
    }
    // A tick every 1, 2, 5, 10... seconds, about ten across.
    double tick = 1.0;
    for (const double candidate : {1.0, 2.0, 5.0, 10.0, 20.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1200.0, 3600.0})
        if (seconds / candidate <= 12) {
            tick = candidate;
            break;
        }
    for (double t = 0.0; t <= seconds + 1e-9; t += tick)
        painter.drawLine(QPointF(frame.x(t), kTop), QPointF(frame.x(t), plot.bottom()));

    painter.setPen(Qt::black);
    painter.drawRect(plot);
    for (double lufs = 0.0; lufs >= kFloorLufs; lufs -= 10.0)
        painter.drawText(QRectF(0, frame.y(lufs) - 8, kLeft - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(lufs, 'f', 0));
    for (double t = 0.0; t <= seconds + 1e-9; t += tick)
        painter.drawText(QRectF(frame.x(t) - 40, plot.bottom() + 4, 80, 16), Qt::AlignCenter,
                         seconds >= 600 ? QString("%1:%2").arg(int(t) / 60).arg(int(t) % 60, 2, 10, QChar('0'))
                                        : QString::number(t, 'f', 0));
    painter.drawText(QRectF(kLeft, plot.bottom() + 22, plot.width(), 18), Qt::AlignCenter,
                     seconds >= 600 ? "time (min:s)" : "time (s)");
    painter.save();
    painter.translate(16, kTop + plot.height() / 2);
    painter.rotate(-90);
    painter.drawText(QRectF(-150, -10, 300, 20), Qt::AlignCenter, "short-term loudness (LUFS)");
    painter.restore();
    if (!s.gainDb.empty()) {
        for (double db = -kGainRangeDb; db <= kGainRangeDb; db += 10.0)
            painter.drawText(QRectF(plot.right() + 6, frame.yGain(db) - 8, kRight - 10, 16),
                             Qt::AlignLeft | Qt::AlignVCenter, QString("%1").arg(db, 0, 'f', 0));
        painter.save();
        painter.translate(kWidth - 14, kTop + plot.height() / 2);
        painter.rotate(90);
        painter.drawText(QRectF(-150, -10, 300, 20), Qt::AlignCenter, "gain applied (dB)");
        painter.restore();
    }

    painter.setClipRect(plot);
    if (s.hasTarget) {
        painter.setPen(QPen(QColor(200, 0, 0), 1.4, Qt::DashLine));
        painter.drawLine(QPointF(kLeft, frame.y(s.targetLufs)), QPointF(plot.right(), frame.y(s.targetLufs)));
    }
    drawCurve(painter, frame, s.inputShortTerm, s.step, QColor(90, 90, 90), false);
    drawCurve(painter, frame, s.gainDb, s.step, QColor(230, 140, 0), true);
    drawCurve(painter, frame, s.outputShortTerm, s.step, QColor(0, 140, 60), false);
    painter.setClipping(false);

    // Legend along the top.
    struct Entry {
        QString text;
        QColor colour;
        bool present;
        bool dashed;
    };
    const Entry entries[] = {
        {"input", QColor(90, 90, 90), !s.inputShortTerm.empty(), false},
        {"output", QColor(0, 140, 60), !s.outputShortTerm.empty(), false},
        {"gain", QColor(230, 140, 0), !s.gainDb.empty(), false},
        {QString("target %1 LUFS").arg(s.targetLufs, 0, 'f', 1), QColor(200, 0, 0), s.hasTarget, true},
    };
    double x = kLeft;
    painter.setPen(Qt::black);
    painter.drawText(QRectF(kLeft, 6, plot.width(), 18), Qt::AlignLeft | Qt::AlignVCenter, s.title);
    for (const Entry& e : entries) {
        if (!e.present)
            continue;
        painter.setPen(QPen(e.colour, 2.0, e.dashed ? Qt::DashLine : Qt::SolidLine));
        painter.drawLine(QPointF(x, 34), QPointF(x + 24, 34));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(x + 30, 26, 160, 16), Qt::AlignLeft | Qt::AlignVCenter, e.text);
        x += 40 + painter.fontMetrics().horizontalAdvance(e.text);
    }
    if (!s.regions.empty()) {
        painter.fillRect(QRectF(x, 28, 24, 12), QColor(210, 225, 245));
        painter.drawText(QRectF(x + 30, 26, 160, 16), Qt::AlignLeft | Qt::AlignVCenter, "regions");
        x += 40 + painter.fontMetrics().horizontalAdvance("regions");
        painter.fillRect(QRectF(x, 28, 24, 12), QColor(200, 200, 200));
        painter.drawText(QRectF(x + 30, 26, 160, 16), Qt::AlignLeft | Qt::AlignVCenter, "noise");
    }
}

} // namespace

QString figure(double value, const char* unit, int width)
{
    if (value <= SoundAlgoLoudness::sNoLoudness)
        return QString("%1 %2").arg("-inf", width).arg(unit);
    return QString("%1 %2").arg(value, width, 'f', 2).arg(unit);
}

void printLoudness(const StatsJob::Loudness& loudness, const char* indent)
{
    std::printf("%sIntegrated     %s\n", indent, qPrintable(figure(loudness.integratedLufs, "LUFS")));
    std::printf("%sLoudness range %7.2f LU\n", indent, loudness.loudnessRangeLu);
    std::printf("%sMomentary max  %s\n", indent, qPrintable(figure(loudness.momentaryMaxLufs, "LUFS")));
    std::printf("%sShort-term max %s\n", indent, qPrintable(figure(loudness.shortTermMaxLufs, "LUFS")));
    std::printf("%sTrue peak      %s\n", indent, qPrintable(figure(loudness.truePeakDbtp, "dBTP")));
    std::printf("%sSample peak    %s\n", indent, qPrintable(figure(loudness.samplePeakDbfs, "dBFS")));
}

bool checkPath(const QString& path, QString& error)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != "svg" && suffix != "png") {
        error = QString("--plot needs a file name ending in .svg or .png, not '%1'").arg(path);
        return false;
    }
    return true;
}

bool draw(const Series& series, const QString& path, QString& error)
{
    if (!checkPath(path, error))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = QString("%1 : %2").arg(path, file.errorString());
        return false;
    }
    bool ok = true;
    if (QFileInfo(path).suffix().toLower() == "svg") {
        QSvgGenerator svg;
        svg.setOutputDevice(&file);
        svg.setSize(QSize(kWidth, kHeight));
        svg.setViewBox(QRect(0, 0, kWidth, kHeight));
        svg.setTitle(series.title);
        QPainter painter;
        ok = painter.begin(&svg);
        if (ok) {
            paint(painter, series);
            ok = painter.end();
        }
    } else {
        QImage image(kWidth, kHeight, QImage::Format_RGB32);
        QPainter painter;
        ok = painter.begin(&image);
        if (ok) {
            paint(painter, series);
            ok = painter.end() && image.save(&file, "PNG");
        }
    }
    if (!ok || !file.commit()) {
        error = QString("%1 : the picture could not be written (%2)").arg(path, file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}

bool wanted(const QStringList& arguments)
{
    for (const QString& argument : arguments)
        if (argument == "--plot" || argument.startsWith("--plot="))
            return true;
    return false;
}

} // namespace LoudnessPlot
