"""ivf_open_count: one per open, failed opens and the fresh views of maintenance included;
a flush that checkpoints in place opens nothing."""

import os

import pytest

from crash_child import row_vector
from segtools import DIM, build, open_count
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)


def test_counts_failed_opens_fresh_views_and_not_in_place_flushes(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=30)
    h.add("a", row_vector("a").tobytes(), "{}")
    before = open_count()
    h.flush()  # this handle's own log: checkpointed in place
    assert open_count() == before

    other = RabitqIndex(path, DIM)
    other.add("b", row_vector("b").tobytes(), "{}")  # opens once
    before = open_count()
    h.flush()  # stale: a fresh view replays the other writer's log, then a reopen
    assert open_count() >= before + 1

    before = open_count()
    h.compact()  # the fresh view, then the reopen after the swap
    assert open_count() == before + 2

    bad = RabitqIndex(path, DIM)
    bad.close()
    with open(os.path.join(path, "manifest.bin"), "r+b") as f:
        f.seek(12)
        f.write(b"\xff\xff\xff\xff")
    before = open_count()
    with pytest.raises(OSError, match="corrupt index"):
        bad.format_version()
    assert open_count() == before + 1
