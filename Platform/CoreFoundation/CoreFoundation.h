#pragma once
// The few Core Foundation types that the audio object model passes around:
// reference-counted strings (string properties, UID qualifiers) and property
// lists (the aggregate device description).

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct __CFType {
    virtual ~__CFType() = default;
    mutable std::atomic<int> retainCount{1};
};

struct __CFString final : __CFType {
    explicit __CFString(std::string_view text) : value(text) {}
    const std::string value;
};

using CFTypeRef = const __CFType*;
using CFStringRef = const __CFString*;

// Create rule: the caller owns the result and releases it with CFRelease.
CFStringRef CFStringCreateWithUTF8(std::string_view text);
std::string CFStringGetUTF8(CFStringRef string);
CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);

// Owns one reference for the lifetime of a scope.
template <class Ref>
class CFReleaser {
public:
    CFReleaser() = default;
    explicit CFReleaser(Ref ref) : ref_(ref) {}
    ~CFReleaser() { if (ref_) CFRelease(ref_); }
    CFReleaser(const CFReleaser&) = delete;
    CFReleaser& operator=(const CFReleaser&) = delete;
    Ref get() const { return ref_; }
    Ref* operator&() { return &ref_; }
    explicit operator bool() const { return ref_ != nullptr; }

private:
    Ref ref_ = nullptr;
};

// A property list value: what CFDictionary, CFArray, CFString, CFBoolean and
// CFNumber carry, as a value type.
struct CFPropertyList;
using CFArray = std::vector<CFPropertyList>;
using CFDictionary = std::map<std::string, CFPropertyList, std::less<>>;

struct CFPropertyList {
    using Value = std::variant<bool, std::int64_t, double, std::string,
                               std::shared_ptr<const CFArray>, std::shared_ptr<const CFDictionary>>;
    Value value;

    CFPropertyList(bool b) : value(b) {}
    CFPropertyList(std::int64_t n) : value(n) {}
    CFPropertyList(double d) : value(d) {}
    CFPropertyList(std::string s) : value(std::move(s)) {}
    CFPropertyList(const char* s) : value(std::string(s)) {}
    CFPropertyList(CFArray a) : value(std::make_shared<const CFArray>(std::move(a))) {}
    CFPropertyList(CFDictionary d) : value(std::make_shared<const CFDictionary>(std::move(d))) {}

    const bool* boolean() const { return std::get_if<bool>(&value); }
    const std::string* string() const { return std::get_if<std::string>(&value); }
    const CFArray* array() const;
    const CFDictionary* dictionary() const;
};

using CFDictionaryRef = const CFDictionary*;
