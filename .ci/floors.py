"""Installs a wheel with every extra's lower bounds pinned exactly (numpy, pytest, hypothesis,
matplotlib as pyproject.toml states them) in a fresh virtual environment, and runs the README's
examples and the example scripts there: a floor that does not hold fails here.

    python .ci/floors.py dist/tesk-*.whl
"""

import pathlib
import re
import subprocess
import sys
import tempfile
import tomllib
import venv

ROOT = pathlib.Path(__file__).resolve().parent.parent


def floors() -> list[str]:
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    pins = set()
    for requirements in extras.values():
        for requirement in requirements:
            name, floor = re.fullmatch(r"([A-Za-z0-9_.-]+)>=([0-9.]+)", requirement).groups()
            pins.add(f"{name}=={floor}")
    return sorted(pins)


def main() -> None:
    wheel = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="tesk-floors.") as folder:
        venv.create(folder, with_pip=True)
        python = str(pathlib.Path(folder) / "bin" / "python")
        pins = floors()
        print("floors:", " ".join(pins))
        subprocess.run([python, "-m", "pip", "install", "-q", wheel, *pins], check=True)
        subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                        str(ROOT / "tests" / "test_examples.py")], check=True, cwd=ROOT)


if __name__ == "__main__":
    main()
