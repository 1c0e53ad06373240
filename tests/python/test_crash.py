"""Crash safety: child processes killed with SIGKILL during adds, flushes and replacing
builds; the next constructor must find the complete old or complete new segment and every
acknowledged add. Heavier round counts with TANDREL_STRESS=1."""

import os
import random
import subprocess
import sys
import time

import pytest

from crash_child import row_vector
from segtools import DIM, build, has, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(120)

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "crash_child.py")
STRESS = os.environ.get("TANDREL_STRESS") == "1"
ROUNDS = 12 if STRESS else 3


def spawn(args, faults=None, limit=None):
    env = dict(os.environ)
    env.pop("CRASH_FAULTS", None)
    if faults:
        env["CRASH_FAULTS"] = faults
    if limit:
        env["CRASH_LIMIT"] = str(limit)
    return subprocess.Popen([sys.executable, CHILD, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)


def kill_after_first_line(p, delay):
    first = p.stdout.readline()
    time.sleep(delay)
    p.kill()
    rest, err = p.communicate(timeout=60)
    return first + rest, err


def acked(out):
    return [line[2:] for line in out.splitlines() if line.startswith("A ")]


def check_acked(path, ids):
    h = RabitqIndex(path, DIM)
    missing = [i for i in ids if not has(h, i, row_vector(i))]
    assert missing == [], f"acknowledged rows lost: {missing[:10]}"
    return h


@pytest.fixture
def segment(tmp_path):
    path = str(tmp_path / "idx")
    build(RabitqIndex(path, DIM), n=200)
    return path


def test_kill_during_adds(segment):
    rng = random.Random(1)
    ids = []
    for r in range(ROUNDS):
        p = spawn(["adds", segment, f"k{r}_"])
        out, err = kill_after_first_line(p, rng.uniform(0.0, 0.2))
        assert p.returncode == -9, err
        ids += acked(out)
        check_acked(segment, ids)
    assert len(ids) >= ROUNDS


def test_kill_during_flushes(segment):
    rng = random.Random(2)
    ids = []
    for r in range(ROUNDS):
        p = spawn(["flush", segment, f"f{r}_"])
        out, err = kill_after_first_line(p, rng.uniform(0.0, 0.3))
        ids += acked(out)
        check_acked(segment, ids)


@pytest.mark.hooks
@pytest.mark.parametrize("spec", [f"rename:{k}:kill" for k in range(1, 9)] +
                         [f"fsync:{k}:kill" for k in (1, 2, 4, 7)] + ["fdatasync:3:kill"])
def test_kill_at_chosen_points_of_flush(segment, spec):
    p = spawn(["flush", segment, "c_"], faults=spec, limit=12)
    out, err = p.communicate(timeout=60)
    assert p.returncode in (0, -9), err
    check_acked(segment, acked(out))


def replacing_build_round(tmp_path, name, faults=None, delay=None):
    path = str(tmp_path / name)
    h0 = RabitqIndex(path, DIM)
    build(h0, prefix="a")
    pending = [f"k{i}" for i in range(5)]
    for i in pending:
        h0.add(i, row_vector(i).tobytes(), f'{{"tag": "{i}"}}')
    del h0
    p = spawn(["build", path], faults=faults)
    if delay is not None:
        time.sleep(delay)
        p.kill()
    out, err = p.communicate(timeout=60)
    h = RabitqIndex(path, DIM)
    old_rows = vectors(300, seed=0)
    new_rows = vectors(300, seed=4)
    olds = [has(h, f"a{i}", old_rows[i]) for i in (0, 150, 299)]
    news = [has(h, f"b{i}", new_rows[i]) for i in (0, 150, 299)]
    assert (all(olds) and not any(news)) or (all(news) and not any(olds)), (olds, news, out, err)
    if all(olds):
        assert all(has(h, i, row_vector(i)) for i in pending)
    else:
        assert "B" in out or p.returncode == -9
    return all(news)


def test_kill_during_a_replacing_build(tmp_path):
    rng = random.Random(3)
    for r in range(ROUNDS * 2):
        replacing_build_round(tmp_path, f"t{r}", delay=rng.uniform(0.05, 0.8))


# A replacing build of 300 rows makes about 18 renames (its files, the staged generation, the
# two swap renames) and 34 fsyncs (the last two: the parent directory before
# and after the swap); kills beyond the last call simply let the build finish.
BUILD_KILLS = ([f"rename:{k}:kill" for k in range(1, 24)] + [f"fsync:{k}:kill" for k in range(1, 38)] if STRESS else
               [f"rename:{k}:kill" for k in (1, 10, 17, 18, 19, 20)] + [f"fsync:{k}:kill" for k in (20, 32, 33, 34)])


@pytest.mark.hooks
@pytest.mark.parametrize("spec", BUILD_KILLS)
def test_kill_at_chosen_points_of_a_replacing_build(tmp_path, spec):
    replacing_build_round(tmp_path, "idx", faults=spec)


def test_two_writers_and_a_flusher_lose_nothing(segment):
    writers = [spawn(["adds", segment, p], limit=60) for p in ("p", "q")]
    flusher = spawn(["flushes", segment, "10"])
    outs = []
    for w in writers:
        out, err = w.communicate(timeout=90)
        assert w.returncode == 0, err
        outs.append(out)
    _, err = flusher.communicate(timeout=90)
    assert flusher.returncode == 0, err
    ids = acked(outs[0]) + acked(outs[1])
    assert len(ids) == 120
    check_acked(segment, ids)
