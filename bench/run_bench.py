#!/usr/bin/env python3
"""Benchmark of tesk's fit and queries, next to timing anchors measured in the same run.

    PYTHONPATH=build/bench python bench/run_bench.py [--quick] [--sizes N ...] [--json OUT]

See bench/README.md for what is measured and how to read the ratios.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import math
import os
import platform
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
ANCHORS_SRC = HERE / "anchors.cpp"
METHODS = ("bct", "bic", "peres_shield")
KINDS = ("list", "bytes", "numpy")
SOURCE_DEPTH = 6
# Bytes per element of the three vectors of the count trie: node, child link, count entry.
NODE_BYTES, LINK_BYTES, ENTRY_BYTES = 32, 12, 16


# ---------------------------------------------------------------------------------------------
# Small helpers


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def best_time(fn, repeat: int, budget: float) -> tuple[float, list[float]]:
    """Best of up to `repeat` timed calls; stops early once the calls so far took `budget` s."""
    times: list[float] = []
    for _ in range(max(1, repeat)):
        gc.collect()
        enabled = gc.isenabled()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        finally:
            if enabled:
                gc.enable()
        if sum(times) >= budget:
            break
    return min(times), times


def current_rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def max_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # kB on Linux


def peak_rss() -> int:
    """The process's resident high-water mark (VmHWM).

    Linux carries ru_maxrss over from the parent through fork and exec, so in a child started by
    a parent that holds a large row ru_maxrss never drops below the parent's size. VmHWM belongs
    to the address space that exec created and starts afresh.
    """
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return max_rss()


def working_depth(method: str, max_depth: int, sample_size: int) -> int:
    """Depth the fit counts to: max_depth, or floor(ln ln n) capped by it for peres_shield."""
    if method != "peres_shield":
        return max_depth
    if sample_size < 3:
        return 0
    level = math.log(math.log(sample_size))
    return 0 if not level > 0 else min(max_depth, int(math.floor(level)))


def make_input(arr, kind: str):
    if kind == "list":
        return arr.tolist()
    if kind == "bytes":
        return arr.tobytes()
    return arr


def input_size(obj) -> int:
    if hasattr(obj, "nbytes"):
        return int(obj.nbytes)
    return sys.getsizeof(obj)  # a list of small ints holds only pointers to cached objects


def model_kwargs(alphabet: int, method: str) -> dict:
    kwargs = {"method": method}
    if method == "bct" and alphabet >= 55:
        kwargs["beta"] = 1.0 - 2.0**-53  # no default beta beyond alphabet 54
    return kwargs


def packed_bytes(n: int, alphabet: int) -> int:
    """The fit's packed copy of its rows: 1, 2 or 4 bytes per symbol by alphabet size."""
    return n * (1 if alphabet <= 256 else 2 if alphabet <= 65536 else 4)


def trie_bytes(nodes: int, entries: int) -> int:
    return nodes * NODE_BYTES + max(nodes - 1, 0) * LINK_BYTES + entries * ENTRY_BYTES


def describe_model(model, enumerate_limit: int) -> dict:
    """Fitted-state figures, and the model's count entries when the tree is small enough to list.

    The stored nodes are exactly the suffixes of the terminal contexts (a node's parent drops its
    oldest symbol), so listing the contexts and reading every node's transition counts gives the
    number of count entries the stored trie holds.
    """
    info = {
        "sample_size": model.sample_size,
        "effective_max_depth": model.effective_max_depth,
        "node_count": model.node_count,
        "context_count": model.context_count,
    }
    if model.node_count <= enumerate_limit:
        nodes: set[tuple] = set()
        for context in model.get_contexts():
            t = tuple(context)
            for k in range(len(t) + 1):
                nodes.add(t[k:])
        entries = 0
        counts_of = model.get_transition_counts
        for t in nodes:
            row = counts_of(list(t))
            entries += len(row) - row.count(0)
        info["listed_nodes"] = len(nodes)
        info["count_entries"] = entries
        info["model_bytes_est"] = trie_bytes(model.node_count, entries)
    return info


def import_tesk():
    try:
        import tesk  # noqa: F401
    except ImportError:
        build = ROOT / "build" / "bench"
        if not any(build.glob("tesk*.so")):
            raise
        sys.path.insert(0, str(build))
        import tesk  # noqa: F401
    return sys.modules["tesk"]


# ---------------------------------------------------------------------------------------------
# The C++ anchors program and the data files


def build_anchors(cache: Path) -> Path:
    cache.mkdir(parents=True, exist_ok=True)
    exe = cache / "anchors"
    if exe.exists() and exe.stat().st_mtime >= ANCHORS_SRC.stat().st_mtime:
        return exe
    tmp = cache / f"anchors.tmp{os.getpid()}"
    cmd = ["g++", "-O2", "-std=c++20", "-o", str(tmp), str(ANCHORS_SRC)]
    log("building " + " ".join(cmd))
    subprocess.run(cmd, check=True)
    tmp.replace(exe)
    return exe


def run_json(cmd: list[str]) -> dict:
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def generate(exe: Path, cache: Path, alphabet: int, n: int, seed: int) -> tuple[Path, dict]:
    """Data file of n symbols from the seeded source, reused while it exists."""
    data = cache / "data"
    data.mkdir(parents=True, exist_ok=True)
    stem = f"source_a{alphabet}_d{SOURCE_DEPTH}_s{seed}_n{n}"
    path, meta_path = data / f"{stem}.u8", data / f"{stem}.json"
    if path.exists() and meta_path.exists() and path.stat().st_size == n:
        return path, json.loads(meta_path.read_text())
    log(f"generating {n} symbols, alphabet {alphabet}, seed {seed}")
    meta = run_json([str(exe), "gen", "--alphabet", str(alphabet), "--n", str(n),
                     "--seed", str(seed), "--source-depth", str(SOURCE_DEPTH),
                     "--out", str(path)])
    meta_path.write_text(json.dumps(meta))
    return path, meta


def count_anchor(exe: Path, path: Path, alphabet: int, n: int, depth: int, conditioning: int,
                 repeat: int) -> dict:
    return run_json([str(exe), "count", "--in", str(path), "--alphabet", str(alphabet),
                     "--n", str(n), "--depth", str(depth), "--conditioning", str(conditioning),
                     "--repeat", str(repeat)])


# ---------------------------------------------------------------------------------------------
# Fits, each in a fresh process: time and peak resident memory


def child_fit(job: dict) -> dict:
    import numpy as np

    tesk = import_tesk()
    gc.collect()
    rss_idle = current_rss()
    arr = np.fromfile(job["path"], dtype=np.uint8, count=job["n"])
    row = make_input(arr, job["kind"])
    del arr
    gc.collect()
    result = {"input_bytes": input_size(row), "rss_idle": rss_idle,
              "rss_before_fit": current_rss(), "peak_before_fit": peak_rss()}
    box = {}

    def run():
        model = tesk.TESK(job["alphabet"], max_depth=job["max_depth"],
                          **model_kwargs(job["alphabet"], job["method"]))
        model.fit([row])
        box["model"] = model

    best, times = best_time(run, job["repeat"], job["budget"])
    result.update({"seconds": best, "all_seconds": times, "peak_rss": peak_rss(),
                   "ru_maxrss": max_rss()})
    result.update(describe_model(box["model"], job["enumerate_limit"]))
    return result


def fit_in_subprocess(job: dict, tesk_dir: str, timeout: float) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (tesk_dir, env.get("PYTHONPATH")) if p)
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child-fit", json.dumps(job)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timeout: no result after {timeout:.0f} s", "timeout": True}
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["exit status %d" % proc.returncode])[-1]
        return {"error": tail}
    return json.loads(proc.stdout)


# ---------------------------------------------------------------------------------------------
# The measurements


def measure_fits(arr, alphabet: int, max_depth: int, args, tesk_dir: str, path: Path,
                 previous: dict | None) -> dict:
    """End-to-end fits of one row for every method and input kind, each in a fresh process.

    A fit that the previous (smaller) size projects beyond the timeout is skipped, and so are
    the other input kinds of a method once one of them timed out: the input kind changes only
    the conversion, not the counting and selection that dominate a slow fit.
    """
    n = len(arr)
    out: dict = {}
    for method in METHODS:
        slow = None
        for kind in KINDS:
            key, label = f"{method}/{kind}", f"a{alphabet} n={n} {method} {kind}"
            before = (previous or {}).get(key, {})
            projected = before.get("ns_per_position", 0) * 1e-9 * max(n - max_depth, 1) * 1.5
            if slow:
                out[key] = {"error": f"skipped: {slow}", "skipped": True}
            elif projected > args.fit_timeout:
                out[key] = {"error": f"skipped: projected {projected:.0f} s from n={before['n']}",
                            "skipped": True}
            if key in out:
                log(f"  {label}: {out[key]['error']}")
                continue
            job = {"path": str(path), "n": n, "alphabet": alphabet, "max_depth": max_depth,
                    "method": method, "kind": kind, "budget": args.budget,
                    "repeat": args.large_repeat if n >= 10**7 else args.repeat,
                    # the fitted tree is the same for every input kind: list it once
                    "enumerate_limit": args.enumerate_limit if kind == "list" else -1}
            rec = fit_in_subprocess(job, tesk_dir, args.fit_timeout)
            if "error" in rec:
                if rec.get("timeout"):
                    slow = f"{method}/{kind} timed out"
                out[key] = rec
                log(f"  {label}: {rec['error']}")
                continue
            rec["n"] = n
            positions = rec.get("sample_size") or max(n - max_depth, 1)
            rec["ns_per_position"] = rec["seconds"] / positions * 1e9
            out[key] = rec
            log(f"  {label}: {rec['seconds']:.3f} s")
    # The model's size comes from the listing of the list fit; share it with the other kinds.
    for method in METHODS:
        est = out.get(f"{method}/list", {}).get("model_bytes_est")
        for kind in KINDS:
            if est is not None and "seconds" in out.get(f"{method}/{kind}", {}):
                out[f"{method}/{kind}"].setdefault("model_bytes_est", est)
    return out


def measure_conversion(tesk, arr, alphabet: int, args) -> dict:
    """fit with max_depth=0: converts the row and counts only the root."""
    out = {}
    for kind in KINDS:
        row = make_input(arr, kind)

        def run():
            tesk.TESK(alphabet, max_depth=0, method="bic").fit([row])

        try:
            best, times = best_time(run, args.repeat, args.budget)
        except Exception as exc:
            out[kind] = {"error": f"{type(exc).__name__}: {exc}"}
            continue
        out[kind] = {"seconds": best, "all_seconds": times, "ns_per_symbol": best / len(arr) * 1e9}
    return out


def measure_bytes_of_list(arr, args) -> dict:
    row = arr.tolist()
    best, times = best_time(lambda: bytes(row), args.repeat, args.budget)
    return {"seconds": best, "all_seconds": times, "ns_per_symbol": best / len(arr) * 1e9}


def measure_queries(tesk, arr, alphabet: int, max_depth: int, args, sizes_ok: dict) -> dict:
    """Query calls against the fitted model next to sum() over the same histories.

    sizes_ok caps the fitted row length per method at the largest size whose fit finished.
    """
    import random

    rng = random.Random(args.seed)
    histories = [[rng.randrange(alphabet) for _ in range(10)] for _ in range(args.query_calls)]

    def loop(fn):
        def run():
            for h in histories:
                fn(h)
        return run

    calls = len(histories)
    anchor, _ = best_time(loop(sum), args.repeat, args.budget)
    out: dict = {"calls": calls, "history_length": 10,
                 "sum": {"seconds": anchor, "ns_per_call": anchor / calls * 1e9}}
    for method in METHODS:
        entry: dict = {}
        row = arr[:sizes_ok.get(method, len(arr))].tobytes()
        entry["n_fit"] = len(row)
        try:
            model = tesk.TESK(alphabet, max_depth=max_depth, **model_kwargs(alphabet, method))
            model.fit([row])
            entry["node_count"] = model.node_count
            for name in ("predict_proba", "get_suffix"):
                best, _ = best_time(loop(getattr(model, name)), args.repeat, args.budget)
                entry[name] = {"seconds": best, "ns_per_call": best / calls * 1e9,
                               "calls_per_second": calls / best, "over_sum": best / anchor}
        except Exception as exc:
            entry["error"] = f"{type(exc).__name__}: {exc}"
        out[method] = entry
    return out


def dense_for(section: dict, method: str) -> dict | None:
    return section["dense"].get("ps" if method == "peres_shield" else "full")


def compute_ratios(results: dict) -> dict:
    ratios: dict = {"fit_list_over_bytes_list_plus_dense": {}, "fit_bytes_over_dense": {},
                    "fit_numpy_over_dense": {}}
    for n, sec in results["alphabet4"].items():
        for method in METHODS:
            dense = dense_for(sec, method)
            if not dense:
                continue
            fits = sec["fits"]
            lst = fits.get(f"{method}/list", {})
            if "seconds" in lst and "seconds" in sec["bytes_of_list"]:
                ratios["fit_list_over_bytes_list_plus_dense"].setdefault(n, {})[method] = (
                    lst["seconds"] / (sec["bytes_of_list"]["seconds"] + dense["seconds"]))
            for kind in ("bytes", "numpy"):
                rec = fits.get(f"{method}/{kind}", {})
                if "seconds" in rec:
                    ratios[f"fit_{kind}_over_dense"].setdefault(n, {})[method] = (
                        rec["seconds"] / dense["seconds"])
    for name, key in (("alphabet256", "alphabet256_over_alphabet4_per_position"),
                      ("alphabet256_same_data", "alphabet256_same_data_over_alphabet4_per_position")):
        big = results.get(name)
        small = results["alphabet4"].get(str(big["n"])) if big else None
        if not small:
            continue
        per = {}
        for fit, rec in big["fits"].items():
            ref = small["fits"].get(fit, {})
            if "ns_per_position" in rec and "ns_per_position" in ref:
                per[fit] = rec["ns_per_position"] / ref["ns_per_position"]
        d4, d256 = small["dense"].get("full"), big.get("dense", {}).get("full")
        if d4 and d256:
            per["counting_anchor"] = (d256["seconds"] / d256["positions"]) / (
                d4["seconds"] / d4["positions"])
        ratios[key] = {"n": int(big["n"]), **per}
    q = results.get("queries")
    if q:
        ratios["predict_proba_over_sum"] = {
            m: q[m]["predict_proba"]["over_sum"] for m in METHODS if "predict_proba" in q[m]}
        ratios["get_suffix_over_sum"] = {
            m: q[m]["get_suffix"]["over_sum"] for m in METHODS if "get_suffix" in q[m]}
    return ratios


# ---------------------------------------------------------------------------------------------
# Output


def table(title: str, header: list[str], rows: list[list]) -> str:
    cells = [[str(c) for c in header]] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    lines = [title]
    for k, r in enumerate(cells):
        lines.append("  " + "  ".join(c.rjust(w) if i else c.ljust(w)
                                      for i, (c, w) in enumerate(zip(r, widths))))
        if k == 0:
            lines.append("  " + "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def f_s(x) -> str:
    return f"{x:.4f}" if isinstance(x, (int, float)) else "-"


def f_ns(x) -> str:
    return f"{x:.1f}" if isinstance(x, (int, float)) else "-"


def f_r(x) -> str:
    return f"{x:.2f}" if isinstance(x, (int, float)) else "-"


def f_mb(x) -> str:
    return f"{x / 2**20:.1f}" if isinstance(x, (int, float)) else "-"


def report(results: dict) -> str:
    out = []
    env = results["environment"]
    out.append(f"tesk {env['tesk_version']} ({env['tesk_file']}), Python {env['python']}, "
               f"{env['cpus']} cpus, {env['date']}, commit {env['commit'][:12]}"
               f"{env['commit'][40:]}")
    for key, meta in results["sources"].items():
        out.append(f"data {key}: seeded source (seed {meta['seed']}), alphabet {meta['alphabet']}, "
                   f"{meta['source_leaves']} leaves, deepest context {meta['deepest_leaf']}, "
                   f"{meta['bits_per_symbol']:.3f} bits/symbol; max_depth {results['max_depth']}")
    out.append("")

    rows = []
    sections = [(f"4", n, s) for n, s in results["alphabet4"].items()]
    if results.get("alphabet256"):
        sections.append(("256", str(results["alphabet256"]["n"]), results["alphabet256"]))
    for a, n, sec in sections:
        bl = sec.get("bytes_of_list", {})
        rows.append([a, n, "bytes(list)", f_s(bl.get("seconds")), f_ns(bl.get("ns_per_symbol")),
                     "per symbol"])
        for which, d in sec["dense"].items():
            layout = ("dense" if d["hashed_depths"] == 0 else
                      f"dense d<={d['dense_depths'] - 1}, hash d>={d['dense_depths']}")
            rows.append([a, n, f"count loop depth {d['depth']}", f_s(d["seconds"]),
                         f_ns(d["seconds"] / d["positions"] * 1e9),
                         f"{layout}; {d['nodes']} contexts, {d['entries']} pairs"])
        for kind, c in sec.get("conversion", {}).items():
            rows.append([a, n, f"fit max_depth=0 ({kind})", f_s(c.get("seconds")),
                         f_ns(c.get("ns_per_symbol")), c.get("error", "convert + root count")])
    out.append(table("Anchors and conversion (best of repeats)",
                     ["A", "n", "measurement", "seconds", "ns/pos", "note"], rows))
    out.append("")

    rows = []
    for a, n, sec in sections:
        for method in METHODS:
            for kind in KINDS:
                rec = sec["fits"].get(f"{method}/{kind}", {})
                if "error" in rec:
                    rows.append([a, n, method, kind, "error", "", "", "", rec["error"][:60]])
                    continue
                dense = dense_for(sec, method)
                anchor = dense["seconds"] if dense else None
                if kind == "list" and anchor is not None and "seconds" in sec.get("bytes_of_list", {}):
                    anchor += sec["bytes_of_list"]["seconds"]
                ratio = rec["seconds"] / anchor if anchor else None
                rows.append([a, n, method, kind, f_s(rec.get("seconds")),
                             f_ns(rec.get("ns_per_position")), rec.get("node_count", "-"),
                             rec.get("context_count", "-"), f_r(ratio)])
    same = results.get("alphabet256_same_data")
    if same:
        for method in METHODS:
            for kind in KINDS:
                rec = same["fits"].get(f"{method}/{kind}", {})
                if "seconds" in rec:
                    rows.append(["256*", str(same["n"]), method, kind, f_s(rec["seconds"]),
                                 f_ns(rec.get("ns_per_position")), rec.get("node_count", "-"),
                                 rec.get("context_count", "-"), ""])
    out.append(table("End-to-end fit of one row (ratio: list vs bytes(list)+count loop, "
                     "bytes/numpy vs count loop; 256*: the alphabet-4 data fitted as alphabet 256)",
                     ["A", "n", "method", "input", "seconds", "ns/pos", "nodes", "contexts",
                      "ratio"], rows))
    out.append("")

    rows = []
    largest = str(max(results["sizes"]))
    for a, n, sec in sections:
        if a == "4" and n != largest:
            continue  # the JSON has the smaller sizes too
        for method in METHODS:
            for kind in KINDS:
                rec = sec["fits"].get(f"{method}/{kind}", {})
                if "peak_rss" not in rec:
                    continue
                dense = dense_for(sec, method)
                build = trie_bytes(dense["nodes"], dense["entries"]) if dense else None
                model = rec.get("model_bytes_est")
                peak = rec["peak_rss"] - rec["rss_idle"]
                denom = rec["input_bytes"] + (model or 0) + (build or 0)
                packed = packed_bytes(int(n), int(a))
                rows.append([a, n, method, kind, f_mb(rec["peak_rss"]), f_mb(peak),
                             f_mb(rec["input_bytes"]), f_mb(packed), f_mb(build), f_mb(model),
                             f_r(peak / denom if denom else None),
                             f_r(peak / (denom + packed) if denom else None)])
    if rows:
        out.append(table("Peak memory of a fit in a fresh process (MiB; peak is VmHWM, peak-idle "
                         "subtracts the RSS before the data were loaded; packed is the fit's "
                         "own copy of the row; build trie and model are estimates)",
                         ["A", "n", "method", "input", "peak", "peak-idle", "in",
                          "packed", "build trie", "model", "peak-idle/(in+build+model)",
                          "with packed"], rows))
        out.append("")

    q = results.get("queries")
    if q:
        rows = [["sum(history)", "-", "-", f_ns(q["sum"]["ns_per_call"]),
                 f"{1e9 / q['sum']['ns_per_call']:.0f}", "1.00"]]
        for method in METHODS:
            e = q[method]
            if "error" in e:
                rows.append([method, "-", "-", "error", "", e["error"][:60]])
                continue
            for name in ("predict_proba", "get_suffix"):
                r = e[name]
                rows.append([f"{name} ({method})", e["n_fit"], e["node_count"],
                             f_ns(r["ns_per_call"]),
                             f"{r['calls_per_second']:.0f}", f_r(r["over_sum"])])
        out.append(table(f"Queries on random histories of length 10 (alphabet 4, "
                         f"{q['calls']} calls; model fitted on n symbols)",
                         ["call", "n", "nodes", "ns/call", "calls/s", "vs sum"], rows))
        out.append("")

    r = results["ratios"]
    rows = []
    for key, label in (("fit_list_over_bytes_list_plus_dense", "fit(list) / (bytes(list) + count loop)"),
                       ("fit_bytes_over_dense", "fit(bytes) / count loop"),
                       ("fit_numpy_over_dense", "fit(numpy) / count loop")):
        for n, per in r.get(key, {}).items():
            rows.append([label, f"A=4 n={n}"] + [f_r(per.get(m)) for m in METHODS])
    per = r.get("alphabet256_over_alphabet4_per_position")
    if per:
        for kind in KINDS:
            rows.append([f"A=256 / A=4 per position ({kind})", f"n={per['n']}"] +
                        [f_r(per.get(f"{m}/{kind}")) for m in METHODS])
        rows.append(["A=256 / A=4 per position (count loop)", f"n={per['n']}",
                     f_r(per.get("counting_anchor")), "", ""])
    per = r.get("alphabet256_same_data_over_alphabet4_per_position")
    if per:
        for kind in KINDS:
            rows.append([f"A=256 / A=4 per position, same data ({kind})", f"n={per['n']}"] +
                        [f_r(per.get(f"{m}/{kind}")) for m in METHODS])
    for key, label in (("predict_proba_over_sum", "predict_proba / sum(history)"),
                       ("get_suffix_over_sum", "get_suffix / sum(history)")):
        if key in r:
            rows.append([label, "A=4"] + [f_r(r[key].get(m)) for m in METHODS])
    out.append(table("Tracked ratios (peres_shield compares with the count loop at its own "
                     "working depth)", ["ratio", "where"] + list(METHODS), rows))
    return "\n".join(out)


# ---------------------------------------------------------------------------------------------


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="only n = 10^5 and 10^6")
    ap.add_argument("--sizes", type=float, nargs="+", help="row lengths at alphabet 4")
    ap.add_argument("--a256-n", type=float, default=1e6,
                    help="row length at alphabet 256 (0 skips it; default 10^6)")
    ap.add_argument("--max-depth", type=int, default=10)
    ap.add_argument("--seed", type=int, default=20261208)
    ap.add_argument("--repeat", type=int, default=3, help="repeats of the cheap measurements")
    ap.add_argument("--budget", type=float, default=3.0,
                    help="stop repeating a measurement once it used this many seconds")
    ap.add_argument("--large-repeat", type=int, default=1,
                    help="repeats of the fits from n = 10^7 on")
    ap.add_argument("--fit-timeout", type=float, default=120.0,
                    help="seconds a fit's process may run, repeats included, before it is stopped")
    ap.add_argument("--enumerate-limit", type=int, default=2_000_000,
                    help="largest fitted tree whose count entries are listed")
    ap.add_argument("--query-calls", type=int, default=100_000)
    ap.add_argument("--cache-dir", type=Path, default=HERE / ".build")
    ap.add_argument("--json", type=Path, default=HERE / "results" / "latest.json")
    ap.add_argument("--no-cases", action="store_true",
                    help="skip the deep-context and node-heavy fits (fit_cases.py)")
    ap.add_argument("--no-scale", action="store_true",
                    help="skip the fits at scale: 2*10^8 and 2^31 +- 2^20 symbols (scale_cases.py)")
    ap.add_argument("--large", action="store_true",
                    help="add the genome-sized fit, 3.2*10^9 symbols (scale_cases.py)")
    ap.add_argument("--child-fit", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child_fit:
        print(json.dumps(child_fit(json.loads(args.child_fit))))
        return 0

    import numpy as np

    sizes = [int(s) for s in (args.sizes or ([1e5, 1e6] if args.quick else [1e5, 1e6, 1e7]))]
    a256_n = int(args.a256_n)
    try:
        tesk = import_tesk()
    except ImportError as exc:
        log(f"cannot import tesk ({exc}); build it with\n"
            "  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release && "
            "cmake --build build/bench\nand run with PYTHONPATH=build/bench")
        return 2
    tesk_dir = str(Path(tesk.__file__).resolve().parent)
    exe = build_anchors(args.cache_dir)
    started = time.perf_counter()

    try:
        git = ["git", "-C", str(ROOT)]
        commit = subprocess.run(git + ["rev-parse", "HEAD"], capture_output=True,
                                text=True).stdout.strip() or "unknown"
        if subprocess.run(git + ["status", "--porcelain", "--", "src", "CMakeLists.txt"],
                          capture_output=True, text=True).stdout.strip():
            commit += " + uncommitted changes"
    except OSError:
        commit = "unknown"
    results: dict = {
        "environment": {
            "tesk_version": getattr(tesk, "__version__", "?"), "tesk_file": tesk.__file__,
            "python": platform.python_version(), "machine": platform.machine(),
            "cpus": os.cpu_count(), "date": datetime.datetime.now().replace(microsecond=0).isoformat(),
            "commit": commit,
        },
        "max_depth": args.max_depth, "seed": args.seed, "sizes": sizes, "sources": {},
        "alphabet4": {},
    }
    md = args.max_depth

    path4, meta4 = generate(exe, args.cache_dir, 4, max(sizes), args.seed)
    results["sources"]["alphabet4"] = meta4
    full4 = np.fromfile(path4, dtype=np.uint8)
    previous = None
    for n in sorted(sizes):
        log(f"alphabet 4, n = {n}")
        arr = full4[:n].copy()
        sec: dict = {"n": n}
        sec["bytes_of_list"] = measure_bytes_of_list(arr, args)
        ps_depth = working_depth("peres_shield", md, max(n - md, 0))
        sec["dense"] = {"full": count_anchor(exe, path4, 4, n, md, md, args.repeat)}
        sec["dense"]["ps"] = count_anchor(exe, path4, 4, n, ps_depth, md, args.repeat)
        sec["conversion"] = measure_conversion(tesk, arr, 4, args)
        sec["fits"] = measure_fits(arr, 4, md, args, tesk_dir, path4, previous)
        previous = sec["fits"]
        results["alphabet4"][str(n)] = sec
        del arr
    del full4

    if a256_n > 0:
        log(f"alphabet 256, n = {a256_n}")
        path256, meta256 = generate(exe, args.cache_dir, 256, a256_n, args.seed)
        results["sources"]["alphabet256"] = meta256
        arr = np.fromfile(path256, dtype=np.uint8)
        sec = {"n": a256_n}
        sec["bytes_of_list"] = measure_bytes_of_list(arr, args)
        ps_depth = working_depth("peres_shield", md, max(a256_n - md, 0))
        sec["dense"] = {"full": count_anchor(exe, path256, 256, a256_n, md, md, args.repeat)}
        sec["dense"]["ps"] = count_anchor(exe, path256, 256, a256_n, ps_depth, md, args.repeat)
        sec["fits"] = measure_fits(arr, 256, md, args, tesk_dir, path256, None)
        results["alphabet256"] = sec
        del arr
        if a256_n <= max(sizes):
            # The alphabet-4 row fitted as alphabet 256: the same contexts, so any difference
            # in cost is the alphabet size alone.
            log(f"alphabet 256 on the alphabet-4 data, n = {a256_n}")
            arr = np.fromfile(path4, dtype=np.uint8, count=a256_n)
            results["alphabet256_same_data"] = {
                "n": a256_n, "fits": measure_fits(arr, 256, md, args, tesk_dir, path4, None)}
            del arr

    log("queries")
    qn = min(sizes, key=lambda s: abs(s - 10**6))
    sizes_ok = {}
    for method in METHODS:
        done = [n for n in sizes if n <= qn and "seconds" in
                results["alphabet4"][str(n)]["fits"].get(f"{method}/bytes", {})]
        sizes_ok[method] = max(done) if done else min(sizes)
    results["queries"] = measure_queries(tesk, np.fromfile(path4, dtype=np.uint8, count=qn), 4,
                                         md, args, sizes_ok)
    results["ratios"] = compute_ratios(results)
    if not args.no_cases:
        import fit_cases

        results["cases"] = fit_cases.measure(exe, args.cache_dir, args.repeat, args.fit_timeout)
    if not args.no_scale:
        import scale_cases

        results["scale"] = scale_cases.measure(exe, args.cache_dir, 3600.0, args.large)
    results["elapsed_seconds"] = time.perf_counter() - started

    print(report(results))
    if "cases" in results:
        import fit_cases

        print()
        print(fit_cases.report(results["cases"]))
    if "scale" in results:
        import scale_cases

        print()
        print(scale_cases.report(results["scale"]))
    print(f"\n(total {results['elapsed_seconds']:.0f} s)")
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(results, indent=1))
    log(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
