"""Per-call cost of `search` from Python and query throughput with concurrent threads.

    PYTHONPATH=build/dev python3 bench/bench_threads.py                  # 100,000 x 128
    PYTHONPATH=build/dev python3 bench/bench_threads.py --rows 1000000   # 1M x 128
    PYTHONPATH=build/dev python3 bench/bench_threads.py --calls-only     # per-call cost only

First it times one search per call (timeit, best of --repeat) on a segment of one row, on one
of ten rows with 36-character ids (ten results per call), and on
a handle whose path holds no built index (the call then fails once the handle is asked
for its index: the cost of the binding alone), with the query given as bytes, as a
list and as a numpy array, with and without a filter text.

Then it builds (or reuses, under --dir) a segment of Gaussian blobs and runs the same
queries from 1, 2, 4 and 8 Python threads, each thread issuing one query per call over its
share of the query set; it prints queries per second and the speed-up over one thread,
and checks that every thread count returns the same results as one thread. The segment
is cached under --dir (default /tmp/tandrel_bench_threads), keyed by rows, dim, clusters.
The load average is printed with the figures (the machine may be shared).
"""

import argparse
import os
import threading
import time
import timeit

import numpy as np

import tandrel


def blobs(n, dim, centers, seed):
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centers, dim)).astype(np.float32) * 4.0
    lab = rng.integers(0, centers, n)
    return (c[lab] + rng.standard_normal((n, dim)).astype(np.float32)).astype("<f4")


def per_call(repeat, number):
    import tempfile

    root = tempfile.mkdtemp(prefix="tandrel_bench_calls_")
    dim = 128
    q = np.random.default_rng(3).standard_normal(dim).astype("<f4")
    qb, ql = q.tobytes(), q.tolist()
    one = tandrel.RabitqIndex(os.path.join(root, "one"), dim)
    one.build(q.tobytes(), 1, ["a"], ["{}"], 1)
    ten = tandrel.RabitqIndex(os.path.join(root, "ten"), dim)
    x10 = np.random.default_rng(4).standard_normal((10, dim)).astype("<f4")
    ten.build(x10.tobytes(), 10, [f"{i:08x}-0000-4000-8000-{i:012x}" for i in range(10)], ["{}"] * 10, 1)
    unbuilt = tandrel.RabitqIndex(os.path.join(root, "none"), dim)

    def unbuilt_call():
        try:
            unbuilt.search(qb, 10)
        except RuntimeError:
            pass

    cases = [
        ("1-row index, bytes query", lambda: one.search(qb, 10)),
        ("1-row index, list query", lambda: one.search(ql, 10)),
        ("1-row index, numpy float32 query", lambda: one.search(q, 10)),
        ("1-row index, bytes, filter '{}'", lambda: one.search(qb, 10, filter_json="{}")),
        ("10-row index, 10 results, 36-char ids", lambda: ten.search(qb, 10)),
        ("unbuilt handle (error path)", unbuilt_call),
    ]
    print(f"per call (best of {repeat} x {number}), load {os.getloadavg()[0]:.1f}:")
    for name, fn in cases:
        best = min(timeit.repeat(fn, number=number, repeat=repeat)) / number
        print(f"  {name:36s} {best * 1e6:8.2f} us")


def open_or_build(root, n, dim, clusters):
    path = os.path.join(root, f"blobs_{n}_{dim}_{clusters}")
    if os.path.exists(os.path.join(path, "manifest.bin")):
        return tandrel.RabitqIndex(path, dim)
    os.makedirs(root, exist_ok=True)
    x = blobs(n, dim, max(64, n // 1000), seed=1)
    h = tandrel.RabitqIndex(path, dim)
    t0 = time.perf_counter()
    h.build(x.tobytes(), n, [str(i) for i in range(n)], ["{}"] * n, clusters)
    print(f"built {n} x {dim} in {time.perf_counter() - t0:.1f} s")
    return h


def run_threads(h, queries, threads, k, nprobe, rerank):
    out = [None] * len(queries)
    barrier = threading.Barrier(threads + 1)

    def work(t):
        barrier.wait()
        for i in range(t, len(queries), threads):
            out[i] = h.search(queries[i], k, nprobe, rerank)

    ts = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for t in ts:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in ts:
        t.join()
    return time.perf_counter() - t0, out


def throughput(args):
    n, dim = args.rows, args.dim
    clusters = args.clusters or max(16, int(4 * np.sqrt(n)))
    h = open_or_build(args.dir, n, dim, clusters)
    x = blobs(args.queries, dim, max(64, n // 1000), seed=1)  # same centres, fresh noise
    noise = np.random.default_rng(7).standard_normal(x.shape).astype("<f4") * 0.5
    queries = [(x[i] + noise[i]).tobytes() for i in range(args.queries)]
    run_threads(h, queries, 1, args.k, args.nprobe, args.rerank)  # warm the caches
    print(f"{n} x {dim}, {clusters} clusters, nprobe {args.nprobe} rerank {args.rerank} k {args.k}, "
          f"{args.queries} queries, {os.cpu_count()} CPUs, load {os.getloadavg()[0]:.1f}")
    ref = None
    base = None
    for threads in args.threads:
        times = []
        for _ in range(args.repeat):
            dt, out = run_threads(h, queries, threads, args.k, args.nprobe, args.rerank)
            times.append(dt)
            if ref is None:
                ref = out
            elif out != ref:
                raise SystemExit(f"results differ at {threads} threads")
        qps = len(queries) / float(np.median(times))
        base = base or qps
        print(f"  threads {threads}: {qps:9.0f} QPS (median of {args.repeat}), x{qps / base:.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--clusters", type=int, default=0, help="default 4 sqrt(rows)")
    ap.add_argument("--queries", type=int, default=4000)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--nprobe", type=int, default=32)
    ap.add_argument("--rerank", type=int, default=100)
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2, 4, 8])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--number", type=int, default=20000, help="calls per timing of the per-call part")
    ap.add_argument("--dir", default="/tmp/tandrel_bench_threads")
    ap.add_argument("--calls-only", action="store_true")
    ap.add_argument("--threads-only", action="store_true")
    args = ap.parse_args()
    if not args.threads_only:
        per_call(args.repeat, args.number)
    if not args.calls_only:
        throughput(args)


if __name__ == "__main__":
    main()
