#pragma once

#include "SoundWriter.h"
#include "TevoExport.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

struct lame_global_struct;

/// Writer of MP3 files through the LAME encoder, loaded at run time.
///
/// The encoder library is looked for once per process, under the names
/// "libmp3lame-0" and "lame_enc", then under this platform's own name
/// (libmp3lame.so.0). Without it writers can still be created, but open fails
/// with "This version doesn't support mp3 encoding"; nothing else in the
/// library needs it.
///
/// Samples are written at sLevelGain of their level (full scale enters the
/// encoder as 31129), clipped, NaN as 0; getGainDb() tells hosts that promise
/// levels in the file. A writer built for one channel reports 1 from
/// getChannelNum(), so writeBuffer refuses the graph's stereo blocks with its
/// channel error; it encodes mono buffers only. The factory always builds
/// stereo writers. Not copyable.
class TEVO_EXPORT SoundWriterMp3 : public SoundWriter {
public:
    /// The encoder's algorithm quality unless the host chooses another.
    static constexpr int sDefaultQuality = 2;
    /// Level of the samples handed to the encoder relative to the stream's:
    /// headroom for the encoder's overshoot, so that a full-scale stream
    /// decodes without clipping.
    static constexpr double sLevelGain = 0.95;

    /// `bitrate` in kbit/s. `quality` is the encoder's algorithm quality, from
    /// 0 (best, slowest) to 9 (fastest); a negative value takes
    /// sDefaultQuality, and open refuses values above 9.
    SoundWriterMp3(unsigned sampleRate = 44100, unsigned channels = 2, unsigned bitrate = 192,
                   int quality = sDefaultQuality);
    ~SoundWriterMp3() override;

    /// Looks for the encoder if nobody did yet; true when it is available.
    /// Safe from several threads at once: the first caller looks, the others
    /// wait for its answer.
    static bool Init();
    /// True when the encoder was found (does not look for it).
    static bool IsInit();

    /// Creates `path` (UTF-8) and fixes the encoder's parameters. Error texts:
    /// "This version doesn't support mp3 encoding" without the encoder; the
    /// path, " : " and the reason when the quality is out of range, the file
    /// cannot be created or the encoder refuses its parameters.
    SoundTools::Status open(const char* path) override;
    /// Flushes the encoder, completes the stream header and closes the file.
    /// When any of that fails (a full disk), the error text names the file and
    /// closeFailed() turns true. Harmless when closed.
    void close() override;
    /// Channels of the frames handed to the writer; 0 without the encoder.
    unsigned getChannelNum() const override;
    /// sLevelGain in dB, about -0.45.
    double getGainDb() const override;
    bool isLossy() const override { return true; }
    /// 1 encodes a stereo stream as a one-channel MP3 of (left + right) / 2.
    /// Before open.
    bool setFileChannels(unsigned channels) override;
    /// Hands the seven fields (UTF-8) to the encoder, replacing any given
    /// before. Each non-empty field goes to an ID3v2 frame: in ISO-8859-1 when
    /// its text fits, else in UTF-16 (any script, emoji included). ID3v1 gets
    /// the fields that fit ISO-8859-1 (cut to its 30-byte fields); a field that
    /// does not fit stays blank there. Call before the first write, before or
    /// after open; once frames were encoded the call does nothing.
    void setTags(const SoundIDTag& tag) override;
    /// True when the last close could not complete the file.
    bool closeFailed() const override { return lastCloseFailed; }

protected:
    /// Encodes `frames` frames of getChannelNum() interleaved samples; 0 on an
    /// encoder or file error (error text set).
    unsigned write(unsigned frames, double* data) override;

private:
    static void _init_lame();
    /// Configures `handle` with this writer's rate, channels and bit rate.
    void configure(lame_global_struct* handle) const;
    /// Fixes the encoder's parameters before the first frames.
    bool startEncoder();
    bool growBuffers(unsigned frames);
    bool putBytes(const unsigned char* bytes, size_t count);
    void fail(const std::string& message);

    FILE* file = nullptr;
    lame_global_struct* lame = nullptr;
    unsigned char* mp3Buffer = nullptr;
    int16_t* leftBuffer = nullptr;
    int16_t* rightBuffer = nullptr;
    unsigned pcmCapacity = 0;
    unsigned mp3Capacity = 0;
    std::string path;
    unsigned channelCount;
    unsigned bitrate;
    int quality;
    /// The encoder emits its ID3v2 tag when its parameters are fixed, so that
    /// happens at the first write: tags given after open still reach it.
    bool started = false;
    bool lastCloseFailed = false;

    static std::atomic<int> sLameInit; ///< 0: not looked for, 1: found, -1: missing
};
