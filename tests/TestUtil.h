#pragma once

#include "SoundReader.h"
#include "SoundWriter.h"

#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <string>
#include <vector>

namespace TestUtil {

/// Interleaved stereo frames held in memory, read like a file.
class MemoryReader : public SoundReader {
public:
    MemoryReader(std::vector<double> interleavedStereo, unsigned sampleRate);
    SoundTools::Status open(const char*) override { return SoundTools::StatusOk; }
    void close() override {}
    unsigned getFrameNB() override { return static_cast<unsigned>(samples.size() / 2); }
    unsigned getSampleRate() override { return rate; }
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Float64; }

protected:
    unsigned read(unsigned frames, double* out) override;

private:
    std::vector<double> samples;
    unsigned rate;
};

/// Collects what the loop writes; optionally fails after a number of calls.
class MemoryWriter : public SoundWriter {
public:
    explicit MemoryWriter(unsigned sampleRate, int failAfterCalls = -1);
    SoundTools::Status open(const char*) override { return SoundTools::StatusOk; }
    void close() override {}
    std::vector<double> samples; ///< interleaved stereo
    int calls = 0;

protected:
    unsigned write(unsigned frames, double* data) override;

private:
    int failAfter;
};

/// A stereo signal: left = sin, right = a different sine, both deterministic.
std::vector<double> makeTestSignal(unsigned frames, unsigned sampleRate, double amplitude = 0.5);

/// True when the command is on the PATH.
bool haveTool(const char* name);
/// Runs a shell command; returns its exit status and, optionally, its output.
int run(const std::string& command, std::string* output = nullptr);
/// Decodes any file sox can read into interleaved stereo doubles (mono is
/// duplicated, extra channels dropped), independently of the library.
std::vector<double> soxReadStereo(const std::string& path, unsigned* sampleRate = nullptr);
/// Path of the tevo command built with the tests ("" when not built).
std::string tevoPath();

/// Container and stream tags of a file as ffprobe lists them, names in lower
/// case; the encoders' own names (encoder, vendor) left out.
std::map<std::string, std::string> probeTags(const std::string& path);

/// Outcome of one tevo command run by a test.
struct TevoRun {
    int exitCode = -1; ///< -1 when it crashed or timed out
    QString out;
    QString err;
};
/// Runs tevo with `args` and waits for it.
TevoRun runTevo(const QStringList& args, int timeoutMs = 120000);

} // namespace TestUtil
