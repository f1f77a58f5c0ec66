// A fixed-size array indexed by a position: a window, a slot, a frame or a symbol within one.
// Positions are ints, signed because they are subtracted and compared; sizes and a tone's number
// are std::size_t. The one conversion from a position to an index is here.
#pragma once

#include <array>
#include <cstddef>

namespace sonicsend::receiver {

template <typename T, int N>
struct ByPosition : std::array<T, static_cast<std::size_t>(N)> {
  using Items = std::array<T, static_cast<std::size_t>(N)>;
  constexpr T& operator[](int i) { return Items::operator[](static_cast<std::size_t>(i)); }
  constexpr const T& operator[](int i) const {
    return Items::operator[](static_cast<std::size_t>(i));
  }
};

}  // namespace sonicsend::receiver
