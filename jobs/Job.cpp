#include "Job.h"

#include "JobOutput.h"
#include "SoundAlgo.h"
#include "SoundBuffer.h"
#include "SoundReader.h"
#include "SoundWriter.h"

#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <cmath>

Job::Job() = default;

Job::~Job() = default;

void Job::NodeRelease::operator()(SoundAlgo* node) const
{
    if (node)
        node->releaseReference();
}

void Job::setInput(std::unique_ptr<SoundReader> reader)
{
    givenInput = std::move(reader);
}

void Job::stop() noexcept
{
    // Only the flag: the node of the run may be gone by the time another
    // thread would reach it. The loop passes the flag on at every block.
    stopFlag.store(true);
}

void Job::begin()
{
    errorText.clear();
    stopFlag.store(false);
}

Job::Status Job::fail(Status status, const std::string& text)
{
    errorText = text;
    return status;
}

void Job::warn(const std::string& text) const
{
    if (warning)
        warning(text);
}

std::unique_ptr<SoundReader> Job::openInput(const std::string& path, double startSeconds, std::string& error)
{
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path.c_str()));
    if (!reader) {
        const QString name = QString::fromStdString(path);
        error = (!QFileInfo::exists(name)
                     ? QString("%1 : no such file").arg(name)
                     : QString("%1 : not a sound file this library reads (by content: WAV, FLAC, Ogg, Opus, AIFF, "
                               "MP3; by name: .wav, .wave, .flac, .ogg, .oga, .opus, .aif, .aiff, .mp3, .raw)")
                           .arg(name))
                    .toStdString();
        return nullptr;
    }
    if (reader->open(path.c_str()) != SoundTools::StatusOk) {
        error = reader->getError();
        return nullptr;
    }
    reader->setStartPoint(startSeconds);
    reader->rewind();
    return reader;
}

std::unique_ptr<SoundReader> Job::takeInput(const std::string& path, double startSeconds)
{
    if (givenInput) {
        givenInput->setStartPoint(startSeconds);
        givenInput->rewind();
        return std::move(givenInput);
    }
    std::string error;
    auto reader = openInput(path, startSeconds, error);
    if (!reader)
        fail(Failed, error);
    return reader;
}

std::unique_ptr<SoundReader> Job::takeInput(const std::string& path, JobOutput& out, Status& status)
{
    auto reader = takeInput(path, out.startSeconds);
    status = Failed;
    if (!reader)
        return nullptr;
    const std::string refused = out.checkStartAndRange(*reader);
    if (!refused.empty()) {
        status = fail(Refused, refused);
        return nullptr;
    }
    const std::string remark = out.followInput(*reader);
    if (!remark.empty())
        warn(remark);
    status = Ok;
    return reader;
}

Job::Status Job::runNode(SoundAlgo& node, SoundReader& reader, SoundWriter* writer, const char* stage)
{
    if (stopRequested())
        return fail(Stopped, std::string(stage) + " stopped on request");
    QMetaObject::Connection begun, advanced;
    if (progress) {
        begun = QObject::connect(&node, &SoundAlgo::notifyBegin, [this, stage](unsigned int total) {
            progress({stage, 0, total, true});
        });
        advanced = QObject::connect(&node, &SoundAlgo::notifyInProgress, [this, stage](unsigned int done, unsigned int total) {
            progress({stage, done, total, false});
        });
    }
    // The loop clears a node's stop request when it starts: the job's flag
    // is passed on before every block instead.
    SoundAlgo::LoopContext context;
    SoundTools::Status status = node.initProcessLoop(reader, context);
    if (status == SoundTools::StatusOk) {
        while (true) {
            if (stopRequested())
                node.pleaseStop();
            if (node.singleProcessLoop(reader, context, writer) != SoundTools::StatusOk)
                break;
        }
        node.endProcessLoop(context);
        status = static_cast<SoundTools::Status>(context.status);
    } else {
        status = SoundTools::StatusError;
    }
    QObject::disconnect(begun);
    QObject::disconnect(advanced);

    if (writer != nullptr) {
        writer->close();
        if ((status == SoundTools::StatusOk || status == SoundTools::StatusEnd) && writer->closeFailed())
            return fail(Failed, writer->getError());
        if (const uint64_t clipped = writer->getClippedSamples())
            warn(QString("%1 sample(s) lay beyond full scale and were clipped in the output (lower the level, or "
                         "write float with --format float32)")
                     .arg(clipped)
                     .toStdString());
    }
    switch (status) {
    case SoundTools::StatusOk:
    case SoundTools::StatusEnd:
        return Ok;
    case SoundTools::StatusStopped:
        return fail(Stopped, std::string(stage) + " stopped on request");
    default: {
        std::string text = node.getError();
        if (text.empty())
            text = std::string(stage) + " failed while setting up the processing graph (" + node.getName() + ")";
        return fail(Failed, text);
    }
    }
}

bool Job::parseNumber(const std::string& text, double& value)
{
    bool ok = false;
    value = QString::fromStdString(text).trimmed().toDouble(&ok);
    return ok && std::isfinite(value);
}

bool Job::parseTime(const std::string& text, double& seconds)
{
    const QStringList parts = QString::fromStdString(text).trimmed().split(':');
    if (parts.size() > 3)
        return false;
    double total = 0;
    for (int i = 0; i < parts.size(); ++i) {
        double value = 0;
        const bool last = i == parts.size() - 1;
        // Every field but the last is a whole number; minutes and seconds
        // after the first field stay below 60.
        if (!parseNumber(parts[i].toStdString(), value)
            || (!last && (value != std::floor(value) || parts[i].contains('.'))))
            return false;
        if (i > 0 && (value < 0 || value >= 60))
            return false;
        if (parts.size() > 1 && value < 0)
            return false;
        total = total * 60 + value;
    }
    seconds = total;
    return std::isfinite(seconds);
}

std::string Job::clockText(double seconds)
{
    const int64_t millis = static_cast<int64_t>(std::floor(seconds * 1000.0 + 0.5));
    const QString minutes = QString("%1:%2.%3")
                                .arg((millis / 60000) % 60, 2, 10, QChar('0'))
                                .arg((millis / 1000) % 60, 2, 10, QChar('0'))
                                .arg(millis % 1000, 3, 10, QChar('0'));
    return (millis >= 3600000 ? QString("%1:%2").arg(millis / 3600000).arg(minutes) : minutes).toStdString();
}
