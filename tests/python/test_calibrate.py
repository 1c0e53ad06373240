"""`RabitqIndex.calibrate_nprobe`: early answers, determinism, argument errors, and the
background run on the maintenance threads with the interpreter lock released."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from segtools import DIM, build, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(180)


@pytest.fixture(scope="module")
def seg(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("cal") / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=600, n_clusters=8)
    return h


@pytest.mark.parametrize("args,kwargs,want", [
    ((10, 10, 0.9, []), {}, 64),
    ((10, 10, 0.0, [32, 8, 32, 16]), {}, 8),
    ((10, 10, 2.0, [32, 8, 32, 16]), {}, 32),
    ((0, 10, 0.0, [32, 8, 16]), {}, 32),             # no samples
    ((10, 0, 0.0, (5, 3)), {}, 3),                   # k = 0 acts as 1; any sequence
    ((10, 599, 0.5, [4, 2]), {}, 2),                 # live rows <= k + 1
    ((2**62, 2**64 - 1, 0.5, [2**64 - 1, 3]), {"rerank": 2**64 - 1}, 3),  # sizes saturate
    ((10, 10, 2.0, [7]), {"background": True}, 7),
])
def test_answers(seg, args, kwargs, want):
    got = seg.calibrate_nprobe(*args, **kwargs)
    assert type(got) is int and got == want


def test_deterministic_for_a_seed_in_either_mode(seg):
    grid = [1, 2, 3, 4, 6, 8]
    a = seg.calibrate_nprobe(60, 10, 0.95, grid, seed=7)
    assert seg.calibrate_nprobe(60, 10, 0.95, grid, seed=7, background=True) == a
    assert seg.calibrate_nprobe(60, 10, 0.95, grid, 500, 7, False) == a


def test_all_rows_deleted_and_unbuilt(tmp_path):
    h = RabitqIndex(str(tmp_path / "idx"), DIM)
    for grid in ([], [4]):
        with pytest.raises(RuntimeError) as ei:
            h.calibrate_nprobe(10, 10, 0.9, grid)
        assert ei.value.args[0] == "index not built/opened"
    build(h, n=30, n_clusters=2)
    for i in range(30):
        h.delete(f"r{i}")
    assert h.calibrate_nprobe(10, 1, 0.0, [9, 3, 6]) == 9
    assert h.calibrate_nprobe(10, 1, 0.0, []) == 64


@pytest.mark.parametrize("args,kwargs,exc,name", [
    (("10", 10, 0.9, [1]), {}, TypeError, "n_samples"),
    ((-1, 10, 0.9, [1]), {}, OverflowError, None),
    ((10, 1.0, 0.9, [1]), {}, TypeError, "k"),
    ((10, 10, "x", [1]), {}, TypeError, "target_recall"),
    ((10, 10, 0.9, "12"), {}, TypeError, "grid"),
    ((10, 10, 0.9, 12), {}, TypeError, "grid"),
    ((10, 10, 0.9, [1.5]), {}, TypeError, "grid"),
    ((10, 10, 0.9, [1]), {"rerank": -1}, OverflowError, None),
    ((10, 10, 0.9, [1]), {"seed": -1}, OverflowError, None),
    ((10, 10, 0.9, [1]), {"seed": 2**64}, OverflowError, None),
    ((10, 10, 0.9, [1]), {"seed": "1"}, TypeError, "seed"),
    ((10, 10, 0.9, [1]), {"background": 1}, TypeError, "background"),
    ((10, 10, 0.9), {}, TypeError, None),
])
def test_argument_errors(seg, args, kwargs, exc, name):
    with pytest.raises(Exception) as ei:
        seg.calibrate_nprobe(*args, **kwargs)
    assert type(ei.value) is exc
    if name is not None:
        assert ei.value.args[0].startswith(f"argument '{name}': ")


def test_signature():
    assert RabitqIndex.calibrate_nprobe.__text_signature__ == (
        "($self, n_samples, k, target_recall, grid, rerank=500, seed=1234, background=False)")
    doc = RabitqIndex.calibrate_nprobe.__doc__.split("\n")
    assert doc[0] == "Self-calibrate `nprobe` for this segment against `target_recall`."
    assert doc[-3] == "`background=True` (the LSM's calibration thread) runs"
    assert doc[-1] == "queries; a direct call keeps the whole global pool, as it always had."


# Runs in a fresh process so that the maintenance pool is created from the environment given.
BACKGROUND_CHILD = textwrap.dedent(r"""
    import json, os, sys, threading, time
    import numpy as np
    from tandrel import RabitqIndex
    sys.path.insert(0, sys.argv[2])
    from segtools import build, vectors

    h = RabitqIndex(sys.argv[1], 16)
    build(h, n=20000, n_clusters=64, dim=16)
    q = vectors(1, 16, seed=3)[0].tobytes()

    def maint_threads():
        out = {}
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/comm") as f:
                    name = f.read().strip()
                with open(f"/proc/self/task/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except (FileNotFoundError, ProcessLookupError):  # the thread ended after listdir
                continue
            out[int(tid)] = (name, int(fields[16]))  # field 19: nice
        return out

    result = {}
    def calibrate():
        result["v"] = h.calibrate_nprobe(400, 10, 0.99, [1, 2, 4, 8, 16, 32, 64], background=True)
    t = threading.Thread(target=calibrate)
    t.start()
    ticks = searches = 0
    seen = {}
    while t.is_alive():
        ticks += 1  # runs only while the calibration has released the interpreter lock
        if searches < 200:
            assert len(h.search(q, 5)) == 5
            searches += 1
        for tid, (name, nice) in maint_threads().items():
            if name.startswith("tandrel-maint"):
                seen[name] = nice
        time.sleep(0.001)
    t.join()
    main_nice = maint_threads()[threading.get_native_id()][1]
    print(json.dumps({"ticks": ticks, "searches": searches, "seen": seen, "main_nice": main_nice,
                      "value": result.get("v")}))
""")


def test_background_runs_on_named_lowered_maintenance_threads(tmp_path):
    env = dict(os.environ, TANDREL_MAINT_NICE=" 5 ", TANDREL_MAINT_THREADS="+3")
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", BACKGROUND_CHILD, str(tmp_path / "idx"), here], env=env,
                         capture_output=True, text=True, timeout=170)
    assert out.returncode == 0, out.stderr
    import json
    res = json.loads(out.stdout.strip().splitlines()[-1])
    assert res["value"] in (1, 2, 4, 8, 16, 32, 64)
    assert res["ticks"] > 1 and res["searches"] > 0
    assert set(res["seen"]) == {"tandrel-maint-0", "tandrel-maint-1", "tandrel-maint-2"}
    assert all(nice == 5 for nice in res["seen"].values())
    assert res["main_nice"] == os.getpriority(os.PRIO_PROCESS, 0)  # the caller keeps its priority
