// What happens to every call besides its effect: faults injected into it, and
// the journal that records it.

#include "SimulatedAudioSystemImpl.h"

#include <algorithm>

namespace {

std::string fourCharText(std::uint32_t code)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = char((code >> (24 - 8 * i)) & 0xFF);
        if (c < 0x20 || c > 0x7E)
            return std::to_string(std::int32_t(code));
        text[std::size_t(i)] = c;
    }
    return "'" + text + "'";
}

} // namespace

const char* SimulatedCallName(SimulatedCall call)
{
    switch (call) {
    case SimulatedCall::getPropertyDataSize: return "AudioObjectGetPropertyDataSize";
    case SimulatedCall::getPropertyData: return "AudioObjectGetPropertyData";
    case SimulatedCall::setPropertyData: return "AudioObjectSetPropertyData";
    case SimulatedCall::addPropertyListener: return "AudioObjectAddPropertyListenerBlock";
    case SimulatedCall::removePropertyListener: return "AudioObjectRemovePropertyListenerBlock";
    case SimulatedCall::createIOProc: return "AudioDeviceCreateIOProcIDWithBlock";
    case SimulatedCall::destroyIOProc: return "AudioDeviceDestroyIOProcID";
    case SimulatedCall::startDevice: return "AudioDeviceStart";
    case SimulatedCall::stopDevice: return "AudioDeviceStop";
    case SimulatedCall::createProcessTap: return "AudioHardwareCreateProcessTap";
    case SimulatedCall::destroyProcessTap: return "AudioHardwareDestroyProcessTap";
    case SimulatedCall::createAggregateDevice: return "AudioHardwareCreateAggregateDevice";
    case SimulatedCall::destroyAggregateDevice: return "AudioHardwareDestroyAggregateDevice";
    }
    return "?";
}

std::string SimulatedJournalEntry::description() const
{
    std::string text = SimulatedCallName(call);
    text += "(" + std::to_string(object);
    if (selector)
        text += ", " + fourCharText(selector);
    text += ")";
    if (status)
        text += " -> " + fourCharText(std::uint32_t(status));
    return text;
}

// ---------------------------------------------------------------------------
// Faults

void SimulatedAudioSystem::injectFault(SimulatedFault fault) { faults_.push_back(fault); }

void SimulatedAudioSystem::clearFaults() { faults_.clear(); }

const SimulatedFault* SimulatedAudioSystem::takeFault(SimulatedCall call, AudioObjectID object,
                                                      AudioObjectPropertySelector selector)
{
    for (SimulatedFault& fault : faults_) {
        if (fault.call != call || fault.times == 0)
            continue;
        if (fault.object && *fault.object != object)
            continue;
        if (fault.selector && *fault.selector != selector)
            continue;
        if (fault.times > 0)
            --fault.times;
        return &fault;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Journal

OSStatus SimulatedAudioSystem::record(SimulatedCall call, AudioObjectID object, AudioObjectPropertySelector selector,
                                      OSStatus status, AudioObjectID result)
{
    std::lock_guard lock(inspectionMutex_);
    journal_.push_back({call, object, selector, status, result});
    return status;
}

std::vector<SimulatedJournalEntry> SimulatedAudioSystem::journal() const
{
    std::lock_guard lock(inspectionMutex_);
    return journal_;
}

std::vector<std::string> SimulatedAudioSystem::journalDescriptions() const
{
    std::vector<std::string> lines;
    for (const auto& entry : journal())
        lines.push_back(entry.description());
    return lines;
}

void SimulatedAudioSystem::clearJournal()
{
    std::lock_guard lock(inspectionMutex_);
    journal_.clear();
}
