#pragma once
// CPython shares one object for each small int, and lists of symbols hold little else. Where
// those objects lie evenly spaced in one block, as CPython lays them out, an element's address
// alone gives its value.

#include <cstdint>

#include "python/python.hpp"

namespace tesk::py {

struct SmallIntegerBlock {
  std::uintptr_t first = 0;
  std::uintptr_t span = 0;  // 0: nothing is found
  std::uintptr_t mask = 0;
  int shift = 0;

  // True, with its value, when `object` is one of the block's ints.
  bool find(PyObject* object, std::uint64_t& value) const noexcept {
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(object) - first;
    if (offset >= span || (offset & mask) != 0) {
      return false;
    }
    value = offset >> shift;
    return true;
  }
};

// The block of this process, located on first use. Its objects are checked one by one and keep
// references of ours, so no other object can ever occupy one of these addresses; any other
// layout gives an empty block.
const SmallIntegerBlock& small_integers();

}  // namespace tesk::py
