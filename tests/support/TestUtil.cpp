#include "TestUtil.h"

#include "Filter.h"

#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <complex>
#include <iostream>
#include <random>

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

std::vector<double> soxStats(const std::string& path, const std::string& row, const std::string& effects)
{
    std::string text;
    run("sox -V1 '" + path + "' -n " + effects + " stats 2>&1", &text);
    std::vector<double> values;
    const size_t at = text.find(row);
    if (at == std::string::npos)
        return values;
    std::istringstream line(text.substr(at + row.size(), text.find('\n', at) - at - row.size()));
    for (double v; line >> v;)
        values.push_back(v);
    return values;
}

double captured(const QString& text, const char* pattern)
{
    const auto m = QRegularExpression(pattern).match(text);
    return m.hasMatch() ? m.captured(1).toDouble() : NAN;
}

Loudness ffmpegLoudness(const std::string& path, const std::string& inputOptions)
{
    std::string text;
    run("ffmpeg -nostats -hide_banner " + inputOptions + " -i '" + path
            + "' -af ebur128=peak=true+sample -f null - 2>&1",
        &text);
    const QString summary = QString::fromStdString(text.substr(std::min(text.size(), text.rfind("Summary:"))));
    return {captured(summary, "I:\\s+(-?[0-9.]+) LUFS"), captured(summary, "LRA:\\s+(-?[0-9.]+) LU"),
            captured(summary, "True peak:\\s+Peak:\\s+(-?[0-9.]+)"),
            captured(summary, "Sample peak:\\s+Peak:\\s+(-?[0-9.]+)")};
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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
    // remix keeps the first two channels (or doubles a mono one) without mixing.
    const std::string remix = nch == 1 ? " remix 1 1" : (nch > 2 ? " remix 1 2" : "");
    return commandSamples("sox -V1 '" + path + "' -t f64 -e floating-point -b 64 -" + remix);
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

std::string missingTools(std::initializer_list<const char*> names)
{
    std::string missing;
    for (const char* name : names)
        if (!haveTool(name))
            missing += std::string(missing.empty() ? "" : ", ") + name;
    return missing;
}

std::string firstLine(const std::string& command)
{
    std::string out;
    run(command + " 2>/dev/null", &out);
    return out.substr(0, out.find('\n'));
}

Samples commandSamples(const std::string& command)
{
    std::string raw;
    run(command, &raw);
    Samples out(raw.size() / sizeof(double));
    std::memcpy(out.data(), raw.data(), out.size() * sizeof(double));
    return out;
}

Samples mpg123Decode(const std::string& path)
{
    std::string raw;
    run("mpg123 -q --stereo -s '" + path + "' 2>/dev/null", &raw);
    Samples out(raw.size() / sizeof(int16_t));
    for (size_t i = 0; i < out.size(); ++i) {
        int16_t v;
        std::memcpy(&v, raw.data() + sizeof v * i, sizeof v);
        out[i] = v / 32768.0;
    }
    return out;
}

CapturedStream::CapturedStream()
    : previous(&SoundDebuggableClass::getOStream())
{
    SoundDebuggableClass::setOStream(&text);
}

CapturedStream::~CapturedStream()
{
    SoundDebuggableClass::setOStream(previous);
    SoundDebuggableClass::setDebug(false);
    SoundDebuggableClass::setVerbose(false);
}

RunResult runNode(SoundAlgo& node, const Samples& input, unsigned rate, unsigned block, double startSeconds)
{
    const unsigned saved = SoundBuffer::getDefaultSize();
    if (block > 0)
        SoundBuffer::setDefaultSize(block);
    std::ostringstream diagnostics;
    std::ostream& previous = SoundDebuggableClass::getOStream();
    SoundDebuggableClass::setOStream(&diagnostics);
    MemoryReader reader(input, rate);
    reader.setStartPoint(startSeconds);
    reader.rewind();
    MemoryWriter writer(rate);
    if (startSeconds > 0)
        writer.setRange(reader.getOffset(), 2147483647);
    const SoundTools::Status status = node.processAll(reader, &writer);
    SoundDebuggableClass::setOStream(&previous);
    // Diagnostics reach a test that captures them itself.
    if (&previous != &std::cout)
        previous << diagnostics.str();
    SoundBuffer::setDefaultSize(saved);
    return {status, node.getError(), writer.samples, diagnostics.str()};
}

std::vector<Samples> runBlocks(SoundAlgo& node, const std::vector<Samples>& inputs,
                               const std::vector<unsigned>& blocks, unsigned rate,
                               const std::function<void(std::size_t)>& between)
{
    BlockSizeGuard guard(std::max(1u, *std::max_element(blocks.begin(), blocks.end())));
    std::vector<Samples> out;
    if (node.initProcess(rate, 2, 0, nullptr, nullptr) != SoundTools::StatusOk) {
        ADD_FAILURE() << "initProcess failed: " << node.getError();
        return out;
    }
    out.resize(node.getOutputNumber());
    for (unsigned i = 0; i < inputs.size(); ++i)
        node.getInBuffer(i)->setOrigin(0);
    node.setOutOrigin();
    std::size_t pos = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const unsigned m = blocks[i];
        if (between)
            between(i);
        for (unsigned i = 0; i < inputs.size(); ++i) {
            auto in = node.getInBuffer(i);
            in->keepMargin(0);
            in->setFrameNB(m);
            std::copy(inputs[i].begin() + 2 * pos, inputs[i].begin() + 2 * (pos + m), in->getRelFrame(0));
        }
        pos += m;
        node.updateOutput();
        EXPECT_EQ(node.process(), SoundTools::StatusOk);
        const unsigned n = node.getOutFrameNb();
        for (unsigned p = 0; p < out.size() && n > 0; ++p) {
            const double* f = node.getOutBuffer(p)->getFrame(node.getOutOrigin());
            out[p].insert(out[p].end(), f, f + 2 * n);
        }
    }
    node.endProcess(0, static_cast<unsigned>(pos));
    return out;
}

void expectFrames(const Samples& got, const Samples& want, std::size_t frames, bool silentAfter, const char* what,
                  double tolerance)
{
    SCOPED_TRACE(what);
    ASSERT_GE(got.size(), 2 * frames) << "output shorter than expected";
    ASSERT_GE(want.size(), 2 * frames);
    for (std::size_t i = 0; i < 2 * frames; ++i)
        ASSERT_NEAR(got[i], want[i], tolerance) << "frame " << i / 2 << (i % 2 ? " right" : " left");
    for (std::size_t i = 2 * frames; silentAfter && i < got.size(); ++i)
        ASSERT_EQ(got[i], 0.0) << "frame " << i / 2 << " after the signal";
}

Samples noise(unsigned frames, unsigned seed, double amplitude)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-amplitude, amplitude);
    Samples v(2 * std::size_t(frames));
    for (double& x : v)
        x = dist(gen);
    return v;
}

Samples noiseThenSilence(unsigned frames, double rightScale)
{
    Samples s = noise(frames / 2, 2, 1.0);
    for (std::size_t i = 1; i < s.size(); i += 2)
        s[i] *= rightScale;
    s.resize(2 * std::size_t(frames), 0.0);
    return s;
}

Samples tone(unsigned frames, double freq, unsigned rate, double amplitude)
{
    Samples s(2 * std::size_t(frames));
    for (unsigned i = 0; i < frames; ++i)
        s[2 * i] = s[2 * i + 1] = amplitude * std::cos(2 * M_PI * freq * i / rate);
    return s;
}

Samples levelSteps(const std::vector<Stretch>& stretches, unsigned rate)
{
    Samples s;
    size_t frame = 0;
    for (const Stretch& st : stretches) {
        const size_t n = static_cast<size_t>(std::lround(st.seconds * rate));
        const double peak = st.rmsDb < -200 ? 0.0 : fromDb(st.rmsDb) * std::sqrt(2.0); // RMS = peak / sqrt(2)
        for (size_t i = 0; i < n; ++i, ++frame) {
            const double v = peak * std::cos(2 * M_PI * 400.0 * double(frame) / rate);
            s.insert(s.end(), {v, v});
        }
    }
    return s;
}

double lowestRunningSum(const std::function<double(int)>& x, int begin, int end, int w)
{
    double running = 0.0, lowest = 0.0;
    for (int j = 0; j < w; ++j)
        running += x(begin + j) * x(begin + j);
    for (int k = begin; k < end; ++k) {
        if (k > begin)
            running += x(k + w - 1) * x(k + w - 1);
        lowest = std::min(lowest, running);
        running -= x(k) * x(k);
    }
    return lowest;
}

double toDb(double amplitude) { return 20.0 * std::log10(amplitude); }
double fromDb(double db) { return std::pow(10.0, db / 20.0); }

double powerDb(const Samples& s, int channel, std::size_t from, std::size_t to)
{
    if (to == 0 || to > s.size() / 2)
        to = s.size() / 2;
    long double sum = 0;
    for (std::size_t k = from; k < to; ++k)
        sum += s[2 * k + channel] * s[2 * k + channel];
    return sum > 0 && to > from ? double(10.0L * std::log10(sum / (to - from))) : -200.0;
}

double magnitude(const std::valarray<double>& b, const std::valarray<double>& a, double freq, double fs)
{
    using cld = std::complex<long double>;
    const long double w = 2.0L * 3.14159265358979323846264338327950288L * freq / fs;
    auto poly = [w](const std::valarray<double>& c) {
        cld sum = 0;
        for (std::size_t i = 0; i < c.size(); ++i)
            sum += (long double)c[i] * std::polar(1.0L, -w * (long double)i);
        return sum;
    };
    return static_cast<double>(std::abs(poly(b) / poly(a)));
}

double magnitude(const SoundTools::Filter& f, double freq, double fs)
{
    return magnitude(f.getFeedForward(), f.getFeedback(), freq, fs);
}

testing::AssertionResult finiteAndStable(const SoundTools::Filter& f)
{
    using cld = std::complex<long double>;
    for (const auto* c : {&f.getFeedForward(), &f.getFeedback()})
        for (double v : *c)
            if (!std::isfinite(v))
                return testing::AssertionFailure() << "coefficient " << v;
    const std::valarray<double>& a = f.getFeedback();
    const long double a1 = a.size() > 1 ? a[1] / (long double)a[0] : 0.0L;
    const long double a2 = a.size() > 2 ? a[2] / (long double)a[0] : 0.0L;
    const cld root = std::sqrt(cld(a1 * a1 - 4.0L * a2, 0.0L));
    const long double radius = a2 == 0.0L ? std::fabs(a1)
                                          : std::max(std::abs((-a1 + root) / 2.0L), std::abs((-a1 - root) / 2.0L));
    if (radius < 1.0L)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "pole radius " << (double)radius;
}

double magnitude(const std::vector<double>& taps, double freq, double fs)
{
    return magnitude(std::valarray<double>(taps.data(), taps.size()), {1.0}, freq, fs);
}

void expectBands(const std::vector<double>& h, SoundTools::FilterType type, double f1, double f2, double transition,
                 double passDev, double stopMax)
{
    auto check = [&](double from, double to, bool passes) {
        for (int i = 0; i <= 100 && from < to; ++i) {
            const double f = from + (to - from) * i / 100;
            if (passes)
                EXPECT_NEAR(magnitude(h, f), 1.0, passDev) << "at " << f << " of the rate";
            else
                EXPECT_LT(magnitude(h, f), stopMax) << "at " << f << " of the rate";
        }
    };
    const double below = std::min(transition, f1 / 2);
    switch (type) {
    case SoundTools::LowPass:
        check(0, f1, true);
        check(f1 + std::min(transition, (0.5 - f1) / 2), 0.5, false);
        break;
    case SoundTools::HighPass:
        check(f1, 0.5, true);
        check(0, f1 - below, false);
        break;
    case SoundTools::BandPass:
        check(f1, f2, true);
        check(0, f1 - below, false);
        if (f2 < 0.5)
            check(f2 + std::min(transition, (0.5 - f2) / 2), 0.5, false);
        break;
    default: {
        const double t = std::min(transition, (f2 - f1) / 3);
        check(0, f1, true);
        check(f2, 0.5, true);
        check(f1 + t, f2 - t, false);
        break;
    }
    }
}

double toneAmplitude(const Samples& signal, double freq, double fs, std::size_t from, std::size_t to)
{
    if (to == 0 || to > signal.size() / 2)
        to = signal.size() / 2;
    long double ss = 0, sc = 0;
    std::size_t n = 0;
    const long double w = 2.0L * 3.14159265358979323846264338327950288L * freq / fs;
    for (std::size_t t = from; t < to; ++t, ++n) {
        ss += signal[2 * t] * std::sin(w * t);
        sc += signal[2 * t] * std::cos(w * t);
    }
    return n == 0 ? 0.0 : static_cast<double>(2.0L * std::sqrt(ss * ss + sc * sc) / n);
}

bool writeBlock(SoundWriter& writer, const Samples& samples, unsigned channels, int origin, unsigned rate)
{
    const unsigned frames = static_cast<unsigned>(samples.size() / channels);
    auto buffer = SoundBuffer::createNew(rate);
    buffer->alloc(frames, static_cast<int>(channels), 1, 1);
    buffer->setFrameNB(frames);
    buffer->setOrigin(origin);
    if (frames > 0)
        std::memcpy(buffer->getRelFrame(0), samples.data(), samples.size() * sizeof(double));
    return writer.writeBuffer(buffer, 0);
}

bool writeFile(SoundWriter& writer, const std::string& path, const Samples& samples)
{
    const bool ok = writer.open(path.c_str()) == SoundTools::StatusOk && !writeBlock(writer, samples);
    writer.close();
    return ok;
}

Samples readAll(SoundReader& reader, unsigned block)
{
    auto buffer = SoundBuffer::createNew(reader.getSampleRate());
    buffer->alloc(block, 2, 1, 1);
    Samples out;
    while (unsigned n = reader.stereoRead(buffer, 0)) {
        const double* p = buffer->getRelFrame(0);
        out.insert(out.end(), p, p + 2 * size_t(n));
    }
    return out;
}

bool namesFile(const char* error, const std::string& path)
{
    return std::string(error).rfind(path + " : ", 0) == 0;
}

std::vector<std::string> fields(const SoundIDTag& t)
{
    return {t.title, t.artist, t.album, t.year, t.comment, t.track, t.genre};
}

double bestCorrelation(const Samples& a, const Samples& b, int maxLag, double* gain)
{
    double best = -2.0;
    const size_t frames = std::min(a.size(), b.size()) / 2;
    for (size_t lag = 0; lag <= size_t(maxLag); ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (size_t i = 0; i + lag < frames; ++i) {
            const double x = a[2 * i], y = b[2 * (i + lag)];
            ab += x * y, aa += x * x, bb += y * y;
        }
        const double c = (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;
        if (c > best)
            best = c, *gain = std::sqrt(bb / aa);
    }
    return best;
}

namespace {
void captureHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtCriticalMsg)
        QtLogCapture::lastCritical() = text;
}
} // namespace

QtLogCapture::QtLogCapture()
    : previous(qInstallMessageHandler(captureHandler))
{
    lastCritical().clear();
}

QtLogCapture::~QtLogCapture() { qInstallMessageHandler(previous); }

QString& QtLogCapture::lastCritical()
{
    static QString text;
    return text;
}

} // namespace TestUtil
