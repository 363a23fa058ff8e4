#include "TestUtil.h"

#include <QProcess>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace TestUtil {

MemoryReader::MemoryReader(std::vector<double> interleavedStereo, unsigned sampleRate)
    : samples(std::move(interleavedStereo))
    , rate(sampleRate)
{
}

void MemoryReader::rewind()
{
    offset = getStartOffset();
    if (offset < 0 || static_cast<unsigned>(offset) >= getFrameNB())
        offset = 0;
}

unsigned MemoryReader::read(unsigned frames, double* out)
{
    const unsigned total = getFrameNB();
    if (static_cast<unsigned>(offset) >= total)
        return 0;
    const unsigned n = std::min(frames, total - static_cast<unsigned>(offset));
    std::memcpy(out, samples.data() + 2 * std::size_t(offset), sizeof(double) * 2 * n);
    return n;
}

MemoryWriter::MemoryWriter(unsigned sampleRate, int failAfterCalls)
    : SoundWriter(sampleRate)
    , failAfter(failAfterCalls)
{
}

unsigned MemoryWriter::write(unsigned frames, double* data)
{
    if (failAfter >= 0 && calls >= failAfter) {
        setError("disk full", "MemoryWriter");
        return 0;
    }
    ++calls;
    samples.insert(samples.end(), data, data + 2 * std::size_t(frames));
    return frames;
}

std::vector<double> makeTestSignal(unsigned frames, unsigned sampleRate, double amplitude)
{
    std::vector<double> s(2 * std::size_t(frames));
    for (unsigned i = 0; i < frames; ++i) {
        const double t = double(i) / sampleRate;
        s[2 * i] = amplitude * std::sin(2 * M_PI * 440.0 * t);
        s[2 * i + 1] = amplitude * std::sin(2 * M_PI * 1000.0 * t + 0.3);
    }
    return s;
}

std::map<std::string, std::string> probeTags(const std::string& path)
{
    std::string out;
    run("ffprobe -v error -show_entries format_tags:stream_tags -of default=nw=1 '" + path + "'", &out);
    std::map<std::string, std::string> tags;
    size_t from = 0;
    for (size_t end; (end = out.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string line = out.substr(from, end - from);
        const size_t equals = line.find('=');
        if (line.rfind("TAG:", 0) != 0 || equals == std::string::npos)
            continue;
        std::string key = line.substr(4, equals - 4);
        for (char& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key != "encoder" && key != "vendor")
            tags.emplace(key, line.substr(equals + 1));
    }
    return tags;
}

bool haveTool(const char* name)
{
    return run(std::string("command -v ") + name + " >/dev/null 2>&1") == 0;
}

int run(const std::string& command, std::string* output)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        if (output != nullptr)
            output->append(chunk, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<double> soxReadStereo(const std::string& path, unsigned* sampleRate)
{
    std::string rate;
    if (sampleRate != nullptr) {
        run("soxi -V1 -r '" + path + "'", &rate);
        *sampleRate = static_cast<unsigned>(std::atoi(rate.c_str()));
    }
    std::string channels;
    run("soxi -V1 -c '" + path + "'", &channels);
    const int nch = std::atoi(channels.c_str());
    std::string raw;
    // remix keeps the first two channels (or doubles a mono one) without mixing.
    const std::string remix = nch == 1 ? " remix 1 1" : (nch > 2 ? " remix 1 2" : "");
    run("sox -V1 '" + path + "' -t f64 -e floating-point -b 64 -" + remix, &raw);
    std::vector<double> out(raw.size() / sizeof(double));
    std::memcpy(out.data(), raw.data(), out.size() * sizeof(double));
    return out;
}

std::string tevoPath()
{
    return TEVO_TOOL_PATH;
}

TevoRun runTevo(const QStringList& args, int timeoutMs)
{
    QProcess process;
    process.start(QString::fromStdString(tevoPath()), args);
    process.waitForFinished(timeoutMs);
    TevoRun r;
    r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = QString::fromUtf8(process.readAllStandardOutput());
    r.err = QString::fromUtf8(process.readAllStandardError());
    return r;
}

} // namespace TestUtil
