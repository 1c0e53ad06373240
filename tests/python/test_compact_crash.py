"""Crash safety of compact and rebuild: child processes killed with SIGKILL at random moments
and at each rename and fsync of the sequence; the next constructor must find the complete old
or the complete new segment with every acknowledged add and delete, and nothing left beside
the directory. Also the same under load: writers and searchers in other processes while a
third compacts and rebuilds in a loop. Heavier round counts with TANDREL_STRESS=1."""

import functools
import os
import pathlib
import random
import shutil
import tempfile
import time

import pytest

from crash_child import row_vector
import tandrel
from segtools import DIM, build, has
from tandrel import RabitqIndex
from test_crash import STRESS, acked, spawn

pytestmark = pytest.mark.timeout(240)

ROUNDS = 10 if STRESS else 3


def deleted(out):
    return [line[2:] for line in out.splitlines() if line.startswith("D ")]


def prepare(tmp_path, name):
    """A built segment with pending log operations: adds, deletes, an upsert."""
    path = str(tmp_path / name)
    h = RabitqIndex(path, DIM)
    build(h, n=200, prefix="a")
    adds = [f"k{i}" for i in range(8)]
    for i in adds:
        h.add(i, row_vector(i).tobytes(), f'{{"tag": "{i}"}}')
    gone = ["a3", "a77", "k2"]
    for i in gone:
        assert h.delete(i)
    h.add("a5", row_vector("a5").tobytes(), '{"tag": "a5"}')  # upsert of a main row
    del h
    live = [f"a{i}" for i in range(200) if f"a{i}" not in gone and i != 5] + [i for i in adds if i not in gone]
    return path, live + ["a5"], gone


def check(path, live, gone):
    h = RabitqIndex(path, DIM)
    parent = os.path.dirname(path)
    base = os.path.basename(path)
    strays = sorted(n for n in os.listdir(parent) if n.startswith(base) and n not in (base, base + ".lock"))
    assert strays == [], strays
    assert h.count() == len(live)
    missing = [i for i in live if not has(h, i, row_vector(i))]
    assert missing == [], f"acknowledged rows lost: {missing[:10]}"
    assert not any(has(h, i, row_vector(i)) for i in gone)
    return h


@functools.lru_cache(maxsize=None)
def op_counts(mode):
    """Renames and fsyncs one call of `mode` makes on the prepared segment, counted in this
    process through the file-operations seam."""
    probe = getattr(tandrel, "_probe", None)
    if probe is None:
        pytest.skip("module built without test hooks")
    root = tempfile.mkdtemp()
    try:
        path, _, _ = prepare(pathlib.Path(root), "idx")
        h = RabitqIndex(path, DIM)
        probe("calls", None)
        getattr(h, mode)()
        counts = {"rename": probe("calls", "rename"), "fsync": probe("calls", "fsync")}
        probe("faults", "")
        return counts
    finally:
        shutil.rmtree(root, ignore_errors=True)


# Every rename and fsync of a compaction (about 11 and 27, the last ones those of the swap),
# and of a rebuild the first few and the last few (its staged part is the bulk build, whose
# own kill points the build tests cover); all of them with TANDREL_STRESS=1. Negative
# positions count from the end.
POINTS = {
    "compact": {"rename": range(1, 16), "fsync": range(1, 32)},
    "rebuild": ({"rename": range(1, 24), "fsync": range(1, 40)} if STRESS else
                {"rename": (1, 8, -4, -3, -2, -1), "fsync": (1, 12, -4, -3, -2, -1)}),
}
CASES = [(m, op, k) for m in POINTS for op in ("rename", "fsync") for k in POINTS[m][op]]


def position(mode, op, k):
    n = op_counts(mode)[op]
    at = k if k > 0 else n + 1 + k
    if not 1 <= at <= n:
        pytest.skip(f"{mode} makes {n} {op} calls")
    return at


@pytest.mark.parametrize("mode,op,k", CASES)
def test_kill_at_each_rename_and_fsync(tmp_path, mode, op, k):
    at = position(mode, op, k)
    path, live, gone = prepare(tmp_path, "idx")
    p = spawn([mode, path], faults=f"{op}:{at}:kill")
    out, err = p.communicate(timeout=120)
    assert p.returncode == -9, err
    check(path, live, gone)


@pytest.mark.parametrize("mode,op,k", CASES)
def test_failure_at_each_rename_and_fsync_is_raised_and_loses_nothing(tmp_path, mode, op, k):
    at = position(mode, op, k)
    path, live, gone = prepare(tmp_path, "idx")
    p = spawn([mode, path], faults=f"{op}:{at}:EIO")
    out, err = p.communicate(timeout=120)
    assert p.returncode != 0 and "OSError" in err, err
    check(path, live, gone)


@pytest.mark.parametrize("mode", ["compact", "rebuild"])
def test_kill_at_random_moments(tmp_path, mode):
    rng = random.Random(7)
    for r in range(ROUNDS):
        path, live, gone = prepare(tmp_path, f"t{r}")
        p = spawn([mode, path, "3"])
        time.sleep(rng.uniform(0.05, 0.6))
        p.kill()
        p.communicate(timeout=60)
        check(path, live, gone)


def test_writers_and_searchers_while_compacting_and_rebuilding(tmp_path):
    path = str(tmp_path / "idx")
    build(RabitqIndex(path, DIM), n=300, prefix="a")
    writers = [spawn(["churn", path, p], limit=80 if not STRESS else 400) for p in ("p", "q")]
    searcher = spawn(["searches", path, "400"])
    maint = [spawn(["compact", path, "4"]), spawn(["rebuild", path, "3"])]
    outs = []
    for w in writers:
        out, err = w.communicate(timeout=200)
        assert w.returncode == 0, err
        outs.append(out)
    for m in maint:
        out, err = m.communicate(timeout=200)
        assert m.returncode == 0, err
        assert out.count("C") >= 3
    out, err = searcher.communicate(timeout=200)
    assert searcher.returncode == 0, err
    added = acked(outs[0]) + acked(outs[1])
    removed = set(deleted(outs[0]) + deleted(outs[1]))
    h = RabitqIndex(path, DIM)
    missing = [i for i in added if i not in removed and not has(h, i, row_vector(i))]
    assert missing == [], missing[:10]
    assert not [i for i in removed if has(h, i, row_vector(i))]
    assert h.count() == 300 + len(added) - len(removed)
