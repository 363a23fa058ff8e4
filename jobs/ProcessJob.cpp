#include "ProcessJob.h"

#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundReader.h"
#include "SoundWriter.h"

namespace {
// No result depends on the block size. A plain copy or format change runs
// fastest with blocks whose integers and doubles stay in cache; a chain takes
// blocks that keep the buffers of every stage (spectra included) small. The
// loop raises the size for filters that need more.
constexpr unsigned kCopyBlockFrames = 1u << 14;
constexpr unsigned kChainBlockFrames = 1u << 16;
} // namespace

std::string ProcessJob::Options::check() const
{
    std::string error;
    for (const ChainStages::Stage& stage : stages) {
        NodeRef node(ChainStages::make(stage, error));
        if (!node)
            return error;
    }
    return std::string();
}

ProcessJob::ProcessJob(Options o)
    : options(std::move(o))
{
}

Job::Status ProcessJob::run()
{
    begin();
    res = Result();
    res.output = options.output;
    std::vector<NodeRef> stages;
    std::string error;
    for (const ChainStages::Stage& stage : options.stages) {
        stages.emplace_back(ChainStages::make(stage, error));
        if (!stages.back())
            return fail(Refused, error);
    }
    Status opened = Failed;
    auto reader = takeInput(options.input, options.out, opened);
    if (!reader)
        return opened;
    res.sampleRate = reader->getSampleRate();
    res.channels = options.out.channels;
    res.format = options.out.format;
    auto writer = options.out.openWriter(options.output, res.sampleRate, reader->getInputFormat(), error);
    if (!writer)
        return fail(Failed, error);
    const SoundIDTag tags = options.tags.carry(*reader);
    if (TagOverrides::any(tags))
        writer->setTags(tags);
    options.out.applyRange(*writer, *reader);

    NodeRef graph;
    if (stages.empty()) {
        graph.reset(new SoundAlgoBypass());
    } else if (stages.size() == 1) {
        graph = std::move(stages.front());
    } else {
        auto* composite = new SoundAlgoComposite(nullptr, true);
        for (NodeRef& stage : stages)
            composite->pushAlgo(stage.release());
        graph.reset(composite);
    }
    BlockFrames blocks(options.stages.empty() ? kCopyBlockFrames : kChainBlockFrames);
    const Status status = runNode(*graph, *reader, writer.get(), "process");
    res.clippedSamples = writer->getClippedSamples();
    return status;
}

QJsonObject ProcessJob::resultJson() const
{
    QJsonObject root;
    root["output"] = QString::fromStdString(res.output);
    root["sampleRate"] = static_cast<int>(res.sampleRate);
    root["channels"] = static_cast<int>(res.channels);
    root["clippedSamples"] = static_cast<double>(res.clippedSamples);
    return root;
}
