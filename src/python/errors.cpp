#include "python/errors.hpp"

#include <string>

namespace tesk::py {

void throw_python_error() {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  throw PythonErrorSet{};
}

namespace {

PyObject* exception_class(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::value_error:
      return PyExc_ValueError;
    case ErrorKind::key_error:
      return PyExc_KeyError;
    case ErrorKind::runtime_error:
      return PyExc_RuntimeError;
    case ErrorKind::interrupted:
      break;
  }
  return nullptr;
}

[[noreturn]] void raise_text(PyObject* exception_class, const char* text, Py_ssize_t size) {
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text, size));
  if (!message) {
    fail_object_creation();
  }
  // A str value becomes the exception's single argument (a tuple would be unpacked).
  PyErr_SetObject(exception_class, message.get());
  throw PythonErrorSet{};
}

}  // namespace

void raise_error(const Error& error) {
  if (error.kind == ErrorKind::interrupted) {
    // The signal handler's exception (KeyboardInterrupt, or whatever it raised) is pending.
    throw_python_error();
  }
  PyObject* type = exception_class(error.kind);
  ensure(type != nullptr, "error value with an unknown exception kind");
  raise_text(type, error.message.data(), static_cast<Py_ssize_t>(error.message.size()));
}

bool signals_pending(void* /*unused*/) noexcept { return PyErr_CheckSignals() != 0; }

void raise_message(PyObject* exception_class, const char* message) {
  const auto length = static_cast<Py_ssize_t>(std::char_traits<char>::length(message));
  raise_text(exception_class, message, length);
}

void raise_type_error_naming_type(const char* format, PyObject* object) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!type_name) {
    throw_python_error();
  }
  PyErr_Format(PyExc_TypeError, format, type_name.get());
  throw PythonErrorSet{};
}

void fail_object_creation(SourceLocation where) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    throw PythonErrorSet{};
  }
  if (PyErr_Occurred() != nullptr) {
    PyErr_PrintEx(0);
  }
  throw InternalFailure("Python API call failed", where);
}

void name_argument_in_type_error(const char* parameter) noexcept {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  if (raw_type != PyExc_TypeError) {
    PyErr_Restore(raw_type, raw_value, raw_traceback);
    return;
  }
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  PyRef type = PyRef::steal(raw_type);
  PyRef original = PyRef::steal(raw_value);
  PyRef traceback = PyRef::steal(raw_traceback);
  if (!original) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return;
  }

  // Each failing step below leaves its own exception pending instead of the rewritten one.
  PyRef text = PyRef::steal(PyObject_Str(original.get()));
  if (!text) {
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) {
    return;
  }
  PyRef renamed =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!renamed) {
    return;
  }
  // The original's own cause carries over, not the original itself: the renamed error replaces
  // it rather than being raised while handling it.
  PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
  PyErr_Restore(PyRef::borrow(PyExc_TypeError).release(), renamed.release(), nullptr);
}

PyObject* internal_failure_exception() noexcept {
  // Created once per process under the interpreter lock and never released, like a static type.
  static PyObject* exception_type = nullptr;
  if (exception_type == nullptr) {
    exception_type = PyErr_NewExceptionWithDoc(
        "tesk.InternalError",
        "A violated internal invariant of tesk. It ends the call, never the process; it derives "
        "from BaseException so that handlers for ordinary errors do not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return exception_type;
}

void raise_internal_failure(const char* message, const SourceLocation& where) noexcept {
  PySys_FormatStderr("tesk: internal failure: %s (%s:%u, in %s)\n", message, where.file_name(),
                     static_cast<unsigned int>(where.line()), where.function_name());
  PyObject* type = internal_failure_exception();
  if (type == nullptr) {
    return;  // creating the class failed; its error (usually MemoryError) is pending instead
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(message));
  if (!text) {
    return;
  }
  PyErr_SetObject(type, text.get());
}

}  // namespace tesk::py
