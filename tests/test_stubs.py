"""The type stubs against the compiled module.

Under pytest these tests compare the stub file with the running module and check at run time what
the annotations promise. CI also type-checks this file with mypy --strict and pyright: the
`assert_type` calls then check the declared result types, and every `# type: ignore[...]` marks a
call that the stubs must refuse (an ignore that is no longer needed is an error in both checkers),
so the same lines catch stubs that are too strict, too loose, or out of date.
"""

from __future__ import annotations

import ast
import inspect
import sysconfig
from pathlib import Path
from typing import Any, Literal, assert_type

import numpy as np
import pytest

import tesk
from tesk import TESK

STUB = Path(__file__).resolve().parent.parent / "stubs" / "tesk-stubs" / "__init__.pyi"
README = Path(__file__).resolve().parent.parent / "README.md"


def stub_class() -> ast.ClassDef:
    module = ast.parse(STUB.read_text())
    return next(n for n in module.body if isinstance(n, ast.ClassDef) and n.name == "TESK")


def stub_functions() -> dict[str, ast.FunctionDef]:
    return {n.name: n for n in stub_class().body if isinstance(n, ast.FunctionDef)}


def is_property(function: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in function.decorator_list)


def fitted() -> TESK:
    model = TESK(2, max_depth=1, method="bic")
    model.fit([[0, 1, 0, 1, 0, 1]])
    return model


def test_stub_declares_exactly_the_runtime_surface() -> None:
    functions = stub_functions()
    runtime = {name: value for name, value in vars(TESK).items() if not name.startswith("_")}
    assert set(runtime) == set(functions) - {"__new__"}
    for name, value in runtime.items():
        declared = functions[name]
        if inspect.isdatadescriptor(value):
            assert is_property(declared), f"{name} is a read-only property at run time"
            continue
        assert not is_property(declared), f"{name} is a method at run time"
        runtime_parameters = list(inspect.signature(value).parameters)
        assert [a.arg for a in declared.args.args] == ["self", *runtime_parameters[1:]], name
        assert ast.get_docstring(declared) == inspect.cleandoc(value.__doc__ or ""), name
    assert ast.get_docstring(stub_class()) == TESK.__doc__

    module = ast.parse(STUB.read_text())
    (declared_all,) = (
        ast.literal_eval(node.value)
        for node in module.body
        if isinstance(node, ast.Assign) and any(getattr(t, "id", "") == "__all__" for t in node.targets)
    )
    assert declared_all == tesk.__all__


def test_constructor_defaults_in_the_stub_are_the_runtime_defaults() -> None:
    constructor = stub_functions()["__new__"]
    names = [a.arg for a in constructor.args.args][1:]
    defaults = dict(zip(names[-len(constructor.args.defaults) :], map(ast.literal_eval, constructor.args.defaults)))
    assert names[0] == "alphabet_size" and "alphabet_size" not in defaults
    explicit = TESK(alphabet_size=4, **defaults)
    implicit = TESK(4)
    for name in ("method", "boundary", "alphabet_size", "max_depth"):
        assert getattr(explicit, name) == getattr(implicit, name)
    assert implicit.max_depth == defaults["max_depth"]
    # Editors and the README show the constructor from here; the class itself has no signature.
    assert names == ["alphabet_size", "max_depth", "method", "beta", "penalty", "boundary"]
    shown = f"TESK({names[0]}, " + ", ".join(f"{name}={defaults[name]!r}" for name in names[1:]) + ")"
    assert f"\n{shown}\n" in README.read_text()


def test_installed_module_carries_its_stubs() -> None:
    module_dir = Path(tesk.__file__).resolve().parent
    site_dirs = {Path(sysconfig.get_path(key)).resolve() for key in ("purelib", "platlib")}
    if module_dir not in site_dirs:
        pytest.skip(f"tesk is not installed but loaded from {module_dir}")
    installed = module_dir / "tesk-stubs" / "__init__.pyi"
    assert installed.is_file(), "the wheel must install tesk-stubs next to the module"
    assert installed.read_text() == STUB.read_text()


def test_results_have_the_declared_types() -> None:
    model = fitted()
    version = assert_type(tesk.__version__, str)
    contexts = assert_type(model.get_contexts(), list[list[int]])
    suffix = assert_type(model.get_suffix([1, 0]), list[int])
    total = assert_type(model.get_counts([0]), int)
    counts = assert_type(model.get_transition_counts([0]), list[int])
    distribution = assert_type(model.get_distribution([0]), list[float])
    forecast = assert_type(model.predict_proba([1, 0]), list[float])
    method = assert_type(model.method, Literal["bct", "bic", "peres_shield"])
    boundary = assert_type(model.boundary, Literal["condition"])
    sizes = [model.alphabet_size, model.max_depth, model.sample_size, model.effective_max_depth,
             model.node_count, model.context_count]
    assert_type(sizes, list[int])

    assert type(version) is str
    assert type(contexts) is list and all(type(c) is list for c in contexts)
    assert all(type(s) is int for s in [*suffix, total, *counts, *sizes, *(s for c in contexts for s in c)])
    assert all(type(p) is float for p in [*distribution, *forecast])
    assert method == "bic" and boundary == "condition"
    assert assert_type(fitted().fit([[0, 1]]), None) is None


def test_every_documented_input_type_is_accepted_by_the_stubs_and_the_module() -> None:
    model = fitted()
    history: list[Any] = [
        [1, 0],
        (1, 0),
        range(1, -1, -1),
        b"\x01\x00",
        bytearray(b"\x01\x00"),
        np.array([1, 0], dtype=np.uint8),
        [True, False],
        [np.int64(1), np.int64(0)],
    ]
    for sequence in history:
        assert model.predict_proba(sequence) == [0.125, 0.875]
    assert model.get_suffix(b"\x01\x00") == model.get_suffix(np.array([1, 0])) == [0]

    rows = [[0, 1, 0, 1, 0, 1]]
    for data in (rows, [tuple(rows[0])], [bytes(rows[0])], np.array(rows), [np.array(rows[0])], (range(0),)):
        TESK(2, max_depth=1, method="bic").fit(data)
    model.fit(np.array(rows, dtype=np.int64))
    assert model.get_contexts() == [[0], [1]]

    # Parameters: integers or objects with __index__; beta and penalty also take ints and floats.
    TESK(np.int64(4), max_depth=np.uint8(3), method=" PS ")
    TESK(2, beta=np.float64(0.6))
    TESK(2, method="bic", penalty=2)


def test_refused_arguments_are_refused_by_the_stubs_and_the_module() -> None:
    model = fitted()
    with pytest.raises(TypeError):
        model.fit("0101")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        model.fit(["0101"])  # type: ignore[list-item]
    with pytest.raises(TypeError):
        model.get_counts([0.0])  # type: ignore[list-item]
    with pytest.raises(TypeError):
        model.get_counts({0: 1})  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        model.predict_proba(iter([0, 1]))  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        model.get_suffix(None)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        model.get_contexts([0])  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        TESK(4, max_depth=None)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        TESK(4, beta="0.9")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        TESK(4.0)  # type: ignore[arg-type]
    with pytest.raises(AttributeError):
        model.max_depth = 3  # type: ignore[misc]
    with pytest.raises(TypeError):
        type("Sub", (TESK,), {})
