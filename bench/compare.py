#!/usr/bin/env python3
"""Recall / speed / size comparison of tandrel with peer vector-search libraries.

Not a test and never run by CI. The peers (faiss-cpu, hnswlib, rabitqlib) come from PyPI
(`pip install -r bench/requirements.txt`) and are used only as black-box baselines
through their public Python APIs. tandrel is imported from the normal module search
path, e.g. after `make build`:

    PYTHONPATH=build/dev python3 bench/compare.py --small
    PYTHONPATH=build/dev python3 bench/compare.py --dataset 1m128 --out results.md
    PYTHONPATH=build/dev python3 bench/compare.py --dataset fmnist --tandrel-bits 1,2,4 \
        --threads 1,2,4,8 --filter-pct 1,10

What is measured, for every library on the same data, queries and k:

* build seconds: the index construction with every core allowed (faiss: train + add
  with omp threads = all CPUs; hnswlib: add_items with num_threads=-1; rabitqlib:
  faiss k-means for the lists, then IvfIndex.build with num_threads = all CPUs; tandrel: the
  `build` call, whose pool is sized from the CPUs available to the process). tandrel's
  `build` writes its segment to disk as part of the call; for the peers the time of
  `write_index` / `save_index` is reported separately ("save s").
* bytes on disk: tandrel the sum of the segment directory; faiss the size of the
  `faiss.write_index` file; hnswlib the size of the `save_index` file.
* single-thread, one-query-per-call QPS at recall@k >= 0.90 / 0.95 / 0.99: each
  library's search knob is swept (IVF: nprobe; IVF + refine: nprobe x rerank pool;
  HNSW: ef; tandrel: nprobe x rerank; rabitqlib: nprobe x high_accuracy) and the
  fastest setting meeting each target is reported. Searching runs in a child process whose CPU affinity is set to ONE CPU
  with os.sched_setaffinity before numpy or any library is imported, so every
  library (and its thread pools, OpenMP or otherwise) sees one CPU; on top of that
  faiss.omp_set_num_threads(1) and hnswlib's set_num_threads(1) are called, and the
  OMP/BLAS thread variables are set to 1. The queries are issued one per call from a
  Python loop for every library, so the per-call Python overhead is the same kind
  for all. QPS = queries / wall seconds of the loop (--clock cpu uses process CPU
  seconds instead, which is steadier on a loaded machine). Every setting is timed in
  --point-passes passes (default 3) and its QPS is their median, never one pass.

Data: a seeded Gaussian mixture (see make_mixture). The queries are drawn from the
same mixture with an independent stream. --dataset fmnist is Fashion-MNIST instead
(Debian package dataset-fashion-mnist): the 60,000 training images as float32 rows, the
queries the first --queries test images. Ground truth is an exact search in numpy:
squared L2 as |q|^2 - 2 q.x + |x|^2 evaluated in float64 over chunks of the base set.
The float32 inputs are exact in float64 and every product of two of them is exact, so
the only rounding is in the float64 sums (relative error ~1e-15 of the norms), far
below the gaps between neighbours; the script counts queries whose k-th and (k+1)-th
true distances are closer than 1e-9 relative (ties that could make recall ambiguous)
and prints the count.

Datasets (--dataset): small = 100,000 x 128 (also --small), 1m128 = 1,000,000 x 128,
200k768 = 200,000 x 768, fmnist = 60,000 x 784, tiny = 20,000 x 32 (plumbing check only).
Data and ground truth are cached in --workdir and reused when the parameters match.

--interleaved replaces the per-library sweeps by a comparison at fixed settings
(--tandrel-setting, --rabitqlib-setting, else the fastest setting reaching --target in a
sweep): one search process pinned to one CPU opens every index, and each of --rounds rounds
runs one pass over all queries per library, the order reversed every other round. Reported
per library: QPS per pass (median [min-max], max / min by wall and by CPU time), per-query
p50 / p99 (perf_counter_ns around each call), minor faults and preemptions per pass, passes
whose results differ from the first; and the QPS ratio per round. With --threads the thread
runs alternate the same way in one process (see worker_interleaved_threads).

Further modes, each a table of its own after the main one:

* --threads 1,2,4,8: throughput with that many Python threads in one process whose
  affinity is that many CPUs, each thread issuing one query per call from its own slice
  of the queries (several passes so a run lasts about --thread-seconds), at the fastest
  setting the single-thread sweep found reaching recall 0.95 (the best-recall setting
  where 0.95 was not reached). QPS = all queries answered / wall seconds. A library
  whose search holds the GIL shows no gain.
* --filter-pct 1,10: filtered search. Every row gets a string metadata value "tag":
  a seeded random p% of the rows get tag "p<pct>" for each listed pct (disjoint), the
  others "rest". tandrel searches with filter_json '{"tag": "p1"}'; faiss IVF-Flat with
  an IDSelectorBitmap of the same rows through SearchParametersIVF(sel=..., nprobe=...).
  Recall@k is against the exact neighbours among the matching rows.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import time

DATASETS = {
    "tiny": (20_000, 32),
    "small": (100_000, 128),
    "1m128": (1_000_000, 128),
    "200k768": (200_000, 768),
    "fmnist": (60_000, 784),
}

FMNIST_DIR = "/usr/share/datasets/fashion-mnist"

TARGETS = (0.90, 0.95, 0.99)
DATA_VERSION = 2  # bump when make_mixture changes, so cached data is not reused

# Knob values, cheapest first. nprobe values above nlist are dropped.
NPROBES = (1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)
RERANKS = (20, 50, 100, 200, 400, 800)  # rerank pool sizes (faiss: k_factor = pool / k)
EFS = (10, 12, 16, 20, 24, 32, 40, 48, 64, 80, 96, 128, 160, 192, 256, 320, 384, 512, 768, 1024)

# name -> (python module it needs, description)
LIBS = {
    "tandrel": ("tandrel", "IVF + {bits}-bit RaBitQ codes + int8 rerank"),
    "faiss-ivf-flat": ("faiss", "IVF{nlist},Flat"),
    "faiss-ivf-rabitq": ("faiss", "IVF{nlist},RaBitQ (1 bit, qb=4, no refine)"),
    "faiss-ivf-rabitq-rflat": ("faiss", "IVF{nlist},RaBitQ,RFlat (1 bit + float32 rerank)"),
    "faiss-ivf-rabitq2-sq8": ("faiss", "IVF{nlist},RaBitQ2,Refine(SQ8) (2 bits + int8 rerank)"),
    "hnswlib": ("hnswlib", "HNSW M={M} ef_construction={efc}"),
    "rabitqlib": ("rabitqlib", "IvfIndex, {nlist} lists (faiss k-means), {bits}-bit RaBitQ"),
}
DEFAULT_LIBS = list(LIBS)
BITS_LIBS = ("tandrel", "rabitqlib")  # libraries with a code-width option (one row per width)
FILTER_LIBS = ("tandrel", "faiss-ivf-flat")
HA = (False, True)  # rabitqlib search(high_accuracy=...), cheaper first


# --------------------------------------------------------------------------- data


def make_mixture(n, dim, seed, stream, np, decay=0.5, within=2.0, chunk=65536):
    """n rows from a seeded Gaussian mixture, float32, row-major.

    The mixture: `comps` components (n // 1000 clamped to 64..1024), centres N(0, 1)
    per coordinate, mixing weights from a Dirichlet(2) draw. Each component is an
    anisotropic Gaussian around its centre: standard normals scaled by a decaying
    spectrum s_j ~ (1 + j)^-decay (normalised so the mean per-coordinate variance is
    `within`, by default 2, twice the centres' spread, so components overlap), turned by one shared random
    orthogonal matrix, times a per-component spread in [0.6, 1.4]. The decaying
    spectrum gives the data a lower intrinsic dimension than its ambient one, as real
    embeddings have. The overlap was chosen so that IVF-Flat with floor(sqrt(n)) lists
    needs a few percent of the lists for recall@10 0.95 (at 100,000 x 128: nprobe 8 gives
    about 0.92, 16 about 0.965, 32 about 0.985), a difficulty like that of common real
    embedding sets, rather than being separable by the coarse quantiser alone.
    Everything that defines the mixture comes from `seed`; `stream` selects the sample
    stream (0 base rows, 1 queries). --decay (larger: lower intrinsic dimension, easier
    for graphs) and --within (larger: more overlap, more probes for IVF) tune difficulty;
    at 1,000,000 x 128 the defaults make a hard set (IVF-Flat needs ~10% of the lists
    for recall 0.95, HNSW M=16 ef ~1000).
    """
    rng = np.random.default_rng(seed)
    comps = int(min(1024, max(64, n // 1000)))
    centres = rng.standard_normal((comps, dim)).astype(np.float32)
    weights = rng.dirichlet(np.full(comps, 2.0))
    spread = rng.uniform(0.6, 1.4, comps).astype(np.float32)
    q, r = np.linalg.qr(rng.standard_normal((dim, dim)))
    rot = (q * np.sign(np.diag(r))).astype(np.float32)
    spec = (1.0 + np.arange(dim)) ** -decay
    spec = (spec * np.sqrt(within * dim / np.sum(spec**2))).astype(np.float32)
    rows = np.random.default_rng([seed, 1 + stream])
    out = np.empty((n, dim), dtype=np.float32)
    for lo in range(0, n, chunk):
        hi = min(n, lo + chunk)
        lab = rows.choice(comps, size=hi - lo, p=weights)
        z = rows.standard_normal((hi - lo, dim), dtype=np.float32) * spec
        out[lo:hi] = centres[lab] + (z @ rot) * spread[lab, None]
    return out


def exact_knn(base, queries, k, np, chunk=32768):
    """Exact k+1 nearest neighbours (ids, squared L2 distances) in float64."""
    q64 = queries.astype(np.float64)
    qn = np.einsum("ij,ij->i", q64, q64)
    nq = len(queries)
    kk = min(k + 1, len(base))
    best_d = np.full((nq, 0), np.inf)
    best_i = np.zeros((nq, 0), dtype=np.int64)
    for lo in range(0, len(base), chunk):
        x64 = np.asarray(base[lo:lo + chunk], dtype=np.float64)
        xn = np.einsum("ij,ij->i", x64, x64)
        d = qn[:, None] - 2.0 * (q64 @ x64.T) + xn[None, :]
        m = min(kk, d.shape[1])
        part = np.argpartition(d, m - 1, axis=1)[:, :m]
        cand_d = np.concatenate([best_d, np.take_along_axis(d, part, 1)], axis=1)
        cand_i = np.concatenate([best_i, part + lo], axis=1)
        order = np.argsort(cand_d, axis=1, kind="stable")[:, :kk]
        best_d = np.take_along_axis(cand_d, order, 1)
        best_i = np.take_along_axis(cand_i, order, 1)
    return best_i, best_d


def read_idx_images(path, count, np):
    """The first `count` images of a gzip'd idx3 file (u8) as float32 rows."""
    import gzip

    with gzip.open(path, "rb") as f:
        head = f.read(16)
        magic, total, rows, cols = (int.from_bytes(head[i:i + 4], "big") for i in range(0, 16, 4))
        if magic != 0x803:
            raise SystemExit(f"{path}: not an idx3 image file (magic {magic:#x})")
        count = min(count, total)
        px = np.frombuffer(f.read(count * rows * cols), dtype=np.uint8)
    return px.reshape(count, rows * cols).astype(np.float32)


def fmnist_paths():
    paths = [os.path.join(FMNIST_DIR, f) for f in ("train-images-idx3-ubyte.gz", "t10k-images-idx3-ubyte.gz")]
    missing = [p for p in paths if not os.path.exists(p)]
    if missing:
        log(f"fmnist: {', '.join(missing)} missing; install the Debian package with "
            "`apt-get install dataset-fashion-mnist`")
        sys.exit(2)
    return paths


def load_fmnist(args, np):
    paths = fmnist_paths()
    base = read_idx_images(paths[0], DATASETS["fmnist"][0], np)
    queries = read_idx_images(paths[1], args.queries, np)
    if len(queries) < args.queries:
        log(f"fmnist: only {len(queries)} test images; using them all as queries")
        args.queries = len(queries)
    return base, queries


def prepare_data(args, np):
    n, dim = DATASETS[args.dataset]
    if args.dataset == "fmnist":
        fmnist_paths()
        args.queries = min(args.queries, 10_000)  # the test set has 10,000 images
    d = os.path.join(args.workdir, f"{args.dataset}-g{DATA_VERSION}-s{args.seed}-q{args.queries}"
                     f"-k{args.k}-d{args.decay:g}-w{args.within:g}")
    os.makedirs(d, exist_ok=True)
    paths = {name: os.path.join(d, name + ".npy") for name in ("base", "queries", "gt", "gtd")}
    if all(os.path.exists(p) for p in paths.values()):
        log(f"data: reusing {d}")
        return d
    t = time.perf_counter()
    if args.dataset == "fmnist":
        base, queries = load_fmnist(args, np)
        log(f"data: read Fashion-MNIST {n} x {dim} + {args.queries} queries in {time.perf_counter() - t:.1f}s")
    else:
        base = make_mixture(n, dim, args.seed, 0, np, args.decay, args.within)
        queries = make_mixture(args.queries, dim, args.seed, 1, np, args.decay, args.within)
        log(f"data: generated {n} x {dim} + {args.queries} queries in {time.perf_counter() - t:.1f}s")
    t = time.perf_counter()
    gt, gtd = exact_knn(base, queries, args.k, np)
    log(f"data: exact ground truth in {time.perf_counter() - t:.1f}s")
    for name, arr in (("base", base), ("queries", queries), ("gt", gt), ("gtd", gtd)):
        np.save(paths[name] + ".tmp.npy", arr)
        os.replace(paths[name] + ".tmp.npy", paths[name])
    return d


def prepare_tags(args, datadir, np):
    """The "tag" column of the filtered mode and the exact neighbours among each tag's rows.

    A seeded permutation of the rows hands out disjoint blocks: round(n * pct / 100) rows get
    tag "p<pct>" for each pct of --filter-pct, in order; every other row gets "rest".
    tags.npy holds the tag index per row (0 = rest, j + 1 = the j-th pct)."""
    key = "-".join(f"{p:g}" for p in args.filter_pct)
    d = os.path.join(datadir, f"tags-{key}-s{args.seed}")
    os.makedirs(d, exist_ok=True)
    names = [f"p{p:g}" for p in args.filter_pct]
    paths = [os.path.join(d, "tags.npy")] + [os.path.join(d, f"gt-{t}.npy") for t in names]
    if all(os.path.exists(p) for p in paths):
        return d, names
    base = np.load(os.path.join(datadir, "base.npy"), mmap_mode="r")
    queries = np.load(os.path.join(datadir, "queries.npy"))
    n = len(base)
    counts = [int(round(n * p / 100.0)) for p in args.filter_pct]
    if sum(counts) > n or min(counts) < args.k:
        raise SystemExit(f"--filter-pct {key}: the tags must be disjoint (sum <= 100) and each hold >= k rows")
    perm = np.random.default_rng([args.seed, 7]).permutation(n)
    tags = np.zeros(n, dtype=np.int16)
    lo = 0
    for j, c in enumerate(counts):
        tags[perm[lo:lo + c]] = j + 1
        lo += c
    t = time.perf_counter()
    for j, name in enumerate(names):
        rows = np.flatnonzero(tags == j + 1)
        gi, _ = exact_knn(np.asarray(base[rows]), queries, args.k, np)
        np.save(os.path.join(d, f"gt-{name}.npy"), rows[gi[:, :args.k]])
    np.save(paths[0], tags)
    log(f"data: tags {', '.join(names)} and their exact neighbours in {time.perf_counter() - t:.1f}s")
    return d, names


# --------------------------------------------------------------------------- helpers


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def median(xs):
    xs = sorted(xs)
    m = len(xs) // 2
    return xs[m] if len(xs) % 2 else 0.5 * (xs[m - 1] + xs[m])


def dir_bytes(path):
    if os.path.isfile(path):
        return os.path.getsize(path)
    total = 0
    for root, _dirs, files in os.walk(path):
        for f in files:
            fp = os.path.join(root, f)
            if not os.path.islink(fp):
                total += os.path.getsize(fp)
    return total


def default_nlist(n):
    return max(1, int(n**0.5))


class StubRabitqIndex:
    """Stand-in with tandrel's build/search surface (exact numpy search), used only to
    exercise this harness with --tandrel-stub before the real module is available."""

    def __init__(self, path, dim, n_bits=2):
        import numpy as np

        self.np, self.path, self.dim, self.x, self.ids = np, path, dim, None, None
        vp = os.path.join(path, "vectors.npy")
        if os.path.exists(vp):
            self.x = np.load(vp)
            self.ids = np.load(os.path.join(path, "ids.npy"))

    def build(self, vectors, n, ids, metadatas, n_clusters, seed=42, sparse=None,
              skip_index=None, pca=None, quant_scale=0.0):
        np = self.np
        os.makedirs(self.path, exist_ok=True)
        self.x = np.frombuffer(vectors, dtype="<f4").reshape(n, self.dim)
        self.ids = np.array(ids)
        np.save(os.path.join(self.path, "vectors.npy"), self.x)
        np.save(os.path.join(self.path, "ids.npy"), self.ids)

    def search(self, query, k, nprobe=32, rerank=400, filter_json=None, ensure_target_k=False):
        np = self.np
        q = np.frombuffer(query, dtype="<f4")
        d = np.einsum("ij,ij->i", self.x - q, self.x - q)
        top = np.argpartition(d, k)[:k]
        top = top[np.argsort(d[top], kind="stable")]
        return [(str(self.ids[i]), float(d[i])) for i in top]


# --------------------------------------------------------------------------- build worker


def index_path(args):
    """Where the index of this worker's library, code width and data variant lives."""
    name = args.lib + (f"-{args.bits}b" if args.lib in BITS_LIBS else "")
    return os.path.join(args.indexdir, name + ("-tagged" if args.tagged else ""))


def worker_build(args):
    import numpy as np

    ncpu = len(os.sched_getaffinity(0))
    d = args.datadir
    base = np.load(os.path.join(d, "base.npy"), mmap_mode="r")
    n, dim = base.shape
    nlist = args.nlist or default_nlist(n)
    path = index_path(args)
    shutil.rmtree(path, ignore_errors=True)
    if os.path.exists(path + ".idx"):
        os.remove(path + ".idx")
    res = {"lib": args.lib, "bits": args.bits, "nlist": nlist, "build_threads": ncpu}
    try:
        build_one(args, res, base, n, dim, nlist, path, ncpu, np)
    except Exception as e:  # reported in the table as the library's own error
        res["error"] = f"{type(e).__name__}: {e}"
    res["load_after"] = os.getloadavg()
    print("RESULT " + json.dumps(res), flush=True)


def build_one(args, res, base, n, dim, nlist, path, ncpu, np):
    if args.lib == "tandrel":
        if args.tandrel_stub:
            Index = StubRabitqIndex
            res["version"] = "stub"
        else:
            import tandrel

            Index = tandrel.RabitqIndex
            res["version"] = getattr(tandrel, "__version__", "dev")
        vec = np.ascontiguousarray(base, dtype="<f4").tobytes()
        ids = [str(i) for i in range(n)]
        if args.tagged:
            tags = np.load(os.path.join(args.tagdir, "tags.npy"))
            names = ["rest"] + [f"p{p:g}" for p in args.filter_pct]
            metas = [json.dumps({"tag": names[t]}) for t in tags.tolist()]
        else:
            metas = ["{}"] * n
        idx = Index(path, dim, n_bits=args.bits)
        t = time.perf_counter()
        idx.build(vec, n, ids, metas, nlist, seed=args.seed)
        res["build_s"] = time.perf_counter() - t
        res["save_s"] = None  # included in build
        del idx
        res["bytes"] = dir_bytes(path)
    elif args.lib.startswith("faiss"):
        import faiss

        faiss.omp_set_num_threads(ncpu)
        res["version"] = faiss.__version__
        factory = {
            "faiss-ivf-flat": f"IVF{nlist},Flat",
            "faiss-ivf-rabitq": f"IVF{nlist},RaBitQ",
            "faiss-ivf-rabitq-rflat": f"IVF{nlist},RaBitQ,RFlat",
            "faiss-ivf-rabitq2-sq8": f"IVF{nlist},RaBitQ2,Refine(SQ8)",
        }[args.lib]
        x = np.ascontiguousarray(base, dtype=np.float32)
        t = time.perf_counter()
        index = faiss.index_factory(dim, factory)
        index.train(x)
        index.add(x)
        res["build_s"] = time.perf_counter() - t
        t = time.perf_counter()
        faiss.write_index(index, path + ".idx")
        res["save_s"] = time.perf_counter() - t
        res["bytes"] = os.path.getsize(path + ".idx")
    elif args.lib == "hnswlib":
        import hnswlib

        res["version"] = getattr(hnswlib, "__version__", "installed")
        x = np.ascontiguousarray(base, dtype=np.float32)
        t = time.perf_counter()
        p = hnswlib.Index(space="l2", dim=dim)
        p.init_index(max_elements=n, M=args.hnsw_m, ef_construction=args.hnsw_efc, random_seed=args.seed)
        p.add_items(x, np.arange(n), num_threads=-1)
        res["build_s"] = time.perf_counter() - t
        t = time.perf_counter()
        p.save_index(path + ".idx")
        res["save_s"] = time.perf_counter() - t
        res["bytes"] = os.path.getsize(path + ".idx")
    elif args.lib == "rabitqlib":
        # The library takes the centroids and each row's cluster from the caller; its
        # documentation clusters with faiss k-means, done here the same way (faiss's
        # defaults: 25 iterations, at most 256 training points per list).
        import faiss
        import rabitqlib

        faiss.omp_set_num_threads(ncpu)
        from importlib.metadata import version

        res["version"] = version("rabitqlib")
        x = np.ascontiguousarray(base, dtype=np.float32)
        t = time.perf_counter()
        km = faiss.Kmeans(dim, nlist, seed=args.seed)
        km.train(x)
        _, assign = km.index.search(x, 1)
        idx = rabitqlib.IvfIndex(dim, n, nlist, args.bits)
        idx.build(x, km.centroids, np.ascontiguousarray(assign[:, 0], dtype=np.uint32), num_threads=ncpu)
        res["build_s"] = time.perf_counter() - t
        t = time.perf_counter()
        idx.save(path + ".idx")
        res["save_s"] = time.perf_counter() - t
        res["bytes"] = os.path.getsize(path + ".idx")
    else:
        raise SystemExit(f"unknown library {args.lib}")


# --------------------------------------------------------------------------- search worker


class StopSweep(Exception):
    """Raised by a measurement when settings have become too slow to be of interest."""


def sweep_1d(values, measure, stop_recall, patience=3):
    """Ascending cost. Stops at the first setting reaching stop_recall (every later one
    is slower) or when recall has not risen by 0.0005 over `patience` settings."""
    best, stale = -1.0, 0
    for v in values:
        r = measure(v)
        if r["recall"] >= stop_recall:
            break
        if r["recall"] > best + 0.0005:
            best, stale = r["recall"], 0
        else:
            stale += 1
            if stale >= patience:
                break


def sweep_2d(outer, inner, measure, stop_recall):
    """outer ascending (nprobe), inner ascending (rerank pool). Stops an inner run at
    the first setting reaching stop_recall or when recall stops improving (the probe
    count is the limit); stops the whole sweep when the cheapest setting of an outer
    value is already slower than the fastest setting found reaching stop_recall (any
    larger outer value only costs more)."""
    best_top = 0.0
    best_any, stale = -1.0, 0
    for a in outer:
        if stale >= 2:  # two probe counts in a row without a recall gain: saturated
            return
        prev = -1.0
        top_here = -1.0
        for j, b in enumerate(inner):
            r = measure(a, b)
            if j == 0 and best_top > 0.0 and r["qps"] < best_top:
                return
            top_here = max(top_here, r["recall"])
            if r["recall"] >= stop_recall:
                best_top = max(best_top, r["qps"])
                break
            if j > 0 and r["recall"] - prev < 0.0005:
                break
            prev = r["recall"]
        if top_here > best_any + 0.0005:
            best_any, stale = top_here, 0
        else:
            stale += 1


def knob_text(knobs):
    return " ".join(f"{key}={int(v) if isinstance(v, bool) else v}" for key, v in knobs.items())


class Searcher:
    """One opened index: `grid` the knob values to sweep, cheapest first (("1d", values) or
    ("2d", outer, inner)), `names` the knob names, `apply(knobs)` sets them, `call(i)` runs
    the library's search for query i and returns its result as the library gives it,
    `ids(result)` turns that result into a list of row ids, `warm` a mid setting for the
    warm-up pass. The timed loops time `call` alone and convert the results after the clock
    stops: turning string ids into ints (or arrays into lists) for the recall count is the
    harness's bookkeeping, not a cost of the library, and under several Python threads it
    would hold the interpreter lock inside the timed run."""

    def __init__(self, names, grid, apply, call, ids, warm):
        self.names, self.grid, self.apply, self.call, self.ids, self.warm = names, grid, apply, call, ids, warm

    def one(self, i):
        return self.ids(self.call(i))


def faiss_ids(res):
    return res[1][0].tolist()


def open_searcher(args, Q, n, nlist, np, tag=None):
    """Opens this worker's index. With `tag`, searches only the rows whose "tag" is `tag`."""
    k, nq, dim = args.k, len(Q), Q.shape[1]
    path = index_path(args)
    nprobes = [p for p in NPROBES if p <= nlist]
    pools = [r for r in RERANKS if r >= k]
    mid = nprobes[len(nprobes) // 2]
    st = {}
    if args.lib == "tandrel":
        if args.tandrel_stub:
            Index = StubRabitqIndex
        else:
            import tandrel

            Index = tandrel.RabitqIndex
        idx = Index(path, dim, n_bits=args.bits)
        qb = [np.ascontiguousarray(q, dtype="<f4").tobytes() for q in Q]
        fj = json.dumps({"tag": tag}) if tag else None

        def call(i):
            return idx.search(qb[i], k, nprobe=st["nprobe"], rerank=st["rerank"], filter_json=fj)

        def ids(hits):
            return [int(h[0]) for h in hits]

        return Searcher(("nprobe", "rerank"), ("2d", nprobes, pools), st.update, call, ids,
                        {"nprobe": mid, "rerank": 100})
    qs = [np.ascontiguousarray(Q[i:i + 1], dtype=np.float32) for i in range(nq)]
    if args.lib.startswith("faiss"):
        import faiss

        faiss.omp_set_num_threads(1)
        index = faiss.read_index(path + ".idx")
        ivf = faiss.extract_index_ivf(index)
        if tag:
            tags = np.load(os.path.join(args.tagdir, "tags.npy"))
            names = [f"p{p:g}" for p in args.filter_pct]
            mask = tags == names.index(tag) + 1
            bitmap = np.packbits(mask, bitorder="little")  # bit i of the map: row i
            sel = faiss.IDSelectorBitmap(len(bitmap), faiss.swig_ptr(bitmap))

            def apply(knobs):
                st["keep"] = bitmap  # the selector reads this buffer
                st["params"] = faiss.SearchParametersIVF(sel=sel, nprobe=knobs["nprobe"])

            def call(i):
                return index.search(qs[i], k, params=st["params"])

            return Searcher(("nprobe",), ("1d", nprobes), apply, call, faiss_ids, {"nprobe": mid})

        def call(i):
            return index.search(qs[i], k)

        if args.lib in ("faiss-ivf-rabitq-rflat", "faiss-ivf-rabitq2-sq8"):
            def apply(knobs):
                ivf.nprobe = knobs["nprobe"]
                index.k_factor = knobs["rerank"] / k

            return Searcher(("nprobe", "rerank"), ("2d", nprobes, pools), apply, call, faiss_ids,
                            {"nprobe": mid, "rerank": 100})

        def apply(knobs):
            ivf.nprobe = knobs["nprobe"]

        return Searcher(("nprobe",), ("1d", nprobes), apply, call, faiss_ids, {"nprobe": mid})
    if args.lib == "hnswlib":
        import hnswlib

        p = hnswlib.Index(space="l2", dim=dim)
        p.load_index(path + ".idx", max_elements=n)
        p.set_num_threads(1)

        def call(i):
            return p.knn_query(qs[i], k=k, num_threads=1)

        return Searcher(("ef",), ("1d", [e for e in EFS if e >= k]), lambda kn: p.set_ef(kn["ef"]), call,
                        lambda res: res[0][0].tolist(),
                        {"ef": 64})
    if args.lib == "rabitqlib":
        import rabitqlib

        idx = rabitqlib.IvfIndex.load(path + ".idx")

        def call(i):
            return idx.search(qs[i], k, st["nprobe"], high_accuracy=st["high_accuracy"], num_threads=1)

        return Searcher(("nprobe", "high_accuracy"), ("2d", nprobes, list(HA)), st.update, call,
                        lambda res: res[0][0].tolist(),
                        {"nprobe": mid, "high_accuracy": True})
    raise SystemExit(f"unknown library {args.lib}")


def worker_search(args):
    # Pin before importing numpy or any library so that every thread pool created at
    # import time (OpenMP, BLAS, tandrel's work-stealing pool) sees exactly one CPU.
    os.sched_setaffinity(0, {args.cpu})
    import numpy as np

    d = args.datadir
    Q = np.load(os.path.join(d, "queries.npy"))
    tag = args.filter_tag
    if tag:
        gt = np.load(os.path.join(args.tagdir, f"gt-{tag}.npy"))[:, : args.k]
        tags = np.load(os.path.join(args.tagdir, "tags.npy"))
        allowed = tags == [f"p{p:g}" for p in args.filter_pct].index(tag) + 1
    else:
        gt = np.load(os.path.join(d, "gt.npy"))[:, : args.k]
    n = np.load(os.path.join(d, "base.npy"), mmap_mode="r").shape[0]
    nlist = args.nlist or default_nlist(n)
    k = args.k
    nq = len(Q)
    gt_sets = [set(row.tolist()) for row in gt]
    points = []
    outside = [0]  # filtered mode: results outside the filter (a wrong answer)

    def recall_of(found):
        hit = 0
        for i in range(nq):
            hit += len(gt_sets[i].intersection(found[i]))
            if tag:
                # faiss pads a short result with -1: not a row, so not outside the filter
                outside[0] += sum(1 for r in found[i] if r >= n or (r >= 0 and not allowed[r]))
        return hit / (nq * k)

    def run(s, knobs, passes):
        # A point is the median of `passes` timed passes over every query, never one pass:
        # one pass can land on a quiet or a busy moment of the machine.
        setting = knob_text(knobs)
        walls, cpus = [], []
        call = s.call
        for p in range(passes):
            found = [None] * nq
            t0w, t0c = time.perf_counter(), time.process_time()
            for i in range(nq):
                found[i] = call(i)
            walls.append(time.perf_counter() - t0w)
            cpus.append(time.process_time() - t0c)
            if p == 0:
                rec = recall_of([s.ids(f) for f in found])
        qw = sorted(nq / w for w in walls)
        r = {"setting": setting, "knobs": knobs, "recall": rec, "passes": passes,
             "qps_wall": median(qw), "qps_wall_range": [qw[0], qw[-1]],
             "qps_cpu": median([nq / max(c, 1e-9) for c in cpus])}
        r["qps"] = r["qps_cpu"] if args.clock == "cpu" else r["qps_wall"]
        points.append(r)
        log(f"  {args.lib:22s} {(tag or ''):5s} {setting:28s} recall={r['recall']:.4f} qps={r['qps']:.0f} "
            f"(median of {passes}; wall {qw[0]:.0f}-{qw[-1]:.0f})")
        if sweeping[0] and (r["qps"] < args.min_qps or time.perf_counter() - t_sweep[0] > args.max_sweep_s):
            log(f"  {args.lib}: stopping the sweep (below --min-qps {args.min_qps} "
                f"or over --max-sweep-s {args.max_sweep_s})")
            raise StopSweep()
        return r

    sweeping, t_sweep, cut = [False], [0.0], [False]

    t = time.perf_counter()
    s = open_searcher(args, Q, n, nlist, np, tag)
    load_s = time.perf_counter() - t

    def measure(*vals, passes=args.point_passes):
        knobs = dict(zip(s.names, vals))
        s.apply(knobs)
        return run(s, knobs, passes)

    measure(*s.warm.values(), passes=1)  # warm-up pass (page cache, mmap)
    points.clear()
    outside[0] = 0
    sweeping[0], t_sweep[0] = True, time.perf_counter()
    try:
        if s.grid[0] == "2d":
            sweep_2d(s.grid[1], s.grid[2], measure, max(TARGETS))
        else:
            sweep_1d(s.grid[1], measure, max(TARGETS))
    except StopSweep:
        cut[0] = True
    res = {"lib": args.lib, "bits": args.bits, "tag": tag, "points": points, "cut": cut[0],
           "load_s": load_s, "cpu": args.cpu, "outside_filter": outside[0],
           "affinity": sorted(os.sched_getaffinity(0)), "load_after": os.getloadavg()}
    print("RESULT " + json.dumps(res), flush=True)


# --------------------------------------------------------------------------- threads worker


def timed_threads(s, lib, slices, npass):
    """One Python thread per slice of query numbers, each calling s.call over its slice npass
    times; all start together. Returns (wall seconds from the start to the last join, the
    errors raised in the threads)."""
    import threading

    start = threading.Barrier(len(slices) + 1)
    errors = []

    def work(sl):
        try:
            if lib.startswith("faiss"):
                import faiss

                faiss.omp_set_num_threads(1)  # OpenMP's thread count is per calling thread
            start.wait()
            for _ in range(npass):
                for i in sl:
                    s.call(i)
        except Exception as e:
            errors.append(f"{type(e).__name__}: {e}")

    threads = [threading.Thread(target=work, args=(sl,)) for sl in slices]
    for th in threads:
        th.start()
    start.wait()
    t0 = time.perf_counter()
    for th in threads:
        th.join()
    return time.perf_counter() - t0, errors


def worker_threads(args):
    """Throughput of args.threads_n Python threads on one opened index at one setting."""
    cpus = [int(c) for c in args.cpus.split(",")]
    os.sched_setaffinity(0, set(cpus))  # before any import, as in worker_search
    import numpy as np

    d = args.datadir
    Q = np.load(os.path.join(d, "queries.npy"))
    n = np.load(os.path.join(d, "base.npy"), mmap_mode="r").shape[0]
    nlist = args.nlist or default_nlist(n)
    nq, T = len(Q), args.threads_n
    s = open_searcher(args, Q, n, nlist, np)
    knobs = json.loads(args.knobs)
    s.apply(knobs)
    for i in range(nq):  # warm-up pass
        s.one(i)
    wall, errors = timed_threads(s, args.lib, [list(r) for r in np.array_split(np.arange(nq), T)], args.passes)
    res = {"lib": args.lib, "bits": args.bits, "threads": T, "cpus": cpus, "passes": args.passes,
           "qps": args.passes * nq / wall, "wall_s": wall, "errors": errors[:1],
           "load_after": os.getloadavg()}
    print("RESULT " + json.dumps(res), flush=True)


# --------------------------------------------------------------------------- interleaved workers


def parse_setting(text):
    """'nprobe=16,rerank=100' -> {"nprobe": 16, "rerank": 100}; high_accuracy becomes a bool."""
    knobs = {}
    for part in text.split(","):
        if not part.strip():
            continue
        key, eq, val = part.partition("=")
        key = key.strip()
        if not eq or not key:
            raise ValueError(f"setting {text!r}: expected name=value pairs separated by commas")
        knobs[key] = bool(int(val)) if key == "high_accuracy" else int(val)
    return knobs


def nearest_rank(sorted_xs, q):
    """The q-quantile (0 < q <= 1) of sorted values by nearest rank."""
    i = math.ceil(q * len(sorted_xs) - 1e-9) - 1
    return sorted_xs[min(len(sorted_xs) - 1, max(0, i))]


def open_entries(args, Q, n, nlist, np):
    """Opens every index of args.entries ([[lib, bits, knobs], ...]) at its fixed setting."""
    import copy

    out = []
    for lib, bits, knobs in json.loads(args.entries):
        a = copy.copy(args)
        a.lib, a.bits, a.tagged = lib, bits, False
        s = open_searcher(a, Q, n, nlist, np)
        s.apply(knobs)
        out.append((lib, bits, knobs, s))
    return out


def worker_interleaved(args):
    """Passes of several libraries at fixed settings in one process pinned to one CPU: every
    round runs one pass over all queries per library, the order reversed every other round,
    so slow drifts of the machine touch all of them alike. Per pass: wall and CPU QPS, the
    per-query latency percentiles, minor page faults and context switches; every pass's
    results are compared with the library's first pass."""
    import resource

    os.sched_setaffinity(0, {args.cpu})  # before any import, as in worker_search
    import numpy as np

    d = args.datadir
    Q = np.load(os.path.join(d, "queries.npy"))
    gt = np.load(os.path.join(d, "gt.npy"))[:, : args.k]
    n = np.load(os.path.join(d, "base.npy"), mmap_mode="r").shape[0]
    nlist = args.nlist or default_nlist(n)
    nq = len(Q)
    gt_sets = [set(row.tolist()) for row in gt]
    entries = open_entries(args, Q, n, nlist, np)
    first, out = [], []
    for lib, bits, knobs, s in entries:  # warm-up pass, also the reference results
        found = [s.one(i) for i in range(nq)]
        first.append(found)
        hit = sum(len(gt_sets[i].intersection(found[i])) for i in range(nq))
        out.append({"lib": lib, "bits": bits, "setting": knob_text(knobs), "recall": hit / (nq * args.k),
                    "passes": [], "differs": 0})
    clock = time.perf_counter_ns
    for r in range(args.rounds):
        order = list(range(len(entries)))
        if r % 2:
            order.reverse()
        for j in order:
            s = entries[j][3]
            call = s.call
            found = [None] * nq
            lat = [0] * nq
            ru0 = resource.getrusage(resource.RUSAGE_SELF)
            t0w, t0c = time.perf_counter(), time.process_time()
            for i in range(nq):
                t = clock()
                found[i] = call(i)
                lat[i] = clock() - t
            wall, cpu = time.perf_counter() - t0w, time.process_time() - t0c
            ru1 = resource.getrusage(resource.RUSAGE_SELF)
            found = [s.ids(f) for f in found]
            lat.sort()
            out[j]["passes"].append({
                "round": r, "qps_wall": nq / wall, "qps_cpu": nq / max(cpu, 1e-9),
                "p50_us": nearest_rank(lat, 0.50) / 1e3, "p99_us": nearest_rank(lat, 0.99) / 1e3,
                "max_us": lat[-1] / 1e3, "minflt": ru1.ru_minflt - ru0.ru_minflt,
                "majflt": ru1.ru_majflt - ru0.ru_majflt, "nvcsw": ru1.ru_nvcsw - ru0.ru_nvcsw,
                "nivcsw": ru1.ru_nivcsw - ru0.ru_nivcsw})
            if found != first[j]:
                out[j]["differs"] += 1
            p = out[j]["passes"][-1]
            log(f"  round {r}: {label(out[j]['lib'], out[j]['bits'], args):16s} {nq / wall:9.0f} QPS, "
                f"p50 {p['p50_us']:.1f} us, p99 {p['p99_us']:.1f} us, {p['minflt']} minor faults, "
                f"{p['nivcsw']} preemptions")
    res = {"entries": out, "cpu": args.cpu, "load_after": os.getloadavg()}
    print("RESULT " + json.dumps(res), flush=True)


def worker_interleaved_threads(args):
    """Throughput by Python thread count, libraries alternating: every round runs, for each
    thread count T, one run per library (order reversed every other round) with T threads
    on the T highest of the given CPUs, each thread issuing one query per call over its own
    slice of the queries, T x `passes` times (`passes` per library, from its one-thread
    speed, so that a run lasts about --thread-seconds when T threads are T times as fast)."""
    cpus = sorted(int(c) for c in args.cpus.split(","))
    os.sched_setaffinity(0, set(cpus))  # before any import, as in worker_search
    import numpy as np

    d = args.datadir
    Q = np.load(os.path.join(d, "queries.npy"))
    n = np.load(os.path.join(d, "base.npy"), mmap_mode="r").shape[0]
    nlist = args.nlist or default_nlist(n)
    nq = len(Q)
    entries = open_entries(args, Q, n, nlist, np)
    counts = [int(t) for t in args.thread_counts.split(",")]
    passes = []
    for _lib, _bits, _knobs, s in entries:  # warm-up pass, which also sizes the runs
        t0 = time.perf_counter()
        for i in range(nq):
            s.call(i)
        passes.append(max(1, int(np.ceil(args.thread_seconds * nq / (time.perf_counter() - t0) / nq))))
    out = [{"lib": lib, "bits": bits, "setting": knob_text(knobs), "passes": passes[j], "runs": []}
           for j, (lib, bits, knobs, _s) in enumerate(entries)]

    def run(s, lib, T, npass):
        os.sched_setaffinity(0, set(cpus[-T:]))  # the threads timed_threads starts inherit it
        wall, errors = timed_threads(s, lib, [list(r) for r in np.array_split(np.arange(nq), T)], npass)
        os.sched_setaffinity(0, set(cpus))
        return npass * nq / wall, errors[:1]

    for r in range(args.rounds):
        for T in counts:
            order = list(range(len(entries)))
            if r % 2:
                order.reverse()
            for j in order:
                lib, _bits, _knobs, s = entries[j]
                qps, errors = run(s, lib, T, passes[j] * T)
                out[j]["runs"].append({"round": r, "threads": T, "qps": qps, "errors": errors})
                log(f"  round {r}: {label(lib, out[j]['bits'], args):16s} {T} threads {qps:9.0f} QPS")
    res = {"entries": out, "cpus": cpus, "load_after": os.getloadavg()}
    print("RESULT " + json.dumps(res), flush=True)


# --------------------------------------------------------------------------- driver


def run_worker(kind, lib, bits, args, datadir, indexdir, extra=()):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", kind, "--lib", lib,
           "--datadir", datadir, "--indexdir", indexdir, "--k", str(args.k),
           "--seed", str(args.seed), "--nlist", str(args.nlist or 0), "--cpu", str(args.cpu),
           "--clock", args.clock, "--bits", str(bits),
           "--min-qps", str(args.min_qps), "--max-sweep-s", str(args.max_sweep_s),
           "--hnsw-m", str(args.hnsw_m), "--hnsw-efc", str(args.hnsw_efc),
           "--point-passes", str(args.point_passes)]
    if args.filter_pct:
        cmd += ["--filter-pct", ",".join(f"{p:g}" for p in args.filter_pct), "--tagdir", args.tagdir]
    cmd += list(extra)
    if args.tandrel_stub:
        cmd.append("--tandrel-stub")
    env = dict(os.environ)
    if kind != "build":
        for v in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
            env[v] = "1"
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=None, text=True, env=env)
    for line in p.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    log(f"{lib}: {kind} worker failed (exit {p.returncode}); stdout tail:\n{p.stdout[-2000:]}")
    return {"error": f"{kind} process exit {p.returncode}"}


def available_libs(args):
    import importlib.util

    libs, notes = [], []
    for lib in args.libs:
        mod = LIBS[lib][0]
        if lib == "tandrel" and args.tandrel_stub:
            libs.append(lib)
            notes.append("tandrel: STUB (exact numpy search standing in for the module; "
                         "its figures say nothing about tandrel)")
            continue
        need = [mod] + (["faiss"] if lib == "rabitqlib" else [])  # faiss k-means for its lists
        absent = [m for m in need if importlib.util.find_spec(m) is None]
        if absent:
            if mod == "tandrel":
                msg = ("tandrel: module not importable; skipped (build it with `make build` "
                       "and run with PYTHONPATH=build/dev, or `pip install .`)")
            else:
                msg = (f"{lib}: Python module `{absent[0]}` is not installed; skipped "
                       f"(pip install -r bench/requirements.txt)")
            log(msg)
            notes.append(msg)
            continue
        if lib.startswith("faiss-ivf-rabitq"):
            import faiss

            if not hasattr(faiss, "IndexIVFRaBitQ"):
                msg = (f"{lib}: faiss {faiss.__version__} has no IndexIVFRaBitQ; skipped "
                       "(a newer faiss-cpu has it)")
                log(msg)
                notes.append(msg)
                continue
        libs.append(lib)
    return libs, notes


def entries_of(libs, args):
    """(lib, bits) pairs, one table row each: a library with a code-width option once per
    width asked for, the others with bits 0."""
    out = []
    for lib in libs:
        widths = {"tandrel": args.tandrel_bits, "rabitqlib": args.rabitqlib_bits}.get(lib, [0])
        out += [(lib, b) for b in widths]
    return out


def label(lib, bits, args):
    if lib == "tandrel" and len(args.tandrel_bits) == 1:
        return lib  # the row name of the single-width run, as before widths could be swept
    return f"{lib}-{bits}b" if lib in BITS_LIBS else lib


def fmt_mb(b):
    return f"{b / 1e6:.1f}"


def best_at(points, target):
    ok = [p for p in points if p["recall"] >= target]
    if not ok:
        return None
    return max(ok, key=lambda p: p["qps"])


def describe(lib, bits, args, nlist):
    return LIBS[lib][1].format(bits=bits, nlist=nlist, M=args.hnsw_m, efc=args.hnsw_efc)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def failure(r):
    """The cell text of a failed build or search: the library's own error where it gave one."""
    err = (r or {}).get("error")
    return f"failed ({err})" if err else "failed"


def qps_cells(s, args):
    if s is None or s.get("error") or not s.get("points"):
        return [failure(s)] * (len(TARGETS) + 1)
    row = []
    for t in TARGETS:
        p = best_at(s["points"], t)
        if p is None:
            row.append("not reached" + (" (sweep cut)" if s.get("cut") else ""))
        else:
            row.append(f"{p['qps']:,.0f} ({p['setting']})")
    row.append(f"{max(p['recall'] for p in s['points']):.4f}")
    return row


def render(args, n, dim, nlist, results, notes, ties, load_before, threads=None, filtered=None):
    L = []
    L.append(f"### {args.dataset}: {n:,} x {dim} float32, {args.queries:,} queries, k={args.k}")
    L.append("")
    if args.dataset == "fmnist":
        L.append(f"- data: Fashion-MNIST ({FMNIST_DIR}): the 60,000 training images as float32 "
                 f"rows, the first {args.queries:,} test images as queries; exact float64 ground "
                 f"truth ({ties} queries with a near-tie at rank {args.k}).")
    else:
        L.append(f"- data: seeded Gaussian mixture (seed {args.seed}, decay {args.decay:g}, within "
                 f"{args.within:g}); queries from the same mixture; "
                 f"exact float64 ground truth ({ties} queries with a near-tie at rank {args.k}).")
    L.append(f"- IVF lists (all IVF indexes): {nlist}; HNSW M={args.hnsw_m}, "
             f"ef_construction={args.hnsw_efc}.")
    L.append(f"- search: one query per call from Python, one thread, process pinned to CPU "
             f"{args.cpu}; QPS by {'process CPU time' if args.clock == 'cpu' else 'wall clock'}. "
             f"Build: all {len(os.sched_getaffinity(0))} CPUs allowed.")
    L.append(f"- machine: {cpu_model()}, {os.cpu_count()} CPUs; load average before "
             f"{load_before[0]:.1f}, after {os.getloadavg()[0]:.1f} (shared machine).")
    L.append(f"- sweeps end at the first setting meeting R{args.k}>={max(TARGETS):.2f}, when recall "
             f"stops rising, below {args.min_qps:g} QPS or after {args.max_sweep_s:g} s "
             f"(\"sweep cut\"). disk MB for tandrel includes its ids and metadata columns "
             f"(every row has id str(i) and metadata {{}}).")
    for note in notes:
        L.append(f"- {note}")
    L.append("")
    head = ["library", "index", "build s", "save s", "disk MB"]
    head += [f"QPS @ R{args.k}>={t:.2f}" for t in TARGETS] + ["best recall"]
    L.append("| " + " | ".join(head) + " |")
    L.append("|" + "|".join(["---"] * 2 + ["---:"] * (len(head) - 2)) + "|")
    for lib, bits, b, s in results:
        row = [label(lib, bits, args), describe(lib, bits, args, nlist)]
        if b is None or b.get("error"):
            row += [failure(b)] + ["-"] * 2
        else:
            row += [f"{b['build_s']:.1f}",
                    "(in build)" if b.get("save_s") is None else f"{b['save_s']:.1f}",
                    fmt_mb(b["bytes"])]
        row += qps_cells(s, args) if b is not None and not b.get("error") else ["-"] * (len(TARGETS) + 1)
        L.append("| " + " | ".join(row) + " |")
    if args.all_points:
        L.append("")
        L.append("All measured settings:")
        L.append("")
        L.append(f"| library | setting | recall | QPS (wall, median [min-max] of {args.point_passes} passes) "
                 f"| QPS (cpu, median) |")
        L.append("|---|---|---:|---:|---:|")
        for lib, bits, _b, s in results:
            for p in (s or {}).get("points", []):
                lo, hi = p.get("qps_wall_range", [p["qps_wall"]] * 2)
                L.append(f"| {label(lib, bits, args)} | {p['setting']} | {p['recall']:.4f} | "
                         f"{p['qps_wall']:,.0f} [{lo:,.0f}-{hi:,.0f}] | {p['qps_cpu']:,.0f} |")
    if threads:
        L.append("")
        L.append(f"#### Throughput by Python threads ({args.queries:,} queries, one per call)")
        L.append("")
        L.append(f"Each thread searches its own slice of the queries, repeated so a run lasts about "
                 f"{args.thread_seconds:g} s; the process's affinity is as many CPUs as threads "
                 f"(the highest-numbered allowed ones; shared machine, load average "
                 f"{os.getloadavg()[0]:.1f} at the end). Setting: the fastest reaching "
                 f"R{args.k}>=0.95 in the single-thread sweep (else the best-recall one). "
                 f"QPS = all queries answered / wall seconds.")
        L.append("")
        head = ["library", "setting (recall)"] + [f"{t} thr QPS" for t in args.threads]
        head.append(f"speedup {args.threads[-1]} / {args.threads[0]}")
        L.append("| " + " | ".join(head) + " |")
        L.append("|" + "|".join(["---"] * 2 + ["---:"] * (len(head) - 2)) + "|")
        for lib, bits, p, runs in threads:
            row = [label(lib, bits, args), f"{p['setting']} ({p['recall']:.4f})"]
            for t in args.threads:
                r = runs.get(t)
                if r is None:
                    row.append("-")
                elif r.get("error") or r.get("errors"):
                    row.append(failure({"error": r.get("error") or r["errors"][0]}))
                else:
                    row.append(f"{r['qps']:,.0f}")
            a, z = runs.get(args.threads[0]), runs.get(args.threads[-1])
            ok = a and z and "qps" in a and "qps" in z and not a.get("errors") and not z.get("errors")
            row.append(f"{z['qps'] / a['qps']:.2f}x" if ok else "-")
            L.append("| " + " | ".join(row) + " |")
    if filtered:
        L.append("")
        L.append(f"#### Filtered search (single thread, one query per call, pinned to CPU {args.cpu})")
        L.append("")
        L.append("Rows carry a string metadata value \"tag\"; a seeded random pct% of the rows have "
                 "tag \"p<pct>\", the rest \"rest\". tandrel: `search(..., filter_json='{\"tag\": "
                 "\"p1\"}')` on an index built with that metadata; faiss: IVF-Flat with "
                 "SearchParametersIVF(sel=IDSelectorBitmap(rows of the tag), nprobe=...). Recall@"
                 f"{args.k} against the exact nearest neighbours among the tagged rows.")
        L.append("")
        head = ["library", "filter (rows)", "build s"]
        head += [f"QPS @ R{args.k}>={t:.2f}" for t in TARGETS] + ["best recall"]
        L.append("| " + " | ".join(head) + " |")
        L.append("|" + "|".join(["---"] * 2 + ["---:"] * (len(head) - 2)) + "|")
        for lib, bits, tag, rows, b, s in filtered:
            row = [label(lib, bits, args), f"tag = {tag} ({rows:,})"]
            if b is None or b.get("error"):
                row += [failure(b)] + ["-"] * (len(TARGETS) + 1)
            else:
                row += [f"{b['build_s']:.1f}"] + qps_cells(s, args)
                if s and s.get("outside_filter"):
                    row[-1] += f" ({s['outside_filter']} results outside the filter!)"
            L.append("| " + " | ".join(row) + " |")
    return "\n".join(L) + "\n"


def med_range(xs, fmt="{:,.0f}"):
    """'median [min-max]' of the values."""
    if not xs:
        return "-"
    return f"{fmt.format(median(xs))} [{fmt.format(min(xs))}-{fmt.format(max(xs))}]"


def index_exists(indexdir, lib, bits):
    p = os.path.join(indexdir, lib + (f"-{bits}b" if lib in BITS_LIBS else ""))
    return os.path.exists(os.path.join(p, "manifest.bin")) or os.path.exists(p + ".idx")


def run_interleaved(args, libs, datadir, indexdir, n, dim, nlist, ties, load_before):
    """--interleaved: fixed settings (given, or the fastest reaching --target in a sweep),
    then alternating passes in one pinned process, then, with --threads, alternating
    thread runs. Returns the Markdown."""
    fixed = {"tandrel": args.tandrel_setting, "rabitqlib": args.rabitqlib_setting}
    entries, notes = [], []
    for lib, bits in entries_of(libs, args):
        name = label(lib, bits, args)
        if args.reuse_indexes and index_exists(indexdir, lib, bits):
            log(f"{name}: reusing the index under {indexdir}")
        else:
            log(f"{name}: building ({describe(lib, bits, args, nlist)})")
            b = run_worker("build", lib, bits, args, datadir, indexdir)
            if b.get("error"):
                notes.append(f"{name}: build failed: {b['error']}")
                log(notes[-1])
                continue
        knobs = fixed.get(lib)
        if knobs is None:
            log(f"{name}: sweeping for the fastest setting reaching recall {args.target}")
            sw = run_worker("search", lib, bits, args, datadir, indexdir)
            if not sw.get("points"):
                notes.append(f"{name}: search sweep failed")
                continue
            p = best_at(sw["points"], args.target) or max(sw["points"], key=lambda q: q["recall"])
            knobs = p["knobs"]
            notes.append(f"{name}: setting {p['setting']} from the sweep (fastest reaching "
                         f"R{args.k}>={args.target:g}, else the best recall)")
        entries.append([lib, bits, knobs])
    if not entries:
        raise SystemExit("--interleaved: no library could be built")
    common = ["--entries", json.dumps(entries), "--rounds", str(args.rounds)]
    log(f"interleaved: {args.rounds} rounds of one pass per library on CPU {args.cpu}")
    single = run_worker("interleaved", entries[0][0], entries[0][1], args, datadir, indexdir, common)
    threads = None
    if args.threads:
        allowed = sorted(os.sched_getaffinity(0), reverse=True)
        cpus = ",".join(str(c) for c in sorted(allowed[:max(args.threads)]))
        log(f"interleaved threads: {args.rounds} rounds of {args.threads} threads on CPUs {cpus}")
        threads = run_worker("interleaved_threads", entries[0][0], entries[0][1], args, datadir, indexdir,
                             common + ["--cpus", cpus, "--thread-counts", ",".join(map(str, args.threads)),
                                       "--thread-seconds", str(args.thread_seconds)])
    if not args.keep_indexes:
        for lib, bits, _k in entries:
            remove_index(indexdir, lib, bits)
    return render_interleaved(args, n, dim, nlist, ties, load_before, notes, single, threads)


def render_interleaved(args, n, dim, nlist, ties, load_before, notes, single, threads):
    L = [f"### {args.dataset}: {n:,} x {dim} float32, {args.queries:,} queries, k={args.k}, "
         f"interleaved passes at fixed settings", ""]
    L.append(f"- IVF lists (all IVF indexes): {nlist}; exact float64 ground truth ({ties} queries "
             f"with a near-tie at rank {args.k}).")
    L.append(f"- one process pinned to CPU {args.cpu} holds every index open; {args.rounds} rounds, "
             f"each one pass over all queries per library (one query per call from Python), the "
             f"order reversed every other round. QPS by wall clock per pass; latency per call "
             f"(perf_counter_ns around each call, the Python loop included).")
    L.append(f"- machine: {cpu_model()}, {os.cpu_count()} CPUs; load average before "
             f"{load_before[0]:.1f}, after {os.getloadavg()[0]:.1f}. Cells: median [min-max] over rounds.")
    for note in notes:
        L.append(f"- {note}")
    L.append("")
    if not single or single.get("error"):
        L.append(f"interleaved worker failed: {failure(single)}")
        return "\n".join(L) + "\n"
    ents = single["entries"]
    L.append("| library | setting | recall | QPS | max / min QPS | max / min QPS (cpu) | p50 us | p99 us | "
             "p99 / p50 | minor faults / pass | preempted / pass | passes differing |")
    L.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for e in ents:
        ps = e["passes"]
        q = [p["qps_wall"] for p in ps]
        L.append("| " + " | ".join([
            label(e["lib"], e["bits"], args), e["setting"], f"{e['recall']:.4f}", med_range(q),
            f"{max(q) / min(q):.2f}x",
            f"{max(p['qps_cpu'] for p in ps) / min(p['qps_cpu'] for p in ps):.2f}x",
            med_range([p["p50_us"] for p in ps], "{:.1f}"),
            med_range([p["p99_us"] for p in ps], "{:.1f}"),
            med_range([p["p99_us"] / p["p50_us"] for p in ps], "{:.2f}"),
            med_range([p["minflt"] for p in ps]), med_range([p["nivcsw"] for p in ps]),
            f"{e['differs']} of {len(ps)}"]) + " |")
    L.append("")
    a = ents[0]
    for b in ents[1:]:
        qa = {p["round"]: p["qps_wall"] for p in a["passes"]}
        ratios = [qa[p["round"]] / p["qps_wall"] for p in b["passes"] if p["round"] in qa]
        L.append(f"QPS {label(a['lib'], a['bits'], args)} / {label(b['lib'], b['bits'], args)} per round: "
                 f"{med_range(ratios, '{:.2f}')}x")
    if threads:
        L.append("")
        L.append(f"#### Throughput by Python threads, libraries alternating ({args.rounds} rounds)")
        L.append("")
        if threads.get("error"):
            L.append(f"threads worker failed: {failure(threads)}")
            return "\n".join(L) + "\n"
        tes = threads["entries"]
        L.append(f"One process on CPUs {','.join(map(str, threads['cpus']))}; a run with T threads sets "
                 f"the affinity to the T highest of them; each thread issues one query per call over its "
                 f"slice of the queries; QPS = queries answered / wall seconds. Load average at the end "
                 f"{threads['load_after'][0]:.1f}.")
        L.append("")
        head = ["library", "setting"] + [f"{t} thr QPS" for t in args.threads]
        head += [f"{t} / {args.threads[0]} thr" for t in args.threads[1:]]
        L.append("| " + " | ".join(head) + " |")
        L.append("|" + "|".join(["---"] * 2 + ["---:"] * (len(head) - 2)) + "|")
        by = []
        for e in tes:
            runs = {(r["round"], r["threads"]): r for r in e["runs"] if not r["errors"]}
            by.append(runs)
            row = [label(e["lib"], e["bits"], args), e["setting"]]
            for t in args.threads:
                row.append(med_range([r["qps"] for (rd, tt), r in runs.items() if tt == t]))
            t0 = args.threads[0]
            for t in args.threads[1:]:
                sp = [runs[(rd, t)]["qps"] / runs[(rd, t0)]["qps"] for rd in range(args.rounds)
                      if (rd, t) in runs and (rd, t0) in runs]
                row.append(med_range(sp, "{:.2f}") + "x")
            errs = [r["errors"][0] for r in e["runs"] if r["errors"]]
            if errs:
                row[1] += f" (errors: {errs[0]})"
            L.append("| " + " | ".join(row) + " |")
        L.append("")
        for j in range(1, len(tes)):
            cells = []
            for t in args.threads:
                rs = [by[0][(rd, t)]["qps"] / by[j][(rd, t)]["qps"] for rd in range(args.rounds)
                      if (rd, t) in by[0] and (rd, t) in by[j]]
                cells.append(f"{t} thr {med_range(rs, '{:.2f}')}x")
            L.append(f"QPS {label(tes[0]['lib'], tes[0]['bits'], args)} / "
                     f"{label(tes[j]['lib'], tes[j]['bits'], args)} per round: " + "; ".join(cells))
    return "\n".join(L) + "\n"


def remove_index(indexdir, lib, bits, tagged=False):
    p = os.path.join(indexdir, lib + (f"-{bits}b" if lib in BITS_LIBS else "") + ("-tagged" if tagged else ""))
    shutil.rmtree(p, ignore_errors=True)
    if os.path.exists(p + ".idx"):
        os.remove(p + ".idx")


def int_list(text):
    return [int(x) for x in text.split(",") if x.strip()]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dataset", choices=sorted(DATASETS), default="1m128")
    ap.add_argument("--small", action="store_true", help="same as --dataset small")
    ap.add_argument("--libs", default=",".join(DEFAULT_LIBS),
                    help=f"comma-separated subset of {','.join(LIBS)}")
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--decay", type=float, default=0.5,
                    help="spectrum decay exponent of the mixture components")
    ap.add_argument("--within", type=float, default=2.0,
                    help="mean per-coordinate variance inside a component (centres: 1)")
    ap.add_argument("--nlist", type=int, default=0,
                    help="IVF lists for every IVF index (default floor(sqrt(n)))")
    ap.add_argument("--cpu", type=int, default=-1,
                    help="CPU the search processes are pinned to (default: the highest allowed)")
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall")
    ap.add_argument("--min-qps", type=float, default=200.0,
                    help="end a library's sweep at the first setting slower than this")
    ap.add_argument("--max-sweep-s", type=float, default=900.0,
                    help="end a library's sweep after this many seconds")
    ap.add_argument("--tandrel-bits", type=int_list, default=[2],
                    help="code widths for tandrel, comma-separated (one index and row each)")
    ap.add_argument("--rabitqlib-bits", type=int_list, default=[4, 7],
                    help="code widths (1-9) for rabitqlib's IvfIndex, comma-separated")
    ap.add_argument("--tandrel-stub", action="store_true",
                    help="use an exact-search stand-in for tandrel (harness check only)")
    ap.add_argument("--hnsw-m", type=int, default=16)
    ap.add_argument("--hnsw-efc", type=int, default=200)
    ap.add_argument("--threads", type=int_list, default=[],
                    help="also measure throughput with these Python thread counts, e.g. 1,2,4,8")
    ap.add_argument("--thread-seconds", type=float, default=2.0,
                    help="approximate length of one throughput run")
    ap.add_argument("--filter-pct", type=lambda t: [float(x) for x in t.split(",") if x.strip()],
                    default=[], help="also measure filtered search at these selectivities in %%, e.g. 1,10")
    ap.add_argument("--point-passes", type=int, default=3,
                    help="timed passes per sweep point; the point's QPS is their median")
    ap.add_argument("--interleaved", action="store_true",
                    help="alternate the libraries' passes at fixed settings in one pinned process "
                         "(and with --threads, alternate their thread runs); ratios per round")
    ap.add_argument("--rounds", type=int, default=9, help="rounds of the interleaved mode")
    ap.add_argument("--tandrel-setting", type=parse_setting, default=None,
                    help="interleaved mode: tandrel's fixed setting, e.g. nprobe=16,rerank=100 "
                         "(default: the fastest reaching --target in a sweep)")
    ap.add_argument("--rabitqlib-setting", type=parse_setting, default=None,
                    help="interleaved mode: rabitqlib's fixed setting, e.g. nprobe=24,high_accuracy=1")
    ap.add_argument("--target", type=float, default=0.95,
                    help="interleaved mode: recall a swept setting must reach")
    ap.add_argument("--reuse-indexes", action="store_true",
                    help="interleaved mode: use indexes left by --keep-indexes instead of building")
    ap.add_argument("--workdir", default=os.path.join("/tmp", "tandrel-compare"))
    ap.add_argument("--keep-indexes", action="store_true", help="keep the built indexes")
    ap.add_argument("--all-points", action="store_true", help="also list every measured setting")
    ap.add_argument("--out", help="also write the Markdown to this file")
    # internal: worker processes
    ap.add_argument("--worker", choices=("build", "search", "threads", "interleaved", "interleaved_threads"),
                    help=argparse.SUPPRESS)
    ap.add_argument("--entries", help=argparse.SUPPRESS)
    ap.add_argument("--thread-counts", help=argparse.SUPPRESS)
    ap.add_argument("--lib", help=argparse.SUPPRESS)
    ap.add_argument("--bits", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--datadir", help=argparse.SUPPRESS)
    ap.add_argument("--indexdir", help=argparse.SUPPRESS)
    ap.add_argument("--tagdir", help=argparse.SUPPRESS)
    ap.add_argument("--tagged", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--filter-tag", help=argparse.SUPPRESS)
    ap.add_argument("--knobs", help=argparse.SUPPRESS)
    ap.add_argument("--threads-n", type=int, default=1, help=argparse.SUPPRESS)
    ap.add_argument("--cpus", help=argparse.SUPPRESS)
    ap.add_argument("--passes", type=int, default=1, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.worker:
        if args.nlist == 0:
            args.nlist = None
        {"build": worker_build, "search": worker_search, "threads": worker_threads,
         "interleaved": worker_interleaved, "interleaved_threads": worker_interleaved_threads}[args.worker](args)
        return

    if args.small:
        args.dataset = "small"
    args.libs = [x.strip() for x in args.libs.split(",") if x.strip()]
    for lib in args.libs:
        if lib not in LIBS:
            ap.error(f"unknown library {lib}; choose from {', '.join(LIBS)}")
    if args.cpu < 0:
        args.cpu = max(os.sched_getaffinity(0))
    allowed = sorted(os.sched_getaffinity(0), reverse=True)
    for t in args.threads:
        if not 1 <= t <= len(allowed):
            ap.error(f"--threads {t}: between 1 and the {len(allowed)} CPUs allowed")
    load_before = os.getloadavg()

    import numpy as np

    libs, notes = available_libs(args)
    datadir = prepare_data(args, np)
    n, dim = DATASETS[args.dataset]
    nlist = args.nlist or default_nlist(n)
    gtd = np.load(os.path.join(datadir, "gtd.npy"))
    ties = 0
    if gtd.shape[1] > args.k:
        gap = gtd[:, args.k] - gtd[:, args.k - 1]
        ties = int(np.sum(gap <= 1e-9 * np.maximum(1.0, np.abs(gtd[:, args.k]))))
    indexdir = os.path.join(datadir, "indexes")
    os.makedirs(indexdir, exist_ok=True)
    args.tagdir = None
    if args.filter_pct:
        args.tagdir, tag_names = prepare_tags(args, datadir, np)

    if args.interleaved:
        md = run_interleaved(args, libs, datadir, indexdir, n, dim, nlist, ties, load_before)
        sys.stdout.write(md)
        if args.out:
            with open(args.out, "w") as f:
                f.write(md)
        return

    results, threads = [], []
    for lib, bits in entries_of(libs, args):
        name = label(lib, bits, args)
        log(f"{name}: building ({describe(lib, bits, args, nlist)})")
        b = run_worker("build", lib, bits, args, datadir, indexdir)
        s = None
        if b.get("error"):
            log(f"{name}: build failed: {b['error']}")
        else:
            log(f"{name}: built in {b['build_s']:.1f}s, {fmt_mb(b['bytes'])} MB; searching on CPU {args.cpu}")
            s = run_worker("search", lib, bits, args, datadir, indexdir)
        results.append((lib, bits, b, s))
        if args.threads and s and s.get("points"):
            p = best_at(s["points"], 0.95) or max(s["points"], key=lambda q: q["recall"])
            qps1 = p["qps_wall"]
            passes = max(1, int(np.ceil(args.thread_seconds * qps1 / args.queries)))
            runs = {}
            for t in args.threads:
                cpus = ",".join(str(c) for c in sorted(allowed[:t]))
                log(f"{name}: {t} threads on CPUs {cpus}, {p['setting']}, {passes} passes")
                runs[t] = run_worker("threads", lib, bits, args, datadir, indexdir,
                                     ["--threads-n", str(t), "--cpus", cpus, "--passes", str(passes),
                                      "--knobs", json.dumps(p["knobs"])])
                if "qps" in runs[t]:
                    log(f"  {name}: {t} threads {runs[t]['qps']:,.0f} QPS")
            threads.append((lib, bits, p, runs))
        if not args.keep_indexes:
            remove_index(indexdir, lib, bits)

    filtered = []
    if args.filter_pct:
        tags = np.load(os.path.join(args.tagdir, "tags.npy"))
        for lib, bits in entries_of([x for x in libs if x in FILTER_LIBS], args):
            name = label(lib, bits, args)
            log(f"{name}: building with the tag column (filtered search)")
            b = run_worker("build", lib, bits, args, datadir, indexdir, ["--tagged"])
            for j, tag in enumerate(tag_names):
                s = None
                if not b.get("error"):
                    s = run_worker("search", lib, bits, args, datadir, indexdir,
                                   ["--tagged", "--filter-tag", tag])
                filtered.append((lib, bits, tag, int(np.sum(tags == j + 1)), b, s))
            if not args.keep_indexes:
                remove_index(indexdir, lib, bits, tagged=True)
        skipped = [x for x in args.libs if x not in FILTER_LIBS]
        if skipped:
            notes.append(f"filtered search measured for {', '.join(x for x in FILTER_LIBS if x in libs)} only")

    md = render(args, n, dim, nlist, results, notes, ties, load_before, threads, filtered)
    sys.stdout.write(md)
    if args.out:
        with open(args.out, "w") as f:
            f.write(md)


if __name__ == "__main__":
    main()
