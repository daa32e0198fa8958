#include "boundary/convert.hpp"

#include <algorithm>
#include <new>

namespace tesk::py {

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

// bytes and bytearray hold their byte values directly; copying them is what iterating gives.
bool copy_byte_values(PyObject* object, SymbolSequence& out) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_CheckExact(object)) {
    char* buffer = nullptr;
    if (PyBytes_AsStringAndSize(object, &buffer, &size) < 0) {
      throw_python_error();
    }
    data = buffer;
  } else if (PyByteArray_CheckExact(object)) {
    data = PyByteArray_AsString(object);
    size = PyByteArray_Size(object);
    if (data == nullptr || size < 0) {
      throw_python_error();
    }
  } else {
    return false;
  }
  out.resize(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    out[static_cast<std::size_t>(i)] = static_cast<unsigned char>(data[i]);
  }
  return true;
}

}  // namespace

std::uint64_t extract_u64(PyObject* object) {
  PyRef index;
  PyObject* integer = object;
  if (!PyLong_CheckExact(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
      throw_python_error();
    }
    integer = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
  return value;
}

SymbolSequence extract_symbol_sequence(PyObject* object) {
  SymbolSequence symbols;
  const std::size_t capacity = check_sequence(object);
  if (copy_byte_values(object, symbols)) {
    return symbols;
  }
  reserve_for(symbols, capacity);
  for_each_element(object, [&](PyObject* item) { symbols.push_back(extract_u64(item)); });
  return symbols;
}

SymbolRows extract_symbol_rows(PyObject* object) {
  SymbolRows rows;
  reserve_for(rows, check_sequence(object));
  for_each_element(object, [&](PyObject* row) { rows.push_back(extract_symbol_sequence(row)); });
  return rows;
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
