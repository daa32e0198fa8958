#pragma once
// Results of the core as new Python objects: u64 -> int, double -> float, vectors -> lists of
// exactly their length. A failed creation goes through fail_object_creation.

#include <cstdint>
#include <string_view>
#include <vector>

#include "python/py_ref.hpp"

namespace tesk::py {

PyRef to_python(std::uint64_t value);
PyRef to_python(std::string_view utf8);
PyRef to_python(const std::vector<std::uint64_t>& values);
PyRef to_python(const std::vector<double>& values);
PyRef to_python(const std::vector<std::vector<std::uint64_t>>& rows);
PyRef none();

}  // namespace tesk::py
