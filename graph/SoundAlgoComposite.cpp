#include "SoundAlgoComposite.h"

#include "SoundAlgoBypass.h"

#include <algorithm>
#include <string>

SoundAlgoComposite::SoundAlgoComposite(const char* identifier, bool shared)
    : sharedInputs(shared)
{
    if (identifier != nullptr)
        setId(identifier);
}

SoundAlgoComposite::~SoundAlgoComposite()
{
    for (auto& branch : branches)
        for (SoundAlgo* node : branch)
            node->releaseReference();
}

void SoundAlgoComposite::setId(const char* identifier)
{
    if (identifier != nullptr)
        id = std::string("SoundAlgoComposite(") + identifier + ")";
}

const char* SoundAlgoComposite::getName() const
{
    return id.empty() ? "SoundAlgoComposite" : id.c_str();
}

void SoundAlgoComposite::addNewBranch()
{
    if (editable)
        branches.emplace_back();
}

void SoundAlgoComposite::pushAlgo(SoundAlgo* node)
{
    if (!editable || node == nullptr)
        return;
    if (branches.empty())
        branches.emplace_back();
    branches.back().push_back(node);
}

void SoundAlgoComposite::pushBranch(std::vector<SoundAlgo*>& branch)
{
    if (editable)
        pushBranchUnlocked(branch);
}

void SoundAlgoComposite::pushBranchUnlocked(std::vector<SoundAlgo*>& branch)
{
    branches.push_back(branch);
}

void SoundAlgoComposite::setReadOnly()
{
    editable = false;
}

const SoundAlgo* SoundAlgoComposite::firstNode() const
{
    return !branches.empty() && !branches.front().empty() ? branches.front().front() : nullptr;
}

const SoundAlgo* SoundAlgoComposite::lastNode() const
{
    return !branches.empty() && !branches.front().empty() ? branches.front().back() : nullptr;
}

unsigned SoundAlgoComposite::getInputNumber() const
{
    if (sharedInputs) {
        const SoundAlgo* first = firstNode();
        return first != nullptr ? first->getInputNumber() : 0;
    }
    unsigned total = 0;
    for (const auto& branch : branches)
        if (!branch.empty())
            total += branch.front()->getInputNumber();
    return total;
}

unsigned SoundAlgoComposite::getOutputNumber() const
{
    unsigned total = 0;
    for (const auto& branch : branches)
        if (!branch.empty())
            total += branch.back()->getOutputNumber();
    return total;
}

unsigned SoundAlgoComposite::getInFrameSize() const
{
    const SoundAlgo* first = firstNode();
    return first != nullptr ? first->getInFrameSize() : SoundAlgo::getInFrameSize();
}

unsigned SoundAlgoComposite::getOutFrameSize() const
{
    const SoundAlgo* last = lastNode();
    return last != nullptr ? last->getOutFrameSize() : SoundAlgo::getOutFrameSize();
}

unsigned SoundAlgoComposite::getInElementSize() const
{
    const SoundAlgo* first = firstNode();
    return first != nullptr ? first->getInElementSize() : SoundAlgo::getInElementSize();
}

unsigned SoundAlgoComposite::getOutElementSize() const
{
    const SoundAlgo* last = lastNode();
    return last != nullptr ? last->getOutElementSize() : SoundAlgo::getOutElementSize();
}

unsigned SoundAlgoComposite::getBranchDelay(unsigned rate, unsigned b) const
{
    unsigned total = 0;
    for (const SoundAlgo* node : branches[b])
        total += node->getDelay(rate);
    return total;
}

unsigned SoundAlgoComposite::getBranchOverlap(unsigned rate, unsigned b) const
{
    unsigned total = 0;
    for (const SoundAlgo* node : branches[b])
        total += node->getOutBufferOverlap(rate);
    return total;
}

std::vector<unsigned> SoundAlgoComposite::measureBranchMargins(const std::vector<unsigned>& delays)
{
    // Summing the nodes' output margins misses what a node keeps inside
    // (an inner composite's own margins) and counts what it does not keep (a
    // forwarding node has no buffer). Instead, put the inputs at a reference
    // position and let every node place its output as a run will: each
    // branch's output then starts at reference + delay - margin. The loop
    // sets the real origins later.
    const int reference = 0;
    for (auto& buffer : inBuffers)
        if (buffer)
            buffer->setOrigin(reference);
    std::vector<unsigned> margins(branches.size(), 0);
    for (std::size_t b = 0; b < branches.size(); ++b) {
        for (SoundAlgo* node : branches[b])
            node->setOutOrigin();
        const std::shared_ptr<SoundBuffer> out = branches[b].back()->getOutBuffer(0);
        const int64_t margin = out ? int64_t(reference) + delays[b] - out->getOrigin() : 0;
        margins[b] = margin > 0 ? static_cast<unsigned>(margin) : 0;
    }
    return margins;
}

unsigned SoundAlgoComposite::getBranchShift(unsigned rate, unsigned b) const
{
    unsigned total = 0;
    for (const SoundAlgo* node : branches[b])
        total += node->getSampleShift(rate);
    return total;
}

unsigned SoundAlgoComposite::getDelay(unsigned rate) const
{
    unsigned largest = 0;
    for (unsigned b = 0; b < branches.size(); ++b)
        largest = std::max(largest, getBranchDelay(rate, b));
    return largest;
}

unsigned SoundAlgoComposite::getSampleShift(unsigned rate) const
{
    unsigned largest = 0;
    for (unsigned b = 0; b < branches.size(); ++b)
        largest = std::max(largest, getBranchShift(rate, b));
    return largest;
}

template <class Branches>
static unsigned largestBranchSum(const Branches& branches, unsigned (SoundAlgo::*figure)(unsigned) const,
                                 unsigned rate)
{
    // A branch's nodes follow one another: their figures add up along it.
    unsigned largest = 0;
    for (const auto& branch : branches) {
        unsigned sum = 0;
        for (const SoundAlgo* node : branch)
            sum += (node->*figure)(rate);
        largest = std::max(largest, sum);
    }
    return largest;
}

unsigned SoundAlgoComposite::getOutputLag(unsigned rate) const
{
    return largestBranchSum(branches, &SoundAlgo::getLag, rate);
}

unsigned SoundAlgoComposite::getIntendedDelay(unsigned rate) const
{
    return largestBranchSum(branches, &SoundAlgo::getKeptDelay, rate);
}

unsigned SoundAlgoComposite::getInOverlap(unsigned rate) const
{
    unsigned largest = 0;
    for (const auto& branch : branches)
        if (!branch.empty())
            largest = std::max(largest, branch.front()->getInOverlap(rate));
    return largest;
}

unsigned SoundAlgoComposite::getOutOverlap(unsigned rate) const
{
    unsigned largest = 0;
    for (const auto& branch : branches)
        if (!branch.empty())
            largest = std::max(largest, branch.back()->getOutOverlap(rate));
    return largest;
}

unsigned SoundAlgoComposite::getPreferredBufferSize(unsigned rate) const
{
    unsigned largest = SoundBuffer::getDefaultSize();
    for (const auto& branch : branches)
        for (const SoundAlgo* node : branch)
            largest = std::max(largest, node->getPreferredBufferSize(rate));
    return largest;
}

void SoundAlgoComposite::wireBranches()
{
    for (auto& branch : branches) {
        for (std::size_t k = 0; k < branch.size(); ++k) {
            SoundAlgo* before = k == 0 ? previous : branch[k - 1];
            SoundAlgo* after = k + 1 < branch.size() ? branch[k + 1] : next;
            branch[k]->setNeighbours(before, after);
            if (auto* inner = dynamic_cast<SoundAlgoComposite*>(branch[k]))
                inner->wireBranches();
        }
    }
}

SoundTools::Status SoundAlgoComposite::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                                   SoundAlgo* nxt)
{
    if (branches.empty()) {
        setError("no branch to run", getName());
        return SoundTools::StatusError;
    }
    for (std::size_t b = 0; b < branches.size(); ++b) {
        if (branches[b].empty()) {
            const std::string message = "branch " + std::to_string(b) + " has no node";
            setError(message.c_str(), getName());
            return SoundTools::StatusError;
        }
    }
    // Geometry asked during the layout (a forwarding node answers with its
    // neighbours' overlaps) must see the neighbours of this run.
    previous = prev;
    next = nxt;
    sampleRate = rate;
    wireBranches();
    layoutPasses = 0;
    return SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
}

bool SoundAlgoComposite::prependAbsorbers()
{
    // Every branch reads the same input positions, and the input keeps the
    // largest history any first node needs. A first node that needs less
    // would produce more frames per block than its siblings and its output
    // would drift ahead block after block; a bypass with the full history
    // in front makes it consume exactly what the others consume.
    const unsigned history = getInOverlap(sampleRate);
    bool changed = false;
    for (auto& branch : branches) {
        SoundAlgo* first = branch.front();
        if (first->getInOverlap(sampleRate) >= history)
            continue;
        auto* absorber = new SoundAlgoBypass(history, 0, 0, first->getInputNumber(), first->getInFrameSize(),
                                             first->getInElementSize());
        absorber->setAligner();
        branch.insert(branch.begin(), absorber);
        changed = true;
    }
    if (changed)
        wireBranches();
    return changed;
}

bool SoundAlgoComposite::appendAligners()
{
    const std::size_t count = branches.size();
    std::vector<unsigned> delays(count), tails(count), ahead(count);
    std::vector<int64_t> excess(count);
    for (unsigned b = 0; b < count; ++b) {
        delays[b] = getBranchDelay(sampleRate, b);
        int64_t lag = 0;
        for (const SoundAlgo* node : branches[b])
            lag += node->getLag(sampleRate);
        // How far the branch's positions run ahead of its signal (a centred
        // window declares half its length as delay yet does not lag).
        excess[b] = int64_t(delays[b]) - lag;
    }
    const int64_t maxExcess = *std::max_element(excess.begin(), excess.end());
    const std::vector<unsigned> margins = measureBranchMargins(delays);
    unsigned maxDelay = 0, maxMargin = 0, maxTail = 0;
    for (unsigned b = 0; b < count; ++b) {
        // Positions and signal must both line up: a branch whose positions run
        // less ahead is moved by an aligner that looks ahead as much.
        ahead[b] = static_cast<unsigned>(maxExcess - excess[b]);
        tails[b] = branches[b].back()->getOutOverlap(sampleRate);
        maxDelay = std::max(maxDelay, delays[b] + ahead[b]);
        maxMargin = std::max(maxMargin, margins[b]);
        maxTail = std::max(maxTail, tails[b]);
    }
    // The consumer of the composite subtracts one provisional tail (the
    // largest) from every output, so every branch must end with that tail.
    // An aligner declares it, and the margin it adds counts in the branch
    // margin: raise the common margin until every lagging branch can reach it
    // (with the history its look-ahead needs).
    auto lags = [&](unsigned b, unsigned margin) {
        return delays[b] < maxDelay || ahead[b] > 0 || margins[b] < margin || tails[b] < maxTail;
    };
    unsigned margin = maxMargin;
    for (bool raised = true; raised;) {
        raised = false;
        for (unsigned b = 0; b < count; ++b) {
            if (lags(b, margin) && margins[b] + maxTail + ahead[b] > margin) {
                margin = margins[b] + maxTail + ahead[b];
                raised = true;
            }
        }
    }
    bool appended = false;
    for (unsigned b = 0; b < count; ++b) {
        if (!lags(b, margin))
            continue;
        const SoundAlgo* last = branches[b].back();
        auto* aligner = new SoundAlgoBypass(margin - margins[b] - maxTail, maxDelay - delays[b], maxTail,
                                            last->getOutputNumber(), last->getOutFrameSize(),
                                            last->getOutElementSize());
        aligner->setAligner(ahead[b]);
        branches[b].push_back(aligner);
        appended = true;
    }
    if (appended)
        wireBranches();
    return appended;
}

SoundTools::Status SoundAlgoComposite::initInputBuffer()
{
    // Each pass re-initialises every node. Two passes settle the alignment
    // (lay out, append, lay out again); needing more than three would mean
    // nodes whose geometry changes every time they are laid out.
    if (++layoutPasses > 3) {
        setError("the branches could not be aligned", getName());
        return SoundTools::StatusError;
    }
    prependAbsorbers();

    const unsigned inputs = getInputNumber();
    unsigned baseOffset = 0;
    if (previous != nullptr) {
        // When this composite itself takes a share of previous's outputs, the
        // branches divide that share.
        baseOffset = previous->getOutputNumber() - previous->getOutPortNumber();
        if (previous->getOutPortNumber() < inputs) {
            const std::string message = "the node before has " + std::to_string(previous->getOutPortNumber())
                + " outputs for " + std::to_string(inputs) + " inputs";
            setError(message.c_str(), getName());
            return SoundTools::StatusError;
        }
        for (unsigned i = 0; i < inputs; ++i)
            inBuffers[i] = previous->getOutPort(i);
    }

    unsigned first = 0;
    for (std::size_t b = 0; b < branches.size(); ++b) {
        auto& branch = branches[b];
        if (previous != nullptr && !sharedInputs)
            previous->setOutPortOffset(baseOffset + first);
        for (std::size_t k = 0; k < branch.size(); ++k) {
            SoundAlgo* before = k == 0 ? previous : branch[k - 1];
            SoundAlgo* after = k + 1 < branch.size() ? branch[k + 1] : next;
            if (branch[k]->initProcess(sampleRate, 2, startOffset, before, after) != SoundTools::StatusOk) {
                if (previous != nullptr)
                    previous->setOutPortOffset(baseOffset);
                const std::string message = std::string(branch[k]->getName()) + " in branch " + std::to_string(b)
                    + " failed to initialise" + (*branch[k]->getError() ? std::string(": ") + branch[k]->getError() : "");
                setError(message.c_str(), getName());
                return SoundTools::StatusError;
            }
        }
        SoundAlgo* head = branch.front();
        if (previous == nullptr) {
            if (sharedInputs) {
                if (b == 0) {
                    for (unsigned i = 0; i < inputs; ++i)
                        inBuffers[i] = head->getInBuffer(i);
                } else if (shareInto(head) != SoundTools::StatusOk) {
                    const std::string message = std::string(head->getName()) + " in branch " + std::to_string(b)
                        + " cannot read the shared inputs";
                    setError(message.c_str(), getName());
                    return SoundTools::StatusError;
                }
            } else {
                for (unsigned k = 0; k < head->getInputNumber() && first + k < inBuffers.size(); ++k)
                    inBuffers[first + k] = head->getInBuffer(k);
            }
        }
        first += head->getInputNumber();
    }
    if (previous != nullptr)
        previous->setOutPortOffset(baseOffset);

    if (appendAligners()) {
        // The new nodes change their neighbours' margins: lay out again.
        outBuffers.resize(getOutputNumber());
        return initInputBuffer();
    }
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgoComposite::shareInto(SoundAlgo* head)
{
    auto* inner = dynamic_cast<SoundAlgoComposite*>(head);
    if (inner == nullptr || inner->previous != nullptr)
        return head->useInputs(this);
    // An inner composite reads through its own first nodes, which allocated
    // buffers of their own: hand the shared buffers down to them.
    if (inner->getInElementSize() != getInElementSize() || inner->getInFrameSize() != getInFrameSize())
        return SoundTools::StatusError;
    return inner->adoptInputs(inBuffers);
}

SoundTools::Status SoundAlgoComposite::adoptInputs(const std::vector<std::shared_ptr<SoundBuffer>>& inputs)
{
    if (inputs.size() < getInputNumber())
        return SoundTools::StatusError;
    setInputBuffers(std::vector<std::shared_ptr<SoundBuffer>>(inputs.begin(), inputs.begin() + getInputNumber()));
    unsigned first = 0;
    for (auto& branch : branches) {
        SoundAlgo* head = branch.front();
        const unsigned count = head->getInputNumber();
        const unsigned from = sharedInputs ? 0 : first;
        if (from + count > inBuffers.size())
            return SoundTools::StatusError;
        std::vector<std::shared_ptr<SoundBuffer>> part(inBuffers.begin() + from, inBuffers.begin() + from + count);
        // Called for a composite without a node before it: its first nodes
        // have none either.
        if (auto* nested = dynamic_cast<SoundAlgoComposite*>(head)) {
            if (nested->adoptInputs(part) != SoundTools::StatusOk)
                return SoundTools::StatusError;
        } else {
            head->setInputBuffers(part);
        }
        first += count;
    }
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgoComposite::initOutputBuffer()
{
    outBuffers.resize(getOutputNumber());
    std::size_t port = 0;
    for (const auto& branch : branches) {
        SoundAlgo* last = branch.back();
        for (unsigned p = 0; p < last->getOutputNumber() && port < outBuffers.size(); ++p)
            outBuffers[port++] = last->getOutBuffer(p);
    }
    failedNodes.assign(branches.size(), nullptr);
    return SoundTools::StatusOk;
}

void SoundAlgoComposite::setOutOrigin()
{
    for (auto& branch : branches)
        for (SoundAlgo* node : branch)
            node->setOutOrigin();
}

void SoundAlgoComposite::updateOutput()
{
    for (auto& branch : branches)
        for (SoundAlgo* node : branch)
            node->updateOutput();
}

uint64_t SoundAlgoComposite::getBlockValues() const
{
    return uint64_t(getInFrameNb()) * getInFrameSize() * getInElementSize();
}

int SoundAlgoComposite::processOneLoop(int b)
{
    for (SoundAlgo* node : branches[b]) {
        const int result = node->process();
        if (result != SoundTools::StatusOk) {
            if (static_cast<std::size_t>(b) < failedNodes.size())
                failedNodes[b] = node;
            return result;
        }
    }
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgoComposite::process()
{
    const int count = static_cast<int>(branches.size());
    if (count == 0)
        return SoundTools::StatusOk;
    std::fill(failedNodes.begin(), failedNodes.end(), nullptr);
    int result = 0;
    if (count == 1) {
        result = processOneLoop(0);
    } else {
        // Branches write only their own nodes' buffers and read shared inputs:
        // no lock. Each thread takes a contiguous range of branches.
        // A team that has finished its branches spins for a while before it
        // sleeps; on a machine busier than its cores that spinning takes the
        // processor from the serial nodes around the composite, block after
        // block (level --multiband --fft in blocks of 8192 frames, some 25000
        // values a branch, took half as long again on two threads as on one).
        const bool parallel = getBlockValues() * unsigned(count) >= sParallelMinValues;
        // The formatter would break the reduction clause over two lines.
        // clang-format off
#pragma omp parallel for schedule(static) reduction(| : result) if (parallel)
        // clang-format on
        for (int b = 0; b < count; ++b)
            result |= processOneLoop(b);
    }
    if (result == 0)
        return SoundTools::StatusOk;
    // Texts are copied here, on the calling thread, in branch order.
    for (SoundAlgo* failed : failedNodes) {
        if (failed != nullptr && *failed->getError() != '\0') {
            setError(failed->getError(), nullptr);
            break;
        }
    }
    return result == 1 ? SoundTools::StatusError : SoundTools::StatusStopped;
}

void SoundAlgoComposite::endProcess(int status, unsigned frames)
{
    for (auto& branch : branches)
        for (SoundAlgo* node : branch)
            node->endProcess(status, frames);
    SoundAlgo::endProcess(status, frames);
}

void SoundAlgoComposite::debugBuffers()
{
    for (auto& branch : branches)
        for (SoundAlgo* node : branch)
            node->debugBuffers();
    SoundAlgo::debugBuffers();
}
