// The rows of fit, packed as they are converted.

#include <new>
#include <stdexcept>

#include "python/convert.hpp"
#include "python/integer_buffers.hpp"
#include "python/sequences.hpp"

namespace tesk::py {

namespace {

// One row's symbols into the packer; the row is begun by expect (or read_in_place) and ended by
// the caller. Exports of rows read in place go to `held`.
class RowSink final : public SymbolSink {
 public:
  RowSink(RowPacker& packer, HeldExports& held) noexcept : packer_(packer), held_(held) {}
  RowSink(const RowSink&) = delete;
  RowSink& operator=(const RowSink&) = delete;
  ~RowSink() = default;

  // Symbols of the row so far.
  std::uint64_t size() const noexcept { return size_; }

  void expect(std::size_t count) override {
    try {
      packer_.begin_row(count);
    } catch (const std::length_error&) {
      throw std::bad_alloc();  // a length no vector can hold is out of memory
    }
  }
  std::span<std::uint64_t> room() override { return piece_; }
  void commit(std::size_t count) override {
    packer_.add(std::span(piece_).first(count));
    size_ += count;
  }
  void add_bytes(std::span<const unsigned char> bytes) override {
    packer_.add_bytes(bytes);
    size_ += bytes.size();
  }
  void discard() override {
    packer_.drop_row();
    size_ = 0;
  }
  bool read_in_place(const InPlaceSymbols& symbols) override {
    packer_.begin_row(0);
    if (!packer_.add_in_place(symbols.data, symbols.size, symbols.width)) {
      return false;
    }
    size_ = symbols.size;
    return true;
  }
  void keep_export(std::unique_ptr<BufferView> owner) override {
    held_.push_back(std::move(owner));
  }

 private:
  RowPacker& packer_;
  HeldExports& held_;
  std::uint64_t size_ = 0;
  std::uint64_t piece_[kPieceSize];  // left uninitialised: only committed slots are read
};

// Returns the row's length.
std::uint64_t pack_row(PyObject* row, RowPacker& packer, HeldExports& held) {
  RowSink sink(packer, held);
  convert_symbols(row, sink);
  packer.end_row();
  return sink.size();
}

// A two-dimensional integer array as rows: what iterating it gives, without a view per row, and
// each row read in place where it can be (the one export then stays held for all of them).
// Tried first, on an empty packer; false (with the packer emptied) when the general conversion
// must decide instead.
bool pack_matrix(PyObject* object, RowPacker& packer, std::uint64_t alphabet_size,
                 HeldExports& held) {
  IntegerBuffer buffer;
  if (!buffer.acquire(object, Exporter::ndarray, 2)) {
    return false;
  }
  const Py_ssize_t rows = buffer.rows();
  packer.reserve_rows(static_cast<std::size_t>(rows));
  HeldExports none;
  bool any_in_place = false;
  WorkTally work;
  for (Py_ssize_t r = 0; r < rows; ++r) {
    RowSink sink(packer, none);
    const std::optional<InPlaceSymbols> symbols = buffer.in_place(r);
    if (symbols && sink.read_in_place(*symbols)) {
      any_in_place = true;
    } else if (!buffer.read_row(r, sink)) {
      packer = RowPacker(alphabet_size);
      return false;
    }
    packer.end_row();
    work.add(sink.size() + 1);
  }
  if (any_in_place) {
    held.push_back(buffer.take_export());
  }
  return true;
}

}  // namespace

PackedRows extract_packed_rows(PyObject* object, std::uint64_t alphabet_size,
                               HeldExports& held) {
  RowPacker packer(alphabet_size);
  PyTypeObject* type = Py_TYPE(object);
  if (type != &PyList_Type && type != &PyTuple_Type && exporter_of(type) == Exporter::ndarray &&
      pack_matrix(object, packer, alphabet_size, held)) {
    return std::move(packer).finish();
  }
  WorkTally work;
  for_each_element(
      object, [&](std::size_t rows) { packer.reserve_rows(rows); },
      [&](PyObject* row) {
        // A row's conversion may run the caller's code, which may change `object`.
        PyRef row_object = PyRef::borrow(row);
        work.add(pack_row(row_object.get(), packer, held) + 1);
        return true;
      });
  return std::move(packer).finish();
}

}  // namespace tesk::py
