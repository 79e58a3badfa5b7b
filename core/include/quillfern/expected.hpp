// A small value-or-error type: the result of every operation that can fail.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace quillfern {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    Expected(Unexpected<G> error) : state_(std::in_place_index<1>, std::move(error.error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
public:
    Expected() = default;
    template <class G>
    Expected(Unexpected<G> error) : error_(std::move(error.error)), failed_(true) {}

    bool has_value() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return has_value(); }
    E& error() & { return error_; }
    const E& error() const& { return error_; }
    E&& error() && { return std::move(error_); }

private:
    E error_{};
    bool failed_ = false;
};

}  // namespace quillfern
