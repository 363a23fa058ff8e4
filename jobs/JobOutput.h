#pragma once

#include "SoundTools.h"
#include "TevoExport.h"

#include <memory>
#include <string>

class SoundReader;
class SoundWriter;

/// What a job writes and which part of its input it reads: the output
/// options of the jobs that write files (process, level, split).
///
/// The setters take the text a user typed and refuse a bad value with an
/// error text that names the option as the command line does.
struct TEVO_EXPORT JobOutput {
    /// Sample format of the files; ignored for MP3 and Ogg, which have none.
    SoundTools::SoundFormat format = SoundTools::PCM16;
    bool formatSet = false;    ///< false: the output follows the input's format
    unsigned channels = 0;     ///< 1 or 2; 0: follow the input (2 for wider inputs)
    bool dither = true;        ///< TPDF dither when the output has fewer bits than the input
    double startSeconds = 0.0; ///< where reading starts in the input
    bool hasRange = false;     ///< write only [rangeFromSeconds, rangeToSeconds) of the input
    double rangeFromSeconds = 0.0;
    double rangeToSeconds = 0.0;
    unsigned bitrateKbps = 192; ///< MP3 bit rate, 8 to 320
    /// MP3 encoder algorithm quality, 0 (best, slowest) to 9 (fastest);
    /// negative: the MP3 writer's default (SoundWriterMp3::sDefaultQuality).
    int mp3Quality = -1;

    /// pcm8, pcm16, pcm24, pcm32, float32, float64 (any case).
    bool setFormat(const std::string& name, std::string& error);
    /// "1" or "2".
    bool setChannels(const std::string& text, std::string& error);
    /// A time >= 0 (seconds or [[hh:]mm:]ss[.mmm]).
    bool setStart(const std::string& text, std::string& error);
    /// "FROM,TO" or "FROM TO", times as for setStart, 0 <= FROM < TO.
    bool setRange(const std::string& text, std::string& error);
    /// kbit/s from 8 to 320.
    bool setBitrate(const std::string& text, std::string& error);
    /// A whole number from 0 to 9.
    bool setQuality(const std::string& text, std::string& error);
    /// "" when the choices suit an output named `name` (the name the user
    /// gave); otherwise why not (an encoder quality for a file that is not
    /// MP3).
    std::string checkFor(const std::string& name) const;

    /// Fits the unset choices to the input: its sample format, mono or
    /// stereo. Returns the remark on inputs wider than stereo ("" if none).
    std::string followInput(SoundReader& reader);
    /// "" when the start point and the range select some of `reader`'s input
    /// (always for a stream of unknown length); otherwise why not.
    std::string checkStartAndRange(SoundReader& reader) const;
    /// Sets the writer's frame range from the range and the reader's start
    /// point: output starts where the run starts.
    void applyRange(SoundWriter& writer, SoundReader& reader) const;
    /// Creates and opens the writer `path` asks for, with these channels and
    /// dither when the file has fewer bits than `sourceFormat`; null with
    /// `error` set.
    std::unique_ptr<SoundWriter> openWriter(const std::string& path, unsigned sampleRate,
                                            SoundTools::SoundFormat sourceFormat, std::string& error) const;

    /// Bits of a sample format, float formats by their width.
    static unsigned formatBits(SoundTools::SoundFormat format);
};
