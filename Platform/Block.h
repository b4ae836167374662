#pragma once
// A block: a reference-counted callable with an identity, like the platform's
// blocks. Copies share the one callable, so whoever registers a block can later
// hand the very same object back (listener removal compares identities).

#include <functional>
#include <memory>
#include <utility>

template <class Signature>
class Block;

template <class R, class... Args>
class Block<R(Args...)> {
public:
    Block() = default;
    Block(std::nullptr_t) {}
    template <class F, class = std::enable_if_t<std::is_invocable_r_v<R, F&, Args...>
                                                && !std::is_same_v<std::decay_t<F>, Block>>>
    Block(F f) : function_(std::make_shared<const std::function<R(Args...)>>(std::move(f))) {}

    R operator()(Args... args) const { return (*function_)(std::forward<Args>(args)...); }
    explicit operator bool() const { return function_ != nullptr; }
    friend bool operator==(const Block& a, const Block& b) { return a.function_ == b.function_; }

private:
    std::shared_ptr<const std::function<R(Args...)>> function_;
};
