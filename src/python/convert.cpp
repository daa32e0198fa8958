#include "python/convert.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <type_traits>

namespace tesk::py {

void SymbolArgument::grow_to(std::size_t capacity) {
  if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(std::uint64_t)) {
    throw std::bad_alloc();
  }
  auto larger = std::make_unique_for_overwrite<std::uint64_t[]>(capacity);
  std::copy_n(data_, size_, larger.get());
  heap_ = std::move(larger);
  data_ = heap_.get();
  capacity_ = capacity;
}

namespace {

// A length reported by arbitrary Python code may be anything (2**62, say), so it only sizes the
// first allocation up to this many elements; the vector grows from there as elements arrive.
constexpr Py_ssize_t kUntrustedReserveLimit = 4096;

[[noreturn]] void raise_type_error_naming(const char* format, PyObject* object) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!type_name) {
    throw_python_error();
  }
  PyErr_Format(PyExc_TypeError, format, type_name.get());
  throw PythonErrorSet{};
}

// Steps shared by a symbol sequence and the rows of fit: no str, the sequence protocol, and a
// capacity to start from.
std::size_t check_sequence(PyObject* object) {
  const int is_text = PyObject_IsInstance(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (is_text < 0) {
    PyErr_Clear();  // an unanswerable instance test is no reason to refuse the object
  } else if (is_text > 0) {
    raise_type_error_naming("a '%U' is not accepted as a sequence of symbols", object);
  }
  if (!PySequence_Check(object)) {
    raise_type_error_naming("'%U' object is not a sequence", object);
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

// A length no vector can hold is out of memory, not a broken invariant.
template <class Vector>
void reserve_for(Vector& values, std::size_t capacity) {
  if (capacity > values.max_size()) {
    throw std::bad_alloc();
  }
  values.reserve(capacity);
}

// Calls `consume` with each element of `object` in iteration order.
template <class Consume>
void for_each_element(PyObject* object, Consume&& consume) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) {
    throw_python_error();
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    consume(item.get());
  }
  if (PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
}

// An int, bool or other int subclass: the integer-index protocol would hand back its own value
// without running any of its methods, so it is read directly.
bool is_integer(PyObject* object) noexcept {
  return PyLong_CheckExact(object) || PyLong_Check(object);
}

std::uint64_t integer_value(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == ULLONG_MAX && PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
  return value;
}

// CPython shares one object for each small int, and lists of symbols hold little else. Where
// those objects lie evenly spaced in one block, as CPython lays them out, an element's address
// alone gives its value. The block is checked object by object when first needed and its objects
// keep references of ours, so no other object can ever occupy one of these addresses; any other
// layout leaves the block empty.
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

const SmallIntegerBlock& small_integers() {
  static const SmallIntegerBlock block = locate_small_integers();
  return block;
}

// Where the symbols go: a fit row (a vector) or a query argument.
class VectorSink {
 public:
  explicit VectorSink(SymbolSequence& values) noexcept : values_(values) {}
  void reserve(std::size_t capacity) { reserve_for(values_, capacity); }
  void push_back(std::uint64_t value) { values_.push_back(value); }
  std::uint64_t* resize(std::size_t size) {
    if (size > values_.max_size()) {
      throw std::bad_alloc();
    }
    values_.resize(size);
    return values_.data();
  }
  void clear() noexcept { values_.clear(); }

 private:
  SymbolSequence& values_;
};

// --- the general conversion: the sequence protocol, iteration and __index__ per element ---------

template <class Sink>
void convert_by_iteration(PyObject* object, Sink& out) {
  out.reserve(check_sequence(object));
  for_each_element(object, [&](PyObject* item) { out.push_back(extract_u64(item)); });
}

// --- exact builtin containers, read by index with the same results as iterating them ------------

template <class Sink>
void convert_list(PyObject* list, Sink& out) {
  Py_ssize_t size = PyList_Size(list);
  if (size < 0) {
    throw_python_error();
  }
  std::uint64_t* slots = out.resize(static_cast<std::size_t>(size));
  const SmallIntegerBlock small = small_integers();  // a local copy stays in registers
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (item == nullptr) {
      throw_python_error();
    }
    if (small.find(item, slots[i])) {
      continue;
    }
    if (is_integer(item)) {
      slots[i] = integer_value(item);
      continue;
    }
    {
      // __index__ is the caller's code: it may change the list and even drop this very item, so
      // the item is held while it converts and the length is read afresh afterwards, exactly
      // when a list iterator would read it.
      PyRef held = PyRef::borrow(item);
      slots[i] = extract_u64(held.get());
    }
    size = PyList_Size(list);
    slots = out.resize(static_cast<std::size_t>(std::max(size, i + 1)));
  }
}

// A tuple cannot change, and it keeps its items alive while the caller holds it.
template <class Sink>
void convert_tuple(PyObject* tuple, Sink& out) {
  const Py_ssize_t size = PyTuple_Size(tuple);
  if (size < 0) {
    throw_python_error();
  }
  std::uint64_t* slots = out.resize(static_cast<std::size_t>(size));
  const SmallIntegerBlock small = small_integers();
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyTuple_GetItem(tuple, i);
    if (item == nullptr) {
      throw_python_error();
    }
    if (!small.find(item, slots[i])) {
      slots[i] = is_integer(item) ? integer_value(item) : extract_u64(item);
    }
  }
}

// The bytes of an exact bytes or bytearray object.
std::span<const unsigned char> bytes_of(PyObject* object) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_CheckExact(object)) {
    char* buffer = nullptr;
    if (PyBytes_AsStringAndSize(object, &buffer, &size) < 0) {
      throw_python_error();
    }
    data = buffer;
  } else {
    data = PyByteArray_AsString(object);
    size = PyByteArray_Size(object);
    if (data == nullptr || size < 0) {
      throw_python_error();
    }
  }
  return {reinterpret_cast<const unsigned char*>(data), static_cast<std::size_t>(size)};
}

// bytes and bytearray hold their byte values directly; copying them is what iterating gives.
template <class Sink>
void convert_bytes(PyObject* object, Sink& out) {
  const std::span<const unsigned char> bytes = bytes_of(object);
  std::copy(bytes.begin(), bytes.end(), out.resize(bytes.size()));
}

// --- integer buffers ---------------------------------------------------------------------------

// The exact types whose iteration yields exactly the integers in their buffer (given a format
// read here). Subclasses may iterate as they like and are never among them.
enum class Exporter { other, memoryview, array, ndarray };

bool has_name(PyTypeObject* type, const char* module, const char* name) {
  PyRef type_name = PyRef::steal(PyType_GetName(type));
  if (!type_name) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(type_name.get(), name) != 0) {
    return false;
  }
  PyRef module_name =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module_name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module_name.get()) &&
         PyUnicode_CompareWithASCIIString(module_name.get(), module) == 0;
}

// array.array and numpy.ndarray are recognised by name, without importing their modules. A class
// statement never makes an immutable type, so no Python class can pass for either. Once found, a
// type is kept with a reference of its own, so its address can never pass to another type.
Exporter exporter_of(PyTypeObject* type) {
  static PyTypeObject* array_type = nullptr;
  static PyTypeObject* ndarray_type = nullptr;
  if (type == &PyMemoryView_Type) {
    return Exporter::memoryview;
  }
  if (type == ndarray_type) {
    return Exporter::ndarray;
  }
  if (type == array_type) {
    return Exporter::array;
  }
  if ((PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE) == 0) {
    return Exporter::other;
  }
  if (ndarray_type == nullptr && has_name(type, "numpy", "ndarray")) {
    Py_INCREF(reinterpret_cast<PyObject*>(type));
    ndarray_type = type;
    return Exporter::ndarray;
  }
  if (array_type == nullptr && has_name(type, "array", "array")) {
    Py_INCREF(reinterpret_cast<PyObject*>(type));
    array_type = type;
    return Exporter::array;
  }
  return Exporter::other;
}

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

  // A refused request is left to the general conversion, which meets the object's own errors.
  bool acquire(PyObject* object) noexcept {
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return view_.shape != nullptr && view_.strides != nullptr && view_.suboffsets == nullptr;
  }
  const Py_buffer& get() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Reads `count` integers `stride` bytes apart. False if a value is negative: that value's
// OverflowError is the general conversion's to raise.
using IntegerReader = bool (*)(const char* first, Py_ssize_t count, Py_ssize_t stride,
                               std::uint64_t* out);

template <class Unsigned>
Unsigned byte_swapped(Unsigned value) noexcept {
  if constexpr (sizeof(Unsigned) == 2) {
    return __builtin_bswap16(value);
  } else if constexpr (sizeof(Unsigned) == 4) {
    return __builtin_bswap32(value);
  } else if constexpr (sizeof(Unsigned) == 8) {
    return __builtin_bswap64(value);
  } else {
    return value;
  }
}

template <class Integer, bool Swap, bool Dense>
bool read_integers_as(const char* first, Py_ssize_t count, Py_ssize_t stride,
                      std::uint64_t* out) noexcept {
  using Unsigned = std::make_unsigned_t<Integer>;
  const Py_ssize_t step = Dense ? static_cast<Py_ssize_t>(sizeof(Integer)) : stride;
  Unsigned seen = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Unsigned raw;
    std::memcpy(&raw, first + i * step, sizeof raw);
    if constexpr (Swap) {
      raw = byte_swapped(raw);
    }
    seen |= raw;
    out[i] = static_cast<std::uint64_t>(static_cast<Integer>(raw));
  }
  if constexpr (std::is_signed_v<Integer>) {
    return static_cast<Integer>(seen) >= 0;
  }
  return true;
}

template <class Integer, bool Swap>
bool read_integers(const char* first, Py_ssize_t count, Py_ssize_t stride,
                   std::uint64_t* out) noexcept {
  // The dense case gets its own loop: a constant step lets the compiler widen in bulk.
  if (stride == static_cast<Py_ssize_t>(sizeof(Integer))) {
    return read_integers_as<Integer, Swap, true>(first, count, stride, out);
  }
  return read_integers_as<Integer, Swap, false>(first, count, stride, out);
}

template <class Integer>
IntegerReader reader(bool swap) noexcept {
  return swap ? read_integers<Integer, true> : read_integers<Integer, false>;
}

// The reader for a buffer's element format when it is an integer format of struct syntax; none
// for anything else. memoryview iterates only formats in native mode, so only those are read.
std::optional<IntegerReader> integer_reader(const Py_buffer& view, bool native_only) {
  const char* format = view.format;
  if (format == nullptr) {
    return std::nullopt;
  }
  constexpr bool kHostLittle = std::endian::native == std::endian::little;
  bool native = true;
  bool little = kHostLittle;
  switch (*format) {
    case '@':
      ++format;
      break;
    case '=':
      native = false;
      ++format;
      break;
    case '<':
      native = false;
      little = true;
      ++format;
      break;
    case '>':
    case '!':
      native = false;
      little = false;
      ++format;
      break;
    default:
      break;
  }
  if ((native_only && !native) || format[0] == '\0' || format[1] != '\0') {
    return std::nullopt;
  }
  // Native mode uses the C types' sizes, the others struct's standard sizes.
  std::size_t size = 0;
  bool is_signed = false;
  switch (format[0]) {
    case 'b':
      is_signed = true;
      [[fallthrough]];
    case 'B':
      size = 1;
      break;
    case 'h':
      is_signed = true;
      [[fallthrough]];
    case 'H':
      size = native ? sizeof(short) : 2;
      break;
    case 'i':
      is_signed = true;
      [[fallthrough]];
    case 'I':
      size = native ? sizeof(int) : 4;
      break;
    case 'l':
      is_signed = true;
      [[fallthrough]];
    case 'L':
      size = native ? sizeof(long) : 4;
      break;
    case 'q':
      is_signed = true;
      [[fallthrough]];
    case 'Q':
      size = native ? sizeof(long long) : 8;
      break;
    case 'n':
      is_signed = true;
      [[fallthrough]];
    case 'N':
      if (!native) {
        return std::nullopt;
      }
      size = sizeof(std::size_t);
      break;
    default:
      return std::nullopt;
  }
  if (view.itemsize < 0 || static_cast<std::size_t>(view.itemsize) != size) {
    return std::nullopt;
  }
  const bool swap = size > 1 && little != kHostLittle;
  switch (size) {
    case 1:
      return is_signed ? reader<std::int8_t>(false) : reader<std::uint8_t>(false);
    case 2:
      return is_signed ? reader<std::int16_t>(swap) : reader<std::uint16_t>(swap);
    case 4:
      return is_signed ? reader<std::int32_t>(swap) : reader<std::uint32_t>(swap);
    case 8:
      return is_signed ? reader<std::int64_t>(swap) : reader<std::uint64_t>(swap);
    default:
      return std::nullopt;
  }
}

// Calls read(reader, view) on a one-dimensional integer buffer and returns what it returns;
// false when the object is not one (the general conversion decides then).
template <class Read>
bool read_one_dimensional(PyObject* object, Exporter exporter, Read&& read) {
  BufferView buffer;
  if (!buffer.acquire(object)) {
    return false;
  }
  const Py_buffer& view = buffer.get();
  if (view.ndim != 1) {
    return false;
  }
  const std::optional<IntegerReader> reader = integer_reader(view, exporter != Exporter::ndarray);
  return reader && read(*reader, view);
}

// A one-dimensional integer buffer, read straight into `out`. False when the general conversion
// must decide instead; `out` is then empty again.
template <class Sink>
bool convert_buffer(PyObject* object, Exporter exporter, Sink& out) {
  return read_one_dimensional(object, exporter, [&](IntegerReader read, const Py_buffer& view) {
    const Py_ssize_t count = view.shape[0];
    std::uint64_t* slots = out.resize(static_cast<std::size_t>(count));
    if (!read(static_cast<const char*>(view.buf), count, view.strides[0], slots)) {
      out.clear();
      return false;
    }
    return true;
  });
}

// Symbols read from a buffer per piece before packing: the 64-bit copy never holds a whole row.
constexpr Py_ssize_t kPackChunk = 4096;

// Reads `count` integers `stride` bytes apart into the packer's current row. False (with the
// row's pieces taken back) when a value is negative: the general conversion decides then.
bool pack_integers(IntegerReader read, const char* first, Py_ssize_t count, Py_ssize_t stride,
                   RowPacker& packer) {
  std::uint64_t chunk[kPackChunk];
  for (Py_ssize_t done = 0; done < count; done += kPackChunk) {
    const Py_ssize_t size = std::min(kPackChunk, count - done);
    if (!read(first + done * stride, size, stride, chunk)) {
      packer.drop_row();
      return false;
    }
    packer.add(std::span<const std::uint64_t>(chunk, static_cast<std::size_t>(size)));
  }
  return true;
}

// A one-dimensional integer buffer as one packed row; false when the general conversion must
// decide instead.
bool pack_buffer_row(PyObject* object, Exporter exporter, RowPacker& packer) {
  return read_one_dimensional(object, exporter, [&](IntegerReader read, const Py_buffer& view) {
    packer.begin_row(static_cast<std::uint64_t>(view.shape[0]));
    if (!pack_integers(read, static_cast<const char*>(view.buf), view.shape[0], view.strides[0],
                       packer)) {
      return false;
    }
    packer.end_row();
    return true;
  });
}

// A two-dimensional integer array as rows: what iterating it gives, without a view per row.
// Tried first, on an empty packer; false (with the packer emptied) when the general conversion
// must decide instead.
bool pack_buffer_rows(PyObject* object, RowPacker& packer, std::uint64_t alphabet_size) {
  BufferView buffer;
  if (!buffer.acquire(object)) {
    return false;
  }
  const Py_buffer& view = buffer.get();
  if (view.ndim != 2) {
    return false;
  }
  const std::optional<IntegerReader> read = integer_reader(view, false);
  if (!read) {
    return false;
  }
  const Py_ssize_t count = view.shape[0];
  const Py_ssize_t width = view.shape[1];
  packer.reserve_rows(static_cast<std::size_t>(count));
  const char* first = static_cast<const char*>(view.buf);
  for (Py_ssize_t r = 0; r < count; ++r) {
    packer.begin_row(static_cast<std::uint64_t>(width));
    if (!pack_integers(*read, first + r * view.strides[0], width, view.strides[1], packer)) {
      packer = RowPacker(alphabet_size);
      return false;
    }
    packer.end_row();
  }
  return true;
}

template <class Sink>
void convert_symbols(PyObject* object, Sink& out) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyList_Type) {
    convert_list(object, out);
    return;
  }
  if (type == &PyTuple_Type) {
    convert_tuple(object, out);
    return;
  }
  if (type == &PyBytes_Type || type == &PyByteArray_Type) {
    convert_bytes(object, out);
    return;
  }
  const Exporter exporter = exporter_of(type);
  if (exporter != Exporter::other && convert_buffer(object, exporter, out)) {
    return;
  }
  convert_by_iteration(object, out);
}

}  // namespace

std::uint64_t extract_u64(PyObject* object) {
  if (is_integer(object)) {
    return integer_value(object);
  }
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    throw_python_error();
  }
  return integer_value(index.get());
}

SymbolSequence extract_symbol_sequence(PyObject* object) {
  SymbolSequence symbols;
  VectorSink sink(symbols);
  convert_symbols(object, sink);
  return symbols;
}

void extract_symbol_sequence(PyObject* object, SymbolArgument& out) {
  convert_symbols(object, out);
}

namespace {

// One row of fit's data into the packer. bytes and 1-D integer buffers are packed straight from
// their memory; anything else is converted as a query argument would be, into `scratch`.
void pack_row(PyObject* row, RowPacker& packer, SymbolSequence& scratch) {
  PyTypeObject* type = Py_TYPE(row);
  if (type == &PyBytes_Type || type == &PyByteArray_Type) {
    const std::span<const unsigned char> bytes = bytes_of(row);
    packer.begin_row(bytes.size());
    packer.add_bytes(bytes);
    packer.end_row();
    return;
  }
  if (type != &PyList_Type && type != &PyTuple_Type) {
    const Exporter exporter = exporter_of(type);
    if (exporter != Exporter::other && pack_buffer_row(row, exporter, packer)) {
      return;
    }
  }
  scratch.clear();
  VectorSink sink(scratch);
  convert_symbols(row, sink);
  packer.begin_row(scratch.size());
  packer.add(scratch);
  packer.end_row();
}

}  // namespace

PackedRows extract_packed_rows(PyObject* object, std::uint64_t alphabet_size) {
  RowPacker packer(alphabet_size);
  SymbolSequence scratch;
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyList_Type) {
    Py_ssize_t size = PyList_Size(object);
    if (size < 0) {
      throw_python_error();
    }
    packer.reserve_rows(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      {
        // A row's conversion may run the caller's code, which may change the list: the row is
        // held meanwhile and the length read afresh, as iterating the list would.
        PyRef row = PyRef::borrow(PyList_GetItem(object, i));
        if (!row) {
          throw_python_error();
        }
        pack_row(row.get(), packer, scratch);
      }
      size = PyList_Size(object);
    }
    return std::move(packer).finish();
  }
  if (type == &PyTuple_Type) {
    const Py_ssize_t size = PyTuple_Size(object);
    if (size < 0) {
      throw_python_error();
    }
    packer.reserve_rows(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* row = PyTuple_GetItem(object, i);
      if (row == nullptr) {
        throw_python_error();
      }
      pack_row(row, packer, scratch);
    }
    return std::move(packer).finish();
  }
  if (exporter_of(type) == Exporter::ndarray && pack_buffer_rows(object, packer, alphabet_size)) {
    return std::move(packer).finish();
  }
  packer.reserve_rows(check_sequence(object));
  for_each_element(object, [&](PyObject* row) { pack_row(row, packer, scratch); });
  return std::move(packer).finish();
}

double extract_f64(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
  return value;
}

std::string extract_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_type_error_naming("expected a str, not '%U'", object);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) {
    throw_python_error();
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace tesk::py
