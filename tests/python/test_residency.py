"""Where the memory of an open segment goes: the mapping of codes.bin holds no pages after
calls that do not scan, nor after the searches (they read their own copy of the codes, which
the lock switch locks instead of the mapping). Read from /proc/self/smaps."""

import json
import os

import numpy as np
import pytest

import tandrel
from tandrel import RabitqIndex

DIM = 64
ROWS = 20000

pytestmark = [pytest.mark.skipif(not os.path.exists("/proc/self/smaps"), reason="needs /proc/self/smaps"),
              pytest.mark.timeout(300)]


def mapping_kb(path, field):
    """Sum of `field` (kB) over this process's mappings of the file `path`."""
    total = 0
    current = None
    with open("/proc/self/smaps") as f:
        for line in f:
            parts = line.split()
            if parts and "-" in parts[0] and not parts[0].endswith(":"):
                current = parts[5] if len(parts) >= 6 else ""
            elif current == path and parts and parts[0] == field + ":":
                total += int(parts[1])
    return total


def rollup_kb(field):
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


@pytest.fixture(scope="module")
def segment(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("residency") / "seg")
    rng = np.random.default_rng(3)
    centers = rng.standard_normal((16, DIM)).astype(np.float32) * 4
    x = (centers[rng.integers(0, 16, ROWS)] + rng.standard_normal((ROWS, DIM))).astype("<f4")
    h = RabitqIndex(path, DIM)
    h.build(x.tobytes(), ROWS, [f"r{i}" for i in range(ROWS)], [json.dumps({"g": i % 5}) for i in range(ROWS)], 32)
    h.close()
    return path, x


@pytest.fixture
def residency():
    """Sets the switches for the handles a test opens; both off again afterwards."""
    yield tandrel.set_residency
    tandrel.set_residency(False, False)


def test_codes_mapping_holds_no_pages_before_or_after_searches(segment, residency):
    path, x = segment
    codes = os.path.join(os.path.realpath(path), "codes.bin")
    residency(False, False)
    h = RabitqIndex(path, DIM)
    try:
        assert h.count() == ROWS
        assert h.count_matching('{"g": 3}') == ROWS // 5
        assert len(h.ids_matching('{"g": 2}')) == ROWS // 5
        assert h.get_meta(["r7"]) == ['{"g":2}']
        assert len(h.get_vectors(["r7"])) == 1
        h.add("new", x[0].tobytes(), '{"g": 9}')
        assert mapping_kb(codes, "Size") >= ROWS * 8 // 1024  # mapped...
        assert mapping_kb(codes, "Rss") == 0  # ...but nothing of it faulted in
        first = h.search(x[1].tobytes(), 5)
        assert first[0][0] == "r1"
        for i in range(2, 40):
            h.search(x[i].tobytes(), 5, nprobe=8)
        # The searches read their copy: the mapping gave its pages back.
        assert mapping_kb(codes, "Rss") == 0
        assert h.search(x[1].tobytes(), 5) == first
    finally:
        h.close()


def test_lock_switch_locks_the_copy_not_the_mapping(segment, residency):
    path, x = segment
    codes = os.path.join(os.path.realpath(path), "codes.bin")
    residency(False, True)
    before = rollup_kb("Locked")
    h = RabitqIndex(path, DIM)
    try:
        h.search(x[1].tobytes(), 5)
        size_kb = mapping_kb(codes, "Size")
        assert size_kb > 0
        assert mapping_kb(codes, "Locked") == 0
        # The copy is at least as large as the codes (padded to blocks of 32 rows).
        assert rollup_kb("Locked") - before >= size_kb
    finally:
        h.close()
