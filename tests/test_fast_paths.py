"""Arguments that tesk reads directly (lists, tuples, bytes, integer buffers) convert exactly as
the general path converts them: by iteration and the integer-index protocol, element by element.

Each case is converted both ways: as it is, and wrapped in `Generic`, a plain Python sequence
that iterates the same object and so can only take the general path. The outcomes (results, or
exception type and arguments) must be identical.
"""

import array
import operator
import random
import sys

import pytest

from tesk import TESK
from integer_like import Index

THRESHOLDS = [2, 3, 4, 5, 127, 128, 200, 256, 2**15, 2**31, 2**32 - 1]


class Generic:
    """A plain sequence that iterates the wrapped object: the general conversion only."""

    def __init__(self, wrapped):
        self.wrapped = wrapped

    def __len__(self):
        return len(self.wrapped)

    def __getitem__(self, index):
        return self.wrapped[index]

    def __iter__(self):
        return iter(self.wrapped)


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:
        return (type(error), error.args)


def _fitted(alphabet, depth):
    rng = random.Random(alphabet * 100 + depth)
    model = TESK(alphabet, max_depth=depth, method="bic", penalty=1e-9)
    model.fit([[rng.randrange(alphabet) for _ in range(4000)]])
    return model


FITTED = _fitted(4, 3)
FITTED_BYTES = _fitted(256, 1)


def query_fingerprint(argument):
    """Outcomes that depend on every converted value: the first symbol at or above each bound
    (with its index), and backoff and exact queries on fitted models."""
    probes = [outcome(lambda: TESK(a, method="bic").get_counts(argument)) for a in THRESHOLDS]
    for model in (FITTED, FITTED_BYTES):
        for name in ("get_suffix", "predict_proba", "get_counts", "get_transition_counts"):
            probes.append(outcome(lambda: getattr(model, name)(argument)))
    return probes


def fit_fingerprint(data, alphabet=4):
    model = TESK(alphabet, max_depth=2, method="bic", penalty=1e-9)
    fitted = outcome(lambda: model.fit(data))
    if fitted[0] != "ok":
        return fitted
    contexts = model.get_contexts()
    counts = [model.get_transition_counts(c) for c in contexts]
    return (model.sample_size, model.node_count, contexts, counts, model.get_counts([]))


def assert_converts_like_iteration(make, emulate=True):
    """`make` builds the argument afresh for each conversion (some cases change as they go)."""
    fast = query_fingerprint(make())
    assert fast == query_fingerprint(Generic(make()))
    assert fit_fingerprint([make()]) == fit_fingerprint([Generic(make())])
    assert fit_fingerprint([make()], 256) == fit_fingerprint([Generic(make())], 256)
    if not emulate:
        return fast
    try:
        emulated = [operator.index(value) for value in make()]
    except Exception:
        return fast
    assert fast == query_fingerprint(emulated)
    return fast


def some_values(count=40, top=4, seed=0):
    rng = random.Random(seed)
    return [rng.randrange(top) for _ in range(count)]


# --- lists and tuples --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "values",
    [
        [],
        some_values(),
        some_values(top=300),
        [0, 1, True, False, 3],
        [0, 2**64 - 1, 1],
        [2**63, 1],
        [1, -1, 2],
        [1, 2**64, 2],
        [0, 1.0],
        [0, "1"],
        [0, None],
        [Index(3), Index(0), 1, Index(2**64 - 1)],
        [1, Index(-5)],
        [type("Small", (int,), {"__index__": lambda self: 0})(3), 2],
    ],
    ids=repr,
)
def test_lists_and_tuples_convert_like_iteration(values):
    assert_converts_like_iteration(lambda: list(values))
    assert_converts_like_iteration(lambda: tuple(values))


def _growing_list():
    items = [0, 1]
    items.append(Index(2, lambda: items.append(3)))
    items.append(Index(1, lambda: items.append(Index(0, lambda: items.append(2)))))
    return items


def _shrinking_list():
    items = [0, 1, 2, 3, 1, 2]
    items[1] = Index(1, lambda: items.pop())
    items[2] = Index(2, lambda: items.clear())
    return items


def _dropped_item_list():
    items = [0, 1, 2]
    items[1] = Index(1, lambda: items.__delitem__(1))  # drops the element being converted
    return items


@pytest.mark.parametrize("make", [_growing_list, _shrinking_list, _dropped_item_list])
def test_list_changed_while_converting_is_read_as_iteration_reads_it(make):
    # Each conversion changes the list again, so there is no fixed list to compare with.
    assert_converts_like_iteration(make, emulate=False)
    converted, iterated = make(), make()
    first = outcome(lambda: TESK(2**32 - 1, method="bic").get_counts(converted))
    assert first == outcome(lambda: TESK(2**32 - 1, method="bic").get_counts(Generic(iterated)))
    assert first[0] is RuntimeError
    assert [operator.index(v) for v in converted] == [operator.index(v) for v in iterated]


def test_rows_list_changed_by_a_row_is_read_as_iteration_reads_it():
    def make():
        rows = [[0, 1, 2, 3]]

        class Row(Generic):
            def __iter__(self):
                rows.append([3, 2, 1, 0, 1])
                return iter(self.wrapped)

        rows.append(Row([1, 1, 2, 0]))
        rows.append([2, 3])
        return rows

    assert fit_fingerprint(make()) == fit_fingerprint(Generic(make()))
    assert fit_fingerprint(make())[0] == 2 + 2 + 0 + 3


# --- bytes and buffers -------------------------------------------------------------------------


def _buffer_cases():
    raw = bytes(some_values(48, 256, seed=1))
    small = bytes(some_values(48, 4, seed=2))
    cases = {
        "bytes": lambda: raw,
        "bytearray": lambda: bytearray(small),
        "memoryview": lambda: memoryview(small),
        "memoryview-step": lambda: memoryview(small)[1::3],
        "memoryview-reversed": lambda: memoryview(raw)[::-2],
        "memoryview-0d": lambda: memoryview(raw[:4]).cast("i", shape=[]),
        "memoryview-2d": lambda: memoryview(small).cast("B", shape=[6, 8]),
        "memoryview-char": lambda: memoryview(small).cast("c"),
        "memoryview-bool": lambda: memoryview(bytes([0, 1, 1, 0, 1])).cast("?"),
        "memoryview-float": lambda: memoryview(array.array("d", [0.0, 1.0])),
    }
    for code in "bBhHiIlLqQnN":
        cases[f"memoryview-{code}"] = lambda code=code: memoryview(raw).cast(code)
        cases[f"memoryview-{code}-step"] = lambda code=code: memoryview(raw).cast(code)[::-3]
    return cases


@pytest.mark.parametrize("name, make", _buffer_cases().items(), ids=_buffer_cases().keys())
def test_bytes_and_memoryviews_convert_like_iteration(name, make):
    assert_converts_like_iteration(make)


@pytest.mark.parametrize("code", list("bBhHiIlLqQ") + ["u", "f", "d"])
def test_arrays_of_every_typecode_convert_like_iteration(code):
    bits = array.array(code).itemsize * 8
    if code in "bhilq":
        values = [0, 3, 1, 2**(bits - 1) - 1, 2, 0]
        negative = [1, 0, -(2**(bits - 1)), 2]
    elif code in "BHILQ":
        values = [0, 3, 1, 2**bits - 1, 2, 2**(bits - 1)]
        negative = None
    elif code == "u":
        values, negative = "abc", None
    else:
        values, negative = [0.0, 1.0], None
    assert_converts_like_iteration(lambda: array.array(code, values))
    assert_converts_like_iteration(lambda: array.array(code, values[:3]))
    if negative is not None:
        assert outcome(lambda: FITTED.get_counts(array.array(code, negative)))[0] is OverflowError
        assert_converts_like_iteration(lambda: array.array(code, negative))


def test_large_unsigned_values_keep_every_bit():
    probe = TESK(2**32 - 1, method="bic")
    for argument in (array.array("Q", [1, 2**63 + 5]), memoryview(array.array("Q", [2**64 - 1]))):
        value = argument[-1]
        with pytest.raises(ValueError) as raised:
            probe.get_counts(argument)
        assert raised.value.args == (f"symbol {value} at sequence[{len(argument) - 1}] "
                                     f"is outside 0..{2**32 - 1}",)


# --- numpy arrays --------------------------------------------------------------------------------

INTEGER_DTYPES = ["i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", ">i4", ">u8", "<i2", ">i2"]


@pytest.mark.parametrize("dtype", INTEGER_DTYPES + ["?", "f8", "f2", "O", "M8[s]"])
def test_numpy_vectors_convert_like_iteration(dtype):
    np = pytest.importorskip("numpy")
    values = np.array(some_values(60, 4, seed=3) + [1, 0]).astype(dtype)
    assert_converts_like_iteration(lambda: values)
    assert_converts_like_iteration(lambda: values[::3])
    assert_converts_like_iteration(lambda: values[::-2])
    assert_converts_like_iteration(lambda: values[:0])
    assert_converts_like_iteration(lambda: np.broadcast_to(values[:1], (5,)))
    if dtype not in ("O", "M8[s]"):  # these export no buffer
        # A memoryview iterates only native formats; it refuses '>i', say.
        assert_converts_like_iteration(lambda: memoryview(values))
        assert_converts_like_iteration(lambda: memoryview(values[::-3]))


@pytest.mark.parametrize("dtype", ["i1", "i2", "i4", "i8", ">i8"])
def test_negative_numpy_values_raise_overflow_error(dtype):
    np = pytest.importorskip("numpy")
    values = np.array([0, 1, -1, 2], dtype=dtype)
    fingerprint = assert_converts_like_iteration(lambda: values)
    assert fingerprint[0][0] is OverflowError
    fitted = fit_fingerprint(np.array([[0, 1, 2, 3], [0, 1, -2, 0]], dtype=dtype))
    assert fitted[0] is OverflowError


def test_numpy_values_beyond_int64_keep_every_bit():
    np = pytest.importorskip("numpy")
    values = np.array([3, 2**63 + 1, 2**64 - 1], dtype=">u8")
    assert_converts_like_iteration(lambda: values)
    with pytest.raises(ValueError, match=r"^symbol 9223372036854775809 at sequence\[1\]"):
        TESK(4, method="bic").get_counts(values)


@pytest.mark.parametrize("dtype", INTEGER_DTYPES + ["?", "f8"])
def test_two_dimensional_numpy_data_fits_like_its_rows(dtype):
    np = pytest.importorskip("numpy")
    data = np.array(some_values(90, 4, seed=4)).reshape(6, 15).astype(dtype)
    for variant in (data, data[::2, ::-1], np.asfortranarray(data), data.T, data[:, :0],
                    data[:0]):
        expected = fit_fingerprint(Generic(variant))
        assert fit_fingerprint(variant) == expected
        try:
            rows = [[operator.index(v) for v in row] for row in variant]
        except TypeError:
            continue
        assert expected == fit_fingerprint(rows)


def test_other_numpy_shapes_convert_like_iteration():
    np = pytest.importorskip("numpy")
    assert_converts_like_iteration(lambda: np.array(2))
    assert_converts_like_iteration(lambda: np.zeros((2, 3), dtype="u1"))
    assert fit_fingerprint(np.zeros((2, 3, 4), dtype="u1")) == fit_fingerprint(
        Generic(np.zeros((2, 3, 4), dtype="u1")))
    assert fit_fingerprint(np.arange(4)) == fit_fingerprint(Generic(np.arange(4)))


# --- subclasses and look-alikes take the general path ---------------------------------------------


def _reversing(base):
    return type(f"Reversed{base.__name__}", (base,), {
        "__iter__": lambda self: reversed(list(base.__iter__(self))),
    })


def _shifting(base):
    return type(f"Shifted{base.__name__}", (base,), {
        "__getitem__": lambda self, index: base.__getitem__(self, index) + 1,
        "__iter__": lambda self: (v + 1 for v in base.__iter__(self)),
    })


@pytest.mark.parametrize("base", [list, tuple, bytes, bytearray])
@pytest.mark.parametrize("wrap", [_reversing, _shifting])
def test_subclasses_iterate_their_own_way(base, wrap):
    values = some_values(20, 3, seed=5) + [0, 1]
    cls = wrap(base)
    fingerprint = assert_converts_like_iteration(lambda: cls(values))
    assert fingerprint == query_fingerprint(list(iter(cls(values))))
    assert fingerprint != query_fingerprint(values)


def test_numpy_and_array_subclasses_iterate_their_own_way():
    np = pytest.importorskip("numpy")
    Shifted = type("ndarray", (np.ndarray,), {"__iter__": lambda self: (int(v) + 1 for v in
                                                                          np.asarray(self))})
    Shifted.__module__ = "numpy"
    values = np.array([0, 1, 2, 0, 2], dtype="u1")
    fingerprint = assert_converts_like_iteration(lambda: values.view(Shifted))
    assert fingerprint == query_fingerprint([1, 2, 3, 1, 3])

    ShiftedArray = type("array", (array.array,), {"__iter__": lambda self: iter([3, 2, 1])})
    ShiftedArray.__module__ = "array"
    fingerprint = assert_converts_like_iteration(lambda: ShiftedArray("B", [0, 0, 0]))
    assert fingerprint == query_fingerprint([3, 2, 1])


def test_ndarray_subclasses_keeping_its_iteration_convert_like_iteration(tmp_path):
    # Plain subclasses and memmap read their buffer; one overriding item access keeps it.
    np = pytest.importorskip("numpy")
    values = np.array(some_values(5000, 300, seed=9), dtype=">u2")
    values.tofile(tmp_path / "values")
    mapped = np.memmap(tmp_path / "values", dtype=">u2", mode="r")
    plain = type("Plain", (np.ndarray,), {})
    shifted = type("Shifted", (np.ndarray,), {
        "__getitem__": lambda self, index: np.ndarray.__getitem__(self, index) + 1})
    vectors = [values.view(plain), mapped, mapped[::-3]]
    calls = []
    sys.setprofile(lambda frame, event, arg: event == "call" and calls.append(frame.f_code))
    try:
        fast = [query_fingerprint(vector) for vector in vectors]
    finally:
        sys.setprofile(None)
    assert np.memmap.__getitem__.__code__ not in calls
    for vector, fingerprint in zip(vectors, fast):
        assert fingerprint == query_fingerprint(Generic(vector))
        assert fit_fingerprint([vector]) == fit_fingerprint([Generic(vector)])
    matrix = mapped.reshape(50, 100)
    assert fit_fingerprint(matrix) == fit_fingerprint(Generic(matrix))
    assert query_fingerprint(values.view(shifted)) == query_fingerprint(list(values + 1))


def test_look_alike_types_met_first_take_the_general_path(run_python):
    # Recognised types are remembered once met, so only a fresh interpreter shows that a
    # Python class with the name and module of array.array or numpy.ndarray is not taken for it.
    result = run_python(
        "import array, tesk\n"
        "class ndarray(array.array):\n"
        "    __module__ = 'numpy'\n"
        "    def __iter__(self): return iter([3, 2, 1])\n"
        "class fake(array.array):\n"
        "    __module__ = 'array'\n"
        "    def __iter__(self): return iter([2, 1, 3])\n"
        "fake.__name__ = 'array'\n"
        "for cls in (ndarray, fake):\n"
        "    try:\n"
        "        tesk.TESK(2, method='bic').get_counts(cls('B', [0, 0, 0]))\n"
        "    except ValueError as error:\n"
        "        print(error)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "symbol 3 at sequence[0] is outside 0..2",
        "symbol 2 at sequence[0] is outside 0..2",
    ]


def test_fast_paths_do_not_import_numpy(run_python):
    result = run_python(
        "import sys, array, tesk\n"
        "m = tesk.TESK(4, method='bic')\n"
        "m.fit([[0, 1, 2], (1, 2), b'\\x00\\x01', array.array('q', [1, 2]), memoryview(b'\\x01')])\n"
        "print('numpy' in sys.modules)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


# --- fit's rows, packed as they convert ---------------------------------------------------------


def _rows_of(kind, rows):
    if kind == "bytes":
        return [bytes(row) for row in rows]
    if kind == "array":
        return [array.array("q", row) for row in rows]
    if kind == "tuple":
        return tuple(tuple(row) for row in rows)
    return [list(row) for row in rows]


@pytest.mark.parametrize("alphabet", [2, 255, 256, 257, 65536, 65537, 2**32 - 1])
@pytest.mark.parametrize("kind", ["list", "tuple", "bytes", "array"])
def test_rows_with_a_bad_symbol_later_fit_alike_in_every_form(alphabet, kind):
    rng = random.Random(alphabet)
    top = min(alphabet, 256)
    good = [[rng.randrange(top) for _ in range(n)] for n in (30, 0, 25)]
    cases = [good]
    if alphabet <= 255:
        # The second row holds the first bad symbol; the third, only a later one.
        cases.append([good[0], good[2][:5] + [alphabet] + good[2][5:], good[0] + [255]])
    def fingerprint(data):
        # Default penalty: no split, so a wide alphabet stays cheap to fit and to list.
        model = TESK(alphabet, max_depth=2, method="bic")
        fitted = outcome(lambda: model.fit(data))
        if fitted[0] != "ok":
            return fitted
        return (model.sample_size, model.node_count, model.get_contexts(),
                model.get_transition_counts([]) if alphabet <= 65537 else None)

    for rows in cases:
        expected = fingerprint(Generic([Generic(row) for row in rows]))
        assert fingerprint(_rows_of(kind, rows)) == expected


def test_bad_symbol_after_the_first_piece_is_reported_at_its_place_in_the_row():
    np = pytest.importorskip("numpy")
    values = some_values(9000, seed=10)
    values[5000] = 7
    rows = [array.array("q", values), memoryview(bytes(values)), np.array(values, dtype="u2")]
    for data in [[row] for row in rows] + [np.array([values, values])]:
        assert outcome(lambda: TESK(4, method="bic").fit(data)) == (
            ValueError, ("symbol 7 at data[0][5000] is outside 0..4",))


def test_negative_value_after_the_first_piece_falls_back_exactly():
    # Buffers are packed a few thousand values at a time; a negative value further on must still
    # give the general conversion's OverflowError, with nothing kept of the rows read so far.
    values = some_values(10000, seed=7)
    values[9000] = -3
    for data in ([array.array("q", values)], [array.array("q", some_values(50)),
                                               array.array("q", values)]):
        assert fit_fingerprint(data) == fit_fingerprint([Generic(row) for row in data])
        assert fit_fingerprint(data)[0] is OverflowError
    np = pytest.importorskip("numpy")
    grid = np.array(some_values(3 * 9000, seed=8), dtype="i2").reshape(3, 9000)
    grid[2, 8500] = -1
    assert fit_fingerprint(grid) == fit_fingerprint(Generic(grid))
    grid[2, 8500] = 3
    assert fit_fingerprint(grid) == fit_fingerprint(Generic(grid))


# --- rows read where they lie ---------------------------------------------------------------------


@pytest.mark.parametrize("alphabet, dtypes", [(4, ["u1", "i1"]), (300, ["u2", "i2"]),
                                              (70000, ["u4", "i4"])])
def test_rows_read_in_place_fit_like_their_copies(alphabet, dtypes, tmp_path):
    # Rows held in the packed width (one, two or four bytes by the alphabet) are read where
    # they lie, in every layout that keeps a row's values one after the other.
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(alphabet)
    grid = rng.integers(0, min(alphabet, 120), size=(4, 700))
    grid[1, 300] = alphabet - 1
    for dtype in dtypes:
        rows = grid.astype(dtype)
        mapped = np.memmap(tmp_path / f"{dtype}.bin", dtype=dtype, mode="w+", shape=rows.shape)
        mapped[:] = rows
        bad = rows.copy()
        bad[2, 650] = min(alphabet, np.iinfo(dtype).max)
        for data in ([row for row in rows], rows, rows[::2], [mapped[0], mapped[3]], mapped,
                     [rows[0], rows[1, ::-1], rows[2].tolist()], bad, list(bad)):
            def fit(data, depth):
                model = TESK(alphabet, max_depth=depth, method="bic", penalty=0.5)
                fitted = outcome(lambda: model.fit(data))
                if fitted[0] != "ok":
                    return fitted
                return (model.sample_size, model.get_contexts(), model.get_transition_counts([]))
            copied = Generic([Generic(row) for row in data])
            for depth in (1, 3):
                assert fit(data, depth) == fit(copied, depth)
    if alphabet <= 256:
        for make in (bytes, bytearray):
            data = [make(row.astype("u1").tobytes()) for row in grid]
            assert fit(data, 2) == fit(Generic([Generic(list(row)) for row in data]), 2)
