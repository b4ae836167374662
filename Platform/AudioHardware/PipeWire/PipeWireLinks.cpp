#include "PipeWireLinks.h"
#include "PipeWireLog.h"

#include <algorithm>
#include <set>

namespace pipewire {

namespace {

// A pair the server keeps refusing (a port that is not what it seems) is
// given up after this many tries, as the server would refuse once more.
constexpr int kMaxRefusals = 8;

bool isLeft(const std::string& channel) { return !channel.empty() && channel.back() == 'L'; }
bool isRight(const std::string& channel) { return !channel.empty() && channel.back() == 'R'; }

} // namespace

struct LinkSet::Link {
    LinkSet* owner = nullptr;
    Wanted ends{};
    std::unique_ptr<Proxy> proxy;
    bool bound = false;
    bool failed = false;   // refused, or taken away
    bool refused = false;  // refused before it was made
    pw_link_state state = PW_LINK_STATE_INIT;
};

namespace {

void linkGone(LinkSet::Link& link, const std::function<void()>& again)
{
    if (link.failed)
        return;
    link.failed = true;
    again();
}

} // namespace

LinkSet::LinkSet(pw_core* core, std::function<void()> again) : core_(core), again_(std::move(again)) {}

LinkSet::~LinkSet() = default;

bool LinkSet::anyStanding() const
{
    return std::any_of(links_.begin(), links_.end(), [](const auto& link) { return link->bound && !link->failed; });
}

bool LinkSet::anyUnfinishedFrom(std::uint32_t outputNode) const
{
    return std::any_of(links_.begin(), links_.end(), [&](const auto& link) {
        return link->ends.outputNode == outputNode && link->bound && !link->failed
            && link->state < PW_LINK_STATE_PAUSED;
    });
}

std::vector<LinkSet::Wanted> LinkSet::wanted(const Graph& graph, ProgramNode& node) const
{
    std::vector<Wanted> result;
    const std::uint32_t self = node.nodeID();
    if (self == SPA_ID_INVALID)
        return result;
    // The node's own ports by name, and every node's ports in their order.
    std::map<std::string, std::uint32_t> own;
    std::map<std::uint32_t, std::vector<std::pair<std::uint32_t, const Port*>>> byNode;
    for (const auto& [id, port] : graph.ports()) {
        if (port.nodeGlobalID == self)
            own[port.name] = id;
        else
            byNode[port.nodeGlobalID].emplace_back(id, &port);
    }
    for (auto& [nodeID, ports] : byNode)
        std::sort(ports.begin(), ports.end(),
                  [](const auto& a, const auto& b) { return a.second->index < b.second->index; });

    for (const auto& route : node.routes()) {
        const auto left = own.find(route->group().name + "_FL");
        const auto right = own.find(route->group().name + "_FR");
        if (left == own.end() || right == own.end())
            continue;
        const std::uint32_t sides[2] = {left->second, right->second};

        switch (route->kind()) {
        case RouteKind::tap:
            // Left channels to the left input, right to the right, the rest
            // (mono, centre) to both.
            for (const auto& [id, entry] : graph.nodes()) {
                if (!graph.followsApplication(*entry, route->bundleIDs()) || !graph.settled(*entry))
                    continue;
                for (const auto& [portID, port] : byNode[id]) {
                    if (!port->isOutput || port->isMonitor)
                        continue;
                    if (!isRight(port->channel))
                        result.push_back({id, portID, self, sides[0], {}});
                    if (!isLeft(port->channel))
                        result.push_back({id, portID, self, sides[1], {}});
                }
            }
            break;
        case RouteKind::capture: {
            // The device's channels fold as its own layout would: even ones
            // to the left, odd ones to the right, a single one to both.
            const auto device = graph.nodes().find(route->target());
            if (device == graph.nodes().end() || !graph.settled(*device->second))
                break;
            const bool virtualSource = device->second->mediaClass() == "Audio/Source/Virtual";
            std::vector<std::uint32_t> captures;
            for (const auto& [portID, port] : byNode[route->target()])
                if (port->isOutput && (virtualSource || !port->isMonitor))
                    captures.push_back(portID);
            std::uint32_t folded[2] = {0, 0};
            for (std::size_t i = 0; i < captures.size(); ++i) {
                const std::size_t side = i % 2;
                result.push_back({route->target(), captures[i], self, sides[side], {}});
                ++folded[side];
                if (captures.size() == 1) {
                    result.push_back({route->target(), captures[i], self, sides[1], {}});
                    ++folded[1];
                }
            }
            route->setFoldedChannels(folded[0], folded[1]);
            break;
        }
        case RouteKind::playback: {
            const auto device = graph.nodes().find(route->target());
            if (device == graph.nodes().end() || !graph.settled(*device->second))
                break;
            std::vector<std::pair<std::uint32_t, const Port*>> inputs;
            for (const auto& entry : byNode[route->target()])
                if (!entry.second->isOutput)
                    inputs.push_back(entry);
            const char* names[2] = {"FL", "FR"};
            for (std::size_t side = 0; side < 2; ++side) {
                auto input = std::find_if(inputs.begin(), inputs.end(),
                                          [&](const auto& in) { return in.second->channel == names[side]; });
                if (input == inputs.end() && side < inputs.size())
                    input = inputs.begin() + std::ptrdiff_t(side);
                if (input != inputs.end())
                    result.push_back({self, sides[side], route->target(), input->first, {}});
            }
            break;
        }
        }
    }
    for (Wanted& w : result)
        w.serials = {graph.ports().at(w.outputPort).serial, graph.ports().at(w.inputPort).serial};
    return result;
}

void LinkSet::reconcile(const Graph& graph, ProgramNode& node)
{
    const std::vector<Wanted> want = paused_ ? std::vector<Wanted>{} : wanted(graph, node);
    std::set<PortPair> wantedPairs;
    for (const Wanted& w : want)
        wantedPairs.insert(w.serials);

    // Failed links are dropped (and made again below while wanted); links no
    // route wants any more are taken away.
    std::erase_if(links_, [&](const std::unique_ptr<Link>& link) {
        if (link->failed && link->refused && ++refusals_[link->ends.serials] == kMaxRefusals)
            qCWarning(lcPipeWire) << "the server keeps refusing the link from port" << link->ends.outputPort
                                  << "to port" << link->ends.inputPort << "; given up";
        return link->failed || !wantedPairs.count(link->ends.serials);
    });
    for (const Wanted& w : want) {
        const bool present = std::any_of(links_.begin(), links_.end(), [&](const std::unique_ptr<Link>& l) {
            return l->ends.serials == w.serials;
        });
        if (!present && refusals_[w.serials] < kMaxRefusals)
            make(w);
    }
}

void LinkSet::make(const Wanted& ends)
{
    static constexpr pw_proxy_events events{
        .version = PW_VERSION_PROXY_EVENTS,
        .bound = [](void* data, std::uint32_t) noexcept { static_cast<Link*>(data)->bound = true; },
        .removed =
            [](void* data) noexcept {
                auto* link = static_cast<Link*>(data);
                qCInfo(lcPipeWire) << "link from port" << link->ends.outputPort << "to port" << link->ends.inputPort
                                   << "removed; made again while both ports exist";
                linkGone(*link, link->owner->again_);
            },
        .error =
            [](void* data, int, int res, const char* message) noexcept {
                auto* link = static_cast<Link*>(data);
                link->refused = !link->bound;
                qCDebug(lcPipeWire) << "link from port" << link->ends.outputPort << "to port" << link->ends.inputPort
                                    << "failed:" << res << (message ? message : "");
                linkGone(*link, link->owner->again_);
            },
    };
    PropertiesPtr props(pw_properties_new(nullptr, nullptr));
    pw_properties_setf(props.get(), PW_KEY_LINK_OUTPUT_NODE, "%u", ends.outputNode);
    pw_properties_setf(props.get(), PW_KEY_LINK_OUTPUT_PORT, "%u", ends.outputPort);
    pw_properties_setf(props.get(), PW_KEY_LINK_INPUT_NODE, "%u", ends.inputNode);
    pw_properties_setf(props.get(), PW_KEY_LINK_INPUT_PORT, "%u", ends.inputPort);
    // Gone with this connection, whatever happens to this process.
    pw_properties_set(props.get(), PW_KEY_OBJECT_LINGER, "false");
    auto link = std::make_unique<Link>();
    link->owner = this;
    link->ends = ends;
    link->proxy = std::make_unique<Proxy>(static_cast<pw_proxy*>(
        pw_core_create_object(core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0)));
    if (!*link->proxy)
        return;
    link->proxy->listenToProxy(&events, link.get());
    static constexpr pw_link_events linkEvents{
        .version = PW_VERSION_LINK_EVENTS,
        .info = [](void* data, const pw_link_info* info) noexcept { static_cast<Link*>(data)->state = info->state; },
    };
    link->proxy->listenToObject(&linkEvents, link.get());
    links_.push_back(std::move(link));
}

} // namespace pipewire
