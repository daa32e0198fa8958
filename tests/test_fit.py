"""The fit driver: sample size, working depth, the fitted-state properties and atomic failure."""

import os

import pytest

from tesk import TESK

METHODS = ["bct", "bic", "peres_shield"]
ALTERNATING = [[0, 1, 0, 1, 0, 1]]


def snapshot(model):
    return (
        model.sample_size,
        model.effective_max_depth,
        model.node_count,
        model.context_count,
        model.get_contexts(),
        model.predict_proba([1, 0]),
    )


@pytest.mark.parametrize("method", ["bct", "bic"])
def test_alternating_row_splits_the_root(method):
    model = TESK(2, max_depth=1, method="bic")
    assert model.fit(ALTERNATING) is None
    assert model.sample_size == 5
    assert model.node_count == 3
    assert model.context_count == 2
    assert model.effective_max_depth == 1
    assert model.get_contexts() == [[0], [1]]
    assert model.predict_proba([1, 0]) == [0.125, 0.875]
    assert model.get_suffix([]) == []
    assert model.predict_proba([]) == [2.5 / 6, 3.5 / 6]
    with pytest.raises(KeyError):
        model.get_counts([0, 0])


def test_peres_shield_keeps_the_root_alone_for_five_positions():
    model = TESK(2, max_depth=1, method="peres_shield")
    model.fit(ALTERNATING)
    assert model.effective_max_depth == 0
    assert model.get_contexts() == [[]]
    assert model.node_count == 1


@pytest.mark.parametrize("method", METHODS)
def test_empty_data_gives_the_root_alone(method):
    model = TESK(3, max_depth=4, method=method)
    model.fit([])
    assert (model.sample_size, model.node_count, model.context_count) == (0, 1, 1)
    assert model.effective_max_depth == (0 if method == "peres_shield" else 4)
    assert model.get_contexts() == [[]]
    assert model.get_counts([]) == 0
    assert model.get_distribution([]) == [1 / 3] * 3


def test_only_the_part_of_each_row_after_max_depth_is_counted():
    model = TESK(3, max_depth=3, method="bic")
    model.fit([[0, 1], [2, 2, 2], [0, 1, 2, 1, 0]])
    assert model.sample_size == 2
    assert model.get_transition_counts([]) == [1, 1, 0]
    with pytest.raises(ValueError, match=r"^symbol 3 at data\[0\]\[1\] is outside 0..3$"):
        model.fit([[0, 3], [0, 1, 2, 1, 0]])


@pytest.mark.parametrize("method", ["bct", "bic"])
def test_working_depth_is_max_depth_even_without_counted_positions(method):
    model = TESK(2, max_depth=6, method=method)
    model.fit([[0, 1, 1], [1]])
    assert model.sample_size == 0
    assert model.effective_max_depth == 6


@pytest.mark.parametrize(
    ("max_depth", "positions", "expected"),
    [(10, 2, 0), (10, 15, 0), (10, 16, 1), (10, 1618, 1), (10, 1619, 2), (1, 5000, 1), (0, 5000, 0)],
)
def test_peres_shield_working_depth(max_depth, positions, expected):
    row = [i % 2 for i in range(max_depth + positions)]
    model = TESK(2, max_depth=max_depth, method="ps")
    model.fit([row])
    assert model.sample_size == positions
    assert model.effective_max_depth == expected


def test_rows_are_never_joined():
    joined = TESK(2, max_depth=1, method="bic")
    joined.fit([[0, 0, 0, 1, 1, 1]])
    split = TESK(2, max_depth=1, method="bic")
    split.fit([[0, 0, 0], [1, 1, 1]])
    assert joined.sample_size == 5
    assert split.sample_size == 4
    # The split rows never see 0 followed by 1.
    assert split.get_transition_counts([]) == [2, 2]
    assert joined.get_transition_counts([]) == [2, 3]


def test_a_failed_fit_leaves_the_earlier_model_answering():
    model = TESK(2, max_depth=1, method="bic")
    model.fit(ALTERNATING)
    before = snapshot(model)
    with pytest.raises(ValueError, match=r"^symbol 2 at data\[1\]\[0\] is outside 0..2$"):
        model.fit([[0, 1], [2]])
    with pytest.raises(OverflowError):
        model.fit([[0, -1]])
    with pytest.raises(TypeError, match="data"):
        model.fit(["0101"])
    assert snapshot(model) == before


def test_an_unfitted_model_stays_unfitted_after_a_failed_fit():
    model = TESK(2)
    with pytest.raises(ValueError):
        model.fit([[5, 0, 7]])
    with pytest.raises(RuntimeError, match="^fit must be called before querying the model$"):
        model.sample_size


def test_first_bad_symbol_is_reported():
    model = TESK(4, 0, method="bic")
    with pytest.raises(ValueError, match=r"^symbol 5 at data\[0\]\[0\] is outside 0..4$"):
        model.fit([[5, 0, 7]])
    with pytest.raises(ValueError, match=r"^symbol 18446744073709551615 at data\[1\]\[2\]"):
        model.fit([[0, 1], [0, 1, 2**64 - 1, 9]])


def test_refit_replaces_everything_and_is_deterministic():
    model = TESK(3, max_depth=2, method="bct")
    model.fit([[0, 1, 2] * 30])
    first = snapshot(model)
    model.fit([[0, 0, 1, 1, 2, 2] * 20])
    second = snapshot(model)
    assert first != second
    model.fit([[0, 0, 1, 1, 2, 2] * 20])
    assert snapshot(model) == second


def test_rows_in_any_sequence_form_give_the_same_fit():
    rows = [[0, 1, 1, 0, 1, 0, 0, 1], [1, 1, 0]]
    reference = TESK(2, max_depth=2, method="bic")
    reference.fit(rows)
    for data in (
        tuple(tuple(r) for r in rows),
        [bytes(r) for r in rows],
        [bytearray(r) for r in rows],
        [[bool(x) for x in r] for r in rows],
        [range(0)] + rows,
    ):
        model = TESK(2, max_depth=2, method="bic")
        model.fit(data)
        assert snapshot(model) == snapshot(reference)


def test_missing_children_of_a_split_node_are_created_empty():
    # Symbol 2 only ever ends the row, so the context [2] is never observed.
    model = TESK(3, max_depth=1, method="bic")
    model.fit([[0, 1] * 20 + [2]])
    assert model.get_contexts() == [[0], [1], [2]]
    assert model.get_counts([2]) == 0
    assert model.get_transition_counts([2]) == [0, 0, 0]
    assert model.get_distribution([2]) == [1 / 3] * 3


def _available_memory():
    try:
        with open("/proc/meminfo") as meminfo:
            fields = dict(line.split(":", 1) for line in meminfo)
        return int(fields["MemAvailable"].split()[0]) * 1024
    except (OSError, KeyError, ValueError):
        return 0


@pytest.mark.skipif(_available_memory() < 12 * 2**30, reason="needs 12 GiB of free memory")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="minutes under the address sanitizer")
def test_more_than_two_to_the_32_positions_are_counted_exactly():
    # 4 GiB of symbols, read where they lie: counts and the sample size past 32 bits.
    np = pytest.importorskip("numpy")
    row = np.zeros(2**32 + 6, dtype=np.uint8)
    row[[5, -3, -1]] = 1
    model = TESK(2, max_depth=1, method="bic")
    model.fit([row])
    assert model.sample_size == 2**32 + 5
    assert model.get_transition_counts([]) == [2**32 + 2, 3]
    assert model.get_counts([]) == 2**32 + 5
