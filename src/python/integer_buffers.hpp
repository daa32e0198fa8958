#pragma once
// Objects whose iteration yields exactly the integers in their buffer, read from the buffer
// instead: exact memoryview, array.array and numpy.ndarray, and the ndarray subclasses that leave
// item access, length, iteration and buffer export to ndarray (numpy.memmap among them).

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "python/python.hpp"
#include "python/symbol_sink.hpp"

namespace tesk::py {

enum class Exporter { other, memoryview, array, ndarray, ndarray_subclass };

// Never fails: a question that cannot be answered gives `other`, and no error is left pending.
Exporter exporter_of(PyTypeObject* type);

// One buffer export of an object, released with the view.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }

  // False, with no error pending, when the object refuses the request.
  bool acquire(PyObject* object, int flags) noexcept;
  const Py_buffer& get() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The buffer exports whose memory a fit reads its rows from in place, held until it ends.
using HeldExports = std::vector<std::unique_ptr<BufferView>>;

// Reads `count` integers `stride` bytes apart. False if a value is negative: that value's
// OverflowError is the general conversion's to raise.
using IntegerReader = bool (*)(const char* first, Py_ssize_t count, Py_ssize_t stride,
                               std::uint64_t* out);

// How a buffer's integers are read.
struct IntegerFormat {
  IntegerReader read;
  std::size_t size;
  bool is_signed;
  bool swapped;  // stored in the other byte order
};

// A one- or two-dimensional integer buffer, read as iterating the object reads it: a vector is
// one row, a matrix a row per element of its first dimension.
class IntegerBuffer {
 public:
  IntegerBuffer() : buffer_(std::make_unique<BufferView>()) {}

  // False when the general conversion must decide instead (no error pending).
  bool acquire(PyObject* object, Exporter exporter, int dimensions) noexcept;

  Py_ssize_t rows() const noexcept;
  // Hands row `row` to `out` a piece at a time, after out.expect(its length). False, with the
  // row discarded from `out`, when a value is negative.
  bool read_row(Py_ssize_t row, SymbolSink& out) const;
  // Row `row` as symbols to read in place: its values lie one after the other in native byte
  // order, and none is negative. Nothing otherwise.
  std::optional<InPlaceSymbols> in_place(Py_ssize_t row) const;

  // The export, for whoever reads rows in place after this object is gone.
  std::unique_ptr<BufferView> take_export() noexcept { return std::move(buffer_); }

 private:
  std::unique_ptr<BufferView> buffer_;
  IntegerFormat format_{};
};

}  // namespace tesk::py
