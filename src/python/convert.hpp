#pragma once
// Conversions of Python arguments into the core's values. Each either returns the value or
// leaves a Python exception pending and throws PythonErrorSet.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "python/errors.hpp"
#include "common/symbols.hpp"
#include "trie/packed_rows.hpp"

namespace tesk::py {

// The converted argument of one query. Histories are usually short, so they stay in inline
// storage and a query allocates nothing for its argument; longer ones move to the heap.
class SymbolArgument {
 public:
  SymbolArgument() noexcept = default;
  // Its storage may point into the object itself.
  SymbolArgument(const SymbolArgument&) = delete;
  SymbolArgument& operator=(const SymbolArgument&) = delete;

  std::span<const std::uint64_t> symbols() const noexcept { return {data_, size_}; }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) {
      grow_to(capacity);
    }
  }
  void push_back(std::uint64_t value) {
    if (size_ == capacity_) [[unlikely]] {
      grow_to(capacity_ * 2);
    }
    data_[size_++] = value;
  }
  // Sets the length, keeping the symbols already there; new slots are for the caller to fill.
  // Returns the first symbol's slot.
  std::uint64_t* resize(std::size_t size) {
    if (size > capacity_) {
      grow_to(std::max(size, capacity_ * 2));
    }
    size_ = size;
    return data_;
  }
  void clear() noexcept { size_ = 0; }

 private:
  static constexpr std::size_t kInlineCapacity = 32;

  void grow_to(std::size_t capacity);

  std::uint64_t inline_[kInlineCapacity];  // left uninitialised: only [0, size_) is ever read
  std::unique_ptr<std::uint64_t[]> heap_;
  std::uint64_t* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInlineCapacity;
};

// Any sequence except str, element by element through the integer-index protocol.
SymbolSequence extract_symbol_sequence(PyObject* object);
void extract_symbol_sequence(PyObject* object, SymbolArgument& out);
// A sequence (not str) of such sequences: the rows of fit, packed for an alphabet of this size
// (symbols outside it are recorded, not refused: the fit reports them).
PackedRows extract_packed_rows(PyObject* object, std::uint64_t alphabet_size);
// An int or an object with __index__, 0 <= value < 2**64.
std::uint64_t extract_u64(PyObject* object);
// Python's own float conversion.
double extract_f64(PyObject* object);
// A str (or subclass) as UTF-8.
std::string extract_text(PyObject* object);

// Runs one argument's conversion; a TypeError it raises is reported under the parameter's name.
template <class Conversion>
auto convert_argument(const char* parameter, Conversion&& conversion) -> decltype(conversion()) {
  try {
    return conversion();
  } catch (const PythonErrorSet&) {
    name_argument_in_type_error(parameter);
    throw;
  }
}

}  // namespace tesk::py
