"""Fits of chosen data sets at chosen depths, each in a fresh process, as ratios to an anchor fit.

Deep contexts: the same data at max_depth 100, 1,000 or 65,535 against a shallow depth, in time
and peak memory. Node-heavy fits: data that open a context at nearly every position, against the
dense counting loop on the same data. Run by run_bench.py (its last tables) or alone:

    PYTHONPATH=build/bench python bench/fit_cases.py [--json OUT]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# name: (data, alphabet, methods, anchor depth, depths compared with it)
DEEP_CASES = {
    "iid4_1e6": ({"kind": "iid", "alphabet": 4, "n": 10**6}, 4, ("bic", "bct"), 12, (100, 1000)),
    "order2_a10_5e4": ({"kind": "order2", "alphabet": 10, "n": 50_000}, 10, ("bic", "bct"), 10,
                       (100, 1000)),
    "iid4_1e5": ({"kind": "iid", "alphabet": 4, "n": 10**5}, 4, ("bic",), 100, (65535,)),
    # Its full trie would need more than 2^32 - 1 nodes: the fit refuses, without building it.
    "iid4_2e5": ({"kind": "iid", "alphabet": 4, "n": 2 * 10**5}, 4, ("bic",), 100, (65535,)),
}
# name: (data, alphabet, method, depths): fits on the sorted contexts, each against `anchors sort`
# (an LSD radix sort of the positions' 64-bit leading codes) on the same data.
SORTED_CASES = {
    "iid4_5e7": ({"kind": "iid", "alphabet": 4, "n": 5 * 10**7}, 4, "bct", (12, 30)),
}
# name: (data, alphabet, method, depth): fits far over the node limit, refused from a bound.
REFUSAL_CASES = {
    "iid4_1e8": ({"kind": "iid", "alphabet": 4, "n": 10**8}, 4, "bic", 80),
}
# name: (data, alphabet, fits as (method, depth, beta)), each against the count loop at its depth
NODE_HEAVY_CASES = {
    "iid4_1e6": ({"kind": "iid", "alphabet": 4, "n": 10**6}, 4,
                 (("bct", 10, None), ("bic", 10, None))),
    "stdlib_text_1e6": ({"kind": "stdlib_text", "n": 10**6}, 256,
                        (("bct", 6, 0.99), ("bct", 8, 0.99), ("bic", 6, None), ("bic", 8, None))),
}


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def peak_rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def current_rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def stdlib_text(n: int) -> bytes:
    """The first n bytes of Python's own standard library modules, files in sorted order."""
    lib = Path(os.__file__).resolve().parent
    out = bytearray()
    for path in sorted(lib.glob("*.py")):
        out += path.read_bytes()
        if len(out) >= n:
            break
    return bytes(out[:n])


def make_data(source: dict):
    """The row a case fits, as a uint8 numpy array, from a fixed seed."""
    import numpy as np

    rng = np.random.default_rng(20261208)
    if source["kind"] == "iid":
        return rng.integers(0, source["alphabet"], source["n"], dtype=np.uint8)
    if source["kind"] == "order2":
        a = source["alphabet"]
        cumulative = np.cumsum(rng.dirichlet(np.full(a, 0.3), size=(a, a)), axis=2)
        draws = rng.random(source["n"])
        row = np.zeros(source["n"], dtype=np.uint8)
        for i in range(2, source["n"]):
            row[i] = min(int(np.searchsorted(cumulative[row[i - 2], row[i - 1]], draws[i])), a - 1)
        return row
    if source["kind"] == "stdlib_text":
        return np.frombuffer(stdlib_text(source["n"]), dtype=np.uint8)
    raise ValueError(source["kind"])


def child(job: dict) -> dict:
    """One model fitted `repeat` times in this process: first and best later time, peak memory."""
    import tesk

    row = make_data(job["data"])
    out = {"rss_before_fit": current_rss()}
    kwargs = {"method": job["method"]}
    if job.get("beta") is not None:
        kwargs["beta"] = job["beta"]
    times = []
    for _ in range(job["repeat"]):
        model = tesk.TESK(job["alphabet"], max_depth=job["max_depth"], **kwargs)
        started = time.perf_counter()
        try:
            model.fit([row])
            out["node_count"] = model.node_count
        except ValueError as exc:
            out["error"] = str(exc)
        times.append(time.perf_counter() - started)
    out.update(first_seconds=times[0], seconds=min(times[1:] or times), all_seconds=times,
               peak_rss=peak_rss())
    return out


def in_child(job: dict, timeout: float) -> dict:
    import tesk

    env = dict(os.environ)
    tesk_dir = str(Path(tesk.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (tesk_dir, env.get("PYTHONPATH")) if p)
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(job)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return {"failure": f"timeout after {timeout:.0f} s"}
    if proc.returncode != 0:
        return {"failure": (proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1]}
    return json.loads(proc.stdout)


def count_loop(anchors: Path, cache: Path, name: str, source: dict, alphabet: int, depth: int,
               repeat: int) -> dict:
    path = case_file(cache, name, source)
    n = path.stat().st_size
    out = subprocess.run([str(anchors), "count", "--in", str(path), "--alphabet", str(alphabet),
                          "--n", str(n), "--depth", str(depth), "--conditioning", str(depth),
                          "--repeat", str(repeat)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def case_file(cache: Path, name: str, source: dict) -> Path:
    path = cache / "data" / f"case_{name}.u8"
    path.parent.mkdir(parents=True, exist_ok=True)
    if not path.exists():
        make_data(source).tofile(path)
    return path


def radix_anchor(anchors: Path, cache: Path, name: str, source: dict, alphabet: int,
                 repeat: int) -> dict:
    path = case_file(cache, name, source)
    out = subprocess.run([str(anchors), "sort", "--in", str(path), "--alphabet", str(alphabet),
                          "--repeat", str(repeat)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def measure_sorted(anchors: Path | None, cache: Path, repeat: int, timeout: float) -> dict:
    results: dict = {}
    for name, (source, alphabet, method, depths) in SORTED_CASES.items():
        anchor = radix_anchor(anchors, cache, name, source, alphabet, repeat) if anchors else {}
        for depth in depths:
            log(f"sorted contexts: {name} {method} max_depth {depth}")
            job = {"data": source, "alphabet": alphabet, "method": method, "max_depth": depth,
                   "repeat": repeat}
            results[f"{name}/{method}/{depth}"] = dict(in_child(job, timeout), radix=anchor)
    for name, (source, alphabet, method, depth) in REFUSAL_CASES.items():
        log(f"refusal: {name} {method} max_depth {depth}")
        job = {"data": source, "alphabet": alphabet, "method": method, "max_depth": depth,
               "repeat": 1}
        results[f"{name}/{method}/{depth}"] = in_child(job, timeout)
    return results


def measure(anchors: Path | None, cache: Path, repeat: int, timeout: float) -> dict:
    results: dict = {"deep": {}, "node_heavy": {},
                     "sorted": measure_sorted(anchors, cache, repeat, timeout)}
    for name, (source, alphabet, methods, anchor_depth, depths) in DEEP_CASES.items():
        for method in methods:
            for depth in (anchor_depth, *depths):
                log(f"deep contexts: {name} {method} max_depth {depth}")
                job = {"data": source, "alphabet": alphabet, "method": method, "max_depth": depth,
                       "repeat": repeat}
                results["deep"][f"{name}/{method}/{depth}"] = in_child(job, timeout)
    for name, (source, alphabet, fits) in NODE_HEAVY_CASES.items():
        for method, depth, beta in fits:
            log(f"node-heavy: {name} {method} max_depth {depth}")
            job = {"data": source, "alphabet": alphabet, "method": method, "max_depth": depth,
                   "beta": beta, "repeat": repeat}
            rec = in_child(job, timeout)
            if anchors is not None:
                rec["count_loop"] = count_loop(anchors, cache, name, source, alphabet, depth,
                                               repeat)
            results["node_heavy"][f"{name}/{method}/{depth}"] = rec
    return results


def report(results: dict) -> str:
    from run_bench import f_mb, f_r, f_s, table

    rows = []
    for name, (_spec, _a, methods, anchor_depth, depths) in DEEP_CASES.items():
        for method in methods:
            base = results["deep"].get(f"{name}/{method}/{anchor_depth}", {})
            for depth in (anchor_depth, *depths):
                rec = results["deep"].get(f"{name}/{method}/{depth}", {})
                if "failure" in rec:
                    rows.append([name, method, depth, "failed", "", "", "", "", "", rec["failure"]])
                    continue
                time_ratio = rec["seconds"] / base["seconds"] if "seconds" in base else None
                peak_ratio = rec["peak_rss"] / base["peak_rss"] if "peak_rss" in base else None
                rows.append([name, method, depth, f_s(rec["seconds"]),
                             f_r(rec["first_seconds"] / rec["seconds"]), f_mb(rec["peak_rss"]),
                             f_r(time_ratio), f_r(peak_ratio), rec.get("node_count", "-"),
                             rec.get("error", "")[:50]])
    out = [table("Deep contexts: each depth against the first (anchor) depth of its data "
                 "(time: best later fit; first/best: the first fit in the process over it)",
                 ["data", "method", "max_depth", "seconds", "first/best", "peak MiB",
                  "time/anchor", "peak/anchor", "nodes", "error"], rows), ""]
    rows = []
    for key, rec in results["node_heavy"].items():
        name, method, depth = key.split("/")
        if "failure" in rec:
            rows.append([name, method, depth, "failed", "", "", "", rec["failure"]])
            continue
        loop = rec.get("count_loop", {})
        ratio = rec["seconds"] / loop["seconds"] if "seconds" in loop else None
        rows.append([name, method, depth, f_s(rec["seconds"]), f_s(loop.get("seconds")),
                     f_r(ratio), f_mb(rec["peak_rss"]), loop.get("nodes", "-")])
    out.append(table("Node-heavy fits against the dense count loop at the same depth on the same "
                     "data (stdlib text: bct with beta 0.99)",
                     ["data", "method", "max_depth", "seconds", "count loop", "fit/loop",
                      "peak MiB", "contexts"], rows))
    rows = []
    for key, rec in results.get("sorted", {}).items():
        name, method, depth = key.split("/")
        if "failure" in rec:
            rows.append([name, method, depth, "failed", "", "", "", rec["failure"]])
            continue
        radix = rec.get("radix", {})
        ratio = rec["seconds"] / radix["seconds"] if "seconds" in radix else None
        rows.append([name, method, depth, f_s(rec["seconds"]), f_s(radix.get("seconds")),
                     f_r(ratio), f_mb(rec["peak_rss"]), rec.get("error", "")[:50]])
    out.append("")
    out.append(table("Sorted contexts against an LSD radix sort of the positions' 64-bit leading "
                     "codes on the same data, and refusals over the node limit",
                     ["data", "method", "max_depth", "seconds", "radix sort", "fit/radix",
                      "peak MiB", "error"], rows))
    return "\n".join(out)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--timeout", type=float, default=300.0)
    ap.add_argument("--cache-dir", type=Path, default=HERE / ".build")
    ap.add_argument("--json", type=Path, default=HERE / "results" / "fit_cases.json")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return 0
    sys.path.insert(0, str(HERE))
    from run_bench import build_anchors

    results = measure(build_anchors(args.cache_dir), args.cache_dir, args.repeat, args.timeout)
    print(report(results))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
