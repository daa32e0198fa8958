"""The three selectors against a literal model of the documented algorithms.

The trees depend on exact floating-point comparisons, so agreement on many random sources is a
strong check that the compiled selectors add, compare and tie-break in the documented order.
"""

import random
import zlib

import pytest

import reference_model
from tesk import TESK


def random_rows(rng, alphabet, rows, length, memory):
    """Rows from a random variable-length source with the given memory."""
    table = {}
    result = []
    for _ in range(rows):
        row = [rng.randrange(alphabet) for _ in range(memory)]
        for _ in range(rng.randrange(length)):
            key = tuple(row[len(row) - rng.randrange(memory + 1):])
            weights = table.setdefault(key, [rng.random() ** 3 for _ in range(alphabet)])
            row.append(rng.choices(range(alphabet), weights)[0])
        result.append(row)
    return result


def assert_same_model(model, expected, alphabet, rng):
    assert model.get_contexts() == expected.contexts()
    assert model.node_count == expected.node_count
    assert model.context_count == len(expected.contexts())
    for context in model.get_contexts():
        node = expected.find(context)
        assert model.get_transition_counts(context) == expected.counts(node)
        assert model.get_distribution(context) == expected.distribution(node)
    for _ in range(20):
        history = [rng.randrange(alphabet) for _ in range(rng.randrange(8))]
        node = expected.suffix_node(history)
        assert model.get_suffix(history) == expected.trie.context_symbols(node)
        assert model.predict_proba(history) == expected.distribution(node)


CASES = [
    # alphabet, max_depth, rows, length, memory
    (2, 3, 1, 400, 2),
    (2, 6, 3, 300, 4),
    (3, 4, 2, 500, 3),
    (4, 5, 4, 250, 3),
    (5, 2, 1, 800, 2),
    (7, 3, 2, 300, 1),
]


@pytest.mark.parametrize("method", ["bct", "bic", "peres_shield"])
@pytest.mark.parametrize("case", CASES)
def test_selectors_match_the_literal_algorithms(method, case):
    alphabet, max_depth, rows, length, memory = case
    rng = random.Random(zlib.crc32(repr((method, case)).encode()))
    for _ in range(3):
        data = random_rows(rng, alphabet, rows, length, memory)
        model = TESK(alphabet, max_depth=max_depth, method=method)
        model.fit(data)
        expected = reference_model.fit(data, alphabet, max_depth, method)
        assert_same_model(model, expected, alphabet, rng)


@pytest.mark.parametrize("beta", [0.5, 0.6, 0.9, 0.999])
def test_bct_beta_matches_the_literal_algorithm(beta):
    rng = random.Random(int(beta * 1000))
    data = random_rows(rng, 3, 2, 600, 3)
    model = TESK(3, max_depth=4, beta=beta)
    model.fit(data)
    assert_same_model(model, reference_model.fit(data, 3, 4, "bct", beta=beta), 3, rng)


@pytest.mark.parametrize("penalty", [0.1, 0.5, 2.0, 10.0])
def test_bic_penalty_matches_the_literal_algorithm(penalty):
    rng = random.Random(int(penalty * 100))
    data = random_rows(rng, 4, 1, 900, 3)
    model = TESK(4, max_depth=3, method="bic", penalty=penalty)
    model.fit(data)
    expected = reference_model.fit(data, 4, 3, "bic", penalty=penalty)
    assert_same_model(model, expected, 4, rng)


def test_larger_penalty_never_grows_the_tree():
    rng = random.Random(11)
    data = random_rows(rng, 3, 1, 3000, 3)
    sizes = []
    for penalty in (0.25, 1.0, 4.0, 16.0):
        model = TESK(3, max_depth=5, method="bic", penalty=penalty)
        model.fit(data)
        sizes.append(model.context_count)
    assert sizes == sorted(sizes, reverse=True)


def test_single_position_never_splits():
    # One counted position: the penalty is 0 and every split only ties.
    for method in ("bct", "bic"):
        model = TESK(2, max_depth=3, method=method)
        model.fit([[0, 1, 1, 0]])
        assert model.get_contexts() == [[]]


def test_bct_ln_gamma_reference_values():
    assert reference_model.ln_gamma(0.5) == 0.5723649429246995
    assert abs(reference_model.ln_gamma(1.0)) < 1e-15
    assert abs(reference_model.ln_gamma(2.0)) < 1e-15


def test_peres_shield_terminal_nodes_may_keep_children():
    # 0 and 1 alternate; a rare 2 is followed by a random symbol. The contexts [0] and [1]
    # deviate strongly from the root, the rare [2] cannot, so the root keeps two of its three
    # children and stays terminal while they are active.
    rng = random.Random(5)
    row = [0]
    for position in range(3000):
        if position % 60 == 59:
            row.append(2)
        elif row[-1] == 2:
            row.append(rng.randrange(3))
        else:
            row.append(1 - row[-1])
    expected = reference_model.fit([row], 3, 1, "peres_shield")
    assert expected.contexts() == [[], [0], [1]]
    model = TESK(3, max_depth=1, method="ps")
    model.fit([row])
    assert_same_model(model, expected, 3, rng)
    assert model.get_suffix([2]) == []
    assert model.get_suffix([2, 0]) == [0]
