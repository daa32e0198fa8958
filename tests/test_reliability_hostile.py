"""Arguments that fight back: callbacks into the model, failing or lying protocol methods and
sequences that change while they are converted.

Every entry point is called back from every place where a conversion runs the caller's code; the
callback gets the documented answer, the outer call ends as documented, and the model keeps its
fitted state and is free again afterwards.
"""

import gc
import sys

import pytest

from instance_layout import borrow_flag
from tesk import TESK

ROW = [0, 0, 1, 1] * 6  # every context of length 2 is in the fitted tree
PROPERTIES = ["method", "boundary", "sample_size", "alphabet_size", "max_depth",
              "effective_max_depth", "node_count", "context_count"]
QUERIES = ["get_suffix", "get_counts", "get_transition_counts", "get_distribution", "predict_proba"]
SHARED_REFUSED = "Already mutably borrowed"
EXCLUSIVE_REFUSED = "Already borrowed"
SITES = ["__class__", "__len__", "__iter__", "__getitem__", "__index__"]
# A failure there is discarded: the instance test and the length only steer the conversion.
DISCARDED = ("__class__", "__len__")


def fitted():
    model = TESK(2, max_depth=2, method="bic")
    model.fit([ROW])
    return model


def state(model):
    contexts = model.get_contexts()
    return ([getattr(model, name) for name in PROPERTIES], contexts,
            [model.get_transition_counts(c) for c in contexts], model.predict_proba([0, 1]))


INNER_CALLS = (
    [(name, lambda m, n=name: getattr(m, n)) for name in PROPERTIES]
    + [(name, lambda m, n=name: getattr(m, n)([])) for name in QUERIES]
    + [("get_contexts", lambda m: m.get_contexts()), ("fit", lambda m: m.fit([ROW]))]
)


class Items:
    """A sequence through __getitem__ that runs `action` from one of its protocol methods."""

    def __init__(self, items, action):
        self.items, self.action = list(items), action

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class OnLen(Items):
    def __len__(self):
        self.action()
        return len(self.items)


class OnClass(Items):
    @property
    def __class__(self):  # read by the test that refuses text
        self.action()
        return Items


class OnIter(Items):
    def __iter__(self):
        self.action()
        return iter(self.items)


class OnItem(Items):
    def __getitem__(self, index):
        if index == len(self.items) - 1:
            self.action()
        return self.items[index]


class Element:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


def argument(site, items, action, rows):
    """`items` (a row, or a query's symbols) with `action` run at `site` during conversion."""
    if site == "__index__":
        converted = items[:-1] + [Element(items[-1], action)]
    else:
        converted = {"__class__": OnClass, "__len__": OnLen, "__iter__": OnIter,
                     "__getitem__": OnItem}[site](items, action)
    return [converted] if rows else converted


@pytest.mark.parametrize("site", SITES)
@pytest.mark.parametrize("name, call", INNER_CALLS, ids=[n for n, _ in INNER_CALLS])
def test_calls_back_into_a_model_being_fitted_are_refused(site, name, call):
    refused = RuntimeError(EXCLUSIVE_REFUSED if name == "fit" else SHARED_REFUSED)
    model = fitted()
    before = state(model)
    seen = []

    def swallow():
        seen.append(borrow_flag(model))
        try:
            call(model)
        except RuntimeError as error:
            seen.append(error.args)

    assert model.fit(argument(site, ROW, swallow, rows=True)) is None
    assert seen == [-1, refused.args]
    assert borrow_flag(model) == 0 and state(model) == before

    # Let through, the refusal ends the fit unchanged, where it is not discarded.
    let_through = argument(site, ROW, lambda: call(model), rows=True)
    if site in DISCARDED:
        model.fit(let_through)
    else:
        with pytest.raises(RuntimeError) as raised:
            model.fit(let_through)
        assert raised.value.args == refused.args
    assert borrow_flag(model) == 0 and state(model) == before


@pytest.mark.parametrize("site", SITES)
@pytest.mark.parametrize("query", QUERIES)
def test_calls_back_into_a_model_being_queried_share_it_but_cannot_fit(site, query):
    model = fitted()
    before = state(model)
    expected = getattr(model, query)([0, 1])
    for name, call in INNER_CALLS:
        outside = call(model) if name != "fit" else RuntimeError(EXCLUSIVE_REFUSED)
        seen = []

        def swallow(call=call):
            seen.append(borrow_flag(model))
            try:
                seen.append(call(model))
            except RuntimeError as error:
                seen.append(error)

        assert getattr(model, query)(argument(site, [0, 1], swallow, rows=False)) == expected
        assert seen[0] == 1, name
        if name == "fit":
            assert type(seen[1]) is RuntimeError and seen[1].args == outside.args
        else:
            assert seen[1] == outside, name
        assert borrow_flag(model) == 0 and state(model) == before

    let_through = argument(site, [0, 1], lambda: model.fit([ROW]), rows=False)
    if site in DISCARDED:
        assert getattr(model, query)(let_through) == expected
    else:
        with pytest.raises(RuntimeError, match=f"^{EXCLUSIVE_REFUSED}$"):
            getattr(model, query)(let_through)
    assert borrow_flag(model) == 0 and state(model) == before


class Custom(Exception):
    pass


@pytest.mark.parametrize("site", SITES)
def test_exceptions_raised_by_callbacks(site):
    model = fitted()
    before = state(model)
    entries = [("data", lambda a: model.fit(a), True)]
    entries += [("history" if q == "predict_proba" else "sequence",
                 lambda a, q=q: getattr(model, q)(a), False) for q in QUERIES]
    for parameter, enter, rows in entries:
        for error in (Custom("custom"), KeyError("key"), ZeroDivisionError(), StopIteration(),
                      MemoryError(), TypeError("plain")):

            def fail(error=error):
                raise error

            items = ROW if rows else [0, 1]
            if site in DISCARDED or (site == "__getitem__" and type(error) is StopIteration):
                # Discarded; or it ends the iteration, as it does in Python.
                enter(argument(site, items, fail, rows))
                model.fit([ROW])
                continue
            with pytest.raises(type(error)) as raised:
                enter(argument(site, items, fail, rows))
            if type(error) is TypeError:
                assert raised.value.args == (f"argument '{parameter}': plain",)
            else:
                assert raised.value is error
            assert borrow_flag(model) == 0 and state(model) == before


@pytest.mark.parametrize("returned", [1.5, "1", None, [1], 1j])
def test_index_returning_a_non_integer_is_a_type_error_naming_the_parameter(returned):
    model = fitted()
    before = state(model)

    class Bad:
        def __index__(self):
            return returned

    with pytest.raises(TypeError, match=r"^argument 'data': __index__ returned non-int"):
        model.fit([[0, 1, Bad()]])
    for query in QUERIES:
        with pytest.raises(TypeError, match=r"^argument '(sequence|history)': __index__ returned"):
            getattr(model, query)([Bad()])
    with pytest.raises(TypeError, match=r"^argument 'max_depth': __index__ returned non-int"):
        TESK(2, Bad())
    assert borrow_flag(model) == 0 and state(model) == before


# --- sequences that change while they are converted ------------------------------------------


class Mutating:
    """An element whose __index__ changes the list it sits in (or any other list)."""

    def __init__(self, value, change):
        self.value, self.change = value, change

    def __index__(self):
        change, self.change = self.change, None
        if change is not None:
            change()
        return self.value


def converted_like_python(model, make):
    """The query sees exactly what iterating the list in Python sees."""
    seen = [int(x.__index__() if isinstance(x, Mutating) else x) for x in make()]
    assert model.get_suffix(make()) == model.get_suffix(seen)
    assert model.predict_proba(make()) == model.predict_proba(seen)
    return seen


def test_lists_changed_by_their_own_elements_convert_as_iterating_them_does():
    model = fitted()

    def appends():
        items = [0, 1]
        items.append(Mutating(0, lambda: items.append(1)))
        return items

    def clears():
        items = [1, 0]
        items[1:1] = [Mutating(1, items.clear)]
        return items

    def removes_itself():
        # The element drops the list's reference to itself: only the conversion holds it then.
        items = [1, None, 0, 0, 1]
        items[1] = Mutating(1, lambda: items.pop(1))
        return items

    def shrinks_below_the_position():
        items = [0, 0, 0, 1]
        items[2] = Mutating(1, lambda: items.__delitem__(slice(0, 4)))
        return items

    assert converted_like_python(model, appends) == [0, 1, 0, 1]
    assert converted_like_python(model, clears) == [1, 1]
    assert converted_like_python(model, removes_itself) == [1, 1, 0, 1]
    assert converted_like_python(model, shrinks_below_the_position) == [0, 0, 1]


def test_rows_changed_while_fitting_convert_as_iterating_them_does():
    def fit(data):
        model = TESK(2, max_depth=1, method="bic")
        model.fit(data)
        return model.sample_size, model.get_contexts(), model.get_transition_counts([])

    # An element drops its own row (the only reference left to it) and appends another; the row
    # after it moves into its place and is skipped, as list iteration skips it.
    data = [[0, 1, 1, 0], None, [1, 1, 0]]
    data[1] = [1, Mutating(0, lambda: (data.pop(1), data.append([0, 0, 0, 1]))), 1, 1]
    assert fit(data) == fit([[0, 1, 1, 0], [1, 0, 1, 1], [0, 0, 0, 1]])

    # An element clears the rows: nothing after its own row is converted.
    data = [[0, 1], [1, 1, Mutating(0, lambda: data.clear())], [1, 0, 1]]
    assert fit(data) == fit([[0, 1], [1, 1, 0]])
    gc.collect()


@pytest.mark.parametrize("depth", [10, 30])
def test_rows_read_in_place_stay_checked_while_a_signal_handler_changes_them(depth):
    # A uint8 row is read where it lies, so a signal handler that runs between two pieces of
    # the work can write into it. A symbol it makes bad is reported at its place (never read
    # as a table index or ranked as another symbol); one it leaves valid is simply counted.
    # Depth 10 counts in dense tables, depth 30 sorts contexts.
    np = pytest.importorskip("numpy")
    signal = pytest.importorskip("signal")
    if not hasattr(signal, "setitimer"):
        pytest.skip("no interval timers here")
    rng = np.random.default_rng(5)
    outcomes = set()
    for bad in (9, 255, 3):
        row = rng.integers(0, 4, 3_000_000, dtype=np.uint8)
        spots = iter(rng.integers(0, len(row), 100_000))

        def change(signum, frame):
            row[next(spots)] = bad

        model = TESK(4, max_depth=depth, method="bic")
        model.fit([[0, 1, 2, 3] * 10])
        before = state(model)
        previous = signal.signal(signal.SIGALRM, change)
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        try:
            model.fit([row])
        except ValueError as error:
            outcomes.add("refused")
            assert bad >= 4
            place = int(str(error).split("][")[1].split("]")[0])
            assert str(error) == f"symbol {bad} at data[0][{place}] is outside 0..4"
            assert state(model) == before
        else:
            outcomes.add("fitted")
            assert model.sample_size == len(row) - depth
            counts = model.get_transition_counts([])
            assert len(counts) == 4 and sum(counts) == model.sample_size
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
    assert outcomes == {"refused", "fitted"}


def test_a_list_a_signal_handler_shortens_is_read_as_iterating_it_would():
    # Conversion asks for signals between blocks of elements; a handler that cuts the list there
    # ends the row where iteration would end it (the elements read so far), never past the end.
    signal = pytest.importorskip("signal")
    if not hasattr(signal, "setitimer"):
        pytest.skip("no interval timers here")
    original = [(i * i) % 3 % 2 for i in range(4_000_000)]
    cuts = 0
    for _ in range(5):
        data = list(original)

        def cut(signum, frame):
            del data[4:]

        model = TESK(2, max_depth=3, method="bic")
        previous = signal.signal(signal.SIGALRM, cut)
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        try:
            model.fit([data])
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        read = model.sample_size + 3
        if read < len(original):
            cuts += 1
            expected = TESK(2, max_depth=3, method="bic")
            expected.fit([original[:read]])
            assert state(model) == state(expected)
    assert cuts > 0


# --- lengths that lie --------------------------------------------------------------------------


class Claims:
    """A sequence through __getitem__ whose __len__ claims anything."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


LENGTHS = [2**62, 2**33, sys.maxsize, 2**63, -1, -(2**62), 0, 1.5, "3", None, Custom("len")]


@pytest.mark.parametrize("length", LENGTHS, ids=repr)
def test_claimed_lengths_only_size_a_first_allocation(length):
    model = fitted()
    expected = state(model)
    assert model.get_suffix(Claims([0, 1], length)) == model.get_suffix([0, 1])
    assert model.get_transition_counts(Claims([1], length)) == model.get_transition_counts([1])
    fresh = TESK(2, max_depth=2, method="bic")
    fresh.fit(Claims([Claims(ROW, length)], length))
    assert state(fresh) == expected
