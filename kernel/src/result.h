// A value or one error, never both. std::expected would do, but the fuzzing
// toolchain (clang 14 over libstdc++ 12) cannot see it, so the kernel carries
// this small equivalent instead.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace vestrel {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
[[nodiscard]] constexpr Unexpected<E> fail(E error) noexcept {
  return Unexpected<E>{error};
}

template <class T, class E>
class [[nodiscard]] Result {
  static_assert(std::is_trivially_copyable_v<E>);

 public:
  Result(const T& value) : ok_(true) { new (&value_) T(value); }
  Result(T&& value) : ok_(true) { new (&value_) T(std::move(value)); }
  Result(Unexpected<E> u) noexcept : ok_(false), error_(u.error) {}
  Result(const Result& other) : ok_(other.ok_) {
    if (ok_)
      new (&value_) T(other.value_);
    else
      error_ = other.error_;
  }
  Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T>) : ok_(other.ok_) {
    if (ok_)
      new (&value_) T(std::move(other.value_));
    else
      error_ = other.error_;
  }
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;
  ~Result() {
    if (ok_) value_.~T();
  }

  [[nodiscard]] bool has_value() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  [[nodiscard]] E error() const noexcept { return error_; }
  T& value() & noexcept { return value_; }
  const T& value() const& noexcept { return value_; }
  T&& value() && noexcept { return std::move(value_); }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }
  T& operator*() & noexcept { return value_; }
  const T& operator*() const& noexcept { return value_; }

 private:
  bool ok_;
  union {
    T value_;
    E error_;
  };
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() noexcept : ok_(true), error_() {}
  Result(Unexpected<E> u) noexcept : ok_(false), error_(u.error) {}
  [[nodiscard]] bool has_value() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  [[nodiscard]] E error() const noexcept { return error_; }

 private:
  bool ok_;
  E error_;
};

}  // namespace vestrel
