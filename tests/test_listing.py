"""get_contexts: terminal contexts in a fixed order, consistent with the other queries."""

import random

import pytest

from tesk import TESK


def test_listing_before_fit_fails_like_context_count():
    model = TESK(2)
    with pytest.raises(RuntimeError, match="^fit must be called before querying the model$"):
        model.get_contexts()
    with pytest.raises(TypeError):
        model.get_contexts(1)


@pytest.mark.parametrize("method", ["bct", "bic", "peres_shield"])
def test_listing_is_ordered_and_round_trips(method):
    rng = random.Random(7)
    # A source whose next symbol depends on the last two.
    row = [0, 1]
    for _ in range(4000):
        row.append((row[-1] + (row[-2] == 1) + (rng.random() < 0.2)) % 3)
    model = TESK(3, max_depth=4, method=method)
    model.fit([row])
    contexts = model.get_contexts()
    assert len(contexts) == model.context_count
    assert contexts == sorted(contexts, key=lambda c: (len(c), c))
    assert len({tuple(c) for c in contexts}) == len(contexts)
    for context in contexts:
        assert len(context) <= model.effective_max_depth
        assert all(0 <= s < 3 for s in context)
        model.get_counts(context)
        assert model.get_suffix(context) == context


def test_complete_depth_two_tree_is_listed_lexically_from_the_oldest_symbol():
    rng = random.Random(3)
    # Strong dependence on the last two symbols forces a complete binary tree of depth 2.
    row = [0, 0]
    for _ in range(3000):
        row.append(row[-2] if rng.random() < 0.95 else 1 - row[-2])
    model = TESK(2, max_depth=2, method="bic")
    model.fit([row])
    assert model.get_contexts() == [[0, 0], [0, 1], [1, 0], [1, 1]]


def test_every_call_builds_a_new_list():
    model = TESK(2, max_depth=1, method="bic")
    model.fit([[0, 1, 0, 1, 0, 1]])
    first = model.get_contexts()
    first[0].append(99)
    assert model.get_contexts() == [[0], [1]]
