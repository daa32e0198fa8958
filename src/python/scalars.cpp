// The scalar parameters of the constructor, and each element of a symbol sequence.

#include <climits>

#include "python/convert.hpp"

namespace tesk::py {

namespace {

std::uint64_t integer_value(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == ULLONG_MAX && PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
  return value;
}

}  // namespace

std::uint64_t extract_u64(PyObject* object) {
  // An int, bool or other int subclass: the integer-index protocol would hand back its own value
  // without running any of its methods, so it is read directly.
  if (PyLong_Check(object)) {
    return integer_value(object);
  }
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    throw_python_error();
  }
  return integer_value(index.get());
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
    raise_type_error_naming_type("expected a str, not '%U'", object);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) {
    throw_python_error();
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace tesk::py
