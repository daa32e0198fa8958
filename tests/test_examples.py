"""The examples and the README, run as a user runs them.

The example programs run in a fresh interpreter that imports the same tesk as these tests; their
output is checked against the data files and against models fitted here. The README's ```python
blocks run as doctests, in order and in one namespace, so a change of behaviour that the manual
shows makes this fail.
"""

from __future__ import annotations

import doctest
import math
import os
import random
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import tesk
from tesk import TESK

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
README = ROOT / "README.md"
sys.path.insert(0, str(EXAMPLES))

import compare_selectors  # noqa: E402
import draw_tree  # noqa: E402
from example_data import DATASETS  # noqa: E402


def run_example(script, *arguments, cwd=None):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(tesk.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    env["MPLBACKEND"] = "Agg"
    return subprocess.run(
        [sys.executable, str(EXAMPLES / script), *map(str, arguments)],
        capture_output=True, text=True, env=env, cwd=cwd or ROOT, timeout=300,
    )


@pytest.fixture(scope="module")
def comparison():
    result = run_example("compare_selectors.py")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def test_quickstart_runs_the_three_selectors():
    result = run_example("quickstart.py")
    assert result.returncode == 0, result.stderr
    for method in ("bct", "bic", "peres_shield"):
        assert re.search(rf"^{method}: \d+ contexts? from 1321 positions", result.stdout, re.M), method
    assert "Traceback" not in result.stderr


def table_rows(section):
    """(selector, positions, contexts, longest, bits) for each selector row of one data set."""
    pattern = r"^   (bct|bic|peres_shield)\s+([\d,]+)\s+([\d,]+)\s+(\d+)\s+(\d+\.\d+) bits/"
    return [
        (m[1], int(m[2].replace(",", "")), int(m[3].replace(",", "")), int(m[4]), float(m[5]))
        for m in re.finditer(pattern, section, re.M)
    ]


def test_comparison_reports_every_data_set_with_consistent_figures(comparison):
    sections = comparison.split("\n== ")
    for data in DATASETS.values():
        (section,) = [s for s in sections if s.lstrip("= ").startswith(data.title)]
        series = data.load()
        split = int(len(series) * 0.8)
        assert f"{len(series):,} {data.unit}s" in section
        rows = table_rows(section)
        assert [r[0] for r in rows] == ["bct", "bic", "peres_shield"]
        for method, positions, contexts, longest, bits in rows:
            assert positions == split - data.max_depth
            assert 1 <= contexts and 0 <= longest <= data.max_depth
            assert 0 < bits < math.log2(data.alphabet_size) + 1
        baseline = float(re.search(r"no context .*?(\d+\.\d+) bits/", section)[1])
        assert min(r[4] for r in rows) <= baseline + 1e-4
    pewee = next(s for s in sections if s.startswith("Song of a wood pewee"))
    # The song has strong memory: the best tree saves far more than noise against no context.
    assert min(r[4] for r in table_rows(pewee)) < 1.0 < float(re.search(r"no context .*?(\d+\.\d+)", pewee)[1])


def test_readme_shows_the_current_comparison(comparison):
    summary = comparison[comparison.index("== Summary") :].splitlines()[1:]
    readme = README.read_text()
    block = readme[readme.index("data set                     bct") :].split("```")[0]
    assert [line.strip() for line in summary] == [line.strip() for line in block.strip().splitlines()]


def test_log_loss_from_truncated_histories_equals_the_full_history_score():
    series = DATASETS["pewee"].load()
    split = int(len(series) * 0.8)
    model = TESK(3, max_depth=6)
    model.fit([series[:split]])
    direct = -sum(math.log2(model.predict_proba(series[:i])[series[i]]) for i in range(split, len(series)))
    assert compare_selectors.log_loss_bits(model, series, split) == pytest.approx(direct / (len(series) - split))


@pytest.mark.parametrize(
    ("script", "arguments", "message"),
    [
        ("compare_selectors.py", ["--file", "missing.txt", "--alphabet-size", "3"], "missing.txt: no such file"),
        ("compare_selectors.py", ["--file", "{bad_symbol}", "--alphabet-size", "3"], "line 2: '3' is not a symbol"),
        ("compare_selectors.py", ["--file", "{not_a_number}", "--alphabet-size", "3"], "line 1: 'x' is not a symbol"),
        ("compare_selectors.py", ["--file", "{empty}", "--alphabet-size", "3"], "holds no symbols"),
        ("compare_selectors.py", ["--file", "{bad_symbol}"], "--file and --alphabet-size go together"),
        ("compare_selectors.py", ["weather"], "unknown data set 'weather'"),
        ("compare_selectors.py", ["pewee", "--max-depth", "70000"], "max_depth must be no larger than 65535"),
        ("draw_tree.py", ["--file", "missing.txt", "--alphabet-size", "3"], "missing.txt: no such file"),
        ("draw_tree.py", ["--file", "{bad_symbol}", "--alphabet-size", "3"], "line 2: '3' is not a symbol"),
        ("draw_tree.py", ["pewee", "--method", "best"], 'unknown method "best"'),
        ("draw_tree.py", ["pewee", "--alphabet-size", "1"], "--file and --alphabet-size go together"),
        ("draw_tree.py", ["sars-cov-2", "--method", "bic", "--max-depth", "-1"], "must not be negative"),
        (
            "draw_tree.py",
            ["--file", "{big_tree}", "--alphabet-size", "13", "--method", "bic", "--max-depth", "2"],
            "169 contexts, too many to draw",
        ),
        ("draw_tree.py", ["--bytes", "missing.txt"], "missing.txt: no such file"),
        ("compare_selectors.py", ["--file", "{not_a_number}", "--alphabet-size", "3"], "raw bytes use --bytes"),
        ("compare_selectors.py", ["--bytes", "{bad_symbol}", "--alphabet-size", "3"], "byte 0: 48 is not a symbol"),
        ("score_and_sample.py", ["--file", "{bad_symbol}", "--alphabet-size", "4"], "too short to hold out"),
    ],
)
def test_user_mistakes_end_with_a_message_not_a_traceback(tmp_path, script, arguments, message):
    rng = random.Random(3)
    series = [0, 1]
    for _ in range(20000):  # the last two symbols decide the next one, with some noise
        series.append(rng.randrange(13) if rng.random() < 0.1 else (series[-1] + series[-2]) % 13)
    files = {
        "bad_symbol": "0\n3\n1\n",
        "not_a_number": "x 1\n",
        "empty": "\n",
        "big_tree": " ".join(map(str, series)),
    }
    for name, text in files.items():
        (tmp_path / f"{name}.txt").write_text(text)
    arguments = [a.format(**{name: tmp_path / f"{name}.txt" for name in files}) for a in arguments]
    result = run_example(script, *arguments, cwd=tmp_path)
    assert result.returncode != 0
    assert message in result.stderr
    assert "Traceback" not in result.stderr
    assert not (tmp_path / "tree.png").exists()


def test_score_and_sample_tunes_scores_and_samples_sensibly():
    result = run_example("score_and_sample.py")  # the S&P 500 data
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    out = result.stdout
    scores = re.search(r"held-out log-loss (\d\.\d+) bits/day; symbol frequencies alone (\d\.\d+)", out)
    default, frequencies = float(scores[1]), float(scores[2])
    lowest = float(re.search(r"lowest: .*?: (\d\.\d+) bits/day", out)[1])
    assert lowest <= default < frequencies

    def shares(name):
        return [float(share) for share in re.findall(r"(\d+\.\d)%", re.search(rf"^   {name} .*$", out, re.M)[0])]

    # 2,000 symbols drawn from the right contexts have about the series' symbol shares.
    series, drawn = shares("series"), shares("sample")
    assert len(series) == len(drawn) == 7
    assert max(abs(a - b) for a, b in zip(series, drawn)) < 2.0
    grid = out[out.index("held-out log-loss in bits/day (*") :].split("\n   lowest")[0].splitlines()
    readme = README.read_text()
    block = readme[readme.index("held-out log-loss in bits/day (*") :].split("```")[0]
    assert [line.strip() for line in grid] == [line.strip() for line in block.strip().splitlines()]


@pytest.mark.parametrize(
    ("script", "arguments"),
    [
        ("compare_selectors.py", ["--method", "bct,bic", "--beta", "0.99", "--penalty", "0.5"]),
        ("score_and_sample.py", ["--beta", "0.99", "--max-depth", "3", "--no-tune", "--length", "50"]),
        ("draw_tree.py", ["--method", "bic", "--penalty", "0.5", "--max-depth", "2"]),
        # More than 54 distinct bytes, where TESK has no default beta: the scripts choose one.
        ("compare_selectors.py", ["--max-depth", "2"]),
        ("score_and_sample.py", ["--no-tune", "--length", "50"]),
    ],
)
def test_examples_take_a_bytes_file_and_model_options(tmp_path, script, arguments):
    if script == "draw_tree.py":
        pytest.importorskip("matplotlib")
    text = b"the cat sat on the mat; the rat sat on the cat.\n" * 40 + bytes(range(32, 127)) * 3
    (tmp_path / "notes.txt").write_bytes(text)
    for remap in (["--remap"], []):
        result = run_example(script, "--bytes", "notes.txt", *remap, *arguments, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert "Traceback" not in result.stderr


def png_size(path):
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


@pytest.mark.parametrize(("dataset", "method"), [("pewee", "bct"), ("pewee", "peres_shield")])
def test_draw_tree_writes_a_picture_of_the_fitted_tree(tmp_path, dataset, method):
    pytest.importorskip("matplotlib")
    output = tmp_path / f"{dataset}-{method}.png"  # the default name, which git ignores
    result = run_example("draw_tree.py", dataset, "--method", method, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    data = DATASETS[dataset]
    model = TESK(data.alphabet_size, max_depth=data.max_depth, method=method)
    model.fit([data.load()])
    count = model.context_count
    assert f"{count} context{'s' if count != 1 else ''}" in result.stdout
    width, height = png_size(output)
    # One row per terminal context: the picture grows with the tree and stays within a page.
    assert 500 <= width <= 1200
    assert 27 * count < height < 27 * count + 200


def test_tree_layout_gives_each_terminal_context_one_row_below_its_suffixes():
    # bct on the song: terminal contexts of several lengths; peres_shield-like: a terminal root
    # that also has a child.
    for contexts in ([[2], [0, 0], [1, 1, 0], [2, 1, 0], [0, 0, 1, 0]], [[], [0]]):
        root, rows = draw_tree.build_tree(contexts)
        assert sorted(list(r.context) for r in rows) == sorted(contexts)
        assert [r.y for r in rows] == list(range(len(contexts)))

        def check(node):
            for child in node.children:
                assert child.context[1:] == node.context
                check(child)
            if node.children and not node.terminal:
                assert node.children[0].y <= node.y <= node.children[-1].y

        check(root)


def readme_python_blocks():
    text = README.read_text()
    for match in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M):
        yield text.count("\n", 0, match.start()) + 2, match.group(1)


def test_readme_python_blocks_run_as_shown(tmp_path):
    """Sessions (with >>>) run in order in one namespace; the other blocks are whole programs."""
    namespace = {}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    blocks = list(readme_python_blocks())
    assert len(blocks) >= 8
    for line, block in blocks:
        if ">>>" in block:
            test = parser.get_doctest(block, namespace, f"README.md line {line}", str(README), line - 1)
            runner.run(test, out=report.append, clear_globs=False)
            namespace.update(test.globs)  # a DocTest runs in a copy of the namespace it was given
        else:  # in a fresh interpreter, so that process pools and `if __name__ == "__main__"` work
            program = tmp_path / f"readme_line_{line}.py"
            program.write_text(block)
            result = run_example(program, cwd=tmp_path)
            assert result.returncode == 0, f"README.md line {line}:\n{result.stderr}"
    assert runner.summarize(verbose=False).failed == 0, "".join(report)


def test_readme_quick_start_is_the_two_commands():
    text = README.read_text()
    section = text[text.index("## Quick start") :].split("```")[1]
    assert section.strip().splitlines() == [
        "pip install . && python examples/quickstart.py",
        "pip install '.[test]' && python -m pytest",
    ]


def test_readme_documents_every_method_and_property():
    text = README.read_text()
    public = [name for name in vars(TESK) if not name.startswith("_")]
    assert len(public) == 15
    for name in public:
        assert f"`{name}" in text, name
