// libFuzzer target: the bytes become a file of one input type (the name's
// extension is FUZZ_EXTENSION), opened through the reader factory and read to
// the end the way a processing run reads it, tags included.
#include "SoundBuffer.h"
#include "SoundReader.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#ifndef FUZZ_EXTENSION
#define FUZZ_EXTENSION ".wav"
#endif

namespace {

std::string scratchPath()
{
    const char* dir = std::getenv("FUZZ_SCRATCH");
    return std::string(dir != nullptr ? dir : "/tmp") + "/tevo-fuzz-" + std::to_string(getpid()) + FUZZ_EXTENSION;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = scratchPath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path.c_str()));
    if (!reader || reader->open(path.c_str()) != SoundTools::StatusOk)
        return 0;
    SoundIDTag tags;
    reader->getTags(tags);
    (void)reader->getFileChannels();
    (void)reader->getLengthString();
    reader->rewind();
    auto buffer = SoundBuffer::createNew(reader->getSampleRate());
    buffer->alloc(4096, 2, 1, 1);
    // A hostile header may announce any length: stop after 256k frames, more
    // than the largest fuzzing input decodes to (16 KiB of MP3 at its lowest
    // rate), rather than trust it.
    for (int blocks = 0; blocks < 64; ++blocks)
        if (reader->stereoRead(buffer, 256) == 0)
            break;
    (void)reader->readFailed();
    reader->close();
    return 0;
}
