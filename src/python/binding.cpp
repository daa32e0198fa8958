#include "python/binding.hpp"

#include <limits>

namespace tesk::py {

namespace {

[[noreturn]] void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t total = signature.parameters.size();
  if (signature.required == total) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 signature.function_name, static_cast<Py_ssize_t>(total), total == 1 ? "" : "s",
                 given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd %s given",
                 signature.function_name, static_cast<Py_ssize_t>(signature.required),
                 static_cast<Py_ssize_t>(total), given, given == 1 ? "was" : "were");
  }
  throw PythonErrorSet{};
}

void bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyRef> bound) {
  if (static_cast<std::size_t>(nargs) > signature.parameters.size()) {
    raise_too_many_positional(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    bound[static_cast<std::size_t>(i)] = PyRef::borrow(args[i]);
  }
}

void bind_keyword(const Signature& signature, PyObject* name, PyObject* value,
                  std::span<PyRef> bound) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function_name);
    throw PythonErrorSet{};
  }
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, signature.parameters[i]) != 0) {
      continue;
    }
    if (bound[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.function_name, signature.parameters[i]);
      throw PythonErrorSet{};
    }
    bound[i] = PyRef::borrow(value);
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
               signature.function_name, name);
  throw PythonErrorSet{};
}

void check_required(const Signature& signature, std::span<PyRef> bound) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!bound[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                   signature.function_name, signature.parameters[i],
                   static_cast<Py_ssize_t>(i + 1));
      throw PythonErrorSet{};
    }
  }
}

}  // namespace

void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyRef> bound) {
  ensure(bound.size() == signature.parameters.size(), "binding slots do not match the signature");
  bind_positional(signature, args, nargs, bound);
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_Size(kwnames);
    if (keywords < 0) {
      throw_python_error();
    }
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (name == nullptr) {
        throw_python_error();
      }
      bind_keyword(signature, name, args[nargs + k], bound);
    }
  }
  check_required(signature, bound);
}

void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyRef> bound) {
  ensure(bound.size() == signature.parameters.size(), "binding slots do not match the signature");
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) {
    throw_python_error();
  }
  if (static_cast<std::size_t>(nargs) > signature.parameters.size()) {
    raise_too_many_positional(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyObject* item = PyTuple_GetItem(args, i);
    if (item == nullptr) {
      throw_python_error();
    }
    bound[static_cast<std::size_t>(i)] = PyRef::borrow(item);
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      bind_keyword(signature, name, value, bound);
    }
  }
  check_required(signature, bound);
}

void check_receiver(PyObject* object, PyTypeObject* expected) {
  if (object != nullptr && PyObject_TypeCheck(object, expected)) {
    return;
  }
  PyRef expected_name = PyRef::steal(PyType_GetName(expected));
  if (!expected_name) {
    throw_python_error();
  }
  if (object == nullptr) {
    PyErr_Format(PyExc_TypeError, "a '%U' object is required", expected_name.get());
    throw PythonErrorSet{};
  }
  PyRef received_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!received_name) {
    throw_python_error();
  }
  PyErr_Format(PyExc_TypeError, "expected a '%U' object, got '%U'", expected_name.get(),
               received_name.get());
  throw PythonErrorSet{};
}

SharedBorrow::SharedBorrow(Py_ssize_t& flag) : flag_(flag) {
  if (flag_ < 0) {
    raise_message(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ensure(flag_ < std::numeric_limits<Py_ssize_t>::max(), "shared borrow count overflow");
  ++flag_;
}

ExclusiveBorrow::ExclusiveBorrow(Py_ssize_t& flag) : flag_(flag) {
  if (flag_ != 0) {
    raise_message(PyExc_RuntimeError, "Already borrowed");
  }
  flag_ = -1;
}

}  // namespace tesk::py
