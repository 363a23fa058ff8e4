#pragma once

#include "SoundAlgo.h"
#include "SoundAlgoAmpliInterface.h"
#include "SoundAlgoDevice.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundReader.h"
#include "TevoExport.h"

#include <QObject>

#include <atomic>

/// The host's handle on live playback: owns a SoundAlgoDevice built on a
/// reader and a graph, reports the course of playback through four signals,
/// and changes the level of an amplifier, the threshold of a noise gate and
/// the bands of an equaliser while the sound plays.
///
/// Each live setter takes the device's graph lock, so a change lands between
/// two processing blocks, never inside one. It is heard once the blocks
/// already queued for the output have played (up to a ring of blocks: keep
/// SoundBuffer's block size small for live use). The setters may be called
/// from any thread, including a slot connected directly to one of the
/// player's or the graph's signals; they wait for the block in progress.
///
/// Abstract: start and stop belong to the concrete player (SoundPlayerQt).
class TEVO_EXPORT SoundPlayer : public QObject {
    Q_OBJECT

public:
    /// @param reader the source, not owned; it must outlive the player.
    /// @param algo   last node of the graph (the device adds a reference);
    ///               null plays the file unchanged.
    SoundPlayer(SoundReader* reader, SoundAlgo* algo);
    /// Deletes the device, which stops it.
    ~SoundPlayer() override;

    /// Starts playback from the reader's start point.
    virtual void start() = 0;
    /// Stops playback; does nothing when already stopped.
    virtual void stop() = 0;

    /// True after construction and once playback has ended or was stopped.
    bool isStopped() const { return stopped.load(); }

    /// The nodes the live setters reach; not owned, and part of the graph
    /// given to the constructor. Set them before playback starts.
    void setEqualizer(SoundAlgoFilterBiquad* node) { equalizer.store(node); }
    void setAmplifier(SoundAlgoAmpliInterface* node) { amplifier.store(node); }
    void setNoiseGate(SoundAlgoNoiseGate* node) { noiseGate.store(node); }

    /// Target level of the amplifier, dB. Nothing without an amplifier.
    void setAmpLevel(double levelDb);
    /// Centre or corner frequency of equaliser band `band`, Hz. Nothing
    /// without an equaliser or for a band it does not have.
    void setEqFreq(unsigned band, double freqHz);
    /// Gain of equaliser band `band`, dB (peaking and shelves).
    void setEqLevel(unsigned band, double gainDb);
    /// Width of equaliser band `band`: octaves, or slope for the shelves.
    void setEqWidth(unsigned band, double width);
    /// Threshold of the noise gate, dB. Nothing without a gate.
    void setGateLevel(double thresholdDb);

signals:
    /// For hosts and further players; the library itself never emits it.
    void playingStarting();
    /// The audio output began to play.
    void playingStarted();
    /// Playback ended: true when the sound ran out, false when it was stopped
    /// or broke off (or could not start).
    void playingHasFinished(bool aCompleted);
    /// Position of the sound being heard, seconds from the start of the file.
    void playingProgress(double aSeconds);

protected:
    /// Runs `change` on the graph with the worker kept out of it.
    template <typename Change> void changeLive(Change change)
    {
        device->lockAlgo();
        change();
        device->unlockAlgo();
    }

    // Written by the output's thread, read by the host's.
    std::atomic<int> notifyCount{0};
    SoundAlgoDevice* device;
    SoundReader* reader; ///< not owned
    std::atomic<bool> stopped{true};
    std::atomic<SoundAlgoFilterBiquad*> equalizer{nullptr};   ///< not owned
    std::atomic<SoundAlgoAmpliInterface*> amplifier{nullptr}; ///< not owned
    std::atomic<SoundAlgoNoiseGate*> noiseGate{nullptr};      ///< not owned
};
