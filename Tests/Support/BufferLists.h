#pragma once
// AudioBufferLists with any number of entries, laid out as the platform lays
// them out, for the tests that hand buffers to the ring buffer, the captures
// and the engine.

#include "AudioHardware/CoreAudioTypes.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

class BufferList {
public:
    // One entry that owns its samples; without data, its channels still count.
    struct Entry {
        std::uint32_t channels = 0;
        std::vector<float> samples;
        bool hasData = false;
    };

    // A list over the callers' buffers.
    explicit BufferList(const std::vector<AudioBuffer>& buffers) : storage_(allocate(buffers.size()))
    {
        std::copy(buffers.begin(), buffers.end(), storage_->mBuffers + 0);
    }

    // A list that owns its samples.
    static BufferList owning(std::vector<Entry> entries) { return BufferList(std::move(entries)); }

    AudioBufferList* get() const { return storage_.get(); }

private:
    explicit BufferList(std::vector<Entry> entries) : entries_(std::move(entries)), storage_(allocate(entries_.size()))
    {
        for (std::size_t b = 0; b < entries_.size(); ++b) {
            Entry& e = entries_[b];
            storage_->mBuffers[b] = {e.channels, std::uint32_t(e.samples.size() * sizeof(float)),
                                     e.hasData ? e.samples.data() : nullptr};
        }
    }

    struct Free {
        void operator()(AudioBufferList* list) const { ::operator delete(list); }
    };
    static AudioBufferList* allocate(std::size_t count)
    {
        auto* list = static_cast<AudioBufferList*>(::operator new(AudioBufferListSize(std::uint32_t(count))));
        return new (list) AudioBufferList{std::uint32_t(count), {}};
    }

    std::vector<Entry> entries_;
    std::unique_ptr<AudioBufferList, Free> storage_;
};

// An entry over `samples`, interleaved with `channels` channels.
inline AudioBuffer audioBuffer(std::vector<float>& samples, std::uint32_t channels)
{
    return {channels, std::uint32_t(samples.size() * sizeof(float)), samples.data()};
}
