#pragma once

#include "SoundAlgo.h"
#include "SoundAlgoLatencyInterface.h"
#include "TevoExport.h"

#include <cstdint>
#include <string>
#include <vector>

/// A node made of other nodes: a list of branches, each a chain of nodes run
/// one after the other, seen from outside as one node.
///
/// The branches either all read the same inputs (`sharedInputs`) or divide
/// the inputs among them in branch order. The composite's outputs are the
/// outputs of the last nodes of the branches, in branch order. With two or
/// more branches and a block large enough to pay for waking the OpenMP thread
/// team (sParallelMinValues), `process` runs the branches on that team;
/// smaller blocks run them one after the other on the calling thread. The
/// outputs are the same either way.
///
/// Alignment, at every initialisation: a branch whose first node needs less
/// history than the composite keeps (its in overlap) gets a SoundAlgoBypass
/// in front that absorbs the difference, so that every branch consumes the
/// same frames per block; then every branch whose delay, output margin (as
/// its nodes actually place their outputs, inner composites included) or
/// provisional tail is below the largest gets a SoundAlgoBypass appended that
/// makes up the difference. The outputs of all branches then cover the same
/// positions frame for frame. Alignment nodes belong to the composite and
/// stay in their branches for later runs.
///
/// Ownership: the composite takes over the creator's reference of every node
/// pushed into it (no reference is added) and releases them all when it is
/// destroyed. A caller that keeps using a node adds a reference first.
class TEVO_EXPORT SoundAlgoComposite : public SoundAlgo, public SoundAlgoLatencyInterface {
public:
    /// `id`: null for none, else the name becomes "SoundAlgoComposite(id)".
    /// `sharedInputs`: true when every branch reads the same inputs.
    SoundAlgoComposite(const char* id, bool sharedInputs);
    ~SoundAlgoComposite() override;

    /// The name becomes "SoundAlgoComposite(" + id + ")"; null is ignored.
    void setId(const char* id);
    /// The id set by setId, or "SoundAlgoComposite".
    const char* getName() const override;

    /// Appends an empty branch (ignored once read-only). A branch still empty
    /// when a run starts makes initProcess fail with an error text.
    void addNewBranch();
    /// Appends `node` to the last branch, creating the first branch if there
    /// is none. Once read-only (or for a null node) nothing happens and the
    /// caller keeps its reference.
    void pushAlgo(SoundAlgo* node);
    /// Appends a copy of `branch` as a new branch (ignored once read-only).
    void pushBranch(std::vector<SoundAlgo*>& branch);

    /// Number of branches, empty ones included.
    unsigned getBranchNumber() const { return static_cast<unsigned>(branches.size()); }
    /// The nodes of branch `b` (below getBranchNumber()) in order, alignment
    /// nodes included; not owned by the caller.
    const std::vector<SoundAlgo*>& getBranch(unsigned b) const { return branches[b]; }

    void debugBuffers() override;
    /// Runs every branch; 0 when all succeed, 1 when a branch failed with 1
    /// (the composite then holds the failing node's error text), else 2.
    SoundTools::Status process() override;

    /// Input values of a block (frames held x values a frame x doubles a
    /// value, one channel) times the branches, below which the branches run
    /// on the calling thread. The summing node's threshold: its loop does
    /// about a nanosecond per value, branches as much or more.
    static constexpr uint64_t sParallelMinValues = uint64_t(1) << 18;

    unsigned getInputNumber() const override;
    unsigned getOutputNumber() const override;
    unsigned getInFrameSize() const override;
    unsigned getOutFrameSize() const override;
    unsigned getInElementSize() const override;
    unsigned getOutElementSize() const override;
    /// The largest branch delay.
    unsigned getDelay(unsigned sampleRate) const override;
    /// The largest branch sample shift.
    unsigned getSampleShift(unsigned sampleRate) const override;
    /// The largest in overlap among the first nodes of the branches.
    unsigned getInOverlap(unsigned sampleRate) const override;
    /// The largest out overlap among the last nodes of the branches.
    unsigned getOutOverlap(unsigned sampleRate) const override;

    /// The largest lag of a branch (the sum of its nodes' lags), frames.
    unsigned getOutputLag(unsigned sampleRate) const override;
    /// The largest intended delay of a branch, frames.
    unsigned getIntendedDelay(unsigned sampleRate) const override;

    /// Fails with an error text when there is no branch or a branch is empty;
    /// otherwise tells every inner node its neighbours and initialises as
    /// SoundAlgo does (which lays out and aligns the branches).
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;
    void setOutOrigin() override;
    void updateOutput() override;
    /// The largest of the default block size and the wishes of every node.
    unsigned getPreferredBufferSize(unsigned sampleRate) const override;
    void endProcess(int status, unsigned frames) override;

protected:
    SoundTools::Status initInputBuffer() override;
    SoundTools::Status initOutputBuffer() override;

    /// pushBranch without looking at `editable`.
    void pushBranchUnlocked(std::vector<SoundAlgo*>& branch);
    /// No more nodes or branches can be added, for good.
    void setReadOnly();
    /// Values in the inputs of the current block, one channel: frames held
    /// (history included) x frame size x element size.
    uint64_t getBlockValues() const;
    /// Processes branch `branch` node by node; the first non-zero result
    /// stops the branch and is returned.
    int processOneLoop(int branch);
    /// Sum of the delays of the branch's nodes.
    unsigned getBranchDelay(unsigned sampleRate, unsigned branch) const;
    /// Sum of the output margins (getOutBufferOverlap) of the branch's nodes.
    /// Alignment measures the margins instead (see measureBranchMargins).
    unsigned getBranchOverlap(unsigned sampleRate, unsigned branch) const;
    /// Sum of the sample shifts of the branch's nodes.
    unsigned getBranchShift(unsigned sampleRate, unsigned branch) const;

    bool editable = true;
    bool sharedInputs;
    std::vector<std::vector<SoundAlgo*>> branches;
    std::string id;

private:
    /// Makes `head`, the first node of a later branch, read this composite's
    /// shared inputs; an inner composite hands them down to its first nodes.
    SoundTools::Status shareInto(SoundAlgo* head);
    /// Reads `inputs` (at least getInputNumber()) through every first node.
    SoundTools::Status adoptInputs(const std::vector<std::shared_ptr<SoundBuffer>>& inputs);
    /// Tells every inner node (recursively) its neighbours ahead of its
    /// initialisation.
    void wireBranches();
    /// Puts an absorbing bypass in front of every branch whose first node needs
    /// less history than the composite.
    bool prependAbsorbers();
    /// Appends a bypass to every branch that lags the others; true if any.
    bool appendAligners();
    /// The total output margin of every initialised branch: how far before
    /// input position + branch delay its output buffer starts.
    std::vector<unsigned> measureBranchMargins(const std::vector<unsigned>& delays);
    const SoundAlgo* firstNode() const;
    const SoundAlgo* lastNode() const;

    /// First failing node of each branch in the last process(); sized at
    /// initialisation so that process allocates nothing.
    std::vector<SoundAlgo*> failedNodes;
    /// Passes of initInputBuffer in the current initialisation.
    unsigned layoutPasses = 0;
};
