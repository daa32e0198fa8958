#pragma once
// Conversions of Python arguments into the core's values. Each either returns the value or
// leaves a Python exception pending and throws PythonErrorSet.

#include <cstdint>
#include <string>

#include "common/interruption.hpp"
#include "python/errors.hpp"
#include "python/integer_buffers.hpp"
#include "python/symbol_argument.hpp"
#include "trie/packed_rows.hpp"

namespace tesk::py {

// Any sequence except str, element by element through the integer-index protocol.
void extract_symbol_sequence(PyObject* object, SymbolArgument& out);
// A sequence (not str) of such sequences: the rows of fit, packed for an alphabet of this size
// (symbols outside it are recorded, not refused: the fit reports them). Rows held in the packed
// width are read in place: their exports go to `held`, which must outlive the rows.
PackedRows extract_packed_rows(PyObject* object, std::uint64_t alphabet_size,
                               HeldExports& held);
// An int or an object with __index__, 0 <= value < 2**64.
std::uint64_t extract_u64(PyObject* object);
// Python's own float conversion.
double extract_f64(PyObject* object);
// A str (or subclass) as UTF-8.
std::string extract_text(PyObject* object);

// Runs one argument's conversion; a TypeError it raises is reported under the parameter's name.
// A conversion that a signal handler stopped leaves the handler's exception as it is.
template <class Conversion>
auto convert_argument(const char* parameter, Conversion&& conversion) -> decltype(conversion()) {
  try {
    return conversion();
  } catch (const PythonErrorSet&) {
    name_argument_in_type_error(parameter);
    throw;
  } catch (const Interrupted&) {
    throw_python_error();
  }
}

}  // namespace tesk::py
