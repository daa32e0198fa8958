#pragma once
// Python sequences element by element: the one walk over exact lists, exact tuples and anything
// else that iterates, shared by the symbols of a sequence and the rows of fit.

#include <algorithm>
#include <cstddef>

#include "common/interruption.hpp"
#include "python/errors.hpp"
#include "python/symbol_sink.hpp"

namespace tesk::py {

// What every converted sequence must be: not a str, and a sequence by Python's protocol. Returns
// a length to size storage by: a list's, a tuple's or a range's own, another object's only up
// to a bound (its length is the caller's code and may be anything).
std::size_t check_sequence(PyObject* object);

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
    poll_interruption_every(index++, 1);
    visit(item.get());
  }
  if (PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
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
    Py_ssize_t size = PyList_Size(sequence);
    if (size < 0) {
      throw_python_error();
    }
    expect(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyList_GetItem(sequence, i);
      if (item == nullptr) {
        throw_python_error();
      }
      // A signal handler may change the list as well.
      bool changed = visit(item);
      if ((i & static_cast<Py_ssize_t>(kPieceSize - 1)) == 0) {
        poll_interruption(kPieceSize);
        changed = true;
      }
      if (changed) {
        size = PyList_Size(sequence);
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
      poll_interruption_every(static_cast<std::uint64_t>(i), 1);
      visit(item);
    }
    return;
  }
  iterate_elements(sequence, check_sequence(sequence), expect, visit);
}

// Any sequence except str into `out`: bytes, bytearray and integer buffers straight from their
// memory, anything else element by element through the integer-index protocol.
void convert_symbols(PyObject* object, SymbolSink& out);

}  // namespace tesk::py
