"""`build`: argument checks, the locked build, replacement through the directory swap."""

import json
import math
import os

import numpy as np
import pytest

from segtools import DIM, build, generation, has, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)

N = 10
X = vectors(N, seed=1)
XB = X.tobytes()
IDS = [f"b{i}" for i in range(N)]
METAS = ["{}"] * N


@pytest.fixture
def h(tmp_path):
    return RabitqIndex(str(tmp_path / "idx"), DIM)


def with_nan(rows):
    y = X.copy()
    for r, c, v in rows:
        y[r, c] = v
    return y.tobytes()


ERRORS = [
    # (args, kwargs, exception, exact text or prefix ending in "*")
    ((bytearray(XB), N, IDS, METAS, 2), {}, TypeError, "argument 'vectors': *"),
    ((list(X.ravel()), N, IDS, METAS, 2), {}, TypeError, "argument 'vectors': *"),
    ((XB, -1, IDS, METAS, 2), {}, OverflowError, None),
    ((XB, N, "abc", METAS, 2), {}, TypeError, "argument 'ids': *"),
    ((XB, N, IDS, METAS, 2), {"seed": None}, TypeError, "argument 'seed': *"),
    ((XB, N, IDS, METAS, 2), {"quant_scale": None}, TypeError, "argument 'quant_scale': *"),
    ((XB, N, IDS, METAS, 2), {"sparse": "ab"}, TypeError, "argument 'sparse': *"),
    ((XB, N, IDS, METAS, 2), {"sparse": 5}, TypeError, "argument 'sparse': *"),
    ((XB, N, IDS, METAS, 2), {"pca": "ab"}, TypeError, "argument 'pca': *"),
    ((XB, N, IDS, METAS, 2), {"pca": [[1.0], "ab"]}, TypeError, "argument 'pca': *"),
    ((XB, N, IDS, METAS, 2), {"pca": [[1.0]]}, ValueError, "pca must be a 2-sequence [mean, comps], got 1 elements"),
    ((XB, N, IDS, METAS, 2), {"pca": [[], [], []]}, ValueError, "pca must be a 2-sequence [mean, comps], got 3 elements"),
    ((XB[:-4], N, IDS[:-1], METAS, 2), {}, ValueError, f"vectors bytes {len(XB) - 4} != n*dim*4 {len(XB)}"),
    ((b"", 2**32 - 1, IDS, METAS, 2), {}, ValueError, f"vectors bytes 0 != n*dim*4 {(2**32 - 1) * DIM * 4}"),
    ((XB, N, IDS[:-1], METAS, 2), {}, ValueError, f"ids length {N - 1} != n {N}"),
    ((XB, N, IDS, METAS + ["{}"], 2), {}, ValueError, f"metadatas length {N + 1} != n {N}"),
    ((XB[: 5 * DIM * 4], 5, IDS[:5], METAS[:5], 2), {"sparse": [[]] * 3}, ValueError, "sparse length 3 != n 5"),
    ((with_nan([(2, 5, math.nan), (7, 0, math.inf)]), N, IDS, METAS, 2), {}, ValueError,
     "vector 2 has a non-finite component at index 5 (NaN); a NaN/inf vector cannot be ranked"),
    ((with_nan([(4, 1, -math.inf)]), N, IDS, METAS, 2), {"sparse": [[(1, math.nan)]] * N}, ValueError,
     "vector 4 has a non-finite component at index 1 (-inf); a NaN/inf vector cannot be ranked"),
    ((XB, N, IDS, METAS, 2), {"sparse": [[(1, 1.0)]] * 3 + [[(9, math.inf)]] * 7}, ValueError,
     "sparse weight inf for term 9 is not finite; a NaN/inf sparse weight cannot be ranked"),
]


@pytest.mark.parametrize("args,kwargs,exc,text", ERRORS)
def test_argument_errors_touch_nothing(tmp_path, h, args, kwargs, exc, text):
    with pytest.raises(exc) as e:
        h.build(*args, **kwargs)
    assert type(e.value) is exc and len(e.value.args) == 1
    if text is not None:
        msg = e.value.args[0]
        assert msg.startswith(text[:-1]) if text.endswith("*") else msg == text, msg
    assert sorted(os.listdir(tmp_path)) == ["idx.lock"]


def test_non_finite_scan_reports_the_lowest_position_across_chunks(h):
    n = 20000  # several scan chunks
    y = vectors(n, seed=2)
    y[n - 1, 0] = math.nan
    y[9000, 3] = math.inf
    with pytest.raises(ValueError) as e:
        h.build(y.tobytes(), n, [str(i) for i in range(n)], ["{}"] * n, 4)
    assert e.value.args[0].startswith("vector 9000 has a non-finite component at index 3 (inf)")


def test_metadata_error_is_an_oserror_with_the_first_index(tmp_path, h):
    metas = ["{}", "null", "{}", "{bad", "", "{}", "{}", "{}", "{}", "{}"]
    with pytest.raises(OSError) as e:
        h.build(XB, N, IDS, metas, 2)
    msg = e.value.args[0]
    assert type(e.value) is OSError
    assert msg.startswith("build: metadata[3] is not valid JSON (") and msg.endswith('); pass "{}" or "null" explicitly')
    assert not os.path.exists(tmp_path / "idx" / "manifest.bin")
    with pytest.raises(OSError, match=r"^build: metadata\[0\] is not valid JSON"):
        h.build(XB, N, IDS, [""] + METAS[1:], 2)


def test_build_accepts_empty_sparse_and_pca(tmp_path, h):
    h.build(XB, N, IDS, METAS, 2, sparse=[], pca=None, skip_index=None)
    assert h.search(X[3].tobytes(), 1)[0][0] == "b3"
    h2 = RabitqIndex(str(tmp_path / "p"), DIM)
    mean, comps = [0.5] * DIM, [0.25] * (3 * DIM)
    h2.build(XB, N, IDS, METAS, 2, pca=(mean, comps), seed=7, quant_scale=2.0)
    assert h2.search(X[3].tobytes(), 1)[0][0] == "b3"


def test_building_twice_swaps_in_a_new_generation(tmp_path, h):
    path = str(tmp_path / "idx")
    build(h, prefix="a")
    other = RabitqIndex(path, DIM)
    assert other.search(vectors(300)[1].tobytes(), 1)[0][0] == "a1"
    h.add("pending", X[0], '{"tag": "pending"}')
    build(h, prefix="b", seed=4)
    assert generation(path) == 1
    assert sorted(os.listdir(tmp_path)) == ["idx", "idx.lock"]
    q = vectors(300, seed=4)[8]
    assert h.search(q.tobytes(), 1)[0][0] == "b8"
    assert other.add("o", X[1], '{"tag": "o"}') is None  # the write path reopens at once
    assert other.search(q.tobytes(), 1)[0][0] == "b8"


def test_leftover_staging_is_discarded_only_when_replacing(tmp_path, h):
    path = str(tmp_path / "idx")
    os.makedirs(path + ".compacting/junk")
    build(h, prefix="a")
    assert os.path.isdir(path + ".compacting/junk")  # nothing built: neither used nor removed
    build(h, prefix="b")
    assert not os.path.exists(path + ".compacting")


def test_build_repairs_an_interrupted_swap_before_deciding(tmp_path, h):
    # A crash between the two renames of a swap left the live segment in `<path>.old`.
    path = str(tmp_path / "idx")
    build(h, prefix="a")
    h.add("x", X[0])
    h.flush()
    assert generation(path) == 1
    os.rename(path, path + ".old")
    build(h, prefix="b", seed=4)
    # Replaced through a swap (old generation + 1), never a fresh generation 0 build.
    assert generation(path) == 2
    assert h.search(vectors(300, seed=4)[2].tobytes(), 1)[0][0] == "b2"


def test_swap_keeps_a_quarantined_log(tmp_path, h):
    path = str(tmp_path / "idx")
    build(h, prefix="a")
    with open(os.path.join(path, "wal.corrupt.bin"), "wb") as f:
        f.write(b"unreplayed frames")
    build(h, prefix="b")
    with open(os.path.join(path, "wal.corrupt.bin"), "rb") as f:
        assert f.read() == b"unreplayed frames"


def test_failed_engine_build_leaves_the_old_segment(tmp_path, h):
    path = str(tmp_path / "idx")
    build(h, prefix="a")
    with pytest.raises(OSError, match="^build: "):
        h.build(XB, N, ["same"] * N, ["{bad"] * N, 2)
    assert generation(path) == 0
    assert h.search(vectors(300)[1].tobytes(), 1)[0][0] == "a1"


def test_n_zero_reaches_the_engine(h):
    try:
        h.build(b"", 0, [], [], 1)
    except OSError as e:
        assert e.args[0].startswith("build: ")


BIG_DIM = 262144  # one above the largest dim the engine builds


@pytest.mark.parametrize("metas,prefix", [
    (["{}", "{bad"], "build: metadata[1] is not valid JSON ("),
    (["{}", "null"], f"build: dim {BIG_DIM} exceeds"),
])
def test_metadata_is_parsed_before_the_engine_checks_its_arguments(tmp_path, metas, prefix):
    h = RabitqIndex(str(tmp_path / "big"), BIG_DIM)
    with pytest.raises(OSError) as e:
        h.build(bytes(2 * BIG_DIM * 4), 2, ["x", "y"], metas, 1)
    assert type(e.value) is OSError and e.value.args[0].startswith(prefix), e.value.args
    assert not os.path.exists(tmp_path / "big" / "manifest.bin")
