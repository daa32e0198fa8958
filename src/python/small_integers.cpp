#include "python/small_integers.hpp"

#include <bit>

namespace tesk::py {

namespace {

SmallIntegerBlock locate_small_integers() noexcept {
  constexpr long kCount = 257;
  PyObject* objects[kCount] = {};
  bool complete = true;
  for (long value = 0; value < kCount; ++value) {
    objects[value] = PyLong_FromLong(value);
    complete = complete && objects[value] != nullptr;
  }
  if (!complete) {
    PyErr_Clear();
  }
  const auto first = reinterpret_cast<std::uintptr_t>(objects[0]);
  const auto stride = reinterpret_cast<std::uintptr_t>(objects[1]) - first;
  bool even = complete && stride != 0 && std::has_single_bit(stride);
  for (long value = 0; even && value < kCount; ++value) {
    even = reinterpret_cast<std::uintptr_t>(objects[value]) ==
           first + static_cast<std::uintptr_t>(value) * stride;
  }
  if (!even) {
    for (PyObject* object : objects) {
      Py_XDECREF(object);
    }
    return {};
  }
  // The references stay taken for the life of the process.
  return {first, static_cast<std::uintptr_t>(kCount) * stride, stride - 1,
          std::countr_zero(stride)};
}

}  // namespace

const SmallIntegerBlock& small_integers() {
  static const SmallIntegerBlock block = locate_small_integers();
  return block;
}

}  // namespace tesk::py
