// The Python module `tevo`: the library's files, graphs and jobs.

#include "PyCommon.h"

#include "SoundBuffer.h"

#include <QLoggingCategory>

namespace {
/// What the README advises for batches and process chains.
constexpr unsigned kBlockFrames = 65536;
} // namespace

PYBIND11_MODULE(tevo, m)
{
    m.doc() = R"(Audio processing with the tevo library: files as numpy arrays (read, write),
graphs of processing nodes (scale, stage, chain, parallel, Composite,
process) and the jobs of the tevo command (stats, regions, level, split,
process_file). Runs release the GIL; a tevo.Stop set from another thread
ends them. Errors carry the library's texts: ValueError for refused
options and outputs, OSError (FileNotFoundError) when files fail,
tevo.Stopped after a stop.)";
    // Nodes report their gains on Qt's debug output, which tevo shows only
    // with -v; a script that wants them sets its own filter rules.
    QLoggingCategory::setFilterRules("default.debug=false");
    static py::exception<std::runtime_error> stopped(m, "Stopped", PyExc_RuntimeError);
    pytevo::sStoppedError = stopped;
    // A script handles many files, most of them short: the library's default
    // block (1048576 frames, 16 MB a buffer) would cost more to allocate and
    // clear than a short file costs to process. The jobs choose their own.
    SoundBuffer::setDefaultSize(kBlockFrames);
    m.def("set_block_size", &SoundBuffer::setDefaultSize, py::arg("frames"),
          R"(Frames per processing block of later graph runs (65536 in this module; 0 is
ignored). Results never depend on it; memory and the interval between
progress reports do. The jobs (level, split, ...) choose their own.)");
    pytevo::bindIo(m);
    pytevo::bindGraph(m);
    pytevo::bindJobs(m);
}
