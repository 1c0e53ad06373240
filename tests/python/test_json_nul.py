"""A raw NUL byte is never JSON text. Every entry that reads a JSON text (filters, metadata
at add and build, metadata status, log replay and the schema growth it drives) treats a text
holding one as it treats any other invalid text, rather than reading the text up to the NUL."""

import os

import pytest

from segtools import DIM, build, vectors, wal_add_frame
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)

N = 60
V = vectors(1, seed=5)[0]
NUL_ERROR = "syntax error while parsing value - NUL byte not allowed at line 1 column {}"

# (text, column of the NUL); without the NUL each text is the valid filter {"tag":"r1"}.
NUL_TEXTS = [
    ('{"tag":"r1"}\x00', 13),
    ('{"tag":"r1"}\x00junk', 13),
    ('{"tag":\x00"r1"}', 8),
    ('\x00{"tag":"r1"}', 1),
]


@pytest.fixture
def built(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=N)  # metadata {"tag": "r{i}"}
    return path, h


FILTER_ENTRIES = {
    "count_matching": lambda h, f: h.count_matching(f),
    "ids_matching": lambda h, f: h.ids_matching(f),
    "ids_matching_limit": lambda h, f: h.ids_matching_limit(f, 5),
    "exists_matching": lambda h, f: h.exists_matching(f),
    "search": lambda h, f: h.search(V.tobytes(), 3, 4, 50, f),
    "search_hybrid": lambda h, f: h.search_hybrid(V.tobytes(), [(1, 1.0)], 3, 4, 50, f),
    "sparse_search": lambda h, f: h.sparse_search([(1, 1.0)], 3, f),
}


@pytest.mark.parametrize("entry", FILTER_ENTRIES)
def test_filters_refuse_a_nul_byte(built, entry):
    _, h = built
    call = FILTER_ENTRIES[entry]
    call(h, '{"tag":"r1"}')
    with pytest.raises(ValueError, match="^bad filter: "):
        call(h, '{"tag":"r1"}x')
    for text, col in NUL_TEXTS:
        with pytest.raises(ValueError) as e:
            call(h, text)
        assert e.value.args == ("bad filter: " + NUL_ERROR.format(col),), repr(text)


def test_add_refuses_metadata_with_a_nul_byte(built):
    _, h = built
    # A new value of "tag" would grow the schema: neither the row nor the growth happens.
    for meta, col in NUL_TEXTS + [('{"tag":"new"}\x00junk', 14)]:
        with pytest.raises(ValueError) as e:
            h.add("d", V.tobytes(), meta)
        assert e.value.args == (f'metadata is not valid JSON ({NUL_ERROR.format(col)}); pass None or "{{}}"',)
    assert h.count() == N
    assert h.get_meta(["d"]) == ["null"]
    assert h.count_matching('{"tag":"new"}') == 0
    # Escaped, a NUL is an ordinary string byte.
    h.add("e", V.tobytes(), '{"tag": "a\\u0000b"}')
    assert h.get_meta(["e"]) == ['{"tag":"a\\u0000b"}']
    assert h.count_matching('{"tag":"a\\u0000b"}') == 1


def test_build_refuses_metadata_with_a_nul_byte(tmp_path):
    h = RabitqIndex(str(tmp_path / "idx"), DIM)
    metas = ["{}"] * 10
    metas[3] = '{"tag":"r1"}\x00junk'
    with pytest.raises(OSError) as e:
        h.build(vectors(10).tobytes(), 10, [f"r{i}" for i in range(10)], metas, 2)
    assert type(e.value) is OSError
    assert e.value.args[0] == f'build: metadata[3] is not valid JSON ({NUL_ERROR.format(13)}); pass "{{}}" or "null" explicitly'
    assert not os.path.exists(tmp_path / "idx" / "manifest.bin")


def test_meta_status_reads_a_nul_byte_as_invalid_metadata(built):
    _, h = built
    h.add("d", V.tobytes(), '{"tag":"d"}')  # a delta row as well as main rows
    cases = [
        ("r1", '{"tag":"r1"}', 1),
        ("r1", '{"tag":"r1"}\x00', 2),
        ("r1", '{"tag":"r1"}\x00x', 2),
        ("r1", "not json", 2),  # what any other invalid text gets
        ("d", '{"tag":"d"}', 1),
        ("d", '{"tag":"d"}\x00', 2),
    ]
    ids = [c[0] for c in cases]
    metas = [c[1] for c in cases]
    want = [c[2] for c in cases]
    for parallel in (False, True):
        assert list(RabitqIndex.meta_status_across([h], ids, metas, parallel)) == want
        assert RabitqIndex.meta_status_columns([([h], None), ([h], [0, 1, 5])], ids, "\n".join(metas), parallel) == [
            [i for i, s in enumerate(want) if s == 2], [1, 5]]


def test_replay_reads_logged_metadata_with_a_nul_byte_as_null(built):
    path, h = built
    h.close()
    with open(os.path.join(path, "wal.bin"), "ab") as f:
        f.write(wal_add_frame("w", V, '{"tag":"new"}\x00junk'))
        f.write(wal_add_frame("v", V, '{"tag":"new2"}'))
    h = RabitqIndex(path, DIM)
    # The row is applied (the frame is intact) with the metadata any unparsable text gets.
    assert h.count() == N + 2
    assert h.get_meta(["w", "v"]) == ["null", '{"tag":"new2"}']
    assert h.count_matching('{"tag":"new"}') == 0
    assert h.ids_matching('{"tag":"new2"}') == ["v"]
