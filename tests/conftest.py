"""Makes `import tesk` work for the tests.

An installed tesk, or one reachable through PYTHONPATH (for example PYTHONPATH=build/boundary), is
used as it is. Only when neither can be imported does this fall back to a module built inside this
checkout: the directory named by TESK_BUILD_DIR, else the most recently built build/*/tesk*.so. It
is appended to sys.path, so it can never shadow an installed module.
"""

import glob
import importlib.util
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _local_build_dir():
    explicit = os.environ.get("TESK_BUILD_DIR")
    if explicit:
        return explicit
    built = glob.glob(os.path.join(ROOT, "build", "*", "tesk*.so"))
    if not built:
        return None
    return os.path.dirname(max(built, key=os.path.getmtime))


def address_sanitizer_loaded():
    """True when this process runs with AddressSanitizer's runtime (the sanitizer build in CI)."""
    try:
        with open("/proc/self/maps") as maps:
            return any("libasan" in line or "libclang_rt.asan" in line for line in maps)
    except OSError:
        return False


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "not_under_sanitizer(reason): skipped under AddressSanitizer, whose allocator ends the "
        "process on a C++ allocation it cannot serve instead of throwing std::bad_alloc, and "
        "whose quarantine keeps freed memory resident",
    )


def pytest_collection_modifyitems(config, items):
    if not address_sanitizer_loaded():
        return
    for item in items:
        marker = item.get_closest_marker("not_under_sanitizer")
        if marker is not None:
            reason = marker.kwargs.get("reason", "not meaningful under AddressSanitizer")
            item.add_marker(pytest.mark.skip(reason=reason))


if importlib.util.find_spec("tesk") is None:
    _build_dir = _local_build_dir()
    if _build_dir is not None:
        sys.path.append(_build_dir)


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter that imports the same tesk as these tests."""
    import tesk

    def run(code, *interpreter_options):
        env = dict(os.environ)
        module_dir = os.path.dirname(os.path.abspath(tesk.__file__))
        env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
        return subprocess.run(
            [sys.executable, *interpreter_options, "-c", code],
            capture_output=True,
            text=True,
            env=env,
            timeout=120,
        )

    return run
