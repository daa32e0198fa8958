#include "python/sequences.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <span>

#include "python/convert.hpp"
#include "python/integer_buffers.hpp"
#include "python/small_integers.hpp"

namespace tesk::py {

namespace {

// A length reported by arbitrary Python code may be anything (2**62, say), so it only sizes the
// first allocation up to this many elements; storage grows from there as elements arrive.
constexpr Py_ssize_t kUntrustedReserveLimit = 4096;

// Bytes handed over per piece; a signal handler may run between two pieces.
constexpr std::size_t kBytePiece = std::size_t{1} << 16;

// Writes symbols one at a time into the sink's room, committing them a room at a time.
class PieceWriter {
 public:
  explicit PieceWriter(SymbolSink& out) noexcept : out_(out) {}
  void push_back(std::uint64_t value) {
    if (next_ == end_) [[unlikely]] {
      flush();
      const std::span<std::uint64_t> room = out_.room();
      first_ = next_ = room.data();
      end_ = room.data() + room.size();
    }
    *next_++ = value;
  }
  void flush() {
    if (next_ != first_) {
      out_.commit(static_cast<std::size_t>(next_ - first_));
      first_ = next_;
    }
  }

 private:
  SymbolSink& out_;
  std::uint64_t* first_ = nullptr;  // the room's first uncommitted slot
  std::uint64_t* next_ = nullptr;
  std::uint64_t* end_ = nullptr;
};

// The general conversion: each element through the integer-index protocol.
void convert_elements(PyObject* object, std::optional<std::size_t> checked, SymbolSink& out) {
  PieceWriter piece(out);
  const SmallIntegerBlock small = small_integers();  // a local copy stays in registers
  const auto expect = [&](std::size_t length) { out.expect(length); };
  const auto visit = [&](PyObject* item) {
    std::uint64_t value = 0;
    if (small.find(item, value)) {
      piece.push_back(value);
      return false;
    }
    if (PyLong_Check(item)) {
      // An int, bool or other int subclass: read directly, without running any of its methods.
      piece.push_back(extract_u64(item));
      return false;
    }
    // __index__ is the caller's code: it may change the sequence and even drop this very item.
    PyRef held = PyRef::borrow(item);
    piece.push_back(extract_u64(held.get()));
    return true;
  };
  if (checked) {
    iterate_elements(object, *checked, expect, visit);
  } else {
    for_each_element(object, expect, visit);
  }
  piece.flush();
}

// bytes and bytearray hold their byte values directly; handing them over is what iterating
// gives. The export keeps a bytearray from resizing while a signal handler runs.
bool convert_bytes(PyObject* object, SymbolSink& out) {
  auto buffer = std::make_unique<BufferView>();
  if (!buffer->acquire(object, PyBUF_SIMPLE)) {
    return false;
  }
  const Py_buffer& view = buffer->get();
  const std::span<const unsigned char> bytes(static_cast<const unsigned char*>(view.buf),
                                             static_cast<std::size_t>(view.len));
  if (out.read_in_place(InPlaceSymbols{bytes.data(), bytes.size(), 1})) {
    out.keep_export(std::move(buffer));
    return true;
  }
  out.expect(bytes.size());
  for (std::size_t done = 0; done < bytes.size(); done += kBytePiece) {
    const std::span<const unsigned char> piece =
        bytes.subspan(done, std::min(kBytePiece, bytes.size() - done));
    out.add_bytes(piece);
    if (piece.size() == kBytePiece) {
      poll_interruption(kBytePiece);
    }
  }
  return true;
}

// A one-dimensional integer buffer; false when the general conversion must decide instead.
bool convert_buffer(PyObject* object, Exporter exporter, SymbolSink& out) {
  IntegerBuffer buffer;
  if (!buffer.acquire(object, exporter, 1)) {
    return false;
  }
  if (const std::optional<InPlaceSymbols> symbols = buffer.in_place(0);
      symbols && out.read_in_place(*symbols)) {
    out.keep_export(buffer.take_export());
    return true;
  }
  return buffer.read_row(0, out);
}

}  // namespace

std::size_t check_sequence(PyObject* object) {
  const int is_text = PyObject_IsInstance(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (is_text < 0) {
    PyErr_Clear();  // an unanswerable instance test is no reason to refuse the object
  } else if (is_text > 0) {
    raise_type_error_naming_type("a '%U' is not accepted as a sequence of symbols", object);
  }
  if (!PySequence_Check(object)) {
    raise_type_error_naming_type("'%U' object is not a sequence", object);
  }
  // Exact builtin lists and tuples already hold their elements and a range produces exactly its
  // length, so these lengths are safe to allocate (or to fail on at once with MemoryError).
  const bool trusted = PyList_CheckExact(object) || PyTuple_CheckExact(object) ||
                       Py_IS_TYPE(object, &PyRange_Type);
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();  // the length is only a hint; iteration decides
    return 0;
  }
  return static_cast<std::size_t>(trusted ? length : std::min(length, kUntrustedReserveLimit));
}

void convert_symbols(PyObject* object, SymbolSink& out) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyList_Type || type == &PyTuple_Type) {
    convert_elements(object, std::nullopt, out);
    return;
  }
  if ((type == &PyBytes_Type || type == &PyByteArray_Type) && convert_bytes(object, out)) {
    return;
  }
  const Exporter exporter = exporter_of(type);
  if (exporter == Exporter::other) {
    convert_elements(object, std::nullopt, out);
    return;
  }
  // A subclass's instance test may run its own code: it runs once, as iterating would run it.
  std::optional<std::size_t> checked;
  if (exporter == Exporter::ndarray_subclass) {
    checked = check_sequence(object);
  }
  if (!convert_buffer(object, exporter, out)) {
    convert_elements(object, checked, out);
  }
}

void extract_symbol_sequence(PyObject* object, SymbolArgument& out) {
  convert_symbols(object, out);
}

}  // namespace tesk::py
