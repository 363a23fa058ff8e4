#include "SoundBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace {

// Block buffers are large (16 MB for a stereo block of 1048576 frames) and
// are touched whole at once. With 4 KB pages the first touch costs thousands
// of page faults per buffer, more than the copy itself; asking for huge pages
// cuts that to a handful. Small arrays use the ordinary heap.
constexpr std::size_t kHugePage = 2u << 20;

double* allocateSamples(std::size_t doubles)
{
    const std::size_t bytes = std::max<std::size_t>(doubles, 1) * sizeof(double);
    if (bytes < kHugePage) {
        void* p = std::malloc(bytes);
        if (p == nullptr)
            throw std::bad_alloc();
        return static_cast<double*>(p);
    }
    void* p = nullptr;
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    if (posix_memalign(&p, kHugePage, rounded) != 0)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<double*>(p);
}

void freeSamples(double* p)
{
    std::free(p);
}

} // namespace

std::atomic<unsigned> SoundBuffer::sSize{1048576};
thread_local unsigned SoundBuffer::tScopedSize = 0;

SoundBuffer::SoundBuffer(unsigned rate)
    : sampleRate(rate)
{
}

SoundBuffer::SoundBuffer(const SoundBuffer& other)
    : SoundDebuggableClass()
    , sampleRate(other.sampleRate)
{
    *this = other;
}

SoundBuffer::~SoundBuffer()
{
    freeSamples(data);
}

SoundBuffer& SoundBuffer::operator=(const SoundBuffer& other)
{
    if (this == &other)
        return *this;
    alloc(other.frameNB, static_cast<int>(other.channelNum), other.frameSize, other.elementSize);
    frameNB = other.frameNB;
    origin = other.origin;
    sampleRate = other.sampleRate;
    initialDelay = 0;
    if (frameNB > 0)
        std::memcpy(data, other.data, sizeof(double) * std::size_t(frameNB) * getFrameStride());
    return *this;
}

std::shared_ptr<SoundBuffer> SoundBuffer::createNew(unsigned rate)
{
    // The copy constructor is protected, so make_shared needs a friendly shim.
    struct Shared : SoundBuffer {
        explicit Shared(unsigned r)
            : SoundBuffer(r)
        {
        }
    };
    return std::make_shared<Shared>(rate);
}

unsigned SoundBuffer::getDefaultSize()
{
    return tScopedSize != 0 ? tScopedSize : sSize.load(std::memory_order_relaxed);
}

void SoundBuffer::setDefaultSize(unsigned n)
{
    if (n == 0)
        return;
    if (tScopedSize != 0)
        tScopedSize = n;
    else
        sSize.store(n, std::memory_order_relaxed);
}

SoundBuffer::ThreadScope::ThreadScope(unsigned frames)
    : previous(tScopedSize)
{
    tScopedSize = frames != 0 ? frames : getDefaultSize();
}

SoundBuffer::ThreadScope::~ThreadScope()
{
    tScopedSize = previous;
}

void SoundBuffer::alloc(unsigned frames, int channels, unsigned fSize, unsigned eSize)
{
    frameNB = 0;
    const std::size_t wanted = std::size_t(frames) * unsigned(channels) * fSize * eSize;
    const bool replace = data == nullptr || capacity < wanted;
    channelNum = static_cast<uint32_t>(channels);
    frameSize = fSize;
    elementSize = eSize;
    frameNBAllocated = frames;
    if (replace) {
        // Allocate before freeing: if new throws, the buffer stays consistent.
        double* fresh = allocateSamples(wanted);
        freeSamples(data);
        data = fresh;
        capacity = std::max<std::size_t>(wanted, 1);
        reset();
    }
}

void SoundBuffer::reset()
{
    if (data != nullptr)
        std::fill_n(data, std::min(allocatedDoubles(), capacity), 0.0);
}

void SoundBuffer::setFrameNB(unsigned n)
{
    if (n > frameNBAllocated)
        alloc(n, static_cast<int>(channelNum), frameSize, elementSize);
    frameNB = n;
}

void SoundBuffer::setInitialDelay(unsigned d)
{
    origin -= static_cast<int>(d);
    initialDelay = d;
    frameNB = 0;
}

double* SoundBuffer::getFrame(int f)
{
    if (f < origin) {
        getOStream() << "Frame " << f << " inferior to " << origin << std::endl;
        return nullptr;
    }
    if (data == nullptr)
        return nullptr;
    return data + std::size_t(int64_t(f) - origin) * getFrameStride();
}

double* SoundBuffer::getRelFrame(int r)
{
    if (r < 0) {
        getOStream() << "Frame negative" << std::endl;
        return nullptr;
    }
    if (data == nullptr)
        return nullptr;
    return data + std::size_t(r) * getFrameStride();
}

unsigned SoundBuffer::keepMargin(unsigned margin)
{
    if (initialDelay >= 1 && frameNB == 0) {
        const unsigned zeroed = static_cast<unsigned>(
            std::min<uint64_t>(frameNBAllocated, uint64_t(margin) + initialDelay));
        if (data != nullptr)
            std::fill_n(data, std::size_t(zeroed) * getFrameStride(), 0.0);
        const unsigned kept = initialDelay;
        // The silence is produced once; later blocks keep a margin as usual.
        initialDelay = 0;
        return kept;
    }
    unsigned k = margin;
    if (margin >= frameNB) {
        if (frameNB == 0)
            return 0;
        k = frameNB - 1;
    }
    origin += static_cast<int>(frameNB - k);
    if (k > 0) {
        const std::size_t stride = getFrameStride();
        std::memmove(data, data + std::size_t(frameNB - k) * stride, sizeof(double) * k * stride);
    }
    return k;
}

void SoundBuffer::appendMargin(unsigned n)
{
    const std::size_t stride = getFrameStride();
    const std::size_t total = std::size_t(frameNB) + n;
    if (total > frameNBAllocated) {
        const std::size_t wanted = std::max<std::size_t>(total * stride, 1);
        if (data == nullptr || capacity < wanted) {
            double* grown = allocateSamples(wanted);
            if (frameNB > 0)
                std::memcpy(grown, data, sizeof(double) * frameNB * stride);
            freeSamples(data);
            data = grown;
            capacity = wanted;
        }
        frameNBAllocated = static_cast<uint32_t>(total);
    }
    if (data != nullptr)
        std::fill_n(data + std::size_t(frameNB) * stride, std::size_t(n) * stride, 0.0);
    frameNB = static_cast<uint32_t>(total);
}

void SoundBuffer::addBuffer(double a)
{
    const std::size_t count = std::size_t(channelNum) * frameNB;
    for (std::size_t i = 0; i < count; ++i)
        data[i] += a;
}

void SoundBuffer::mulBuffer(double m)
{
    const std::size_t count = std::size_t(channelNum) * frameNB;
    for (std::size_t i = 0; i < count; ++i)
        data[i] *= m;
}

void SoundBuffer::normBuffer(double a, double m)
{
    const std::size_t count = std::size_t(channelNum) * frameNB;
    for (std::size_t i = 0; i < count; ++i)
        data[i] = (data[i] + a) * m;
}
