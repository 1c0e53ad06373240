"""Memory and open time of one large segment in a fresh process: peak RSS, open time and
private memory after an open followed by searches (the residency of the scan's data).

    python3 bench/residency.py build --dir /tmp/residency_data/seg      # once (1,000,000 x 128)
    python3 bench/residency.py run --dir /tmp/residency_data/seg         # one fresh-process round
    python3 bench/residency.py compare --dir D --a PATH_A --b PATH_B     # interleaved rounds

`run` prints one JSON line: open_s (constructor + first count), first_search_s (the first
search alone), search_s (all the searches),
peak_rss_mb (VmHWM), private_mb (Private_Clean + Private_Dirty of smaps_rollup after the
searches), codes_rss_mb (resident pages of the codes.bin mapping after the searches).
`compare` runs `run` in fresh processes with PYTHONPATH set to each module directory in
turn, for several rounds, and prints the median and range of each figure (--env
TANDREL_PREWARM=1 and the like set the residency switches of both).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time


def build(args):
    import numpy as np

    import tandrel

    rng = np.random.default_rng(7)
    centers = rng.standard_normal((1000, args.dim)).astype(np.float32) * 4.0
    labels = rng.integers(0, len(centers), size=args.n)
    data = (centers[labels] + rng.standard_normal((args.n, args.dim)).astype(np.float32)).astype("<f4")
    ids = [f"doc-{i}" for i in range(args.n)]
    metas = [json.dumps({"k": i % 1000}) for i in range(args.n)]
    os.makedirs(os.path.dirname(os.path.abspath(args.dir)), exist_ok=True)
    idx = tandrel.RabitqIndex(args.dir, args.dim)
    t0 = time.perf_counter()
    idx.build(data.tobytes(), args.n, ids, metas, args.clusters, seed=42)
    print(f"built {args.n} x {args.dim} in {time.perf_counter() - t0:.1f} s")
    q = (centers[rng.integers(0, len(centers), size=args.queries)]
         + rng.standard_normal((args.queries, args.dim)).astype(np.float32)).astype("<f4")
    np.save(os.path.join(os.path.dirname(os.path.abspath(args.dir)), "queries.npy"), q)


def smaps_kb(path, field, name=None):
    """Sum of `field` (kB) in /proc/self/<path>, over the mappings whose name ends with name."""
    total = 0
    current = None
    with open(f"/proc/self/{path}") as f:
        for line in f:
            parts = line.split()
            if not parts:
                continue
            if not parts[0].endswith(":") or "-" in parts[0]:
                current = parts[-1] if len(parts) >= 6 else ""
                continue
            if parts[0] == field + ":" and (name is None or (current or "").endswith(name)):
                total += int(parts[1])
    return total


def run(args):
    import numpy as np

    import tandrel

    q = np.load(os.path.join(os.path.dirname(os.path.abspath(args.dir)), "queries.npy"))
    dim = q.shape[1]
    t0 = time.perf_counter()
    idx = tandrel.RabitqIndex(args.dir, dim)
    idx.count()
    t1 = time.perf_counter()
    idx.search(q[0].tobytes(), 10, nprobe=args.nprobe)
    t_first = time.perf_counter()
    for i in range(1, args.searches):
        idx.search(q[i % len(q)].tobytes(), 10, nprobe=args.nprobe)
    t2 = time.perf_counter()
    private = smaps_kb("smaps_rollup", "Private_Clean") + smaps_kb("smaps_rollup", "Private_Dirty")
    with open("/proc/self/status") as f:
        hwm = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    out = {
        "open_s": t1 - t0,
        "first_search_s": t_first - t1,
        "search_s": t2 - t1,
        "peak_rss_mb": hwm / 1024,
        "private_mb": private / 1024,
        "codes_rss_mb": smaps_kb("smaps", "Rss", "/codes.bin") / 1024,
    }
    print(json.dumps(out))


def compare(args):
    keys = ["open_s", "first_search_s", "search_s", "peak_rss_mb", "private_mb", "codes_rss_mb"]
    paths = {"a": args.a, "b": args.b}
    res = {k: {key: [] for key in keys} for k in paths}
    for r in range(args.rounds):
        for name, path in paths.items():
            env = dict(os.environ, PYTHONPATH=path)
            env.update(kv.split("=", 1) for kv in args.env)
            cmd = [sys.executable, __file__, "run", "--dir", args.dir, "--searches", str(args.searches),
                   "--nprobe", str(args.nprobe)]
            line = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout.strip()
            d = json.loads(line.splitlines()[-1])
            for key in keys:
                res[name][key].append(d[key])
            print(f"round {r} {name}: {line}", file=sys.stderr)
    for name, path in paths.items():
        print(f"{name} = {path}")
        for key in keys:
            v = res[name][key]
            print(f"  {key:13s} median {statistics.median(v):9.3f}  range {min(v):9.3f} .. {max(v):9.3f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    b = sub.add_parser("build")
    b.add_argument("--dir", required=True)
    b.add_argument("--n", type=int, default=1_000_000)
    b.add_argument("--dim", type=int, default=128)
    b.add_argument("--clusters", type=int, default=1024)
    b.add_argument("--queries", type=int, default=1000)
    for name in ("run", "compare"):
        p = sub.add_parser(name)
        p.add_argument("--dir", required=True)
        p.add_argument("--searches", type=int, default=1000)
        p.add_argument("--nprobe", type=int, default=32)
        if name == "compare":
            p.add_argument("--a", required=True, help="module directory of the first build")
            p.add_argument("--b", required=True, help="module directory of the second build")
            p.add_argument("--rounds", type=int, default=5)
            p.add_argument("--env", action="append", default=[], help="NAME=VALUE for both runs (repeatable)")
    args = ap.parse_args()
    {"build": build, "run": run, "compare": compare}[args.cmd](args)


if __name__ == "__main__":
    main()
