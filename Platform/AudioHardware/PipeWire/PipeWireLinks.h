#pragma once
// The links this process makes for the routes of its node: the tapped
// applications' outputs into a tap's inputs (in addition to their own links,
// so nothing is muted), a device's capture ports into a capture's inputs,
// and a playback's outputs into a device's inputs. What is wanted is worked
// out afresh from the graph after every change; links the server refuses or
// takes away are asked for again while their ports exist. Call everything
// with the thread loop's lock held.

#include "PipeWireGraph.h"
#include "PipeWireProgramNode.h"

#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace pipewire {

class LinkSet {
public:
    // `again` runs on the thread loop after a link failed, outside the event
    // that told it, to reconcile once more.
    LinkSet(pw_core* core, pw_loop* loop, std::function<void()> again);
    ~LinkSet();
    LinkSet(const LinkSet&) = delete;
    LinkSet& operator=(const LinkSet&) = delete;

    void reconcile(const Graph& graph, ProgramNode& node);
    // While paused no link is wanted: the program's node stands alone.
    void setPaused(bool paused) { paused_ = paused; }

    struct Link;

private:
    using PortPair = std::pair<std::uint32_t, std::uint32_t>;  // output port, input port
    struct Wanted {
        std::uint32_t outputNode, outputPort, inputNode, inputPort;
    };
    std::vector<Wanted> wanted(const Graph& graph, ProgramNode& node) const;
    void make(const Wanted& link);
    static void onAgain(void* data, std::uint64_t) noexcept;

    pw_core* core_;
    pw_loop* loop_;
    std::function<void()> again_;
    spa_source* againEvent_ = nullptr;
    std::vector<std::unique_ptr<Link>> links_;
    std::map<PortPair, int> refusals_;
    bool paused_ = false;
};

} // namespace pipewire
