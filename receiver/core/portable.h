// The few things the core would take from C++20, in a small form of its own, so that it also
// builds as C++17: the standard a device's build system may impose on a library it compiles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace sonicsend::receiver {

// A view of `size()` contiguous elements it does not own, as std::span. It is made from a
// pointer and a count, or from anything contiguous that has data() and size() (std::array,
// std::vector, std::span, another Span), whose elements it may only add const to.
template <typename T>
class Span {
 public:
  constexpr Span() = default;
  constexpr Span(T* data, std::size_t size) : data_(data), size_(size) {}
  template <typename Contiguous,
            typename = std::enable_if_t<std::is_convertible_v<
                std::remove_pointer_t<decltype(std::declval<Contiguous&>().data())> (*)[],
                T (*)[]>>>
  constexpr Span(Contiguous&& contiguous)  // NOLINT(google-explicit-constructor): as std::span
      : data_(contiguous.data()), size_(contiguous.size()) {}

  constexpr T* data() const { return data_; }
  constexpr std::size_t size() const { return size_; }
  constexpr bool empty() const { return size_ == 0; }
  constexpr T& operator[](std::size_t at) const { return data_[at]; }
  constexpr T* begin() const { return data_; }
  constexpr T* end() const { return data_ + size_; }
  // The first `count` elements.
  constexpr Span first(std::size_t count) const { return {data_, count}; }
  // The `count` elements from `offset` on; all that follow `offset` when no count is given.
  constexpr Span subspan(std::size_t offset, std::size_t count = std::size_t(-1)) const {
    return {data_ + offset, count == std::size_t(-1) ? size_ - offset : count};
  }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

// The number of bits set. GCC and Clang have it built in (an instruction where the chip has
// one); elsewhere, the bits are summed in pairs, fours and bytes.
constexpr int countOnes(std::uint32_t bits) {
#if defined(__GNUC__)
  return __builtin_popcount(bits);
#else
  bits = bits - ((bits >> 1) & 0x55555555u);
  bits = (bits & 0x33333333u) + ((bits >> 2) & 0x33333333u);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0Fu;
  return static_cast<int>((bits * 0x01010101u) >> 24);
#endif
}

// The position of the lowest bit set; `bits` must not be 0.
constexpr int lowestOne(std::uint32_t bits) {
#if defined(__GNUC__)
  return __builtin_ctz(bits);
#else
  int at = 0;
  for (; (bits & 1u) == 0; bits >>= 1) ++at;
  return at;
#endif
}

// The bits needed to write `value`, 0 for 0, as std::bit_width.
constexpr int bitWidth(std::uint64_t value) {
  int width = 0;
  if (value >> 32 != 0) {
    width = 32;
    value >>= 32;
  }
#if defined(__GNUC__)
  return value == 0 ? width : width + 32 - __builtin_clz(static_cast<std::uint32_t>(value));
#else
  for (; value != 0; value >>= 1) ++width;
  return width;
#endif
}

// The bits of `from` read as a `To` of the same size.
template <typename To, typename From>
To bitCast(const From& from) {
  static_assert(sizeof(To) == sizeof(From));
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}

// `T` in a parameter that takes no part in deducing a template's arguments.
template <typename T>
struct NotDeduced {
  using type = T;
};
template <typename T>
using NotDeducedT = typename NotDeduced<T>::type;

}  // namespace sonicsend::receiver
