#include "python/integer_buffers.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>

#include "common/interruption.hpp"
#include "common/portability.hpp"
#include "python/py_ref.hpp"

namespace tesk::py {

namespace {

// --- which objects: exporters recognised by type ------------------------------------------------

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

bool is_immutable(PyTypeObject* type) noexcept {
  return (PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE) != 0;
}

// array.array and numpy.ndarray are recognised by name, without importing their modules. A class
// statement never makes an immutable type, so no Python class can pass for either. Once found, a
// type is kept with a reference of its own, so its address can never pass to another type.
PyTypeObject* g_array_type = nullptr;
PyTypeObject* g_ndarray_type = nullptr;

bool is_type_named(PyTypeObject* type, PyTypeObject*& known, const char* module,
                   const char* name) {
  if (type == known) {
    return true;
  }
  if (known != nullptr || !is_immutable(type) || !has_name(type, module, name)) {
    return false;
  }
  Py_INCREF(reinterpret_cast<PyObject*>(type));
  known = type;
  return true;
}

bool derives_from_ndarray(PyTypeObject* type) {
  for (auto* base = static_cast<PyTypeObject*>(PyType_GetSlot(type, Py_tp_base));
       base != nullptr && base != &PyBaseObject_Type;
       base = static_cast<PyTypeObject*>(PyType_GetSlot(base, Py_tp_base))) {
    if (is_type_named(base, g_ndarray_type, "numpy", "ndarray")) {
      return true;
    }
  }
  return false;
}

// The attribute `name` of a type as its instances' protocols find it; null (no error) if none.
PyRef type_attribute(PyTypeObject* type, const char* name) {
  PyRef attribute =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
  if (!attribute) {
    PyErr_Clear();
  }
  return attribute;
}

// numpy.memmap's item access hands back what ndarray's gives, so a memmap (or a subclass that
// keeps memmap's item access) reads its buffer as well. Only the memmap of the numpy module
// already imported counts.
bool is_memmap_item_access(PyTypeObject* type, PyObject* item_access) {
  PyRef numpy_name = PyRef::steal(PyUnicode_FromString("numpy"));
  if (!numpy_name) {
    PyErr_Clear();
    return false;
  }
  PyRef numpy = PyRef::steal(PyImport_GetModule(numpy_name.get()));
  if (!numpy) {
    PyErr_Clear();
    return false;
  }
  PyRef memmap = PyRef::steal(PyObject_GetAttrString(numpy.get(), "memmap"));
  if (!memmap || !PyType_Check(memmap.get())) {
    PyErr_Clear();
    return false;
  }
  auto* memmap_type = reinterpret_cast<PyTypeObject*>(memmap.get());
  if (!PyType_IsSubtype(type, memmap_type)) {
    return false;
  }
  // memmap's own __getitem__ calls super(), which only works on a memmap.
  PyRef genuine = type_attribute(memmap_type, "__getitem__");
  return genuine && genuine.get() == item_access;
}

// The protocols through which iterating an instance reads its elements, each as ndarray has it.
bool leaves_iteration_to_ndarray(PyTypeObject* type) {
  constexpr std::array<const char*, 4> kProtocols = {"__getitem__", "__len__", "__iter__",
                                                     "__buffer__"};
  for (const char* name : kProtocols) {
    PyRef own = type_attribute(type, name);
    PyRef inherited = type_attribute(g_ndarray_type, name);
    if (own.get() == inherited.get()) {
      continue;
    }
    if (std::strcmp(name, "__getitem__") != 0 || !own || !is_memmap_item_access(type, own.get())) {
      return false;
    }
  }
  return true;
}

// --- which formats: struct syntax for integers --------------------------------------------------

template <class Unsigned>
Unsigned byte_swapped(Unsigned value) noexcept {
  if constexpr (sizeof(Unsigned) == 2) {
    return byte_swap(static_cast<std::uint16_t>(value));
  } else if constexpr (sizeof(Unsigned) == 4) {
    return byte_swap(static_cast<std::uint32_t>(value));
  } else if constexpr (sizeof(Unsigned) == 8) {
    return byte_swap(static_cast<std::uint64_t>(value));
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
IntegerFormat format_of(bool swap) noexcept {
  return IntegerFormat{swap ? read_integers<Integer, true> : read_integers<Integer, false>,
                       sizeof(Integer), std::is_signed_v<Integer>, swap};
}

// An integer format character of struct syntax: lower case signed, upper case unsigned.
struct IntegerCode {
  bool is_signed;
  std::size_t native_size;
  std::size_t standard_size;  // 0: native mode only
};

std::optional<IntegerCode> integer_code(char format) {
  struct Entry {
    char code;
    std::size_t native_size;
    std::size_t standard_size;
  };
  constexpr std::array<Entry, 6> kCodes = {{{'B', 1, 1},
                                            {'H', sizeof(short), 2},
                                            {'I', sizeof(int), 4},
                                            {'L', sizeof(long), 4},
                                            {'Q', sizeof(long long), 8},
                                            {'N', sizeof(std::size_t), 0}}};
  const bool is_signed = format >= 'a' && format <= 'z';
  const char upper = is_signed ? static_cast<char>(format - 'a' + 'A') : format;
  for (const Entry& entry : kCodes) {
    if (entry.code == upper) {
      return IntegerCode{is_signed, entry.native_size, entry.standard_size};
    }
  }
  return std::nullopt;
}

// How to read a buffer's element format when it is an integer format of struct syntax; nothing
// for anything else. memoryview iterates only formats in native mode, so only those are read.
std::optional<IntegerFormat> integer_format(const Py_buffer& view, bool native_only) {
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
  const std::optional<IntegerCode> code = integer_code(format[0]);
  if (!code) {
    return std::nullopt;
  }
  const std::size_t size = native ? code->native_size : code->standard_size;
  const bool is_signed = code->is_signed;
  if (size == 0) {
    return std::nullopt;
  }
  if (view.itemsize < 0 || static_cast<std::size_t>(view.itemsize) != size) {
    return std::nullopt;
  }
  const bool swap = size > 1 && little != kHostLittle;
  switch (size) {
    case 1:
      return is_signed ? format_of<std::int8_t>(false) : format_of<std::uint8_t>(false);
    case 2:
      return is_signed ? format_of<std::int16_t>(swap) : format_of<std::uint16_t>(swap);
    case 4:
      return is_signed ? format_of<std::int32_t>(swap) : format_of<std::uint32_t>(swap);
    case 8:
      return is_signed ? format_of<std::int64_t>(swap) : format_of<std::uint64_t>(swap);
    default:
      return std::nullopt;
  }
}

}  // namespace

Exporter exporter_of(PyTypeObject* type) {
  if (type == &PyMemoryView_Type) {
    return Exporter::memoryview;
  }
  if (is_type_named(type, g_ndarray_type, "numpy", "ndarray")) {
    return Exporter::ndarray;
  }
  if (is_type_named(type, g_array_type, "array", "array")) {
    return Exporter::array;
  }
  if (derives_from_ndarray(type) && leaves_iteration_to_ndarray(type)) {
    return Exporter::ndarray_subclass;
  }
  return Exporter::other;
}

bool BufferView::acquire(PyObject* object, int flags) noexcept {
  if (PyObject_GetBuffer(object, &view_, flags) < 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  return true;
}

bool IntegerBuffer::acquire(PyObject* object, Exporter exporter, int dimensions) noexcept {
  if (!buffer_->acquire(object, PyBUF_FORMAT | PyBUF_STRIDES)) {
    return false;
  }
  const Py_buffer& view = buffer_->get();
  if (view.ndim != dimensions || view.shape == nullptr || view.strides == nullptr ||
      view.suboffsets != nullptr) {
    return false;
  }
  const bool native_only = exporter == Exporter::memoryview || exporter == Exporter::array;
  const std::optional<IntegerFormat> format = integer_format(view, native_only);
  if (!format) {
    return false;
  }
  format_ = *format;
  return true;
}

Py_ssize_t IntegerBuffer::rows() const noexcept {
  const Py_buffer& view = buffer_->get();
  return view.ndim == 2 ? view.shape[0] : 1;
}

bool IntegerBuffer::read_row(Py_ssize_t row, SymbolSink& out) const {
  const Py_buffer& view = buffer_->get();
  const int last = view.ndim - 1;
  const Py_ssize_t length = view.shape[last];
  const Py_ssize_t stride = view.strides[last];
  const char* first = static_cast<const char*>(view.buf) + (last == 0 ? 0 : row * view.strides[0]);
  out.expect(static_cast<std::size_t>(length));
  for (Py_ssize_t done = 0; done < length;) {
    const std::span<std::uint64_t> room = out.room();
    const Py_ssize_t count =
        std::min(static_cast<Py_ssize_t>(std::min<std::size_t>(room.size(), PY_SSIZE_T_MAX)),
                 length - done);
    if (!format_.read(first + done * stride, count, stride, room.data())) {
      out.discard();
      return false;
    }
    out.commit(static_cast<std::size_t>(count));
    done += count;
    if (static_cast<std::size_t>(count) >= kPieceSize) {
      // The export keeps the memory in place while a signal handler runs.
      poll_interruption(static_cast<std::uint64_t>(count));
    }
  }
  return true;
}

namespace {

// Whether any of `count` signed integers of `Integer` at `first` is negative; polls between
// pieces, as reading them would.
template <class Integer>
bool any_negative(const char* first, Py_ssize_t count) {
  for (Py_ssize_t done = 0; done < count;) {
    const Py_ssize_t piece = std::min<Py_ssize_t>(count - done, Py_ssize_t{1} << 16);
    Integer seen = 0;
    for (Py_ssize_t i = done; i < done + piece; ++i) {
      Integer value;
      std::memcpy(&value, first + i * static_cast<Py_ssize_t>(sizeof(Integer)), sizeof value);
      seen |= value;
    }
    if (seen < 0) {
      return true;
    }
    done += piece;
    poll_interruption(static_cast<std::uint64_t>(piece));
  }
  return false;
}

}  // namespace

std::optional<InPlaceSymbols> IntegerBuffer::in_place(Py_ssize_t row) const {
  const Py_buffer& view = buffer_->get();
  const int last = view.ndim - 1;
  const Py_ssize_t length = view.shape[last];
  if (format_.swapped || (length > 1 && view.strides[last] != view.itemsize)) {
    return std::nullopt;
  }
  const char* first = static_cast<const char*>(view.buf) + (last == 0 ? 0 : row * view.strides[0]);
  if (format_.is_signed) {
    // A negative value is read as its OverflowError, by the general conversion.
    const bool negative = format_.size == 1   ? any_negative<std::int8_t>(first, length)
                          : format_.size == 2 ? any_negative<std::int16_t>(first, length)
                          : format_.size == 4 ? any_negative<std::int32_t>(first, length)
                                              : any_negative<std::int64_t>(first, length);
    if (negative) {
      return std::nullopt;
    }
  }
  return InPlaceSymbols{first, static_cast<std::uint64_t>(length), format_.size};
}

}  // namespace tesk::py
