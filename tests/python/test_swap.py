"""The directory swap of a replacing build: failures at each step, the roll-back when the new
directory does not open, and a quarantined log that must survive every outcome."""

import errno
import os

import pytest

from segtools import DIM, build, generation, has, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)

OLD = vectors(300, seed=0)
NEW = vectors(300, seed=4)
QUARANTINED = b"frames no replay applied"


@pytest.fixture
def probe(probe):
    """The hooks' entry point (skips without them); disarms the faults afterwards."""
    yield probe
    probe("faults", "")


def old_segment(tmp_path, name):
    path = str(tmp_path / name)
    h = RabitqIndex(path, DIM)
    build(h, prefix="a")
    with open(os.path.join(path, "wal.corrupt.bin"), "wb") as f:
        f.write(QUARANTINED)
    return path, h


def swap_calls(tmp_path, probe):
    """Renames and fsyncs of one replacing build, counted on a twin of the segment."""
    _, h = old_segment(tmp_path, "twin")
    probe("calls", None)
    build(h, prefix="b", seed=4)
    counts = probe("calls", "rename"), probe("calls", "fsync")
    probe("faults", "")
    return counts


def quarantined(path):
    with open(os.path.join(path, "wal.corrupt.bin"), "rb") as f:
        return f.read()


# (file operation, position counted back from the build's last call of it (0 = last), errno,
#  exception, which segment `<path>` serves once recovered, whether the handle still holds an
#  index right after the failure)
SWAP_FAILURES = [
    # parent fsync of the staged directory, before any rename
    ("fsync", 1, "EACCES", PermissionError, "old", True),
    # first rename (<path> -> <path>.old): nothing moved yet
    ("rename", 1, "EEXIST", FileExistsError, "old", False),
    # second rename (staged -> <path>): the old segment waits in <path>.old
    ("rename", 0, "ENOENT", FileNotFoundError, "old", False),
    # parent fsync after both renames: the new segment is in place
    ("fsync", 0, "EIO", OSError, "new", False),
]


@pytest.mark.parametrize("op,back,err,exc,served,holds", SWAP_FAILURES)
def test_failed_swap_step_is_recovered_with_the_quarantined_log(tmp_path, probe, op, back, err, exc, served, holds):
    renames, fsyncs = swap_calls(tmp_path, probe)
    path, h = old_segment(tmp_path, "idx")
    nth = (renames if op == "rename" else fsyncs) - back
    probe("faults", f"{op}:{nth}:{err}")
    with pytest.raises(exc) as e:
        build(h, prefix="b", seed=4)
    probe("faults", "")
    assert type(e.value) is exc and len(e.value.args) == 1
    code = getattr(errno, err)
    assert e.value.args[0] == f"{os.strerror(code)} (os error {code})"
    assert probe("state", h)[0] is holds
    # The next constructor repairs what the failed step left.
    fresh = RabitqIndex(path, DIM)
    rows, prefix = (OLD, "a") if served == "old" else (NEW, "b")
    assert all(has(fresh, f"{prefix}{i}", rows[i]) for i in (0, 150, 299))
    assert sorted(os.listdir(tmp_path)) == ["idx", "idx.lock", "twin", "twin.lock"]
    assert quarantined(path) == QUARANTINED


def fail_new_open(path, h, probe, prefix):
    """A replacing build whose reopen of the swapped-in directory fails: a read fault armed
    at the k-th read, k growing until the failure lands on that reopen (reads before the swap
    fail the build early and leave everything as it was)."""
    for k in range(1, 40):
        probe("faults", f"read:{k}:EIO")
        try:
            build(h, prefix=prefix, seed=4)
        except OSError as e:
            if os.path.exists(path + ".broken") and ids_in(path + ".broken").startswith(prefix.encode()):
                return e
            continue
        finally:
            probe("faults", "")
        raise AssertionError("the build succeeded before a fault reached the reopen")
    raise AssertionError("no read fault reached the reopen after the swap")


def ids_in(directory):
    with open(os.path.join(directory, "ids.bin"), "rb") as f:
        return f.read()


def test_swap_whose_new_directory_fails_to_open_rolls_back(tmp_path, probe):
    path, h = old_segment(tmp_path, "idx")
    e = fail_new_open(path, h, probe, "b")
    assert type(e) is OSError
    assert e.args == ("Input/output error (os error 5)",)
    # <path> serves the old segment again, reopened by the handle; the new one is kept aside.
    assert probe("state", h)[0] is True
    assert generation(path) == 0
    assert all(has(h, f"a{i}", OLD[i]) for i in (0, 150, 299))
    assert ids_in(path + ".broken").startswith(b"b") and generation(path + ".broken") == 1
    assert not os.path.exists(path + ".old") and not os.path.exists(path + ".compacting")
    assert quarantined(path) == QUARANTINED
    # A second failed swap replaces the first one's <path>.broken.
    fail_new_open(path, h, probe, "c")
    assert ids_in(path + ".broken").startswith(b"c")
    assert all(has(h, f"a{i}", OLD[i]) for i in (0, 150, 299))
    # And a swap that opens publishes the new segment and drops <path>.old.
    build(h, prefix="d", seed=4)
    assert generation(path) == 1 and not os.path.exists(path + ".old")
    assert has(h, "d7", NEW[7]) and quarantined(path) == QUARANTINED
