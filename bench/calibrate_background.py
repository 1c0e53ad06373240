"""Search throughput beside a probe-count calibration, through the Python module.

Searcher threads query one segment for a fixed time in three settings: alone; while
`calibrate_nprobe(..., background=True)` runs on the maintenance pool (lowered priority
via TANDREL_MAINT_NICE); and while the same calibration runs directly (background=False,
on the process-wide pool). Prints queries/second per setting and the calibration's time.

    python3 bench/calibrate_background.py [segment_dir] [dim]

Defaults to the 1,000,000-row segment that bench_sparse caches (dim 32); run bench_sparse
first, or pass any built segment directory and its dim.
"""

import os
import sys
import threading
import time

os.environ.setdefault("TANDREL_MAINT_NICE", "10")

import numpy as np  # noqa: E402

import tandrel  # noqa: E402

SECONDS = 6.0


def main():
    d = sys.argv[1] if len(sys.argv) > 1 else "/tmp/tandrel_bench_sparse/rows_1000000"
    dim = int(sys.argv[2]) if len(sys.argv) > 2 else 32
    h = tandrel.RabitqIndex(d, dim)
    searchers = max(1, (os.cpu_count() or 2) - 1)
    rng = np.random.default_rng(0)
    queries = [rng.standard_normal(dim).astype("<f4").tobytes() for _ in range(256)]
    grid = [4, 8, 16, 32, 64, 128]

    def run(setting):
        stop = threading.Event()
        counts = [0] * searchers

        def searcher(i):
            n = 0
            while not stop.is_set():
                h.search(queries[(i * 31 + n) % len(queries)], 10, 32, 200)
                n += 1
            counts[i] = n

        cal = {}

        def calibrate(background):
            t0 = time.perf_counter()
            cal["nprobe"] = h.calibrate_nprobe(200, 10, 0.95, grid, background=background)
            cal["seconds"] = time.perf_counter() - t0

        threads = [threading.Thread(target=searcher, args=(i,)) for i in range(searchers)]
        extra = None
        if setting != "alone":
            extra = threading.Thread(target=calibrate, args=(setting == "background",))
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        if extra:
            extra.start()
        time.sleep(SECONDS)
        stop.set()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - t0
        if extra:
            extra.join()
        qps = sum(counts) / elapsed
        note = f"  calibration {cal['seconds']:.1f} s -> nprobe {cal['nprobe']}" if cal else ""
        print(f"{setting:>10}: {qps:10.1f} searches/s on {searchers} threads{note}")

    for setting in ("alone", "background", "direct"):
        run(setting)
    print(f"TANDREL_MAINT_NICE={os.environ['TANDREL_MAINT_NICE']}  load average {os.getloadavg()[0]:.1f} "
          f"on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
