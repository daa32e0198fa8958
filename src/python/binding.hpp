#pragma once
// Argument binding (positional or keyword, nothing extra), the receiver check and the
// per-object borrow guard that every entry point goes through.

#include <cstddef>
#include <span>

#include "python/errors.hpp"

namespace tesk::py {

struct Signature {
  const char* function_name;           // as it appears in messages, e.g. "TESK.fit"
  std::span<const char* const> parameters;
  std::size_t required;                // the leading parameters without a default
};

// Binds a METH_FASTCALL | METH_KEYWORDS call. `bound` has one slot per parameter and receives a
// reference to each given argument; omitted ones stay empty.
void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyRef> bound);

// Binds a call given as an argument tuple and an optional keyword dict (the type's new slot).
void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyRef> bound);

// TypeError naming the received type unless `object` is an instance of `expected`.
void check_receiver(PyObject* object, PyTypeObject* expected);

// Shared use of an object: refused while it is held exclusively; shared uses nest.
class SharedBorrow {
 public:
  explicit SharedBorrow(Py_ssize_t& flag);
  ~SharedBorrow() { --flag_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  Py_ssize_t& flag_;
};

// Exclusive use of an object: refused unless nobody uses it.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(Py_ssize_t& flag);
  ~ExclusiveBorrow() { flag_ = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  Py_ssize_t& flag_;
};

}  // namespace tesk::py
