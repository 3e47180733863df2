// Failures are values: every fallible operation returns a Result carrying either its value
// or an error whose display text reaches the user or the log unchanged.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace dovan {

// A plain error with its display text, for operations whose errors have no structure.
struct Error {
    std::string text;
    int code = -1;

    const std::string& display() const { return text; }
    bool operator==(const Error&) const = default;
};

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> fail(E&& e) {
    return {std::forward<E>(e)};
}

inline Unexpected<Error> fail_text(std::string text, int code = -1) {
    return {Error{std::move(text), code}};
}

// Minimal expected-like type. std::expected is not usable with every compiler we build
// with (the fuzzing build uses clang 14 against libstdc++ 12), so we keep our own.
template <class T, class E = Error>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class U, std::enable_if_t<std::is_convertible_v<U, E>, int> = 0>
    Result(Unexpected<U> u) : v_(std::in_place_index<1>, E(std::move(u.error))) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return std::get<1>(v_); }
    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

    template <class U>
    T value_or(U&& other) const& {
        return ok() ? value() : static_cast<T>(std::forward<U>(other));
    }

private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class U, std::enable_if_t<std::is_convertible_v<U, E>, int> = 0>
    Result(Unexpected<U> u) : err_(E(std::move(u.error))), ok_(false) {}

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    E& error() & { return err_; }
    const E& error() const& { return err_; }

private:
    E err_{};
    bool ok_ = true;
};

using Status = Result<void, Error>;

// An internal invariant that valid input cannot break. Breaking one ends the process with
// the invariant's message; nothing a peer or a user sends may reach one.
[[noreturn]] inline void invariant_failed(const char* message) {
    std::fprintf(stderr, "invariant violated: %s\n", message);
    std::fflush(stderr);
    std::abort();
}

inline void invariant(bool condition, const char* message) {
    if (!condition) invariant_failed(message);
}

}  // namespace dovan
