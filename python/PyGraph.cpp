// Graphs from Python: nodes, composites, and tevo.process over an array or a
// file.

#include "PyCommon.h"

#include "ChainStages.h"
#include "SoundAlgo.h"
#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoScale.h"
#include "SoundAlgoSelectChannel.h"
#include "SoundAlgoSub.h"

#include <pybind11/stl.h>

#include <memory>

namespace pytevo {

namespace {

/// A node seen from Python. Holds one reference of the node; a composite the
/// node is pushed into holds another. A node belongs to one place in one
/// graph: pushing it twice would make two places share its buffers.
class Node {
public:
    explicit Node(SoundAlgo* created)
        : algo(created)
    {
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    virtual ~Node() { algo->releaseReference(); }

    SoundAlgo* algo;        ///< one reference is ours
    Node* parent = nullptr; ///< the composite it was pushed into, not owned
    bool running = false;
};

class Composite : public Node {
public:
    Composite(const std::string& id, bool sharedInputs)
        : Node(new SoundAlgoComposite(id.empty() ? nullptr : id.c_str(), sharedInputs))
    {
    }
    ~Composite() override
    {
        // Our node goes with us (a parent would keep us alive), and with it
        // the inner nodes' places: they may be pushed elsewhere.
        for (const auto& child : children)
            child->parent = nullptr;
    }
    SoundAlgoComposite& composite() { return *static_cast<SoundAlgoComposite*>(algo); }

    void push(const std::shared_ptr<Node>& node)
    {
        if (node->parent != nullptr)
            throw py::value_error(std::string(node->algo->getName())
                                  + " is already part of a graph: a node has one place; make another node");
        for (Node* up = this; up != nullptr; up = up->parent) {
            if (up == node.get())
                throw py::value_error("a composite cannot contain itself");
            if (up->running)
                throw std::runtime_error("the graph is running: change it once the run is over");
        }
        const unsigned branches = composite().getBranchNumber();
        const size_t before = branches == 0 ? 0 : composite().getBranch(branches - 1).size();
        node->algo->addReference();
        composite().pushAlgo(node->algo);
        const unsigned now = composite().getBranchNumber();
        if (now == 0 || composite().getBranch(now - 1).size() == before) {
            node->algo->releaseReference();
            throw py::value_error(std::string(composite().getName()) + " takes no more nodes once it has run");
        }
        node->parent = this;
        children.push_back(node);
    }
    void addBranch(const py::iterable& nodes)
    {
        if (composite().getBranchNumber() > 0)
            composite().addNewBranch();
        for (const py::handle node : nodes)
            push(node.cast<std::shared_ptr<Node>>());
    }

private:
    /// Keeps the Python objects of the inner nodes alive with the graph, so
    /// that their `parent` stays meaningful.
    std::vector<std::shared_ptr<Node>> children;
};

std::shared_ptr<Node> made(SoundAlgo* algo)
{
    return std::make_shared<Node>(algo);
}

std::shared_ptr<Node> stage(const std::string& name, const py::object& value)
{
    std::string error;
    SoundAlgo* algo = ChainStages::make({name, value.is_none() ? std::string() : optionText(value)}, error);
    if (!algo)
        throw py::value_error(error);
    return made(algo);
}

std::shared_ptr<Composite> chain(const py::args& nodes)
{
    auto composite = std::make_shared<Composite>(std::string(), true);
    for (const py::handle node : nodes)
        composite->push(node.cast<std::shared_ptr<Node>>());
    return composite;
}

/// Branches reading the same input, summed with `weights` (linear; all 1 by
/// default): a composite of the branches followed by an adder.
std::shared_ptr<Composite> parallel(const py::args& branches, const py::object& weights)
{
    if (branches.size() < 1)
        throw py::value_error("parallel needs at least one branch");
    auto inner = std::make_shared<Composite>(std::string(), true);
    for (const py::handle branch : branches) {
        if (py::isinstance<Node>(branch))
            inner->addBranch(py::make_tuple(branch));
        else
            inner->addBranch(branch.cast<py::iterable>());
    }
    std::vector<double> w;
    if (!weights.is_none()) {
        w = weights.cast<std::vector<double>>();
        if (w.size() != branches.size())
            throw py::value_error("parallel needs one weight per branch: " + std::to_string(branches.size())
                                  + " branches, " + std::to_string(w.size()) + " weights");
    }
    auto outer = std::make_shared<Composite>(std::string(), true);
    outer->push(inner);
    outer->push(made(new SoundAlgoAdd(int(branches.size()), true, w.empty() ? nullptr : w.data())));
    return outer;
}

/// Marks a graph as running for the scope; one run at a time per graph.
class RunningGraph {
public:
    explicit RunningGraph(Node& top)
        : node(top)
    {
        if (node.parent != nullptr)
            throw py::value_error("run the graph from its top node, not from a node inside it");
        if (node.running)
            throw std::runtime_error("the graph is already running on another thread");
        node.running = true;
    }
    ~RunningGraph() { node.running = false; }

private:
    Node& node;
};

py::object process(const std::shared_ptr<Node>& graph, const py::object& source, const py::object& rate,
                   const py::object& output, const py::object& progress, StopToken* stop, const py::object& tags,
                   bool overwrite, const py::kwargs& options)
{
    RunningGraph running(*graph);
    JobOutput out;
    for (const auto& item : options)
        if (!item.second.is_none() && !setOutputOption(out, py::str(item.first), item.second))
            throw py::type_error("process() got an unexpected keyword argument '"
                                 + py::str(item.first).cast<std::string>() + "'");
    std::unique_ptr<SoundReader> reader;
    std::string inputPath;
    if (py::isinstance<py::array>(source)) {
        if (rate.is_none())
            throw py::value_error("an array needs its sample rate: process(graph, samples, rate)");
        reader = std::make_unique<ArrayReader>(source.cast<py::array>(), rate.cast<unsigned>());
        reader->setStartPoint(out.startSeconds);
        reader->rewind();
    } else {
        inputPath = pathOf(source);
        std::string error;
        reader = Job::openInput(inputPath, out.startSeconds, error);
        if (!reader)
            raiseFor(Job::Failed, error);
        if (!rate.is_none() && rate.cast<unsigned>() != reader->getSampleRate())
            throw py::value_error(inputPath + " : the file's rate is " + std::to_string(reader->getSampleRate())
                                  + " Hz, not " + py::str(rate).cast<std::string>()
                                  + "; the library does not convert rates");
    }
    const std::string remark = out.followInput(*reader);
    if (!remark.empty() && PyErr_WarnEx(PyExc_UserWarning, remark.c_str(), 1) != 0)
        throw py::error_already_set();
    std::string error = out.checkStartAndRange(*reader);
    if (!error.empty())
        throw py::value_error(error);
    const unsigned sampleRate = reader->getSampleRate();
    if (output.is_none()) {
        ArrayWriter writer(sampleRate, out.channels);
        out.applyRange(writer, *reader);
        GraphRun run(*graph->algo, *reader, writer, "process");
        raiseFor(runJob(run, progress, stop), run.error());
        return writer.release();
    }
    const std::string path = pathOf(output);
    PlacedOutput target;
    target.prepare(path, inputPath.empty() ? std::vector<std::string>() : std::vector<std::string>{inputPath},
                   overwrite);
    error = out.checkFor(path);
    if (!error.empty())
        throw py::value_error(error);
    const SoundIDTag tag = tagOverrides(tags).carry(*reader);
    std::unique_ptr<SoundWriter> writer = out.openWriter(target.writePath(), sampleRate, reader->getInputFormat(), error);
    if (!writer)
        target.finish(Job::Failed, error);
    if (TagOverrides::any(tag))
        writer->setTags(tag);
    out.applyRange(*writer, *reader);
    GraphRun run(*graph->algo, *reader, *writer, "process");
    const Job::Status status = runJob(run, progress, stop);
    target.finish(status, run.error());
    return py::none();
}

} // namespace

void bindGraph(py::module_& m)
{
    py::class_<StopToken>(m, "Stop", R"(A stop request for a run: set() from any thread ends the run after the
block in progress; the run then raises tevo.Stopped.)")
        .def(py::init<>())
        .def(
            "set", [](StopToken& t) { t.flag.store(true); }, "Asks the runs given this token to stop.")
        .def(
            "clear", [](StopToken& t) { t.flag.store(false); }, "Withdraws the request, for the next run.")
        .def("is_set", [](const StopToken& t) { return t.flag.load(); });

    py::class_<Node, std::shared_ptr<Node>>(m, "Node", R"(A processing node of the library. A node has one place in
one graph: push it into one composite only.)")
        .def_property_readonly("name", [](const Node& n) { return std::string(n.algo->getName()); })
        .def(
            "latency", [](const Node& n, unsigned rate) { return n.algo->getLatency(rate); }, py::arg("rate"),
            "Frames by which the node delays its output at `rate` Hz (compensated by a run).")
        .def("__repr__", [](const Node& n) { return "<tevo.Node " + std::string(n.algo->getName()) + ">"; });

    py::class_<Composite, Node, std::shared_ptr<Composite>>(m, "Composite", R"(Branches of nodes seen as one node.
Each branch is a chain; with shared_inputs every branch reads the composite's
inputs, and the composite's outputs are those of its branches in order (sum
them with tevo.add, or build with tevo.parallel).)")
        .def(py::init<const std::string&, bool>(), py::arg("id") = "", py::arg("shared_inputs") = true)
        .def("push", &Composite::push, py::arg("node"), "Appends `node` to the last branch.")
        .def("add_branch", &Composite::addBranch, py::arg("nodes"),
             "Starts a new branch (the first call fills the first) with `nodes` in order.")
        .def_property_readonly("branch_count", [](Composite& c) { return c.composite().getBranchNumber(); });

    m.def(
        "scale", [](double db) { return made(new SoundAlgoScale(db)); }, py::arg("gain_db"),
        "Multiplies both channels by 10^(gain_db / 20).");
    m.def(
        "delay", [](double seconds, bool asOverlap) { return made(new SoundAlgoDelay(seconds, asOverlap)); },
        py::arg("seconds"), py::arg("as_overlap") = false,
        "Delays the signal by `seconds` (kept in the output), or with as_overlap holds back as many frames.");
    m.def(
        "bypass", []() { return made(new SoundAlgoBypass()); }, "Passes its input through unchanged.");
    m.def(
        "add",
        [](int inputs, const py::object& weights) {
            std::vector<double> w;
            if (!weights.is_none())
                w = weights.cast<std::vector<double>>();
            if (!w.empty() && int(w.size()) != inputs)
                throw py::value_error("add needs one weight per input");
            return made(new SoundAlgoAdd(inputs, true, w.empty() ? nullptr : w.data()));
        },
        py::arg("inputs"), py::arg("weights") = py::none(), "Weighted sum (linear weights) of `inputs` inputs.");
    m.def(
        "sub", [](int inputs) { return made(new SoundAlgoSub(inputs, true)); }, py::arg("inputs") = 2,
        "Input 0 minus the others.");
    m.def(
        "select_channel", [](int selected, int inputs) { return made(new SoundAlgoSelectChannel(selected, inputs)); },
        py::arg("selected"), py::arg("inputs"), "Forwards input `selected` of `inputs`.");
    m.def(
        "limiter",
        [](double levelDb, double attack, double release) {
            return made(new SoundAlgoLimiter(levelDb, attack, release));
        },
        py::arg("level_db") = 0.0, py::arg("attack") = 0.005, py::arg("release") = 0.05,
        "Look-ahead limiter: make-up gain level_db, peaks held under 0.98 of full scale.");
    m.def(
        "noise_gate",
        [](double thresholdDb, double fade, double window) {
            return made(new SoundAlgoNoiseGate(thresholdDb, fade, window));
        },
        py::arg("threshold_db") = -30.0, py::arg("fade") = 0.01, py::arg("window") = 0.3,
        "Silences what stays below threshold_db (RMS over `window` seconds).");
    m.def("stage", &stage, py::arg("name"), py::arg("value") = py::none(),
          R"(A stage of tevo process by its option name and value, as the command line
gives them: gain DB, eq TYPE:FREQ[:WIDTH[:GAIN]], lowpass1 FREQ, highpass1
FREQ, aweight, fir TYPE:F1[:F2], fft-eq TYPE:F1[:F2][:SIZE]. ValueError with
the library's text for a bad value.)");
    m.def("chain", &chain, "A composite of one branch: the nodes one after the other.");
    m.def("parallel", &parallel, py::kw_only(), py::arg("weights") = py::none(),
          "Branches (nodes or lists of nodes) reading the same input, summed with linear weights (default 1).");
    m.def("process", &process, py::arg("graph"), py::arg("source"), py::arg("rate") = py::none(),
          py::arg("output") = py::none(), py::kw_only(), py::arg("progress") = py::none(),
          py::arg("stop") = nullptr, py::arg("tags") = py::none(), py::arg("overwrite") = false,
          R"(Runs `graph` over `source` (a numpy array with its `rate`, or a file path).

Without `output` returns the result as an array of frames x channels (the
source's channels); with `output` writes that file (container by extension,
format and channels following the source unless format=, channels= say
otherwise; the input's tags carried, `tags` replacing fields) as tevo does:
under a temporary name, renamed when complete, never over the input, over
an existing file only with overwrite=True. Other keywords: start, range,
bitrate, quality, dither. progress(stage, done, total) is called after each
block (with the GIL); the run itself releases the GIL. stop: a tevo.Stop set
from another thread ends the run and raises tevo.Stopped.)");
}

} // namespace pytevo
