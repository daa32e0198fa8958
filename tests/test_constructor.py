"""TESK(...): binding and conversion of the six parameters, then validation with exact messages."""

import math

import pytest

from tesk import TESK
from integer_like import Index

UNKNOWN_METHOD = "unknown method {}; expected 'bct', 'bic', or 'peres_shield'"
UNKNOWN_BOUNDARY = "unknown boundary mode {}; currently only 'condition' is supported"
BETA_RANGE = "beta must be finite, at least 0.5, and strictly below 1 for exact BCT MAP selection"
DEFAULT_BETA = "the default BCT beta rounds to 1 for this alphabet; supply beta explicitly"
PENALTY_RANGE = "penalty must be finite and strictly positive"
BETA_WRONG_METHOD = "beta is only valid when method='bct'"
PENALTY_WRONG_METHOD = "penalty is only valid when method='bic'"


def value_error(*args, **kwargs):
    with pytest.raises(ValueError) as raised:
        TESK(*args, **kwargs)
    assert type(raised.value) is ValueError
    assert len(raised.value.args) == 1
    return raised.value.args[0]


def type_error(*args, **kwargs):
    with pytest.raises(TypeError) as raised:
        TESK(*args, **kwargs)
    return str(raised.value)


class Real:
    def __float__(self):
        return 0.75


# --- binding ---------------------------------------------------------------------------------


def test_parameters_bind_by_position_or_keyword():
    positional = TESK(4, 3, "bic", None, 2.0, "condition")
    keywords = TESK(boundary="condition", penalty=2.0, method="bic", max_depth=3, alphabet_size=4)
    for model in (positional, keywords):
        assert (model.alphabet_size, model.max_depth, model.method) == (4, 3, "bic")


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((), {"max_depth": 3}),
        ((4, 3, "bic", None, 2.0, "condition", 7), {}),
        ((4,), {"alphabet_size": 4}),
        ((4, 3), {"max_depth": 3}),
        ((4,), {"depth": 3}),
    ],
)
def test_binding_errors_are_type_errors(args, kwargs):
    message = type_error(*args, **kwargs)
    assert "TESK" in message
    assert not message.startswith("argument ")


def test_binding_fails_before_any_conversion():
    touched = []

    class Spy:
        def __index__(self):
            touched.append(True)
            return 4

    with pytest.raises(TypeError):
        TESK(Spy(), unknown=1)
    with pytest.raises(TypeError):
        TESK(Spy(), 1, 2, 3, 4, 5, 6)
    assert touched == []


# --- conversion ------------------------------------------------------------------------------


def test_integers_accept_index_objects_and_refuse_other_types():
    assert TESK(Index(5), Index(0)).alphabet_size == 5
    assert TESK(True + True, False).max_depth == 0
    assert type_error("4").startswith("argument 'alphabet_size': ")
    assert type_error(4.0).startswith("argument 'alphabet_size': ")
    assert type_error(4, None).startswith("argument 'max_depth': ")
    assert type_error(4, 2.5).startswith("argument 'max_depth': ")


@pytest.mark.parametrize("value", [-1, 2**64, Index(-5)])
def test_out_of_range_integers_raise_overflow_error_unchanged(value):
    with pytest.raises(OverflowError) as raised:
        TESK(value)
    assert "alphabet_size" not in str(raised.value)
    with pytest.raises(OverflowError):
        TESK(4, value)


def test_text_parameters_need_str():
    assert type_error(4, method=None).startswith("argument 'method': ")
    assert type_error(4, method=b"bic").startswith("argument 'method': ")
    assert type_error(4, boundary=1).startswith("argument 'boundary': ")
    assert type_error(4, boundary=None).startswith("argument 'boundary': ")

    class Name(str):
        pass

    assert TESK(4, method=Name("BIC")).method == "bic"


def test_text_without_utf8_form_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        TESK(4, method="b\ud800ct")


def test_float_parameters_use_python_float_conversion():
    assert TESK(4, beta=Real()).method == "bct"
    assert TESK(4, method="bic", penalty=Index(3)).method == "bic"
    assert TESK(4, method="bic", penalty=2).method == "bic"
    assert type_error(4, beta="0.75").startswith("argument 'beta': ")
    assert type_error(4, method="bic", penalty=[1.0]).startswith("argument 'penalty': ")


def test_none_means_omitted_for_beta_and_penalty_only():
    assert TESK(4, method="bct", beta=None).method == "bct"
    assert TESK(4, method="bic", penalty=None, beta=None).method == "bic"
    assert TESK(4, method="peres_shield", beta=None, penalty=None).method == "peres_shield"


def test_conversion_runs_in_parameter_order_before_validation():
    # A conversion failure wins over a validation failure of an earlier parameter.
    assert type_error(1, method=5).startswith("argument 'method': ")
    assert type_error(4, 99999, boundary=3).startswith("argument 'boundary': ")
    # The first parameter to fail conversion is the one reported.
    assert type_error("x", method=5).startswith("argument 'alphabet_size': ")
    assert type_error(4, method=5, beta="x").startswith("argument 'method': ")
    assert type_error(4, beta="x", boundary=5).startswith("argument 'beta': ")


# --- validation ------------------------------------------------------------------------------


def test_defaults():
    model = TESK(2)
    assert (model.max_depth, model.method, model.boundary) == (10, "bct", "condition")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((0,), {}, "alphabet_size must be at least 2"),
        ((1,), {}, "alphabet_size must be at least 2"),
        ((True,), {}, "alphabet_size must be at least 2"),
        ((4294967296,), {"method": "zzz", "max_depth": 10**6}, "alphabet_size is too large"),
        ((2**64 - 1,), {}, "alphabet_size is too large"),
        ((4, 65536), {}, "max_depth must be no larger than 65535"),
        ((4, 65536), {"method": "zzz"}, "max_depth must be no larger than 65535"),
        ((4,), {"method": "zzz", "boundary": "pad"}, UNKNOWN_METHOD.format('"zzz"')),
        ((4,), {"method": "peres shield"}, UNKNOWN_METHOD.format('"peres shield"')),
        ((4,), {"method": ""}, UNKNOWN_METHOD.format('""')),
        ((4,), {"boundary": "pad"}, UNKNOWN_BOUNDARY.format('"pad"')),
        ((4,), {"boundary": "pad", "beta": 7.0}, UNKNOWN_BOUNDARY.format('"pad"')),
        ((4,), {"method": "bic", "beta": 2.0}, BETA_WRONG_METHOD),
        ((4,), {"method": "ps", "beta": 0.7}, BETA_WRONG_METHOD),
        ((4,), {"method": "bic", "beta": 0.7, "penalty": -1.0}, BETA_WRONG_METHOD),
        ((4,), {"penalty": 1.0}, PENALTY_WRONG_METHOD),
        ((4,), {"penalty": -1.0, "beta": 7.0}, PENALTY_WRONG_METHOD),
        ((4,), {"method": "ps", "penalty": 1.0}, PENALTY_WRONG_METHOD),
        ((4,), {"beta": 1.0}, BETA_RANGE),
        ((4,), {"beta": 0.4999}, BETA_RANGE),
        ((4,), {"beta": math.nan}, BETA_RANGE),
        ((4,), {"beta": math.inf}, BETA_RANGE),
        ((4,), {"beta": -math.inf}, BETA_RANGE),
        ((55,), {}, DEFAULT_BETA),
        ((4294967295,), {}, DEFAULT_BETA),
        ((4,), {"method": "bic", "penalty": 0.0}, PENALTY_RANGE),
        ((4,), {"method": "bic", "penalty": -0.0}, PENALTY_RANGE),
        ((4,), {"method": "bic", "penalty": -1.0}, PENALTY_RANGE),
        ((4,), {"method": "bic", "penalty": math.inf}, PENALTY_RANGE),
        ((4,), {"method": "bic", "penalty": math.nan}, PENALTY_RANGE),
    ],
)
def test_validation_messages(args, kwargs, message):
    assert value_error(*args, **kwargs) == message


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((4, 65535), {}),
        ((4, 0), {}),
        ((54,), {}),
        ((55,), {"beta": 0.9}),
        ((55,), {"method": "bic"}),
        ((1000,), {"method": "peres_shield"}),
        ((4294967295,), {"method": "bic"}),
        ((4294967295,), {"beta": 0.9}),
        ((4,), {"beta": 0.5}),
        ((4,), {"beta": math.nextafter(1.0, 0.0)}),
        ((4,), {"method": "bic", "penalty": 5e-324}),
        ((4,), {"method": "bic", "penalty": 1e308}),
    ],
)
def test_accepted_configurations(args, kwargs):
    model = TESK(*args, **kwargs)
    assert model.alphabet_size == args[0]


@pytest.mark.parametrize(
    "text, method",
    [
        ("bct", "bct"),
        ("  BiC\n", "bic"),
        ("PS", "peres_shield"),
        ("Peres-Shield", "peres_shield"),
        ("peres_shield", "peres_shield"),
        (" PS ", "peres_shield"),
        # Every White_Space character strips, at either end.
        ("\t\n\x0b\x0c\r \x85\xa0\u1680bic", "bic"),
        ("bic\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a", "bic"),
        ("\u2028\u2029\u202f\u205f\u3000bct\u3000", "bct"),
    ],
)
def test_method_names_are_normalised(text, method):
    assert TESK(4, method=text).method == method


@pytest.mark.parametrize(
    "text",
    [
        "\u200bbic",  # zero-width space is not White_Space
        "b ic",  # inner space stays
        "BİC",  # only ASCII letters are lower-cased
        "ＢＩＣ",
        "p_s",
    ],
)
def test_near_miss_method_names_are_refused(text):
    assert value_error(4, method=text).startswith("unknown method ")


def test_boundary_is_normalised_the_same_way():
    assert TESK(4, boundary=" CONDITION ").boundary == "condition"
    assert TESK(4, boundary="\u3000Condition\n").boundary == "condition"
    assert value_error(4, boundary="conditions") == UNKNOWN_BOUNDARY.format('"conditions"')


@pytest.mark.parametrize(
    "text, quoted",
    [
        ("x\ty", r'"x\ty"'),
        ("a\rb\nc\0d", r'"a\rb\nc\0d"'),
        ('say "hi"', r'"say \"hi\""'),
        ("back\\slash", r'"back\\slash"'),
        ("it's", '"it\'s"'),
        ("  Zzz  ", '"  Zzz  "'),  # as passed: not stripped, not lower-cased
        ("\x01\x1f\x7f\x85\x9f", r'"\u{1}\u{1f}\u{7f}\u{85}\u{9f}"'),
        ("\xa0\u2028\u3000", r'"\u{a0}\u{2028}\u{3000}"'),  # separators other than space
        ("\u200b\u00ad\ufeff", r'"\u{200b}\u{ad}\u{feff}"'),  # format characters
        ("\u0378\U0010ffff", r'"\u{378}\u{10ffff}"'),  # unassigned
        ("\ue000", r'"\u{e000}"'),  # private use
        ("e\u0301", r'"e\u{301}"'),  # combining acute accent
        ("\u200d\u20e3", r'"\u{200d}\u{20e3}"'),  # grapheme-extending joiner and enclosing mark
        # Printable text stays as it is.
        ("é ñ ü Ω 中 😀 \ufffd", '"é ñ ü Ω 中 😀 \ufffd"'),
    ],
)
def test_unknown_names_are_quoted_with_escapes(text, quoted):
    assert value_error(4, method=text) == UNKNOWN_METHOD.format(quoted)
    assert value_error(4, boundary=text) == UNKNOWN_BOUNDARY.format(quoted)


def test_constructor_failures_leave_no_references_behind():
    import sys

    method = "not a method " * 3
    beta = 0.75
    before = (sys.getrefcount(method), sys.getrefcount(beta))
    for _ in range(50):
        with pytest.raises(ValueError):
            TESK(4, method=method, beta=beta)
        with pytest.raises(TypeError):
            TESK(4, method=method, beta=[beta])
    assert (sys.getrefcount(method), sys.getrefcount(beta)) == before
