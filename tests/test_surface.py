"""The module and class surface: attributes, docstrings, properties and what the type refuses."""

import gc
import inspect
import os
import pickle
import sys
import tomllib
import weakref
from pathlib import Path

import pytest

import tesk
from tesk import TESK

NOT_FITTED = "fit must be called before querying the model"

METHOD_DOCS = {
    "fit": (
        "($self, data)",
        "Fit a fresh model. Rows are independent sequences and are never joined.",
    ),
    "get_suffix": (
        "($self, sequence)",
        "Return the selected context suffix, or an aggregate prefix when the\n"
        "supplied history is shorter than the selected context.",
    ),
    "get_counts": (
        "($self, sequence)",
        "Return the number of usable outcomes observed after an active tree node.",
    ),
    "get_transition_counts": (
        "($self, sequence)",
        "Return unsmoothed next-symbol counts in alphabet order.",
    ),
    "get_distribution": (
        "($self, sequence)",
        "Return Jeffreys-smoothed transition probabilities for an active node.",
    ),
    "predict_proba": (
        "($self, history)",
        "Select a context from `history` and return its transition probabilities.",
    ),
    "get_contexts": (
        "($self)",
        "Return terminal contexts only, ordered first by length and then lexically.",
    ),
}
CONFIG_PROPERTIES = ["method", "boundary", "alphabet_size", "max_depth"]
FITTED_PROPERTIES = ["sample_size", "effective_max_depth", "node_count", "context_count"]


def test_module_attributes():
    assert tesk.__all__ == ["TESK", "__version__"]
    assert type(tesk.__all__) is list
    with open(Path(__file__).resolve().parents[1] / "pyproject.toml", "rb") as project:
        assert tesk.__version__ == tomllib.load(project)["project"]["version"]
    assert tesk.__doc__ == ""
    assert tesk.TESK is TESK
    assert sorted(name for name in vars(tesk) if not name.startswith("_")) == ["TESK"]


def test_import_is_warning_free(run_python):
    result = run_python("import tesk; print(tesk.TESK.__module__)", "-W", "error")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "tesk"
    assert result.stderr == ""


def test_second_initialisation_is_refused(run_python):
    code = (
        "import sys, tesk\n"
        "first = tesk.TESK\n"
        "del sys.modules['tesk']\n"
        "try:\n"
        "    import tesk\n"
        "except ImportError as error:\n"
        "    print('ImportError:', error)\n"
        "else:\n"
        "    print('imported twice')\n"
        "print(first(2).method)\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ImportError:")
    assert "once" in lines[0]
    assert lines[1] == "bct"  # the first module's class keeps working


def test_failed_first_initialisation_can_be_retried(run_python):
    # Creating the type needs the warnings module; without it the first import fails with its own
    # cause, and once it is back a second import succeeds.
    code = (
        "import sys, warnings\n"
        "sys.modules['warnings'] = None\n"
        "try:\n"
        "    import tesk\n"
        "except ImportError as error:\n"
        "    print(error)\n"
        "sys.modules['warnings'] = warnings\n"
        "import tesk\n"
        "print(tesk.TESK(2).method)\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["import of warnings halted; None in sys.modules", "bct"]


def test_class_identity_and_docstring():
    assert TESK.__name__ == "TESK"
    assert TESK.__qualname__ == "TESK"
    assert TESK.__module__ == "tesk"
    assert TESK.__doc__ == (
        "Variable-length Markov-chain estimator with interchangeable tree selectors."
    )
    assert TESK.__bases__ == (object,)
    assert TESK.__init__ is object.__init__
    assert TESK.__repr__ is object.__repr__
    assert TESK.__hash__ is object.__hash__
    assert TESK.__eq__ is object.__eq__


def test_methods_in_table_order_with_docstrings_and_signatures():
    own = [name for name in vars(TESK) if not name.startswith("_")]
    assert own[: len(METHOD_DOCS)] == list(METHOD_DOCS)
    for name, (signature, doc) in METHOD_DOCS.items():
        method = getattr(TESK, name)
        assert method.__doc__ == doc, name
        assert method.__text_signature__ == signature, name
    assert list(inspect.signature(TESK.fit).parameters) == ["self", "data"]
    assert list(inspect.signature(TESK.predict_proba).parameters) == ["self", "history"]


def test_properties_are_read_only_descriptors_with_empty_docs():
    own = [name for name in vars(TESK) if not name.startswith("_")]
    assert sorted(own[len(METHOD_DOCS):]) == sorted(CONFIG_PROPERTIES + FITTED_PROPERTIES)
    for name in CONFIG_PROPERTIES + FITTED_PROPERTIES:
        descriptor = vars(TESK)[name]
        assert descriptor.__doc__ == "", name
        assert inspect.isgetsetdescriptor(descriptor), name


def test_fresh_model_answers_configuration_only():
    model = TESK(4)
    assert model.method == "bct"
    assert model.boundary == "condition"
    assert model.alphabet_size == 4
    assert model.max_depth == 10
    for name in FITTED_PROPERTIES:
        with pytest.raises(RuntimeError) as raised:
            getattr(model, name)
        assert raised.value.args == (NOT_FITTED,)
    with pytest.raises(RuntimeError, match=NOT_FITTED):
        model.get_contexts()
    assert model.max_depth == 10  # still usable after the failures


def test_property_types_and_values_after_fit():
    model = TESK(2, max_depth=1, method="bic")
    model.fit([[0, 1, 0, 1, 0, 1]])
    values = {name: getattr(model, name) for name in CONFIG_PROPERTIES + FITTED_PROPERTIES}
    assert values == {
        "method": "bic",
        "boundary": "condition",
        "alphabet_size": 2,
        "max_depth": 1,
        "sample_size": 5,
        "effective_max_depth": 1,
        "node_count": 3,
        "context_count": 2,
    }
    assert all(type(v) is int for k, v in values.items() if k not in ("method", "boundary"))
    assert type(values["method"]) is str


def test_large_configuration_values_come_back_as_ints():
    model = TESK(4294967295, 65535, method="peres_shield")
    assert model.alphabet_size == 4294967295
    assert model.max_depth == 65535
    assert model.method == "peres_shield"


def test_attributes_cannot_be_assigned_or_deleted():
    model = TESK(4)
    with pytest.raises(AttributeError):
        model.max_depth = 3
    with pytest.raises(AttributeError):
        model.sample_size = 3
    with pytest.raises(AttributeError):
        del model.method
    with pytest.raises(AttributeError):
        model.anything = 1
    assert not hasattr(model, "__dict__")
    assert model.max_depth == 10


def test_type_refuses_subclassing_weak_references_and_pickling():
    with pytest.raises(TypeError):

        class Derived(TESK):
            pass

    model = TESK(4)
    with pytest.raises(TypeError):
        weakref.ref(model)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError):
            pickle.dumps(model, protocol=protocol)
    model.fit([[0, 1, 2, 3]])
    with pytest.raises(TypeError):
        pickle.dumps(model)


def test_instances_are_not_tracked_by_the_garbage_collector():
    assert not gc.is_tracked(TESK(4))


def test_methods_and_properties_check_their_receiver():
    with pytest.raises(TypeError, match="TESK"):
        TESK.fit(object(), [])
    with pytest.raises(TypeError, match="TESK"):
        TESK.get_counts(3, [])
    with pytest.raises(TypeError, match="TESK"):
        vars(TESK)["max_depth"].__get__(object(), object)


def test_get_contexts_takes_no_arguments():
    model = TESK(2)
    model.fit([[0, 1] * 20])
    with pytest.raises(TypeError):
        model.get_contexts(1)
    with pytest.raises(TypeError):
        model.get_contexts(sequence=[])


def test_instances_release_their_type_reference():
    before = sys.getrefcount(TESK)
    models = [TESK(2) for _ in range(100)]
    for model in models:
        model.fit([[0, 1, 1, 0]])
    assert sys.getrefcount(TESK) >= before + 100
    del models, model
    assert sys.getrefcount(TESK) == before


def test_internal_failure_reaches_python_as_a_base_exception(run_python):
    # The only way to break an invariant from Python: poke the borrow counter (the first field
    # after the object header) to its maximum, so that one more shared borrow cannot be counted.
    code = (
        f"import sys, tesk; sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "from instance_layout import borrow_counter\n"
        "model = tesk.TESK(4)\n"
        "flag = borrow_counter(model)\n"
        "assert flag.value == 0\n"
        "flag.value = 2**63 - 1\n"
        "try:\n"
        "    try:\n"
        "        model.max_depth\n"
        "    except Exception:\n"
        "        print('caught as Exception')\n"
        "except BaseException as failure:\n"
        "    kind = type(failure)\n"
        "    direct = kind.__bases__ == (BaseException,)\n"
        "    print(kind.__name__, kind.__module__, direct, failure.args)\n"
        "    assert flag.value == 2**63 - 1\n"
        "    flag.value = 0\n"
        "    print(model.max_depth)\n"
        "    assert not hasattr(tesk, kind.__name__)\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "InternalError tesk True ('shared borrow count overflow',)",
        "10",
    ]
    assert "shared borrow count overflow" in result.stderr
    assert "binding.cpp" in result.stderr
