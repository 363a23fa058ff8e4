// The Python module `tevo`: the library's files, graphs and jobs.

#include "PyCommon.h"

#include "SoundBuffer.h"

#include <QLoggingCategory>

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
    m.def("set_block_size", &SoundBuffer::setDefaultSize, py::arg("frames"),
          R"(Frames per processing block of later runs (default 1048576; 0 is ignored).
Results never depend on it; memory and the interval between progress
reports do.)");
    pytevo::bindIo(m);
    pytevo::bindGraph(m);
    pytevo::bindJobs(m);
}
