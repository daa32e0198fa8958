"""Random use of tesk's whole Python surface, checking after every call what must always hold.

The drivers only supply choices (tests/test_fuzz.py through hypothesis, fuzz_atheris.py through
atheris, or `python tests/fuzz/tesk_fuzz.py SECONDS [SEED]` through `random`). A session keeps a
few models and calls random entry points with random arguments: plain and exotic sequences,
objects whose __len__, __iter__ or __index__ lie, raise, mutate the sequence being converted or
call back into the model being used.

The oracle for an argument is Python's own protocols: every argument is built twice from one plan,
and the second copy is converted in Python (isinstance, the sequence check, len, iteration,
operator.index), which must give what the module sees. A call with a hostile argument must then
behave exactly like the same call with the plain converted value, raise the same error, or raise
the documented TypeError naming the parameter. Whatever happens, a failed call leaves every model
as it was, borrow flags return to 0, and a model's answers stay consistent with one another.
"""

import array
import ctypes
import gc
import math
import operator
import os
import pickle
import sys

import numpy as np

from tesk import TESK

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import reference_model  # noqa: E402 - the slow literal pipeline beside the tests
from instance_layout import borrow_flag  # noqa: E402

U64 = 2**64
PROPERTIES = ("method", "boundary", "sample_size", "alphabet_size", "max_depth",
              "effective_max_depth", "node_count", "context_count")
QUERIES = ("get_suffix", "get_counts", "get_transition_counts", "get_distribution", "predict_proba")
EXACT = ("get_counts", "get_transition_counts", "get_distribution")
NOT_FITTED = "fit must be called before querying the model"
NOT_IN_TREE = "context is not in the fitted tree; use get_suffix(sequence) for model backoff"
NODE_LIMIT = "count trie exceeded the u32 node limit"
CONSTRUCTOR = ("alphabet_size", "max_depth", "method", "beta", "penalty", "boundary")
SHARED_REFUSED = "Already mutably borrowed"
EXCLUSIVE_REFUSED = "Already borrowed"
# Results of alphabet_size elements are only asked for below this size; larger ones are the
# memory tests' business (and would end a process running under AddressSanitizer).
VECTOR_ALPHABET_LIMIT = 1 << 16

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double


class HostileError(Exception):
    """Raised by the fuzzer's own objects; it must pass through the module unchanged."""


class HostileTypeError(TypeError):
    """A TypeError subclass: never renamed after the parameter."""


class Refused(TypeError):
    """Expected only: the module's own TypeError for text or a non-sequence."""


class OutOfRange(OverflowError):
    """Expected only: Python's OverflowError for an integer outside 0 .. 2**64 - 1."""


class Raised:
    def __init__(self, error):
        self.error, self.type, self.args = error, type(error), error.args

    def __eq__(self, other):
        return isinstance(other, Raised) and (self.type, self.args) == (other.type, other.args)

    def __repr__(self):
        return f"Raised({self.type.__name__}{self.args!r})"


def outcome(call):
    """The call's value, or Raised. BaseExceptions (tesk's internal failures) end the run."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - every exception is data here
        return Raised(error)


# --- choices ------------------------------------------------------------------------------------


class Chooser:
    def integer(self, lo, hi):
        raise NotImplementedError

    def raw(self, size):
        return bytes(self.integer(0, 255) for _ in range(size))

    def pick(self, options):
        return options[self.integer(0, len(options) - 1)]

    def chance(self, n):
        return self.integer(0, n - 1) == 0


class RandomChooser(Chooser):
    def __init__(self, rng):
        self.rng = rng

    def integer(self, lo, hi):
        return self.rng.randint(lo, hi)

    def raw(self, size):
        return self.rng.randbytes(size)


# --- the conversion context: real calls and the Python model of their conversion ---------------


class Context:
    """Which call is converting its argument right now, and how callbacks are to behave."""

    def __init__(self):
        self.reference = False  # converting the second copy in Python
        self.outer = None  # "fit", "query" or "new" while a call converts its argument
        self.model = None
        self.log = []  # outcomes of the callbacks' calls into the model, in order

    def simulate(self, fits, call):
        """What a callback's call into the model must give while `outer` converts."""
        if self.outer == "fit":
            return Raised(RuntimeError(EXCLUSIVE_REFUSED if fits else SHARED_REFUSED))
        if self.outer == "query" and fits:
            return Raised(RuntimeError(EXCLUSIVE_REFUSED))
        return outcome(lambda: call(self.model))  # a shared use: runs as it would outside

    def reenter(self, fits, call, propagate):
        """A callback calls into the model; `fits` tells whether the call is a fit."""
        result = self.simulate(fits, call) if self.reference else outcome(lambda: call(self.model))
        self.log.append(result)
        if propagate and isinstance(result, Raised):
            raise type(result.error)(*result.args)


def reference_sequence(obj):
    """The steps before iteration: no text, the sequence protocol, and a length asked for."""
    try:
        text = isinstance(obj, str)
    except Exception:  # noqa: BLE001 - an unanswerable instance test is ignored
        text = False
    if text or not _sequence_check(obj):
        raise Refused
    try:
        len(obj)
    except Exception:  # noqa: BLE001 - only a hint
        pass
    return obj


def reference_u64(value):
    value = operator.index(value)
    if not 0 <= value < U64:
        raise OutOfRange
    return int(value)


def reference_symbols(obj):
    return [reference_u64(item) for item in reference_sequence(obj)]


def reference_rows(obj):
    return [reference_symbols(row) for row in reference_sequence(obj)]


# --- hostile objects ----------------------------------------------------------------------------


class Index:
    """An element whose __index__ may return anything, raise, mutate or call back."""

    def __init__(self, ctx, value, effect=None):
        self.ctx, self.value, self.effect = ctx, value, effect

    def __index__(self):
        if self.effect is not None:
            self.effect(self.ctx)
        return self.value


class IntSubclass(int):
    def __index__(self):  # never called: an int's own value is used
        raise AssertionError("__index__ of an int subclass was called")


class Lying:
    """A sequence through __getitem__ (and optionally __iter__) whose length and iteration lie."""

    def __init__(self, ctx, items, length, on_len=None, on_iter=None, fail_after=None):
        self.ctx, self.items, self.length = ctx, items, length
        self.on_len, self.on_iter, self.fail_after = on_len, on_iter, fail_after

    def __len__(self):
        if self.on_len is not None:
            self.on_len(self.ctx)
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        if self.fail_after is not None and index >= self.fail_after:
            raise HostileError("__getitem__")
        return self.items[index]


class LyingIterable(Lying):
    def __iter__(self):
        if self.on_iter is not None:
            self.on_iter(self.ctx)
        for position, item in enumerate(self.items):
            if self.fail_after is not None and position >= self.fail_after:
                raise HostileError("__next__")
            yield item


def _raise(error):
    def effect(ctx):
        raise error
    return effect


# --- plans: build an argument afresh, as often as needed ------------------------------------------


class Plans:
    """Random arguments, each as a function that builds a fresh copy."""

    def __init__(self, chooser, huge_allocations=True):
        self.ch = chooser
        self.huge_allocations = huge_allocations
        self.ctx = Context()
        self.models = []  # (model, constructor arguments)
        self.calls = 0
        self.bad_symbols = self.hostile = False
        self.rows_box = None  # the list of rows being planned, for elements that mutate it

    # Symbols, elements and sequences. Each argument has a mood: clean (every symbol in range,
    # every object well-behaved), with symbols outside the alphabet, or hostile.

    def mood(self):
        self.bad_symbols = self.ch.chance(5)
        self.hostile = self.ch.chance(3)

    def symbol(self, alphabet):
        ch = self.ch
        if self.bad_symbols and ch.chance(4):
            return ch.pick([alphabet, alphabet + 1, 2**32, U64 - 1, 255, 256])
        return ch.integer(0, min(alphabet, 1 << 20) - 1)

    def effect(self, model_call_allowed=True):
        """A callback body: raise, or call back into the model being used."""
        ch = self.ch
        kind = ch.integer(0, 5 if model_call_allowed else 2)
        if kind == 0:
            return _raise(HostileError("callback"))
        if kind == 1:
            return _raise(TypeError("hostile type error"))
        if kind == 2:
            return _raise(HostileTypeError("hostile subclass"))
        kind, name, symbol = ch.integer(0, 3), ch.pick(PROPERTIES), ch.integer(0, 1)
        query = ch.pick(("get_suffix", "get_counts"))
        call = [lambda m: getattr(m, name), lambda m: getattr(m, query)([symbol]),
                lambda m: m.get_contexts(), lambda m: m.fit([[0, 1, 0, 1, 1]])][kind]
        propagate = ch.chance(2)
        return lambda ctx: ctx.reenter(kind == 3, call, propagate)

    def element(self, alphabet, owner=None):
        """A plan for one element: a function building it."""
        ch, ctx = self.ch, self.ctx
        value = self.symbol(alphabet)
        if not self.hostile or not ch.chance(4):
            kind = ch.integer(0, 9)
            if kind <= 5:
                return lambda: value
            if kind == 6:
                flag = bool(value % 2)
                return lambda: flag
            if kind == 7 and value < 256:
                dtype = ch.pick([np.uint8, np.int16, np.int64, np.uint64])
                return lambda: dtype(value)
            if kind == 8:
                return lambda: IntSubclass(value)
            return lambda: Index(ctx, value)
        kind = ch.integer(0, 4)
        if kind == 0:
            other = ch.pick([-1, -(2**63), U64, 2**100, 0.0, 1.5, "0", None, b"", [0], 1j,
                             np.float64(1), np.bool_(True), np.int8(-3)])
            return lambda: other
        if kind == 1:
            returned = ch.pick([1.0, "1", None, U64, -5])  # __index__ returning a non-int
            return lambda: Index(ctx, returned)
        targets = [box for box in (owner, self.rows_box) if box is not None]
        if kind == 2 and targets:
            # Mutates the row or the rows being converted; Python's list iteration defines the
            # result.
            target, action = ch.pick(targets), ch.integer(0, 3)
            item = value if target is owner else [value]

            def build():
                done = []  # one change per copy, or insertions would never let iteration end

                def mutate(_ctx):
                    if not done:
                        done.append(True)
                        items = target[0]
                        if action == 0:
                            items.append(item)
                        elif action == 1 and items:
                            items.pop()
                        elif action == 2:
                            items.clear()
                        else:
                            items.insert(0, item)

                return Index(ctx, value, mutate)

            return build
        effect = self.effect()
        return lambda: Index(ctx, value, effect)

    def sequence(self, alphabet, max_length=12, top=True):
        """A plan for a symbol sequence: a function building the object."""
        if top:
            self.mood()
        ch, ctx = self.ch, self.ctx
        length = ch.integer(0, max_length)
        kind = ch.integer(0, 11 if self.hostile else 8)
        if kind <= 2:
            box = [None]  # the list being built, for elements that mutate it
            as_list = kind <= 1
            elements = [self.element(alphabet, box if as_list else None) for _ in range(length)]

            def build():
                items = [e() for e in elements]
                box[0] = items if as_list else tuple(items)
                return box[0]

            return build
        values = [self.symbol(alphabet) for _ in range(length)]
        if kind == 3:
            start = ch.integer(-2 if self.hostile else 0, 3)
            step = 1 if alphabet < 8 else ch.pick([1, 2])
            stop = min(start + step * length, alphabet if not self.bad_symbols else U64)
            return lambda: range(start, stop, step)
        if kind == 4:
            data = bytes(v % 256 for v in values)
            if alphabet >= 256 and ch.chance(8):
                data = ch.raw(ch.integer(0, 3000))
            maker = ch.pick([bytes, bytearray])
            return lambda: maker(data)
        if kind == 5:
            code = ch.pick("BHILQbhilq" + ("fd" if self.hostile else ""))
            bits = {"b": 7, "B": 8, "h": 15, "H": 16, "i": 31, "I": 32, "l": 63, "q": 63}
            negative = self.hostile and code in "bhilq" and ch.chance(3)
            items = [v % (1 << bits.get(code, 64)) * (-1 if negative else 1) for v in values]
            if code in "fd":
                items = [float(v) for v in items]
            return lambda: array.array(code, items)
        if kind == 6:
            dtypes = ["<u8", ">u8", "<i8", ">i4", "u1", "i1", "<u2", "=u4", "O"]
            dtype = ch.pick(dtypes + (["f8", "?", "<f2"] if self.hostile else []))
            negative = self.hostile and "i" in dtype and ch.chance(3)
            items = [v % 100 * (-1 if negative else 1) for v in values]
            stride = ch.pick([1, 1, 2, -1])
            zero_dimensional = self.hostile and ch.chance(5)
            return lambda: (np.array(items[0] if items else 0, dtype=dtype) if zero_dimensional
                            else np.array(items, dtype=dtype)[::stride])
        if kind == 7:
            # (A released view is left to test_fuzz.py: on 3.11 iter() hands one back with an
            # exception pending, which Python code observing the iteration turns into others.)
            source = ch.pick(["bytes", "array", "cast", "reversed"] +
                             (["chars"] if self.hostile else []))
            data = bytes(v % 256 for v in values) or b"\x00"  # casts refuse empty views

            def view():
                if source == "array":
                    return memoryview(array.array("h", [v % 30000 for v in values]))
                if source == "cast":
                    return memoryview(bytearray(data)).cast("B", (len(data),))
                if source == "reversed":
                    return memoryview(data)[::-1]
                if source == "chars":
                    return memoryview(data).cast("c")
                return memoryview(data)

            return view
        if kind == 9:
            text = ch.pick(["01", "", "\x00\x01", _Text("0")])
            return lambda: text
        if kind == 10:
            maker = ch.pick([dict.fromkeys, set, frozenset, iter, lambda v: (x for x in v),
                             len, lambda v: None, lambda v: object()])
            return lambda: maker(values)
        # A sequence object whose length may lie and whose iteration may fail or call back.
        elements = [self.element(alphabet) for _ in range(length)]
        claimed, on_len, on_iter, fail_after = None, None, None, None
        if self.hostile:
            claimed = ch.pick([None, 2**62, -1, U64, 1.5, "3", HostileError("__len__"), 0])
            on_len = self.effect() if ch.chance(4) else None
            on_iter = self.effect() if ch.chance(4) else None
            fail_after = ch.integer(0, length) if ch.chance(5) else None
        cls = ch.pick([Lying, LyingIterable])

        def build_lying():
            items = [e() for e in elements]
            size = len(items) if claimed is None else claimed
            return cls(ctx, items, size, on_len, on_iter, fail_after)

        return build_lying

    def huge(self):
        """A range too long for any vector (within what the sanitizer's allocator can refuse)."""
        sizes = [2**61, 2**62, 2**63 - 1]
        if self.huge_allocations:
            sizes += [2**59, 2**60]
        size = self.ch.pick(sizes)
        return lambda: range(size)

    def rows(self, alphabet, max_depth):
        self.mood()
        ch = self.ch
        count = ch.integer(0, 5)
        long_rows = max_depth <= 4
        kind = ch.integer(0, 6 if self.hostile else 4)
        box = [None]  # the list of rows being built, for elements that mutate it
        self.rows_box = box if kind <= 1 else None
        # Rows long enough to count at the deeper depths now and then.
        longest = (300 if long_rows and ch.chance(4) else
                   max_depth + 30 if 10 <= max_depth <= 40 and ch.chance(2) else 14)
        plans = [self.sequence(alphabet, longest, top=False) for _ in range(count)]
        self.rows_box = None
        if kind <= 1:

            def build_rows():
                box[0] = [p() for p in plans]
                return box[0]

            return build_rows
        if kind == 2:
            return lambda: tuple(p() for p in plans)
        if kind == 3:
            width = ch.integer(0, 40 if long_rows else 12)
            grid = [[self.symbol(alphabet) % 100 for _ in range(width)] for _ in range(count)]
            dtype = ch.pick(["<i8", ">u2", "u1", "i1"] + (["f4"] if self.hostile else []))
            return lambda: np.array(grid, dtype=dtype).reshape(count, width)
        if kind == 4:
            elements = [self.sequence(alphabet, top=False) for _ in range(count)]
            return lambda: LyingIterable(self.ctx, [p() for p in elements], count)
        if kind == 5:
            return ch.pick([self.sequence(alphabet, top=False), lambda: "01", lambda: 5,
                            lambda: None])
        claimed = ch.pick([2**62, -1, HostileError("__len__")])
        on_iter = self.effect() if ch.chance(3) else None
        return lambda: LyingIterable(self.ctx, [p() for p in plans], claimed, on_iter=on_iter)

    # Constructor arguments

    def u64_argument(self):
        ch, ctx = self.ch, self.ctx
        kind = ch.integer(0, 5)
        if kind <= 2:
            value = ch.pick([0, 1, 2, 3, 4, 5, 10, 54, 55, 256, 65535, 65536, 2**32 - 1, 2**32,
                             U64 - 1, U64, -1, True, False])
            return lambda: value
        if kind == 3:
            value = ch.pick([2.0, "4", None, b"\x04", [4]])
            return lambda: value
        value = ch.pick([2, 3, 4, 65535, U64, -2])
        effect = self.effect(model_call_allowed=False) if kind == 5 else None
        return lambda: Index(ctx, value, effect)

    def f64_argument(self):
        ch = self.ch
        value = ch.pick([None, None, 0.5, 0.75, 0.9, 1.0, 0.4999, math.nan, math.inf, -math.inf,
                         0.0, -0.0, 5e-324, 2.0, -1.0, 1, 2**2000, "0.5", np.float32(0.75)])
        if ch.chance(6):
            effect = self.effect(model_call_allowed=False)
            return lambda: Index(self.ctx, 1, effect)
        return lambda: value

    def text_argument(self, names):
        ch = self.ch
        value = ch.pick(names + [" PS ", "Peres-Shield", "\u2003BiC\u3000", "peres shield", "",
                                 "x\ty", "\ud800", "é\u0301", None, b"bic", 5, _Text("bic")])
        return lambda: value

    def constructor_arguments(self):
        """Plans for the given parameters, in parameter order (omitted ones are absent)."""
        ch = self.ch
        plans = {"alphabet_size": self.u64_argument()}
        if ch.chance(2):
            plans["max_depth"] = self.u64_argument()
        if ch.chance(2):
            plans["method"] = self.text_argument(["bct", "bic", "peres_shield", "ps"])
        for name in ("beta", "penalty"):
            if ch.chance(3):
                plans[name] = self.f64_argument()
        if ch.chance(4):
            plans["boundary"] = self.text_argument(["condition", " CONDITION "])
        return plans


class _Text(str):
    pass


def reference_constructor(arguments):
    """The converted constructor arguments (None for an omitted optional one)."""
    converted = {}
    for name, value in arguments.items():
        try:
            if name in ("alphabet_size", "max_depth"):
                converted[name] = reference_u64(value)
            elif name in ("beta", "penalty"):
                converted[name] = None if value is None else _as_double(value)
            elif isinstance(value, str):
                value.encode("utf-8")
                converted[name] = str(value)
            else:
                raise Refused
        except Exception as error:  # noqa: BLE001
            error.parameter = name
            raise
    return converted


def expected_conversion_error(expected, result, parameter):
    """A conversion that Python's protocols refuse must fail the call the documented way."""
    error = expected.error
    assert isinstance(result, Raised), (expected, result)
    prefix = f"argument '{parameter}': "
    if isinstance(error, Refused):
        assert result.type is TypeError and result.args[0].startswith(prefix), result
    elif type(error) is TypeError:
        assert result.type is TypeError and result.args == (prefix + str(error),), (error, result)
    elif isinstance(error, OutOfRange):
        assert result.type is OverflowError, result
    else:
        assert result == expected, (expected, result)


class Fuzzer(Plans):
    """Runs random calls and checks every one of them."""

    def pick_model(self):
        if not self.models:
            self.add_valid_model()
        return self.ch.pick(self.models)

    def add_valid_model(self):
        ch = self.ch
        method = ch.pick(["bct", "bic", "peres_shield"])
        arguments = {"alphabet_size": ch.pick([2, 2, 3, 4, 5, 16, 256, 70000, 2**32 - 1]),
                     "max_depth": ch.pick([0, 1, 2, 3, 4, 10, 40, 65535]), "method": method}
        if method == "bct" and (arguments["alphabet_size"] > 54 or ch.chance(3)):
            arguments["beta"] = ch.pick([0.5, 0.9, 0.999])
        if method == "bic" and ch.chance(3):
            # A tiny penalty splits nearly everything: A children per split, so small A only.
            arguments["penalty"] = ch.pick([5e-324, 0.5, 3.0] if arguments["alphabet_size"] <= 16
                                           else [1.0, 3.0])
        model = TESK(**arguments)
        if arguments["alphabet_size"] <= 70000 and ch.chance(3):
            small = min(arguments["alphabet_size"], 3)
            model.fit([[ch.integer(0, small - 1) for _ in range(ch.integer(0, 60))]
                       for _ in range(ch.integer(1, 3))])
        self.models.append((model, arguments))
        del self.models[:-3]

    # Calls whose argument is converted

    def call(self, model, outer, build, reference, invoke):
        """Converts a fresh copy in Python, then makes the real call with another one."""
        ctx = self.ctx
        ctx.model, ctx.outer, ctx.reference, ctx.log = model, outer, True, []
        expected = outcome(lambda: reference(build()))
        expected_log, ctx.reference, ctx.log = ctx.log, False, []
        argument = build()
        before = self.snapshots()
        result = outcome(lambda: invoke(argument))
        ctx.outer = None
        self.calls += 1
        assert ctx.log == expected_log, (ctx.log, expected_log)
        self.check_free()
        return expected, result, before

    def query(self):
        ch = self.ch
        model, arguments = self.pick_model()
        alphabet = arguments["alphabet_size"]
        names = QUERIES if alphabet <= VECTOR_ALPHABET_LIMIT else ("get_suffix", "get_counts")
        name = ch.pick(names)
        parameter = "history" if name == "predict_proba" else "sequence"
        method = getattr(model, name)
        if ch.chance(40):
            return self.huge_argument(lambda argument: method(argument))
        build = self.sequence(alphabet, ch.pick([12, 12, 40]))
        keyword = ch.chance(4)
        invoke = (lambda a: method(**{parameter: a})) if keyword else method
        expected, result, before = self.call(model, "query", build, reference_symbols, invoke)
        if isinstance(expected, Raised):
            expected_conversion_error(expected, result, parameter)
        else:
            assert result == outcome(lambda: method(expected)), (name, expected, result)
            self.check_answer(model, arguments, name, expected, result)
        self.check_unchanged(before)

    def fit(self):
        ch = self.ch
        model, arguments = self.pick_model()
        if ch.chance(40):
            return self.huge_argument(lambda argument: model.fit(ch.pick([argument, [argument]])))
        build = self.rows(arguments["alphabet_size"], arguments.get("max_depth", 10))
        invoke = (lambda a: model.fit(data=a)) if ch.chance(4) else model.fit
        expected, result, before = self.call(model, "fit", build, reference_rows, invoke)
        if isinstance(expected, Raised):
            expected_conversion_error(expected, result, "data")
            return self.check_unchanged(before)
        twin = TESK(**arguments)
        assert result == outcome(lambda: twin.fit(expected)), (expected, result)
        if isinstance(result, Raised):
            assert result.type is ValueError, result
            if result.args != (NODE_LIMIT,):  # a split of a huge alphabet needs too many nodes
                self.check_symbol_error(result, expected, arguments, "data")
            return self.check_unchanged(before)
        assert result is None
        assert self.describe(model, arguments) == self.describe(twin, arguments)
        self.check_against_literal_fit(model, arguments, expected)
        self.check_unchanged(before, except_for=model)
        self.check_consistency(model, arguments)

    def check_against_literal_fit(self, model, arguments, rows):
        """Small fits against the slow literal model of the whole pipeline."""
        alphabet, depth = arguments["alphabet_size"], arguments.get("max_depth", 10)
        # The literal trie has up to (symbols) x (depth) nodes: deep fits only on short rows.
        if alphabet > 16 or depth > 40 or sum(map(len, rows)) * max(depth, 6) > 3600:
            return
        literal = reference_model.fit(rows, alphabet, depth, model.method,
                                      arguments.get("beta"), arguments.get("penalty") or 1.0)
        contexts = model.get_contexts()
        assert contexts == literal.contexts() and model.node_count == literal.node_count
        for context in contexts[:12]:
            node = literal.find(context)
            assert model.get_transition_counts(context) == literal.counts(node), context
            assert model.get_distribution(context) == literal.distribution(node), context

    def huge_argument(self, invoke):
        before = self.snapshots()
        result = outcome(lambda: invoke(self.huge()()))
        assert isinstance(result, Raised) and result.type is MemoryError, result
        self.check_free()
        self.check_unchanged(before)

    def construct(self):
        ch = self.ch
        plans = self.constructor_arguments()
        names = list(plans)
        positional = ch.integer(0, len(names)) if names == list(CONSTRUCTOR[:len(names)]) else 0
        model, _ = self.pick_model()

        def invoke(arguments):
            values = [arguments[n] for n in names]
            return TESK(*values[:positional], **dict(zip(names[positional:], values[positional:])))

        expected, result, before = self.call(
            model, "new", lambda: {n: plan() for n, plan in plans.items()},
            reference_constructor, invoke)
        self.check_unchanged(before)
        if isinstance(expected, Raised):
            return expected_conversion_error(expected, result, expected.error.parameter)
        plain = {n: v for n, v in expected.items() if v is not None}
        twin = outcome(lambda: TESK(**plain))
        if isinstance(twin, Raised):
            assert result == twin and result.type is ValueError, (result, twin)
            return None
        assert self.describe(result, plain) == self.describe(twin, plain)
        if plain["alphabet_size"] <= 16 and ch.chance(2):
            self.models.append((result, plain))
            del self.models[:-3]
        return None

    # Calls without a converted argument

    def misuse(self):
        ch, ctx = self.ch, self.ctx
        model, _ = self.pick_model()
        spy = LyingIterable(ctx, [0], 1, on_len=self.touched, on_iter=self.touched)
        calls = [
            (TypeError, lambda: model.get_counts()),
            (TypeError, lambda: model.get_counts(spy, spy)),
            (TypeError, lambda: model.get_suffix(seq=spy)),
            (TypeError, lambda: model.get_distribution(spy, sequence=spy)),
            (TypeError, lambda: model.predict_proba(sequence=spy)),
            (TypeError, lambda: model.fit()),
            (TypeError, lambda: model.fit(spy, spy)),
            (TypeError, lambda: model.fit(rows=spy)),
            (TypeError, lambda: model.get_contexts(spy)),
            (TypeError, lambda: TESK()),
            (TypeError, lambda: TESK(2, 3, "bic", None, None, "condition", spy)),
            (TypeError, lambda: TESK(spy, alphabet_size=spy)),
            (TypeError, lambda: TESK(2, **{"foo": spy})),
            (TypeError, lambda: TESK.get_counts(spy, [0])),
            (TypeError, lambda: TESK.fit(5, [])),
            (TypeError, lambda: TESK.get_contexts(None)),
            (TypeError, lambda: pickle.dumps(model)),
            (TypeError, lambda: type("Sub", (TESK,), {})),
            (AttributeError, lambda: setattr(model, "max_depth", 3)),
            (AttributeError, lambda: setattr(model, "extra", spy)),
            (AttributeError, lambda: delattr(model, "method")),
        ]
        error, call = ch.pick(calls)
        before = self.snapshots()
        ctx.log = []
        result = outcome(call)
        assert isinstance(result, Raised) and result.type is error, result
        assert ctx.log == [], "an argument was converted before binding failed"
        self.check_free()
        self.check_unchanged(before)

    def touched(self, ctx):
        ctx.log.append("converted")

    # What must hold

    def snapshots(self):
        return [(model, self.describe(model, arguments)) for model, arguments in self.models]

    def check_unchanged(self, before, except_for=None):
        for model, state in before:
            if model is not except_for:
                arguments = next(a for m, a in self.models if m is model)
                assert self.describe(model, arguments) == state, "a call changed a model"

    def check_free(self):
        for model, _ in self.models:
            assert borrow_flag(model) == 0, borrow_flag(model)

    def describe(self, model, arguments):
        state = [outcome(lambda n=n: getattr(model, n)) for n in PROPERTIES]
        contexts = outcome(model.get_contexts)
        state.append(contexts)
        vectors = arguments["alphabet_size"] <= VECTOR_ALPHABET_LIMIT
        for context in ([] if isinstance(contexts, Raised) else contexts[:12]):
            state.append(outcome(lambda c=context: model.get_counts(c)))
            if vectors:
                state.append(outcome(lambda c=context: model.get_transition_counts(c)))
        state.append(outcome(lambda: model.get_suffix([0, 1, 1, 0])))
        return state

    def check_symbol_error(self, result, plain, arguments, where):
        alphabet = arguments["alphabet_size"]
        if where == "data":
            bad = [(s, f"data[{r}][{p}]") for r, row in enumerate(plain)
                   for p, s in enumerate(row) if s >= alphabet]
        else:
            bad = [(s, f"sequence[{i}]") for i, s in enumerate(plain) if s >= alphabet]
        assert bad and result.args == (
            f"symbol {bad[0][0]} at {bad[0][1]} is outside 0..{alphabet}",), (result, plain)

    def check_answer(self, model, arguments, name, plain, result):
        """One query's answer, against the model's other answers."""
        alphabet = arguments["alphabet_size"]
        if isinstance(result, Raised):
            if result.type is ValueError:
                return self.check_symbol_error(result, plain, arguments, "sequence")
            if result.type is KeyError:
                assert name in EXACT and result.args == (NOT_IN_TREE,), result
                return None
            assert result.type is RuntimeError and result.args == (NOT_FITTED,), result
            assert isinstance(outcome(lambda: model.sample_size), Raised)
            return None
        assert all(s < alphabet for s in plain)
        depth = model.effective_max_depth
        if name == "get_suffix":
            assert len(result) <= min(len(plain), depth) and plain[len(plain) - len(result):] == result
            assert isinstance(model.get_counts(result), int)
        elif name == "get_counts":
            assert 0 <= result <= model.sample_size and len(plain) <= depth
        elif name == "get_transition_counts":
            assert len(result) == alphabet and sum(result) == model.get_counts(plain)
        else:
            assert len(result) == alphabet and abs(math.fsum(result) - 1.0) <= 1e-12, result
            assert min(result) > 0.0
            if name == "predict_proba":
                assert result == model.get_distribution(model.get_suffix(plain))
        return None

    def check_consistency(self, model, arguments):
        if isinstance(outcome(lambda: model.sample_size), Raised):
            for name in ("sample_size", "effective_max_depth", "node_count", "context_count"):
                assert outcome(lambda n=name: getattr(model, n)) == Raised(RuntimeError(NOT_FITTED))
            return
        alphabet = arguments["alphabet_size"]
        contexts = model.get_contexts()
        assert len(contexts) == model.context_count <= model.node_count
        assert contexts == sorted(contexts, key=lambda c: (len(c), c))
        assert len({tuple(c) for c in contexts}) == len(contexts)
        assert model.get_counts([]) == model.sample_size
        names = QUERIES if alphabet <= VECTOR_ALPHABET_LIMIT else ("get_suffix", "get_counts")
        for context in contexts[:48]:
            assert model.get_suffix(context) == context
            for name in names:
                if name != "get_suffix":
                    self.check_answer(model, arguments, name, context, getattr(model, name)(context))
        depth = model.effective_max_depth
        for _ in range(3):
            history = [self.ch.integer(0, min(alphabet, 8) - 1)
                       for _ in range(self.ch.integer(0, min(depth, 6) + 2))]
            for name in names:
                self.check_answer(model, arguments, name, history, outcome(
                    lambda n=name: getattr(model, n)(history)))

    # The session

    def step(self):
        ch = self.ch
        action = ch.integer(0, 19)
        if action <= 2:
            self.construct()
        elif action <= 8:
            self.fit()
        elif action <= 15:
            self.query()
        elif action == 16:
            self.misuse()
        elif action == 17:
            self.check_consistency(*self.pick_model())
        elif action == 18:
            self.add_valid_model()
        else:
            if self.models and ch.chance(2):
                del self.models[ch.integer(0, len(self.models) - 1)]
            gc.collect()

    def run(self, steps):
        for _ in range(self.ch.integer(1, steps)):
            self.step()


def run(chooser, steps=12, huge_allocations=True):
    """One session of up to `steps` random calls; any broken promise raises AssertionError."""
    fuzzer = Fuzzer(chooser, huge_allocations)
    fuzzer.run(steps)
    return fuzzer.calls


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


if __name__ == "__main__":
    import random
    import time

    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    sessions = calls = 0
    huge = not address_sanitizer_loaded()
    while time.monotonic() < deadline:
        calls += run(RandomChooser(rng), huge_allocations=huge)
        sessions += 1
    print(f"{sessions} sessions, {calls} checked calls, seed {seed}")
