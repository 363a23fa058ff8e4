#pragma once

#include "SoundPlayer.h"
#include "TevoExport.h"

#include <QAudio>

#include <atomic>

class QAudioOutput;
class QThread;

/// Plays a graph through Qt's audio output: 16-bit signed little-endian
/// stereo PCM at the reader's sample rate, pulled from the device.
///
/// The output is created on the constructing thread and needs that thread's
/// event loop running while it plays. Its notifications arrive every 500 ms
/// of played sound and become playingProgress; the first ActiveState after
/// start becomes playingStarted; IdleState once the device has delivered the
/// end of the sound becomes playingHasFinished(true) (an idle output while the
/// graph falls behind is an underrun, not the end); StoppedState and SuspendedState
/// playingHasFinished(false). The end of the data also emits
/// playingHasFinished(true), so a normal end reaches the host twice.
///
/// All connections are direct: the slots, and so the player's signals, run on
/// the thread that emits (the output's thread, which calls the device's
/// readData). A host that wants them on another thread connects queued.
class TEVO_EXPORT SoundPlayerQt : public SoundPlayer {
    Q_OBJECT

public:
    /// Registers QAudio::State with Qt's meta-types, builds the output
    /// (notify interval 500 ms) and connects it.
    SoundPlayerQt(SoundReader* reader, SoundAlgo* algo);
    ~SoundPlayerQt() override;

    /// Starts the device and the output. When the output cannot start, writes
    /// "Error opening audio device" on the library's diagnostics stream, stops
    /// the device and emits playingHasFinished(false). Does nothing while
    /// playing.
    void start() override;
    /// Stops the output, then the device; does nothing when already stopped.
    /// Safe from a slot connected to the player's signals.
    void stop() override;

private slots:
    void audioStatusChanged(QAudio::State state);
    void notified();
    void endOfData();

private:
    QAudioOutput* output;
    // endOfData reports the end once per run, however often the output polls
    // a finished device.
    std::atomic<bool> endReported{false};
    // playingStarted is for the start of playback, not for each recovery
    // from an underrun.
    std::atomic<bool> startedReported{false};
    // Counts the starts, so that a late check of one run leaves the next alone.
    std::atomic<int> runCount{0};
    // The thread inside endOfData's signal, if any: stop() called from there
    // is deferred.
    std::atomic<QThread*> inEndOfData{nullptr};
};
