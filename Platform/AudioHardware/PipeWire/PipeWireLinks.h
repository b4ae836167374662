#pragma once
// The links this process makes for the routes of its node: the tapped
// applications' outputs into a tap's inputs (in addition to their own links,
// so nothing is muted), a device's capture ports into a capture's inputs,
// and a playback's outputs into a device's inputs, each only once the
// session manager is done with the node (Graph::settled). What is wanted is
// worked out afresh from the graph once per pass of the loop that brought
// changes; a link that another client or the server takes away is made again
// in the next pass while both ports exist, and a pair the server keeps
// refusing is given up, remembered by the ports' serials, which PipeWire
// never gives again (unlike ids). Call everything with the thread loop's
// lock held.

#include "PipeWireGraph.h"
#include "PipeWireProgramNode.h"

#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace pipewire {

class LinkSet {
public:
    // `again` runs after a link failed or went, outside the event that told
    // it, to have the links reconciled once more.
    LinkSet(pw_core* core, std::function<void()> again);
    ~LinkSet();
    LinkSet(const LinkSet&) = delete;
    LinkSet& operator=(const LinkSet&) = delete;

    void reconcile(const Graph& graph, ProgramNode& node);
    // While paused no link is wanted: the program's node stands alone.
    void setPaused(bool paused) { paused_ = paused; }
    // Whether any link the server made still stands.
    bool anyStanding() const;
    // Whether a link the server made from `outputNode` has not finished
    // setting up: nothing flows through it yet (a client in its group that
    // does not answer keeps it so).
    bool anyUnfinishedFrom(std::uint32_t outputNode) const;

    struct Link;

private:
    using PortPair = std::pair<std::uint64_t, std::uint64_t>;  // output and input port serials
    struct Wanted {
        std::uint32_t outputNode, outputPort, inputNode, inputPort;
        PortPair serials;
    };
    std::vector<Wanted> wanted(const Graph& graph, ProgramNode& node) const;
    void make(const Wanted& link);

    pw_core* core_;
    std::function<void()> again_;
    std::vector<std::unique_ptr<Link>> links_;
    std::map<PortPair, int> refusals_;
    bool paused_ = false;
};

} // namespace pipewire
