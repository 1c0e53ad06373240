"""Child process of the crash tests: writes through its own handle and acknowledges each
completed operation on stdout, so the parent knows what must survive a kill.

    crash_child.py MODE PATH [ARG]
MODE adds:   add rows "{ARG}{i}" for i = 0, 1, ... forever, printing "A {id}" after each
MODE flush:  add rows "{ARG}{i}", flushing after every fifth, printing "A {id}" / "F"
MODE build:  build the replacement segment (prefix "b", seed 4), then print "B"
MODE flushes: flush ARG times, 20 ms apart
MODE compact / rebuild: compact (rebuild) ARG times (default once), printing "C" after each
MODE churn:  add rows "{ARG}{i}" and delete every third one added, printing "A {id}" / "D {id}"
MODE searches: search ARG times, printing "S" after each; any exception ends with an error
The environment variable CRASH_FAULTS, when set, arms file-operation faults first;
CRASH_POWERLOSS="ROOT|JOURNAL" records, from the start, what each sync under ROOT makes durable.
"""

import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import tandrel  # noqa: E402
from segtools import DIM, build  # noqa: E402


def row_vector(row_id):
    seed = int.from_bytes(row_id.encode()[-8:].rjust(8, b"\0"), "little")
    return np.random.default_rng(seed).standard_normal(DIM).astype("<f4")


def main():
    mode, path = sys.argv[1], sys.argv[2]
    arg = sys.argv[3] if len(sys.argv) > 3 else ""
    if os.environ.get("CRASH_POWERLOSS"):
        root, journal = os.environ["CRASH_POWERLOSS"].split("|")
        tandrel._probe("powerloss", root, journal)
    h = tandrel.RabitqIndex(path, DIM)
    if os.environ.get("CRASH_FAULTS"):
        tandrel._probe("faults", os.environ["CRASH_FAULTS"])
    out = sys.stdout
    if mode in ("adds", "flush"):
        i = 0
        limit = int(os.environ.get("CRASH_LIMIT", "0"))
        while not limit or i < limit:
            rid = f"{arg}{i}"
            h.add(rid, row_vector(rid).tobytes(), json.dumps({"tag": rid}))
            out.write(f"A {rid}\n")
            out.flush()
            i += 1
            if mode == "flush" and i % 5 == 0:
                h.flush()
                out.write("F\n")
                out.flush()
    elif mode == "build":
        build(h, prefix="b", seed=4)
        out.write("B\n")
        out.flush()
    elif mode in ("compact", "rebuild"):
        for _ in range(int(arg or "1")):
            h.compact() if mode == "compact" else h.rebuild()
            out.write("C\n")
            out.flush()
    elif mode == "churn":
        i = 0
        limit = int(os.environ.get("CRASH_LIMIT", "0"))
        while not limit or i < limit:
            rid = f"{arg}{i}"
            h.add(rid, row_vector(rid).tobytes(), json.dumps({"tag": rid}))
            out.write(f"A {rid}\n")
            out.flush()
            if i % 3 == 2:
                gone = f"{arg}{i - 1}"
                assert h.delete(gone)
                out.write(f"D {gone}\n")
                out.flush()
            i += 1
    elif mode == "searches":
        q = row_vector("q").tobytes()
        for _ in range(int(arg)):
            hits = h.search(q, 5, 8, 50)
            assert len(hits) == 5, hits
            out.write("S\n")
            out.flush()
    elif mode == "flushes":
        for _ in range(int(arg)):
            h.flush()
            time.sleep(0.02)
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main()
