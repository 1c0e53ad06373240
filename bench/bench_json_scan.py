#!/usr/bin/env python3
"""Throughput of the JSON structural scanner through the module, beside Python's json.loads.

Not a test and never run by CI. Builds a ~100 MB JSON text (an array of metadata-like
records with nested arrays and objects, escaped quotes and backslashes now and then, and
non-ASCII text), then times on one thread:

* scan_json_chunk on the whole text as bytes (one call, interpreter lock released);
* scan_json_chunk over 1 MB chunks with the state carried from chunk to chunk;
* scan_json_text on the whole text as a str (its UTF-8 form is made once by the interpreter
  and cached in the str; the first call pays for that, the figure is the best of the runs);
* scan_json_texts over the records as a list of ~150-byte strs (one native call);
* json.loads of the same text, and json.loads of each record, for scale.

Bytes per second = bytes of UTF-8 text / best wall time of --repeat runs. Run it pinned to
one CPU on a quiet machine for figures to quote, e.g.

    PYTHONPATH=build/dev taskset -c 3 python3 bench/bench_json_scan.py

The SIMD level can be forced with TANDREL_SIMD=scalar|avx2|avx512.
"""

import argparse
import json
import os
import random
import time

import tandrel

WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]


def record(rng):
    title = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(2, 16)))
    if rng.randrange(8) == 0:
        title += ' "quoted", with: [brackets]'
    if rng.randrange(16) == 0:
        title += " C:\\path\\"
    if rng.randrange(8) == 0:
        title += " caf\u00e9 \u20ac"
    return {
        "id": rng.randrange(10_000_000),
        "title": title,
        "price": rng.randrange(10_000_000) / 100,
        "tags": [rng.choice(WORDS) for _ in range(rng.randrange(5))],
        "dims": {"w": rng.randrange(500), "h": rng.randrange(500)},
        "ok": rng.randrange(2) == 1,
    }


def best_time(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=float, default=100.0, help="size of the text in MB (default 100)")
    ap.add_argument("--repeat", type=int, default=5, help="runs per case; the best is reported")
    args = ap.parse_args()

    rng = random.Random(42)
    target = int(args.mb * 1_000_000)
    records = []
    size = 2
    while size < target:
        r = json.dumps(record(rng), ensure_ascii=False, separators=(",", ":"))
        records.append(r)
        size += len(r.encode()) + 1
    text = "[" + ",".join(records) + "]"
    data = text.encode()
    n = len(data)
    rec_bytes = sum(len(r.encode()) for r in records)

    def chunked():
        step = 1 << 20
        state = 0
        tot = [0, 0, 0]
        for pos in range(0, n, step):
            c, o, k, state = tandrel.scan_json_chunk(data[pos : pos + step], state)
            tot[0] += c
            tot[1] += o
            tot[2] += k
        return tuple(tot) + (state,)

    rows = []

    def case(name, fn, nbytes, repeat=args.repeat):
        t, result = best_time(fn, repeat)
        rows.append((name, nbytes / t / 1e9, t))
        return result

    whole = case("scan_json_chunk (bytes, one call)", lambda: tandrel.scan_json_chunk(data), n)
    chunks = case("scan_json_chunk (1 MB chunks)", chunked, n)
    case("scan_json_text (str)", lambda: tandrel.scan_json_text(text), n)
    many = case("scan_json_texts (list of records)", lambda: tandrel.scan_json_texts(records), rec_bytes)
    case("json.loads (whole text)", lambda: json.loads(text), n, repeat=min(args.repeat, 2))
    case("json.loads (each record)", lambda: [json.loads(r) for r in records], rec_bytes, repeat=1)
    assert whole == chunks, (whole, chunks)
    assert whole[:3] == (many[0] + len(records) - 1, many[1] + 1, many[2])

    print(f"text: {n / 1e6:.1f} MB, {len(records)} records of ~{rec_bytes / len(records):.0f} bytes; "
          f"TANDREL_SIMD={os.environ.get('TANDREL_SIMD', '(auto)')}; load average {os.getloadavg()[0]:.2f}")
    print(f"counts (commas, openers, colons, state): {whole}")
    print()
    print("| case | GB/s | best s |")
    print("|---|---|---|")
    for name, gbs, t in rows:
        print(f"| {name} | {gbs:.2f} | {t:.4f} |")


if __name__ == "__main__":
    main()
