#include "TestUtil.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterSndfile.h"

#include <algorithm>
#include <fstream>

using namespace TestUtil;

using SoundTools::SoundFormat;
using Writer = SoundWriterSndfile;

namespace {

const unsigned kRate = 44100;
const double kSoxStep = std::ldexp(1.0, -31); // sox carries samples as 32-bit integers

} // namespace

// Every container and format, read back by sox: the promised encoding, one step of accuracy, clipping not wrapping.
TEST(SoundWriterSndfile, EveryFormatReadsBackThroughSox)
{
    REQUIRE_TOOLS("sox");
    const struct {
        Writer::FileType type;
        SoundFormat format;
        const char* soxEncoding; // soxi -e
        int bits;                // soxi -b
        double step;             // resolution of the stored samples
    } cases[] = {
        {Writer::WAV, SoundTools::PCM8, "Unsigned Integer PCM", 8, std::ldexp(1.0, -7)},
        {Writer::WAV, SoundTools::PCM16, "Signed Integer PCM", 16, std::ldexp(1.0, -15)},
        {Writer::WAV, SoundTools::PCM24, "Signed Integer PCM", 24, std::ldexp(1.0, -23)},
        {Writer::WAV, SoundTools::PCM32, "Signed Integer PCM", 32, std::ldexp(1.0, -31)},
        {Writer::WAV, SoundTools::Float32, "Floating Point PCM", 32, std::ldexp(1.0, -23)},
        {Writer::WAV, SoundTools::Float64, "Floating Point PCM", 64, 1e-15},
        {Writer::FLAC, SoundTools::PCM8, "FLAC", 16, std::ldexp(1.0, -15)},
        {Writer::FLAC, SoundTools::PCM16, "FLAC", 16, std::ldexp(1.0, -15)},
        {Writer::FLAC, SoundTools::PCM24, "FLAC", 24, std::ldexp(1.0, -23)},
        {Writer::FLAC, SoundTools::PCM32, "FLAC", 24, std::ldexp(1.0, -23)},
        {Writer::FLAC, SoundTools::Float32, "FLAC", 24, std::ldexp(1.0, -23)},
        {Writer::FLAC, SoundTools::Float64, "FLAC", 24, std::ldexp(1.0, -23)},
        // Raw files are 32-bit float whatever the format (soxi cannot tell their encoding).
        {Writer::RAW, SoundTools::PCM8, "", 0, std::ldexp(1.0, -23)},
        {Writer::RAW, SoundTools::PCM16, "", 0, std::ldexp(1.0, -23)},
        {Writer::RAW, SoundTools::PCM24, "", 0, std::ldexp(1.0, -23)},
        {Writer::RAW, SoundTools::PCM32, "", 0, std::ldexp(1.0, -23)},
        {Writer::RAW, SoundTools::Float32, "", 0, std::ldexp(1.0, -23)},
        {Writer::RAW, SoundTools::Float64, "", 0, std::ldexp(1.0, -23)},
    };
    TempDir tmp;
    // A sine pair, then frames beyond full scale to check clipping.
    std::vector<double> in = TestUtil::makeTestSignal(4410, kRate, 0.5);
    for (double v : {1.5, -1.5, 0.999, -1.0})
        in.insert(in.end(), {v, -v});
    for (const auto& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " format " + std::to_string(c.format));
        const char* extension = c.type == Writer::WAV ? ".wav" : c.type == Writer::FLAC ? ".flac"
                                                                                        : ".raw";
        const std::string path = tmp.path("f" + std::to_string(c.format) + extension);
        Writer writer(kRate, 2, c.format, c.type);
        ASSERT_TRUE(TestUtil::writeFile(writer, path, in)) << writer.getError();
        EXPECT_FALSE(writer.closeFailed());
        if (c.type == Writer::WAV) { // nothing in a file may depend on when it was written (the peak chunk's clock)
            QFile file(QString::fromStdString(path));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_FALSE(file.readAll().contains("PEAK"));
        }
        std::vector<double> out;
        if (c.type == Writer::RAW) {
            EXPECT_EQ(QFile(QString::fromStdString(path)).size(), qint64(in.size() * sizeof(float)));
            out = TestUtil::commandSamples("sox -V1 -t f32 -r 44100 -c 2 '" + path + "' -t f64 -");
        } else {
            EXPECT_EQ(TestUtil::firstLine("soxi -e '" + path + "'"), c.soxEncoding);
            EXPECT_EQ(std::atoi(TestUtil::firstLine("soxi -b '" + path + "'").c_str()), c.bits);
            out = TestUtil::soxReadStereo(path);
        }
        // Float files come back within 2^-31 of what they hold; sox clips what it reads from them.
        const bool isFloat = c.type == Writer::RAW || (c.format >= SoundTools::Float32 && c.type == Writer::WAV);
        ASSERT_EQ(out.size(), in.size());
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_NEAR(out[i], std::clamp(in[i], -1.0, 1.0), isFloat ? c.step * std::fabs(in[i]) + kSoxStep : c.step) << "sample " << i;
    }
}

// Vorbis takes at most 44100 frames a call, yet a longer block arrives whole; Ogg is Vorbis for any format.
TEST(SoundWriterSndfile, OggIsVorbisAndALongBlockIsWrittenWhole)
{
    TempDir tmp;
    const std::string path = tmp.path("long.ogg");
    Writer writer(kRate, 2, SoundTools::PCM16, Writer::OGG);
    ASSERT_EQ(writer.open(path.c_str()), SoundTools::StatusOk);
    ASSERT_FALSE(TestUtil::writeBlock(writer, TestUtil::makeTestSignal(100000, kRate)));
    EXPECT_EQ(writer.getCurrentOffset(), 100000);
    writer.close();
    SoundReaderSndfile reader;
    ASSERT_EQ(reader.open(path.c_str()), SoundTools::StatusOk);
    EXPECT_EQ(reader.getFrameNB(), 100000u);

    REQUIRE_TOOLS("sox");
    const std::vector<double> sine = TestUtil::makeTestSignal(8820, kRate, 0.5);
    for (SoundFormat format : {SoundTools::PCM8, SoundTools::PCM16, SoundTools::PCM24, SoundTools::PCM32,
                               SoundTools::Float32, SoundTools::Float64}) {
        SCOPED_TRACE("format " + std::to_string(format));
        const std::string ogg = tmp.path("o" + std::to_string(format) + ".ogg");
        Writer oggWriter(kRate, 2, format, Writer::OGG);
        ASSERT_TRUE(TestUtil::writeFile(oggWriter, ogg, sine));
        EXPECT_EQ(TestUtil::firstLine("soxi -e '" + ogg + "'"), "Vorbis");
        const std::vector<double> out = TestUtil::soxReadStereo(ogg);
        ASSERT_EQ(out.size(), sine.size());
        double err = 0, sig = 0;
        for (size_t i = 0; i < sine.size(); ++i)
            err += (out[i] - sine[i]) * (out[i] - sine[i]), sig += sine[i] * sine[i];
        EXPECT_LT(10 * std::log10(err / sig), -30.0);
    }
}

// Files made by sox in other layouts and encodings: the reader's stereo view matches sox's decoding.
TEST(SoundReaderSndfile, ReadsSoxMadeFiles)
{
    REQUIRE_TOOLS("sox");
    const struct {
        const char* name;
        const char* soxArgs;
        SoundFormat format;
        double tolerance; // two Vorbis decoders may round differently in the last bit
    } cases[] = {{"mono.wav", "-c 1 -b 16", SoundTools::PCM16, 1e-12},
                 {"six.wav", "-c 6 -b 16", SoundTools::PCM16, 1e-12},
                 {"u8.wav", "-c 2 -b 8 -e unsigned-integer", SoundTools::PCM8, 1e-12},
                 {"s24.flac", "-c 2 -b 24", SoundTools::PCM24, 1e-12},
                 {"s24.wav", "-c 2 -b 24", SoundTools::PCM24, 0.0},
                 {"s32.aiff", "-c 2 -b 32", SoundTools::PCM32, 0.0},
                 {"vorbis.ogg", "-c 2", SoundTools::PCM16, 1e-4}};
    TempDir tmp;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp.path(c.name);
        // Each channel gets its own tone, so a channel mix-up shows.
        ASSERT_EQ(TestUtil::run(std::string("sox -V1 -n -r 44100 ") + c.soxArgs + " '" + path
                                + "' synth 0.5 sine 300 sine 500 sine 700 sine 900 sine 1100 sine 1300 gain -3"),
                  0);
        SoundReaderSndfile reader;
        ASSERT_EQ(reader.open(path.c_str()), SoundTools::StatusOk) << reader.getError();
        EXPECT_EQ(reader.getSampleRate(), kRate);
        EXPECT_EQ(reader.getFrameNB(), 22050u);
        EXPECT_EQ(reader.getInputFormat(), c.format);
        reader.rewind();
        const std::vector<double> got = TestUtil::readAll(reader, 1000);
        const std::vector<double> expected = TestUtil::soxReadStereo(path);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_NEAR(got[i], expected[i], c.tolerance) << "sample " << i;
            if (c.name[0] == 'm' && i % 2 == 1)
                ASSERT_EQ(got[i - 1], got[i]);
        }
    }
}

TEST(SoundReaderSndfile, StartPointBeyondEndRestartsAndLastFrameIsHonoured)
{
    TempDir tmp;
    const std::string path = tmp.path("short.wav");
    std::vector<double> ramp(2 * 1000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = double(i / 2) / 1000.0;
    Writer writer(kRate, 2, SoundTools::Float64);
    ASSERT_TRUE(TestUtil::writeFile(writer, path, ramp));
    SoundReaderSndfile reader;
    ASSERT_EQ(reader.open(path.c_str()), SoundTools::StatusOk);
    reader.setStartPoint(999.0 / kRate);
    reader.rewind();
    EXPECT_EQ(reader.getOffset(), 999);
    std::vector<double> tail = TestUtil::readAll(reader);
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_DOUBLE_EQ(tail[0], 0.999);
    reader.setStartPoint(1.0);
    reader.rewind();
    EXPECT_EQ(reader.getOffset(), 0);
    EXPECT_EQ(TestUtil::readAll(reader).size(), ramp.size());
}

// Unreadable inputs and outputs that cannot be created or filled: status 1 and a text naming the file.
TEST(SoundFileFailures, ReportStatusAndNameTheFile)
{
    TempDir tmp;
    const std::string text = tmp.path("notes.wav"), whole = tmp.path("whole.wav");
    std::ofstream(text) << "these are not samples\n";
    Writer source(kRate, 2, SoundTools::PCM16);
    ASSERT_TRUE(TestUtil::writeFile(source, whole, TestUtil::makeTestSignal(10000, kRate)));
    for (auto [name, size] : {std::pair{"cut.wav", 20000}, {"header.wav", 30}}) {
        QFile::copy(QString::fromStdString(whole), QString::fromStdString(tmp.path(name)));
        QFile::resize(QString::fromStdString(tmp.path(name)), size);
    }
    for (const std::string& path : {tmp.path("missing.wav"), tmp.dir.path().toStdString(), text,
                                    tmp.path("cut.wav"), tmp.path("header.wav")}) {
        SCOPED_TRACE(path);
        SoundReaderSndfile reader;
        EXPECT_EQ(reader.open(path.c_str()), SoundTools::StatusError);
        EXPECT_TRUE(TestUtil::namesFile(reader.getError(), path)) << reader.getError();
        EXPECT_EQ(TestUtil::readAll(reader).size(), 0u);
    }
    // A WAV header that still marks its data size as unknown is not a cut.
    std::vector<char> bytes(44 + 400, 0);
    std::ifstream(whole, std::ios::binary).read(bytes.data(), std::streamsize(bytes.size()));
    std::memset(bytes.data() + 40, 0xff, 4);
    std::ofstream(tmp.path("streamed.wav"), std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    SoundReaderSndfile streamed;
    EXPECT_EQ(streamed.open(tmp.path("streamed.wav").c_str()), SoundTools::StatusOk) << streamed.getError();

    for (const std::string& path : {tmp.path("no/such/folder.wav"), text + "/below-a-file.wav"}) {
        SCOPED_TRACE(path);
        Writer writer(kRate);
        EXPECT_EQ(writer.open(path.c_str()), SoundTools::StatusError);
        EXPECT_TRUE(TestUtil::namesFile(writer.getError(), path)) << writer.getError();
    }
    // Not Ogg: libsndfile's Vorbis writer fails there too but leaks its encoder state, which sanitizers report.
    for (auto type : {Writer::WAV, Writer::FLAC, Writer::RAW}) {
        SCOPED_TRACE("full disk, type " + std::to_string(type));
        Writer writer(kRate, 2, SoundTools::PCM16, type);
        if (writer.open("/dev/full") == SoundTools::StatusOk)
            EXPECT_TRUE(TestUtil::writeBlock(writer, TestUtil::makeTestSignal(50000, kRate)));
        EXPECT_NE(std::string(writer.getError()).find("/dev/full"), std::string::npos) << writer.getError();
    }

    Writer writer(kRate);
    ASSERT_EQ(writer.open(tmp.path("mismatch.wav").c_str()), SoundTools::StatusOk);
    EXPECT_TRUE(TestUtil::writeBlock(writer, TestUtil::makeTestSignal(100, 48000), 2, 0, 48000));
    EXPECT_STREQ(writer.getError(), "SoundWriter::WriteBuffer : Samplerate conversion not implemented");
    EXPECT_TRUE(TestUtil::writeBlock(writer, std::vector<double>(100, 0.1), 1));
    EXPECT_STREQ(writer.getError(), "SoundWriter::WriteBuffer : Incorrect number of channels");
}
