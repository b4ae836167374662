#include "CoreFoundation.h"

CFStringRef CFStringCreateWithUTF8(std::string_view text)
{
    return new __CFString(text);
}

std::string CFStringGetUTF8(CFStringRef string)
{
    return string ? string->value : std::string();
}

CFTypeRef CFRetain(CFTypeRef object)
{
    if (object)
        object->retainCount.fetch_add(1, std::memory_order_relaxed);
    return object;
}

void CFRelease(CFTypeRef object)
{
    if (object && object->retainCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete object;
}

const CFArray* CFPropertyList::array() const
{
    auto* a = std::get_if<std::shared_ptr<const CFArray>>(&value);
    return a ? a->get() : nullptr;
}

const CFDictionary* CFPropertyList::dictionary() const
{
    auto* d = std::get_if<std::shared_ptr<const CFDictionary>>(&value);
    return d ? d->get() : nullptr;
}
