#pragma once
// How failures leave the boundary. Inside an entry point a pending Python exception travels as
// the C++ exception PythonErrorSet, so every owning handle on the way out is released by
// unwinding; the barrier `guarded` turns it, internal failures and C++ exceptions into the
// interpreter's failure indication. Nothing thrown here ever reaches CPython.

#include <exception>
#include <new>

#include "python/py_ref.hpp"
#include "common/error.hpp"
#include "common/internal_failure.hpp"

namespace tesk::py {

// A Python exception is pending; the current entry point must return its failure indication.
// Deliberately not a std::exception, so that the barrier cannot mistake it for one.
struct PythonErrorSet {};

// Leaves the call with the pending Python exception, or with the SystemError "attempted to fetch
// exception but none was set" when the failing Python call left none.
[[noreturn]] void throw_python_error();

// Raises an error value of the core: its kind's exception class with the message as single arg.
[[noreturn]] void raise_error(const Error& error);

// Raises `exception_class` with `message` (UTF-8) as its single argument.
[[noreturn]] void raise_message(PyObject* exception_class, const char* message);

// Raises a TypeError from a PyUnicode_FromFormat `format` whose one %U is the name of
// `object`'s type.
[[noreturn]] void raise_type_error_naming_type(const char* format, PyObject* object);

// A Python object needed for a result could not be created. Running out of memory stays a
// MemoryError; anything else is printed and becomes the internal failure "Python API call failed".
[[noreturn]] void fail_object_creation(
    SourceLocation where = SourceLocation::current());

// Rewrites a pending exception of the exact class TypeError, raised while converting the
// argument `parameter`, into a new TypeError that names the parameter; other classes stay as
// they are.
void name_argument_in_type_error(const char* parameter) noexcept;

// The class of internal failures: created once per process, derived directly from BaseException.
// Null with a Python exception set when it cannot be created.
PyObject* internal_failure_exception() noexcept;

// Reports an internal failure on standard error and raises the internal-failure exception.
void raise_internal_failure(const char* message, const SourceLocation& where) noexcept;

// The interruption check a fit runs under: Python's pending signals are handled here, and a
// handler that raises (KeyboardInterrupt by default) stops the fit with that exception pending.
bool signals_pending(void* unused) noexcept;

// The barrier around every entry point. `body` returns the owned result object.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    PyRef result = body();
    return result.release();
  } catch (const PythonErrorSet&) {
  } catch (const InternalFailure& failure) {
    raise_internal_failure(failure.message().c_str(), failure.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    raise_internal_failure(unexpected.what(), SourceLocation::current());
  } catch (...) {
    raise_internal_failure("unknown C++ exception", SourceLocation::current());
  }
  return nullptr;
}

}  // namespace tesk::py
