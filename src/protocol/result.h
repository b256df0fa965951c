// A small expected-style result type: either a value or an error, never both.
//
// Used wherever an operation can fail on input it does not control (peer bytes, files,
// user settings). Errors are values: nothing here throws, and no exception crosses a
// module boundary.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace velurio {

// Wraps an error so that Result<T, E> can be built from it even when T and E are the same type.
template <class E>
struct Failure {
    E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
  public:
    Result(T value) : m_data(std::in_place_index<0>, std::move(value)) {}  // NOLINT(implicit)
    template <class F>
    Result(Failure<F> failure)  // NOLINT(implicit)
        : m_data(std::in_place_index<1>, E(std::move(failure.error))) {}

    bool ok() const noexcept { return m_data.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Precondition: ok().
    T& value() & {
        assert(ok());
        return std::get<0>(m_data);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(m_data);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(m_data));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    // Precondition: !ok().
    const E& error() const& {
        assert(!ok());
        return std::get<1>(m_data);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(m_data));
    }

  private:
    std::variant<T, E> m_data;
};

// Result of an operation that yields no value.
template <class E>
class [[nodiscard]] Status {
  public:
    Status() = default;
    template <class F>
    Status(Failure<F> failure) : m_error(E(std::move(failure.error))), m_failed(true) {}  // NOLINT

    bool ok() const noexcept { return !m_failed; }
    explicit operator bool() const noexcept { return ok(); }
    const E& error() const {
        assert(m_failed);
        return m_error;
    }

  private:
    E m_error{};
    bool m_failed = false;
};

}  // namespace velurio
