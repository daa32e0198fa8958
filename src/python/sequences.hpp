#pragma once
// Python sequences element by element: the one walk over exact lists, exact tuples and anything
// else that iterates, shared by the symbols of a sequence and the rows of fit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/interruption.hpp"
#include "python/errors.hpp"
#include "python/symbol_sink.hpp"

namespace tesk::py {

// What every converted sequence must be: not a str, and a sequence by Python's protocol. Returns
// a length to size storage by: a list's, a tuple's or a range's own, another object's only up
// to a bound (its length is the caller's code and may be anything).
std::size_t check_sequence(PyObject* object);

// Elements read per block between two polls for interruption. A sequence shorter than a block
// never polls: whoever walks many of them counts their work (see WorkTally).
inline constexpr Py_ssize_t kElementBlock = 4096;

// Iterates an object that passed check_sequence (with `length` its result): expect(length), then
// visit(item) for each element in iteration order.
template <class Expect, class Visit>
void iterate_elements(PyObject* object, std::size_t length, Expect&& expect, Visit&& visit) {
  expect(length);
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) {
    throw_python_error();
  }
  std::uint64_t index = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    visit(item.get());
    if (++index % kElementBlock == 0) {
      poll_interruption(kElementBlock);
    }
  }
  if (PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
}

inline Py_ssize_t list_length(PyObject* list) {
  const Py_ssize_t size = PyList_Size(list);
  if (size < 0) {
    throw_python_error();
  }
  return size;
}

// The elements of `sequence` in iteration order: expect(length) once, with a length to size
// storage by, then visit(item) for each, with a borrowed reference. Exact lists and tuples are
// read by index, with the results of iterating them; anything else must pass check_sequence.
// visit returns true when it may have run the caller's code: it must hold the item meanwhile,
// and a list's length is then read afresh, exactly when a list iterator would read it.
template <class Expect, class Visit>
void for_each_element(PyObject* sequence, Expect&& expect, Visit&& visit) {
  PyTypeObject* type = Py_TYPE(sequence);
  if (type == &PyList_Type) {
    Py_ssize_t size = list_length(sequence);
    expect(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size;) {
      const Py_ssize_t block_start = i;
      Py_ssize_t block_end = std::min(size, i + kElementBlock);
      for (; i < block_end; ++i) {
        PyObject* item = PyList_GetItem(sequence, i);
        if (item == nullptr) {
          throw_python_error();
        }
        if (visit(item)) {
          size = list_length(sequence);
          block_end = std::min(block_end, size);
        }
      }
      if (i - block_start == kElementBlock) {
        poll_interruption(kElementBlock);
        size = list_length(sequence);  // a signal handler may change the list as well
      }
    }
    return;
  }
  if (type == &PyTuple_Type) {
    // A tuple cannot change, and it keeps its items alive while the caller holds it.
    const Py_ssize_t size = PyTuple_Size(sequence);
    if (size < 0) {
      throw_python_error();
    }
    expect(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyTuple_GetItem(sequence, i);
      if (item == nullptr) {
        throw_python_error();
      }
      visit(item);
      if ((i + 1) % kElementBlock == 0) {
        poll_interruption(kElementBlock);
      }
    }
    return;
  }
  iterate_elements(sequence, check_sequence(sequence), expect, visit);
}

// Counts the work of many small steps (short rows, say) and polls for interruption once it
// amounts to a block.
class WorkTally {
 public:
  void add(std::uint64_t work) {
    pending_ += work;
    if (pending_ >= kElementBlock) {
      poll_interruption(std::exchange(pending_, 0));
    }
  }

 private:
  std::uint64_t pending_ = 0;
};

// Any sequence except str into `out`: bytes, bytearray and integer buffers straight from their
// memory, anything else element by element through the integer-index protocol.
void convert_symbols(PyObject* object, SymbolSink& out);

}  // namespace tesk::py
