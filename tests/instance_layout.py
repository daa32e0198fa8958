"""The borrow counter of a TESK instance, reached through ctypes.

The tests rely on the layout that src/python/tesk_type.hpp promises: the counter is a Py_ssize_t,
the first field after the object header.
"""

import ctypes


def borrow_counter(model):
    """The counter itself, to read or to set."""
    return ctypes.c_ssize_t.from_address(id(model) + object.__basicsize__)


def borrow_flag(model):
    return borrow_counter(model).value
