// The rows of fit, packed as they are converted.

#include <new>
#include <stdexcept>

#include "python/convert.hpp"
#include "python/integer_buffers.hpp"
#include "python/sequences.hpp"

namespace tesk::py {

namespace {

// One row's symbols into the packer; the row is begun by expect and ended by the caller.
class RowSink final : public SymbolSink {
 public:
  explicit RowSink(RowPacker& packer) noexcept : packer_(packer) {}
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

 private:
  RowPacker& packer_;
  std::uint64_t size_ = 0;
  std::uint64_t piece_[kPieceSize];  // left uninitialised: only committed slots are read
};

// Returns the row's length.
std::uint64_t pack_row(PyObject* row, RowPacker& packer) {
  RowSink sink(packer);
  convert_symbols(row, sink);
  packer.end_row();
  return sink.size();
}

// A two-dimensional integer array as rows: what iterating it gives, without a view per row.
// Tried first, on an empty packer; false (with the packer emptied) when the general conversion
// must decide instead.
bool pack_matrix(PyObject* object, RowPacker& packer, std::uint64_t alphabet_size) {
  IntegerBuffer buffer;
  if (!buffer.acquire(object, Exporter::ndarray, 2)) {
    return false;
  }
  const Py_ssize_t rows = buffer.rows();
  packer.reserve_rows(static_cast<std::size_t>(rows));
  WorkTally work;
  for (Py_ssize_t r = 0; r < rows; ++r) {
    RowSink sink(packer);
    if (!buffer.read_row(r, sink)) {
      packer = RowPacker(alphabet_size);
      return false;
    }
    packer.end_row();
    work.add(sink.size() + 1);
  }
  return true;
}

}  // namespace

PackedRows extract_packed_rows(PyObject* object, std::uint64_t alphabet_size) {
  RowPacker packer(alphabet_size);
  PyTypeObject* type = Py_TYPE(object);
  if (type != &PyList_Type && type != &PyTuple_Type && exporter_of(type) == Exporter::ndarray &&
      pack_matrix(object, packer, alphabet_size)) {
    return std::move(packer).finish();
  }
  WorkTally work;
  for_each_element(
      object, [&](std::size_t rows) { packer.reserve_rows(rows); },
      [&](PyObject* row) {
        // A row's conversion may run the caller's code, which may change `object`.
        PyRef held = PyRef::borrow(row);
        work.add(pack_row(held.get(), packer) + 1);
        return true;
      });
  return std::move(packer).finish();
}

}  // namespace tesk::py
