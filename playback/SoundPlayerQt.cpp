#include "SoundPlayerQt.h"

#include "SoundDebuggableClass.h"

#include <QAudioFormat>
#include <QAudioOutput>
#include <QDebug>
#include <QLoggingCategory>
#include <QMetaType>
#include <QSignalBlocker>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include <ostream>

Q_LOGGING_CATEGORY(lcPlayer, "tevo.playback")

namespace {

constexpr int kNotifyIntervalMs = 500;
// Beyond the duration of the output's buffer, how long to wait for its idle
// state after the end of the data.
constexpr int kEndGraceMs = 1000;

QAudioFormat pcmFormat(int sampleRate)
{
    QAudioFormat format;
    format.setSampleRate(sampleRate);
    format.setChannelCount(2);
    format.setSampleSize(16);
    format.setCodec("audio/pcm");
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    return format;
}

} // namespace

SoundPlayerQt::SoundPlayerQt(SoundReader* r, SoundAlgo* algo)
    : SoundPlayer(r, algo)
{
    qRegisterMetaType<QAudio::State>("QAudio::State");
    output = new QAudioOutput(pcmFormat(static_cast<int>(device->getSampleRate())), nullptr);
    output->setNotifyInterval(kNotifyIntervalMs);
    connect(device, SIGNAL(readChannelFinished()), this, SLOT(endOfData()), Qt::DirectConnection);
    connect(output, SIGNAL(stateChanged(QAudio::State)), this, SLOT(audioStatusChanged(QAudio::State)),
            Qt::DirectConnection);
    connect(output, SIGNAL(notify()), this, SLOT(notified()), Qt::DirectConnection);
}

SoundPlayerQt::~SoundPlayerQt()
{
    qCDebug(lcPlayer) << "deleting player";
    // No signal of a half-destroyed player reaches the host.
    output->disconnect(this);
    delete output;
}

void SoundPlayerQt::start()
{
    if (!stopped.load())
        return;
    if (output->state() != QAudio::StoppedState) {
        // A replay: the output still sits idle on the end of the last run, and
        // stopping it is not news for the host, who heard that end already.
        const QSignalBlocker quiet(output);
        output->stop();
    }
    stopped = false;
    notifyCount = 0;
    endReported = false;
    startedReported = false;
    ++runCount;
    device->start();
    // The output does not notice a closed device (it keeps polling it), so a
    // graph that cannot start is handled as an output that cannot.
    if (device->isOpen())
        output->start(device);
    if (!device->isOpen() || output->error() != QAudio::NoError) {
        SoundDebuggableClass::getOStream() << tr("Error opening audio device").toUtf8().constData() << std::endl;
        qCDebug(lcPlayer) << "start failure :" << output->error() << device->getError();
        if (output->state() != QAudio::StoppedState) {
            const QSignalBlocker quiet(output);
            output->stop();
        }
        device->stop();
        audioStatusChanged(QAudio::StoppedState);
    }
    qCDebug(lcPlayer) << "end start";
}

void SoundPlayerQt::stop()
{
    if (stopped.load())
        return;
    if (inEndOfData.load() == QThread::currentThread()) {
        // Called from a slot of playingHasFinished emitted by endOfData, that
        // is from inside the output's read of the device: stopping the output
        // there pulls its stream from under the read in progress. Stop once
        // the read has returned.
        QMetaObject::invokeMethod(
            this, [this] { stop(); }, Qt::QueuedConnection);
        return;
    }
    output->stop();
    qCDebug(lcPlayer) << "audio stopped";
    device->stop();
    qCDebug(lcPlayer) << "device stopped";
    stopped = true;
}

void SoundPlayerQt::audioStatusChanged(QAudio::State state)
{
    qCDebug(lcPlayer) << "player state" << state;
    switch (state) {
    case QAudio::ActiveState:
        // The output also comes back to its active state after each underrun.
        if (!startedReported.exchange(true))
            emit playingStarted();
        break;
    case QAudio::SuspendedState:
    case QAudio::StoppedState:
        stopped = true;
        qCDebug(lcPlayer) << "player finished";
        emit playingHasFinished(false);
        break;
    case QAudio::IdleState: {
        // The output also idles when the graph falls behind, even after the
        // input is exhausted while the ring still plays; only once the device
        // has delivered its end (or the run failed) is this the end.
        const SoundTools::Status status = device->getStatus();
        if (!endReported.load() && (status == SoundTools::StatusOk || status == SoundTools::StatusEnd)) {
            qCDebug(lcPlayer) << "player underrun";
            break;
        }
        stopped = true;
        qCDebug(lcPlayer) << "player finished";
        emit playingHasFinished(status == SoundTools::StatusEnd);
        break;
    }
    default:
        break;
    }
}

void SoundPlayerQt::notified()
{
    const int count = ++notifyCount;
    emit playingProgress(reader->getStartPoint() + output->notifyInterval() * count / 1000.0);
}

void SoundPlayerQt::endOfData()
{
    if (endReported.exchange(true))
        return;
    qCDebug(lcPlayer) << "end of data";
    inEndOfData = QThread::currentThread();
    // The device also ends its stream on a stop or a processing error: only
    // the end of the input is a completed playback.
    emit playingHasFinished(device->getStatus() == SoundTools::StatusEnd);
    inEndOfData = nullptr;
    // The output reports its idle state once it has played what it holds,
    // but after underruns it may stay active on the exhausted device for
    // good. Once this read is over, give it the time its buffer needs, then
    // end playback here.
    const int run = runCount.load();
    QMetaObject::invokeMethod(
        this,
        [this, run] {
            const qint64 queued = std::max(0, output->bufferSize() - output->bytesFree());
            const qint64 rate = std::max(1u, device->getSampleRate());
            const int waitMs = static_cast<int>(queued * 1000 / (4 * rate)) + kEndGraceMs;
            QTimer::singleShot(waitMs, this, [this, run] {
                if (run != runCount.load() || stopped.load())
                    return;
                qCDebug(lcPlayer) << "no idle state from the output after the end";
                {
                    const QSignalBlocker quiet(output);
                    output->stop();
                }
                audioStatusChanged(QAudio::IdleState);
            });
        },
        Qt::QueuedConnection);
}
