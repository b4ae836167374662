#include "PipeWireProgramNode.h"
#include "PipeWireLog.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace pipewire {

namespace {

// The group a resting node is alone in (see setResting).
constexpr const char* kRestingGroup = "velmora-studio-connect.resting";

// What an input port without a buffer (nothing linked) delivers.
alignas(64) constexpr std::array<float, Route::kMaxCycleFrames> kSilence{};

const char* kindName(RouteKind kind)
{
    switch (kind) {
    case RouteKind::tap:
        return "tap";
    case RouteKind::capture:
        return "capture";
    case RouteKind::playback:
        break;
    }
    return "playback";
}

// The virtual device's own layout, stereo: both ports in one pass over the
// pairs, with no stride to compute per sample.
void deinterleave(float* __restrict left, float* __restrict right, const float* __restrict pairs,
                  std::uint32_t frames) noexcept
{
    if (left && right) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            left[i] = pairs[2 * i];
            right[i] = pairs[2 * i + 1];
        }
        return;
    }
    for (std::uint32_t i = 0; left && i < frames; ++i)
        left[i] = pairs[2 * i];
    for (std::uint32_t i = 0; right && i < frames; ++i)
        right[i] = pairs[2 * i + 1];
}

} // namespace

// ---------------------------------------------------------------------------
// Routes

Route::Route(RouteKind kind, PortGroup& group, std::uint32_t target, std::vector<std::string> bundleIDs,
             std::uint32_t deviceChannels, AudioDeviceIOBlock block)
    : kind_(kind), group_(group), target_(target), bundleIDs_(std::move(bundleIDs)),
      deviceChannels_(std::max<std::uint32_t>(deviceChannels, 1)), block_(std::move(block)),
      scratch_(std::size_t(kMaxCycleFrames) * (kind == RouteKind::playback ? deviceChannels_ : 2), 0.0f)
{
}

void Route::setFoldedChannels(std::uint32_t left, std::uint32_t right)
{
    gains_[0].store(left > 1 ? 1.0f / float(left) : 1.0f, std::memory_order_relaxed);
    gains_[1].store(right > 1 ? 1.0f / float(right) : 1.0f, std::memory_order_relaxed);
}

AudioTimeStamp Route::timeStamp(std::uint64_t hostTime) const noexcept
{
    AudioTimeStamp t{};
    t.mSampleTime = sampleTime_;
    t.mHostTime = hostTime;
    t.mRateScalar = 1.0;
    t.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    return t;
}

void Route::capture(std::uint32_t frames, std::uint64_t hostTime, double nsecPerFrame) noexcept
{
    std::array<const float*, 2> ports{};
    for (std::size_t c = 0; c < 2; ++c)
        ports[c] = static_cast<const float*>(pw_filter_get_dsp_buffer(group_.ports[c], frames));
    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t n = std::min(frames - done, kMaxCycleFrames);
        input_.mNumberBuffers = 2;
        for (std::size_t c = 0; c < 2; ++c) {
            const float* samples = ports[c] ? ports[c] + done : kSilence.data();
            const float gain = gains_[c].load(std::memory_order_relaxed);
            if (gain != 1.0f) {
                float* __restrict scaled = scratch_.data() + c * kMaxCycleFrames;
                for (std::uint32_t i = 0; i < n; ++i)
                    scaled[i] = samples[i] * gain;
                samples = scaled;
            }
            input_.mBuffers[c] = {1, n * 4, const_cast<float*>(samples)};
        }
        output_.mNumberBuffers = 0;
        const AudioTimeStamp now = timeStamp(hostTime + std::uint64_t(done * nsecPerFrame));
        block_(&now, list(input_), &now, list(output_), &now);
        sampleTime_ += n;
        done += n;
    }
}

void Route::play(std::uint32_t frames, std::uint64_t hostTime, double nsecPerFrame) noexcept
{
    auto* __restrict left = static_cast<float*>(pw_filter_get_dsp_buffer(group_.ports[0], frames));
    auto* __restrict right = static_cast<float*>(pw_filter_get_dsp_buffer(group_.ports[1], frames));
    const std::uint32_t channels = deviceChannels_;
    const std::uint32_t rightChannel = channels > 1 ? 1 : 0;
    float* __restrict interleaved = scratch_.data();
    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t n = std::min(frames - done, kMaxCycleFrames);
        std::memset(interleaved, 0, std::size_t(n) * channels * sizeof(float));
        input_.mNumberBuffers = 0;
        output_.mNumberBuffers = 1;
        output_.mBuffers[0] = {channels, n * channels * 4, interleaved};
        const AudioTimeStamp now = timeStamp(hostTime + std::uint64_t(done * nsecPerFrame));
        // Rendered even while the ports are not linked yet, so what the
        // captures bring in a cycle is consumed in that cycle.
        block_(&now, list(input_), &now, list(output_), &now);
        sampleTime_ += n;
        if (channels == 2)
            deinterleave(left ? left + done : nullptr, right ? right + done : nullptr, interleaved, n);
        else
            for (std::uint32_t i = 0; i < n; ++i) {
                if (left)
                    left[done + i] = interleaved[i * channels];
                if (right)
                    right[done + i] = interleaved[i * channels + rightChannel];
            }
        done += n;
    }
}

// ---------------------------------------------------------------------------
// The node

ProgramNode::ProgramNode(pw_core* core, std::function<void()> lost)
    : loop_(pw_context_get_main_loop(pw_core_get_context(core))), lost_(std::move(lost))
{
    static constexpr pw_filter_events events{
        .version = PW_VERSION_FILTER_EVENTS,
        // As PipeWire's modules do: the listener goes with the filter.
        .destroy = [](void* data) noexcept { static_cast<ProgramNode*>(data)->hook_.remove(); },
        .state_changed = onStateChanged,
        .process = onProcess,
    };
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Duplex", PW_KEY_NODE_NAME, "velmora-studio-connect",
        PW_KEY_NODE_DESCRIPTION, "Velmora Studio Connect Mixer",
        // Only this process links it; the session manager leaves it alone.
        PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true",
        // Keeps cycles (of silence) coming while no application plays.
        PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr);
    filter_ = pw_filter_new(core, "Velmora Studio Connect", props);
    lostEvent_ = pw_loop_add_event(loop_, onLost, this);
    if (!filter_ || !lostEvent_)
        return;
    pw_filter_add_listener(filter_, hook_.get(), &events, this);
    bool made = true;
    for (RouteKind kind : {RouteKind::tap, RouteKind::capture, RouteKind::playback})
        for (std::size_t i = 0; i < kGroupsPerKind && made; ++i)
            made = addGroup(kind);
    if (!made || pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
        qCWarning(lcPipeWire) << "the program's node could not be made";
        closing_ = true;
        pw_filter_destroy(std::exchange(filter_, nullptr));
    }
}

// As PipeWire's own modules do: off the data thread first, then destroyed.
ProgramNode::~ProgramNode()
{
    closing_ = true;
    if (filter_) {
        pw_filter_set_active(filter_, false);
        pw_filter_destroy(filter_);
    }
    hook_.remove();
    if (lostEvent_)
        pw_loop_destroy_source(loop_, lostEvent_);
}

std::uint32_t ProgramNode::nodeID() const { return filter_ ? pw_filter_get_node_id(filter_) : SPA_ID_INVALID; }

// PipeWire 0.3.65 places a node anew (gives it a driver, or takes it away)
// only when the graph changes in a way it watches: a link, the node's
// activity, its group, rate or latency. A change of node.always-process alone
// is taken without that, and pw_filter_set_active does nothing before 0.3.71,
// so a node that has no link of its own to lose when it rests (one the server
// placed before its links were made, a tap with nothing to tap) would keep
// the driver it had, and its cycles. A resting node is therefore also put in
// a group of its own, which no other node joins: the change of group makes
// the server place it at once, knowing it no longer needs cycles; leaving
// the group when it runs again places it on a driver without waiting for
// its links.
void ProgramNode::setResting(bool resting)
{
    if (!filter_)
        return;
    const spa_dict_item items[] = {
        SPA_DICT_ITEM_INIT(PW_KEY_NODE_ALWAYS_PROCESS, resting ? "false" : "true"),
        SPA_DICT_ITEM_INIT(PW_KEY_NODE_GROUP, resting ? kRestingGroup : ""),
    };
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    pw_filter_update_properties(filter_, nullptr, &dict);
    // From PipeWire 0.3.71 on, this takes the node out of the graph as well.
    pw_filter_set_active(filter_, !resting);
}

void ProgramNode::onStateChanged(void* data, pw_filter_state, pw_filter_state state, const char* error) noexcept
{
    auto* self = static_cast<ProgramNode*>(data);
    if (self->closing_ || self->gone_)
        return;
    if (state == PW_FILTER_STATE_ERROR || state == PW_FILTER_STATE_UNCONNECTED) {
        qCWarning(lcPipeWire) << "the program's node stopped:" << (error ? error : "removed");
        self->gone_ = true;
        pw_loop_signal_event(self->loop_, self->lostEvent_);
    } else {
        qCInfo(lcPipeWire) << "the program's node is" << pw_filter_state_as_string(state);
    }
}

void ProgramNode::onLost(void* data, std::uint64_t) noexcept { static_cast<ProgramNode*>(data)->lost_(); }

bool ProgramNode::addGroup(RouteKind kind)
{
    auto group = std::make_unique<PortGroup>();
    group->kind = kind;
    group->name = kindName(kind) + std::to_string(1 + std::count_if(groups_.begin(), groups_.end(), [&](auto& g) {
                                                      return g->kind == kind;
                                                  }));
    const auto direction = kind == RouteKind::playback ? PW_DIRECTION_OUTPUT : PW_DIRECTION_INPUT;
    const char* channels[2] = {"FL", "FR"};
    for (std::size_t c = 0; c < 2; ++c) {
        const std::string portName = group->name + "_" + channels[c];
        group->ports[c] = pw_filter_add_port(filter_, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                             pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                               PW_KEY_PORT_NAME, portName.c_str(),
                                                               PW_KEY_AUDIO_CHANNEL, channels[c], nullptr),
                                             nullptr, 0);
        if (!group->ports[c])
            return false;
    }
    groups_.push_back(std::move(group));
    return true;
}

PortGroup* ProgramNode::freeGroup(RouteKind kind)
{
    for (auto& group : groups_)
        if (group->kind == kind && !group->inUse)
            return group.get();
    return nullptr;
}

Route* ProgramNode::attach(RouteKind kind, std::uint32_t target, std::vector<std::string> bundleIDs,
                           std::uint32_t deviceChannels, AudioDeviceIOBlock block)
{
    if (failed())
        return nullptr;
    auto slot = std::find_if(running_.begin(), running_.end(), [](const auto& r) { return !r.load(); });
    if (slot == running_.end())
        return nullptr;
    PortGroup* group = freeGroup(kind);
    if (!group)
        return nullptr;
    group->inUse = true;
    routes_.push_back(
        std::make_unique<Route>(kind, *group, target, std::move(bundleIDs), deviceChannels, std::move(block)));
    slot->store(routes_.back().get(), std::memory_order_release);
    return routes_.back().get();
}

void ProgramNode::detach(Route* route)
{
    auto slot = std::find_if(running_.begin(), running_.end(), [&](const auto& r) { return r.load() == route; });
    if (slot == running_.end())
        return;
    slot->store(nullptr);
    waitForCycleEnd();
    if (std::none_of(running_.begin(), running_.end(), [](const auto& r) { return r.load() != nullptr; }))
        clock_.reset();
    const_cast<PortGroup&>(route->group()).inUse = false;
    std::erase_if(routes_, [&](const std::unique_ptr<Route>& r) { return r.get() == route; });
}

// A cycle that began before the route was taken off may still run it: wait
// for its end (at most one quantum), without taking anything from the data
// thread. Sequentially consistent on both sides: the data thread enters a
// cycle and then reads the routes, this thread clears a route and then reads
// the cycle.
void ProgramNode::waitForCycleEnd() const
{
    const std::uint64_t seen = cycle_.load();
    if (seen % 2 == 0)
        return;
    while (cycle_.load() == seen)
        std::this_thread::yield();
}

void ProgramNode::onProcess(void* data, spa_io_position* position) noexcept
{
    auto* self = static_cast<ProgramNode*>(data);
    self->cycle_.fetch_add(1);
    if (position && position->clock.duration > 0 && position->clock.duration <= UINT32_MAX) {
        const auto frames = std::uint32_t(position->clock.duration);
        const std::uint64_t hostTime = position->clock.nsec;
        self->lastCycleNsec_.store(std::int64_t(hostTime), std::memory_order_relaxed);
        const double rate = position->clock.rate.denom && position->clock.rate.num == 1
                                ? double(position->clock.rate.denom)
                                : 48000.0;
        const double nsecPerFrame = 1e9 / rate;
        bool ran = false;
        for (const auto& entry : self->running_)
            if (Route* route = entry.load(); route && route->kind() != RouteKind::playback) {
                route->capture(frames, hostTime, nsecPerFrame);
                ran = true;
            }
        for (const auto& entry : self->running_)
            if (Route* route = entry.load(); route && route->kind() == RouteKind::playback) {
                route->play(frames, hostTime, nsecPerFrame);
                ran = true;
            }
        // Only while it runs routes: an idle node may be left without a
        // driver, and what it saw last would go stale.
        if (ran)
            self->clock_.observe(*position);
    }
    self->cycle_.fetch_add(1, std::memory_order_release);
}

} // namespace pipewire
