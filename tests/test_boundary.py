"""Argument binding and conversion, exception mapping and the per-object borrow guard."""

import array
import sys

import numpy as np
import pytest

from tesk import TESK
from instance_layout import borrow_flag
from integer_like import Index

ALTERNATING = [[0, 1, 0, 1, 0, 1]]
NOT_FITTED = "fit must be called before querying the model"
NOT_IN_TREE = "context is not in the fitted tree; use get_suffix(sequence) for model backoff"
QUERIES = ["get_suffix", "get_counts", "get_transition_counts", "get_distribution", "predict_proba"]


@pytest.fixture
def model():
    fitted = TESK(2, max_depth=1, method="bic")
    fitted.fit(ALTERNATING)
    return fitted


class SequenceLike:
    """The sequence protocol through __getitem__ only, with a configurable __len__."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = length

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length


class Rows:
    """A sequence whose iteration runs a callback first."""

    def __init__(self, items, on_iter):
        self.items = items
        self.on_iter = on_iter

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        self.on_iter()
        return iter(self.items)


# --- sequences that convert ------------------------------------------------------------------


@pytest.mark.parametrize(
    "argument",
    [
        [0, 1],
        (0, 1),
        range(2),
        [False, True],
        b"\x00\x01",
        bytearray(b"\x00\x01"),
        array.array("B", [0, 1]),
        np.array([0, 1], dtype=np.int64),
        np.array([0, 1], dtype=np.uint64),
        [np.uint64(0), np.int8(1)],
        [Index(0), Index(1)],
        SequenceLike([0, 1]),
        SequenceLike([0, 1], length=2**62),
        SequenceLike([0, 1], length=2**64),
        SequenceLike([0, 1], length=ValueError("no length")),
        SequenceLike([0, 1], length=-1),
    ],
    ids=repr,
)
def test_accepted_sequences_convert_like_a_list(model, argument):
    assert model.get_suffix(argument) == [1]
    assert model.predict_proba(argument) == model.predict_proba([0, 1])
    with pytest.raises(KeyError):
        model.get_counts(argument)  # [0, 1] is longer than the fitted depth


def test_bytes_are_byte_values(model):
    unfitted = TESK(4)
    for argument in (b"\x00\x02\xff", bytearray(b"\x00\x02\xff")):
        with pytest.raises(ValueError) as raised:
            unfitted.get_counts(argument)
        assert raised.value.args == ("symbol 255 at sequence[2] is outside 0..4",)


def test_symbols_keep_the_full_unsigned_range():
    unfitted = TESK(4)
    with pytest.raises(ValueError) as raised:
        unfitted.get_counts([2**64 - 1])
    assert raised.value.args == ("symbol 18446744073709551615 at sequence[0] is outside 0..4",)
    with pytest.raises(ValueError, match="symbol 18446744073709551615 at sequence"):
        unfitted.get_counts([Index(2**64 - 1)])
    with pytest.raises(RuntimeError, match=NOT_FITTED):
        unfitted.get_counts([3, np.uint64(2)])


def test_failed_instance_test_is_ignored(model):
    class Odd(SequenceLike):
        @property
        def __class__(self):
            raise ValueError("no class today")

    assert model.get_suffix(Odd([0, 1])) == [1]


def test_fit_accepts_any_sequence_of_sequences():
    reference = TESK(3, max_depth=1, method="bic")
    reference.fit([[0, 1, 2, 0, 1, 2, 0], [2, 1, 0]])
    expected = (reference.sample_size, reference.node_count, reference.get_contexts())
    for data in (
        ((0, 1, 2, 0, 1, 2, 0), range(2, -1, -1)),
        [b"\x00\x01\x02\x00\x01\x02\x00", bytearray(b"\x02\x01\x00")],
        SequenceLike([SequenceLike([0, 1, 2, 0, 1, 2, 0], length=2**62), [2, 1, 0]], length=2**62),
        [np.array([0, 1, 2, 0, 1, 2, 0]), np.array([2, 1, 0], dtype=np.uint8)],
    ):
        model = TESK(3, max_depth=1, method="bic")
        assert model.fit(data) is None
        assert (model.sample_size, model.node_count, model.get_contexts()) == expected


def test_fit_accepts_a_two_dimensional_array():
    from_array = TESK(2, max_depth=1, method="bic")
    from_array.fit(np.array([[0, 1, 1, 0], [1, 1, 0, 0]]))
    from_lists = TESK(2, max_depth=1, method="bic")
    from_lists.fit([[0, 1, 1, 0], [1, 1, 0, 0]])
    assert from_array.get_contexts() == from_lists.get_contexts()
    assert from_array.sample_size == 6


def test_fit_with_no_rows():
    model = TESK(2, method="bic")
    model.fit([])
    assert (model.sample_size, model.node_count, model.context_count) == (0, 1, 1)


@pytest.mark.not_under_sanitizer(reason="runs a C++ allocation out of memory")
def test_sequences_too_long_to_hold_raise_memory_error(model):
    for huge in (range(2**62), range(2**59)):
        with pytest.raises(MemoryError):
            model.get_suffix(huge)
        with pytest.raises(MemoryError):
            model.fit([[0, 1], huge])
    with pytest.raises(MemoryError):
        model.fit(range(2**61))
    assert (model.sample_size, model.get_contexts()) == (5, [[0], [1]])
    assert borrow_flag(model) == 0


# --- sequences and elements that do not ------------------------------------------------------


class Str(str):
    pass


@pytest.mark.parametrize(
    "argument",
    ["01", "", Str("01"), {0: 1}, {0, 1}, iter([0, 1]), (i for i in range(2)), 5, None, 1.5],
    ids=repr,
)
def test_non_sequences_and_text_are_type_errors_naming_the_parameter(model, argument):
    for name in QUERIES:
        parameter = "history" if name == "predict_proba" else "sequence"
        with pytest.raises(TypeError) as raised:
            getattr(model, name)(argument)
        assert type(raised.value) is TypeError
        assert str(raised.value).startswith(f"argument '{parameter}': ")
    with pytest.raises(TypeError, match="^argument 'data': "):
        model.fit(argument)
    with pytest.raises(TypeError, match="^argument 'data': "):
        model.fit([[0, 1], argument])


def test_type_error_messages_name_the_type(model):
    with pytest.raises(TypeError, match="dict"):
        model.get_counts({0: 1})
    with pytest.raises(TypeError, match="list_iterator"):
        model.get_counts(iter([]))
    with pytest.raises(TypeError, match="str"):
        model.fit(["01"])


@pytest.mark.parametrize("element", [0.0, "0", None, [0], 1 + 0j], ids=repr)
def test_elements_without_an_integer_index_are_type_errors(model, element):
    with pytest.raises(TypeError) as raised:
        model.get_counts([0, element])
    assert type(raised.value) is TypeError
    assert str(raised.value).startswith("argument 'sequence': ")
    with pytest.raises(TypeError, match="^argument 'data': "):
        model.fit([[0, 1], [element]])
    with pytest.raises(TypeError, match="^argument 'data': "):
        model.fit([5])  # a row that is an int, not a sequence


@pytest.mark.parametrize("element", [-1, 2**64, 2**100, Index(-1), np.int64(-3)], ids=repr)
def test_out_of_range_elements_raise_overflow_error_unchanged(model, element):
    with pytest.raises(OverflowError) as raised:
        model.get_counts([element])
    assert "argument" not in str(raised.value)
    with pytest.raises(OverflowError):
        model.fit([[0, 1, element]])
    assert model.sample_size == 5  # the earlier fit stays


def test_renamed_type_error_keeps_the_original_cause_not_the_original(model):
    root = KeyError("root cause")

    class Chained:
        def __index__(self):
            raise TypeError("inner message") from root

    class Plain:
        def __index__(self):
            raise TypeError("plain message")

    with pytest.raises(TypeError) as raised:
        model.get_counts([Chained()])
    assert type(raised.value) is TypeError
    assert raised.value.args == ("argument 'sequence': inner message",)
    assert raised.value.__cause__ is root

    with pytest.raises(TypeError) as raised:
        model.predict_proba(history=[Plain()])
    assert raised.value.args == ("argument 'history': plain message",)
    assert raised.value.__cause__ is None


def test_other_exception_classes_pass_unchanged(model):
    class PickyTypeError(TypeError):
        pass

    errors = [PickyTypeError("subclass"), ValueError("value"), KeyError("key"), ZeroDivisionError()]
    for error in errors:

        def fail(error=error):
            raise error

        with pytest.raises(type(error)) as raised:
            model.get_counts([Index(0, on_index=fail)])
        assert raised.value is error
        with pytest.raises(type(error)) as raised:
            model.fit(Rows([[0]], on_iter=fail))
        assert raised.value is error


def test_errors_raised_while_iterating_propagate(model):
    class Broken(SequenceLike):
        def __getitem__(self, index):
            if index == 1:
                raise LookupError("second element")
            return 0

    with pytest.raises(LookupError, match="second element"):
        model.get_suffix(Broken([0, 0]))


# --- binding of the methods ------------------------------------------------------------------


def test_methods_bind_by_position_or_keyword(model):
    assert model.get_counts(sequence=[0]) == model.get_counts([0])
    assert model.predict_proba(history=[0]) == model.predict_proba([0])
    model.fit(data=ALTERNATING)
    assert model.sample_size == 5


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.get_counts([0], sequence=[0]),
        lambda m: m.get_counts(seq=[0]),
        lambda m: m.get_counts(),
        lambda m: m.get_counts([0], [1]),
        lambda m: m.predict_proba(sequence=[0]),
        lambda m: m.fit(),
        lambda m: m.fit([], []),
        lambda m: m.fit(rows=[]),
        lambda m: m.fit([], data=[]),
    ],
)
def test_method_binding_errors(model, call):
    with pytest.raises(TypeError) as raised:
        call(model)
    assert not str(raised.value).startswith("argument ")


def test_method_binding_fails_before_conversion(model):
    touched = []
    spy = Rows([[0, 1]], on_iter=lambda: touched.append(True))
    with pytest.raises(TypeError):
        model.fit(spy, extra=1)
    with pytest.raises(TypeError):
        model.get_counts(spy, spy)
    assert touched == []


# --- results and error values ----------------------------------------------------------------


def test_results_are_fresh_python_objects(model):
    counts = model.get_transition_counts([])
    assert type(counts) is list and counts == [2, 3]
    assert all(type(value) is int for value in counts)
    distribution = model.get_distribution([])
    assert type(distribution) is list and len(distribution) == 2
    assert all(type(value) is float for value in distribution)
    assert type(model.get_counts([])) is int
    contexts = model.get_contexts()
    assert type(contexts) is list and all(type(c) is list for c in contexts)
    assert model.get_contexts() is not contexts
    contexts[0].append(99)
    assert model.get_contexts() == [[0], [1]]


def test_error_values_carry_the_message_as_single_argument(model):
    with pytest.raises(KeyError) as raised:
        model.get_counts([0, 0])
    assert raised.value.args == (NOT_IN_TREE,)
    with pytest.raises(ValueError) as raised:
        model.predict_proba([0, 2])
    assert raised.value.args == ("symbol 2 at sequence[1] is outside 0..2",)
    with pytest.raises(ValueError) as raised:
        model.fit([[0, 1], [2]])
    assert raised.value.args == ("symbol 2 at data[1][0] is outside 0..2",)
    with pytest.raises(RuntimeError) as raised:
        TESK(2).get_suffix([])
    assert raised.value.args == (NOT_FITTED,)


def test_failed_calls_release_their_references(model):
    row = [0, 1, 0, 1]
    bad_row = [0, 1.5]
    history = [0, 1]
    bad_history = [0, 7]
    objects = (row, bad_row, history, bad_history)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(50):
        with pytest.raises(TypeError):
            model.fit([row, bad_row])
        with pytest.raises(ValueError):
            model.predict_proba(bad_history)
        with pytest.raises(KeyError):
            model.get_counts(history * 3)
        model.predict_proba(history)
        model.fit([row])
    assert [sys.getrefcount(o) for o in objects] == before


# --- the borrow guard ------------------------------------------------------------------------


def test_fit_holds_the_model_exclusively_during_conversion(model):
    seen = []

    def read_property():
        seen.append(borrow_flag(model))
        seen.append(model.sample_size)

    with pytest.raises(RuntimeError) as raised:
        model.fit(Rows([[1, 0, 1, 1]], on_iter=read_property))
    assert raised.value.args == ("Already mutably borrowed",)
    assert seen == [-1]

    for reentry in (
        lambda: model.get_counts([]),
        lambda: model.get_contexts(),
        lambda: model.method,
    ):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            model.fit([[0, Index(1, on_index=reentry)]])

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        model.fit([[Index(0, on_index=lambda: model.fit([]))]])

    # The earlier fit is untouched and the model is free again.
    assert borrow_flag(model) == 0
    assert (model.sample_size, model.get_contexts()) == (5, [[0], [1]])
    model.fit([])
    assert model.sample_size == 0


def test_failed_reentry_through_len_is_discarded_with_the_length():
    model = TESK(2, max_depth=1, method="bic")
    outcomes = []

    class Row(SequenceLike):
        def __len__(self):
            try:
                model.alphabet_size
            except RuntimeError as error:
                outcomes.append(str(error))
            return 6

    model.fit([Row([0, 1, 0, 1, 0, 1])])
    assert outcomes == ["Already mutably borrowed"]
    assert model.sample_size == 5


def test_queries_share_the_model(model):
    inner = []

    def nested_queries():
        inner.append(borrow_flag(model))
        inner.append(model.get_suffix([1, 0]))
        inner.append(model.max_depth)
        inner.append(model.get_contexts())

    assert model.get_counts([Index(0, on_index=nested_queries)]) == model.get_counts([0])
    assert model.node_count == 3  # a property read while nested reads run
    assert inner == [1, [0], 1, [[0], [1]]]

    def fit_again():
        model.fit([[1, 1, 1]])

    for name in QUERIES:
        with pytest.raises(RuntimeError) as raised:
            getattr(model, name)([Index(0, on_index=fit_again)])
        assert raised.value.args == ("Already borrowed",)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        model.get_suffix(Rows([0], on_iter=fit_again))

    # Every shared borrow was returned: fit needs the model free.
    assert borrow_flag(model) == 0
    model.fit([[1, 1, 1]])
    assert model.sample_size == 2


def test_borrows_are_per_object(model):
    other = TESK(2, max_depth=1, method="bic")
    other.fit([[1, 0, 0, 1]])

    def use_other():
        other.fit(ALTERNATING)

    model.fit([[0, Index(1, on_index=use_other), 0, 1, 0, 1]])
    assert other.sample_size == 5 and model.sample_size == 5
