#pragma once

#include "SoundAlgoAmpliInterface.h"
#include "SoundAlgoComposite.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <QString>

#include <vector>

class SoundAlgoLimiter;
class SoundAlgoRMSAmplifier;

/// Base of the multiband amplifiers: a composite whose inner graph splits the
/// signal into frequency bands, levels each band with its own
/// SoundAlgoRMSAmplifier and limits the bands. The derived classes build the
/// graph in their constructors; this class only keeps track of the band
/// amplifiers and band limiters so that the level of all bands can be driven
/// at once through SoundAlgoAmpliInterface.
///
/// The lists hold non-owning pointers: the nodes belong to the composite (or
/// to a composite inside it), which releases them when it is destroyed.
class TEVO_EXPORT SoundAlgoMultibandAmplifier : public SoundAlgoComposite, public SoundAlgoAmpliInterface {
public:
    /// `id` and `sharedInputs` as for SoundAlgoComposite.
    SoundAlgoMultibandAmplifier(const char* id, bool sharedInputs);

    /// Records a band amplifier (lowest band first); the node itself is pushed
    /// into the graph separately.
    void pushAmplifier(SoundAlgoRMSAmplifier* amplifier);
    /// Records a band limiter; the final limiter behind the sum is not one.
    void pushLimiter(SoundAlgoLimiter* limiter);

    /// The band amplifiers, lowest band first; not owned by the caller.
    const std::vector<SoundAlgoRMSAmplifier*>& getAmplifiers() const { return amplifiers; }
    /// The band limiters, lowest band first; not owned by the caller.
    const std::vector<SoundAlgoLimiter*>& getLimiters() const { return limiters; }

    /// Sets the target level of every band amplifier; the limiters keep theirs.
    void setLevel(double levelDb) override;
    /// Resets every band amplifier.
    void reset() override;
    /// The first band amplifier's gain in dB at `seconds`; 0 without amplifiers
    /// (a build that does not level).
    double getLevel(double seconds) override;

    /// Hands the per-channel RMS levels (dB) to every band amplifier.
    void SetBalanceFromRMS(const SoundTools::StereoFrame<double>& rmsDb);
    /// Names "<base>.channel_<band>" for the band limiters, which ignore them
    /// (a limiter's diagnostic file is named at its construction only).
    void SetDebugFile(const QString& base);

protected:
    ~SoundAlgoMultibandAmplifier() override;

private:
    std::vector<SoundAlgoRMSAmplifier*> amplifiers;
    std::vector<SoundAlgoLimiter*> limiters;
};
