// A host built against the installed package only: one include, one target.
#include <tevo_fftw_win32.h>

#include <cstdio>

int main()
{
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(16, 2, 1, 1);
    SoundAlgo* node = new SoundAlgoScale(-6.0);
    std::printf("%s %u\n", node->getName(), buffer->getFrameNBAllocated());
    node->releaseReference();
    return 0;
}
