"""Context queries: exact lookups, backoff selection, symbol and fitted checks."""

import pytest

from tesk import TESK

NOT_FITTED = "^fit must be called before querying the model$"
MISSING = r"context is not in the fitted tree; use get_suffix\(sequence\) for model backoff"
EXACT = ["get_counts", "get_transition_counts", "get_distribution"]
BACKOFF = ["get_suffix", "predict_proba"]


@pytest.fixture
def alternating():
    model = TESK(2, max_depth=1, method="bic")
    model.fit([[0, 1, 0, 1, 0, 1]])
    return model


@pytest.fixture
def deep():
    model = TESK(3, max_depth=3, method="bic")
    model.fit([[0, 1, 2, 0, 0, 1, 2, 2, 1, 0] * 40])
    return model


def test_exact_queries_on_the_alternating_model(alternating):
    assert alternating.get_counts([]) == 5
    assert alternating.get_transition_counts([]) == [2, 3]
    assert alternating.get_counts([0]) == 3
    assert alternating.get_transition_counts([0]) == [0, 3]
    assert alternating.get_distribution([0]) == [0.125, 0.875]
    assert alternating.get_transition_counts([1]) == [2, 0]
    assert alternating.get_distribution([1]) == [2.5 / 3, 0.5 / 3]


@pytest.mark.parametrize("method", EXACT)
def test_contexts_outside_the_tree_raise_key_error(alternating, method):
    query = getattr(alternating, method)
    for context in ([0, 0], [1, 0, 1]):
        with pytest.raises(KeyError, match=MISSING) as caught:
            query(context)
        assert caught.value.args == (
            "context is not in the fitted tree; use get_suffix(sequence) for model backoff",
        )


def test_backoff_uses_only_the_last_effective_max_depth_symbols(deep):
    history = [2, 2, 1, 0, 1, 2, 0]
    tail = history[-deep.effective_max_depth:]
    assert deep.get_suffix(history) == deep.get_suffix(tail)
    assert deep.predict_proba(history) == deep.predict_proba(tail)


def test_backoff_results_are_suffixes_and_agree_with_exact_queries(deep):
    histories = [[], [0], [2], [1, 0], [0, 0, 1], [2, 2, 1, 0], [1, 2, 0, 1, 2]]
    for history in histories:
        suffix = deep.get_suffix(history)
        assert history[len(history) - len(suffix):] == suffix
        assert deep.predict_proba(history) == deep.get_distribution(suffix)
        assert sum(deep.get_transition_counts(suffix)) == deep.get_counts(suffix)


def test_short_history_gives_an_aggregate_prefix(alternating):
    assert alternating.get_suffix([]) == []
    assert alternating.predict_proba([]) == alternating.get_distribution([])


def test_exact_lookup_never_falls_back(deep):
    for context in deep.get_contexts():
        if len(context) >= 2:
            shorter = context[1:]
            assert deep.get_counts(context) <= deep.get_counts(shorter)
    with pytest.raises(KeyError):
        deep.get_counts([0] * (deep.effective_max_depth + 1))


def test_context_is_read_from_its_most_recent_symbol(deep):
    contexts = {tuple(c) for c in deep.get_contexts()}
    pairs = [(a, b) for a in range(3) for b in range(3) if a != b and (a, b) in contexts]
    for a, b in pairs:
        assert deep.get_suffix([b, a]) == [b, a]
        if (b, a) in contexts:
            assert deep.get_transition_counts([a, b]) != deep.get_transition_counts([b, a])


@pytest.mark.parametrize("method", EXACT + BACKOFF)
def test_symbol_check_runs_first_and_names_sequence(method):
    model = TESK(4)
    query = getattr(model, method)
    with pytest.raises(ValueError, match=r"^symbol 99 at sequence\[1\] is outside 0..4$"):
        query([0, 99, 7])
    with pytest.raises(RuntimeError, match=NOT_FITTED):
        query([0, 1])
    model.fit([[0, 1, 2, 3] * 5])
    far_away = [7] + [0] * 50
    with pytest.raises(ValueError, match=r"^symbol 7 at sequence\[0\] is outside 0..4$"):
        query(far_away)
    with pytest.raises(ValueError, match=r"^symbol 18446744073709551615 at sequence\[0\]"):
        query([2**64 - 1])


def test_predict_proba_keyword_is_history(alternating):
    assert alternating.predict_proba(history=[1, 0]) == [0.125, 0.875]
    assert alternating.get_counts(sequence=[0]) == 3


def test_depth_zero_model_answers_from_the_root():
    model = TESK(3, max_depth=0, method="bct")
    model.fit([[0, 1, 2, 2]])
    assert model.get_suffix([0, 1, 2]) == []
    assert model.predict_proba([2, 2]) == model.get_distribution([])
    with pytest.raises(KeyError):
        model.get_counts([0])


def test_peres_shield_tie_at_the_threshold_keeps_both_children():
    # 256 counted positions: threshold 256 ** 0.75 == 64 and the deviation is exactly 64.
    model = TESK(2, max_depth=1, method="peres_shield")
    model.fit([[0, 1] * 128 + [0]])
    assert model.get_contexts() == [[0], [1]]
    for history in ([0], [1, 0], [0, 1]):
        assert model.get_suffix(history) == history[-1:]
    model.fit([[0, 1] * 128])
    assert model.get_contexts() == [[]]
