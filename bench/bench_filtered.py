#!/usr/bin/env python3
"""Filtered search speed and recall of tandrel through its Python API.

Not a test and never run by CI. One segment is built (every core) from the seeded Gaussian
mixture of bench/compare.py, with two string columns: "p1" is "yes" on a random 1 % of the
rows, "p10" on a random 10 % ("no" elsewhere). Searching runs in a child process pinned to
one CPU before anything is imported, one query per call from a Python loop (single
thread). For each filter and each (nprobe, rerank) setting the script prints QPS and
recall@k against the exact filtered answer (numpy, float64, over the rows that pass), and
the time of the first filtered query of a freshly opened index (which pays for building
the filter's bitmap of passing rows).

    PYTHONPATH=build/py python3 bench/bench_filtered.py --n 100000
    python3 bench/bench_filtered.py --n 1000000 --cpu 3 --repeat 3

The built index and the data are cached in --workdir, keyed by n, dim and seed, so two
module builds (before / after a change) can be compared on the same segment by running
the script with each one's Python.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FILTERS = {"1%": ("p1", 0.01), "10%": ("p10", 0.10)}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def paths(args):
    d = os.path.join(args.workdir, f"n{args.n}-d{args.dim}-s{args.seed}-q{args.queries}")
    return d, os.path.join(d, "index")


def phase_build(args):
    import numpy as np

    sys.path.insert(0, HERE)
    from compare import make_mixture

    d, index_dir = paths(args)
    if os.path.exists(os.path.join(d, "done")):
        return
    os.makedirs(d, exist_ok=True)
    base = make_mixture(args.n, args.dim, args.seed, 0, np)
    queries = make_mixture(args.queries, args.dim, args.seed, 1, np)
    rng = np.random.default_rng(args.seed + 1)
    masks = {}
    for name, (col, frac) in FILTERS.items():
        m = np.zeros(args.n, dtype=bool)
        m[rng.choice(args.n, size=max(1, int(args.n * frac)), replace=False)] = True
        masks[col] = m
    metas = [
        json.dumps({col: ("yes" if masks[col][i] else "no") for col in masks}) for i in range(args.n)
    ]
    # Exact filtered answers in float64.
    for name, (col, _) in FILTERS.items():
        rows = np.flatnonzero(masks[col])
        x = base[rows].astype(np.float64)
        xn = np.einsum("ij,ij->i", x, x)
        gt = np.empty((args.queries, args.k), dtype=np.int64)
        for qi, q in enumerate(queries.astype(np.float64)):
            dist = xn - 2.0 * (x @ q)
            top = np.argpartition(dist, args.k)[: args.k]
            gt[qi] = rows[top[np.argsort(dist[top], kind="stable")]]
        np.save(os.path.join(d, f"gt_{col}.npy"), gt)
    np.save(os.path.join(d, "queries.npy"), queries)
    np.ascontiguousarray(queries, dtype="<f4").tofile(os.path.join(d, "queries.f32"))  # bench_filter_paths
    import tandrel

    shutil.rmtree(index_dir, ignore_errors=True)
    idx = tandrel.RabitqIndex(index_dir, args.dim)
    t = time.perf_counter()
    idx.build(np.ascontiguousarray(base, dtype="<f4").tobytes(), args.n, [str(i) for i in range(args.n)], metas,
              args.nlist or max(1, int(args.n**0.5)), seed=args.seed)
    log(f"build: {time.perf_counter() - t:.1f}s")
    del idx
    open(os.path.join(d, "done"), "w").close()


def phase_search(args):
    os.sched_setaffinity(0, {args.cpu})
    import numpy as np
    import tandrel

    d, index_dir = paths(args)
    queries = np.load(os.path.join(d, "queries.npy"))
    qbytes = [np.ascontiguousarray(q, dtype="<f4").tobytes() for q in queries]
    k = args.k
    clock = time.process_time if args.clock == "cpu" else time.perf_counter
    out = []
    for name, (col, _) in FILTERS.items():
        gt = np.load(os.path.join(d, f"gt_{col}.npy"))
        gt_sets = [set(str(v) for v in row) for row in gt]
        text = json.dumps({col: "yes"})
        # First filtered query of a freshly opened index.
        idx = tandrel.RabitqIndex(index_dir, args.dim)
        t = time.perf_counter()
        idx.search(qbytes[0], k, nprobe=args.nprobe[0], rerank=args.rerank[0], filter_json=text)
        first_ms = (time.perf_counter() - t) * 1e3
        for nprobe in args.nprobe:
            for rerank in args.rerank:
                best = 0.0
                recall = 0.0
                for _ in range(args.repeat):
                    hits = 0
                    t = clock()
                    res = [idx.search(q, k, nprobe=nprobe, rerank=rerank, filter_json=text) for q in qbytes]
                    dt = clock() - t
                    best = max(best, len(qbytes) / dt)
                    for r, want in zip(res, gt_sets):
                        hits += len({h[0] for h in r} & want)
                    recall = hits / (k * len(qbytes))
                out.append({"filter": name, "nprobe": nprobe, "rerank": rerank, "qps": best, "recall": recall,
                            "first_ms": first_ms})
                log(f"{name:>4} nprobe {nprobe:>4} rerank {rerank:>4}: {best:9.0f} q/s  recall@{k} {recall:.4f}"
                    f"  (first query {first_ms:.2f} ms)")
        del idx
    print(json.dumps(out))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--nlist", type=int, default=0, help="clusters (default floor(sqrt(n)))")
    ap.add_argument("--nprobe", type=int, nargs="+", default=[8, 32])
    ap.add_argument("--rerank", type=int, nargs="+", default=[100, 400])
    ap.add_argument("--repeat", type=int, default=3, help="timed passes per setting; the best is kept")
    ap.add_argument("--cpu", type=int, default=0, help="the one CPU the search runs on")
    ap.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                    help="QPS from wall seconds, or from process CPU seconds (steadier on a loaded machine)")
    ap.add_argument("--workdir", default="/tmp/tandrel_bench_filtered")
    ap.add_argument("--phase", choices=["build", "search"], help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.phase == "build":
        return phase_build(args)
    if args.phase == "search":
        return phase_search(args)
    argv = [sys.executable, os.path.abspath(__file__)] + sys.argv[1:]
    subprocess.run(argv + ["--phase", "build"], check=True)
    subprocess.run(argv + ["--phase", "search"], check=True)


if __name__ == "__main__":
    main()
