"""The JSON structural scanner functions: counts against a byte-by-byte model, chunked scans,
every SIMD level against the others, argument handling, and the interpreter-lock release of
large inputs."""

import json
import os
import random
import subprocess
import sys
import threading
import time

import pytest

import tandrel

pytestmark = pytest.mark.timeout(120)

RELEASE_BYTES = 16384


def model(data: bytes, state: int = 0):
    """The scanner's state machine, one byte at a time: (commas, openers, colons, state)."""
    inside = bool(state & 1)
    esc = inside and bool(state & 2)
    commas = openers = colons = 0
    for c in data:
        if not inside:
            if c == 0x22:
                inside = True
            elif c == 0x2C:
                commas += 1
            elif c == 0x3A:
                colons += 1
            elif c in (0x5B, 0x7B):
                openers += 1
        elif esc:
            esc = False
        elif c == 0x5C:
            esc = True
        elif c == 0x22:
            inside = False
    return commas, openers, colons, (1 if inside else 0) | (2 if esc else 0)


# (name, text, expected counts) for whole texts scanned from outside strings.
TEXT_CASES = [
    ("list", "[1,2,3]", (2, 1, 0)),
    ("comma inside key", '{"a,b":1}', (0, 1, 1)),
    ("escaped quote inside key", '{"a\\"b":1}', (0, 1, 1)),
    ("escaped backslash closes", '{"a\\\\":1,"b":[2]}', (1, 2, 2)),
    ("structure inside strings", '{"k":"[{,:}]","l":["x,y"]}', (1, 2, 2)),
    ("closers never counted", "]]}}", (0, 0, 0)),
    ("unterminated string", '{"a":"b,c:[', (0, 1, 1)),
    ("non-ascii inside and outside", '{"caf\u00e9":"\u20ac,\U0001F600"}\u00e9,', (1, 1, 1)),
    ("malformed: backslash outside", '[1\\,2\\"x,"]', (1, 1, 0)),
    ("empty", "", (0, 0, 0)),
    ("deep nesting", "[" * 100000 + "]" * 100000, (0, 100000, 0)),
    ("deep objects", '{"k":' * 20000 + "0" + "}" * 20000, (0, 20000, 20000)),
]


@pytest.mark.parametrize("name,text,want", TEXT_CASES, ids=[c[0] for c in TEXT_CASES])
def test_text_counts(name, text, want):
    data = text.encode()
    assert model(data)[:3] == want
    assert tandrel.scan_json_text(text) == want
    assert tandrel.scan_json_texts([text]) == want
    assert tandrel.scan_json_chunk(data) == model(data)


# (chunk, start state, expected result)
CHUNK_CASES = [
    (b"", 0, (0, 0, 0, 0)),
    (b"", 1, (0, 0, 0, 1)),
    (b"", 2, (0, 0, 0, 0)),
    (b"", 3, (0, 0, 0, 3)),
    (b'{"a":"xy', 0, (0, 1, 1, 1)),
    (b'{"a":"x\\', 0, (0, 1, 1, 3)),
    (b'"x\\\\', 0, (0, 0, 0, 1)),
    (b'",[', 3, (0, 0, 0, 1)),  # the escaped quote is skipped; the string stays open
    (b'\\",:', 3, (1, 0, 1, 0)),  # the escaped backslash is skipped; the quote closes
    (b'",', 2, (0, 0, 0, 1)),  # 2 starts outside strings
    (b'ab",:[', 1, (1, 1, 1, 0)),
    (bytes([0xFF, 0x2C, 0xC0, 0x80, 0x5B, 0x22, 0xFE, 0x2C, 0x22, 0x3A]), 0, (1, 1, 1, 0)),
]


@pytest.mark.parametrize("data,state,want", CHUNK_CASES)
def test_chunk_counts_and_state(data, state, want):
    assert model(data, state) == want
    assert tandrel.scan_json_chunk(data, state) == want
    assert tandrel.scan_json_chunk(data=data, state=state) == want


DOC = (
    '{"id":7,"tags":["a,b","c:d","e\\"f"],"path":"C:\\\\dir\\\\","x":{"y":[1,2,{"z":"\\\\\\""}]},'
    '"s":"[{,:}]","u":"caf\u00e9 \u20ac","t":"tail\\\\\\\\"}'
).encode()


def test_chunks_split_at_every_byte_equal_whole():
    whole = tandrel.scan_json_chunk(DOC)
    assert whole == model(DOC)
    for cut in range(len(DOC) + 1):
        a = tandrel.scan_json_chunk(DOC[:cut])
        b = tandrel.scan_json_chunk(DOC[cut:], a[3])
        assert a == model(DOC[:cut]), cut
        assert tuple(x + y for x, y in zip(a[:3], b[:3])) + (b[3],) == whole, cut


def test_stream_of_small_chunks_equals_whole():
    rng = random.Random(5)
    doc = DOC * 500
    state = 0
    totals = [0, 0, 0]
    pos = 0
    while pos < len(doc):
        n = rng.randrange(1, 200)
        r = tandrel.scan_json_chunk(doc[pos : pos + n], state)
        totals = [t + x for t, x in zip(totals, r[:3])]
        state = r[3]
        pos += n
    assert tuple(totals) + (state,) == tandrel.scan_json_chunk(doc) == model(doc)


def test_random_byte_soups_match_model():
    rng = random.Random(11)
    alphabet = b'"\\,:[{]} a\x80\xff'
    for i in range(400):
        n = rng.randrange(0, 700)
        data = bytes(rng.choice(alphabet) for _ in range(n))
        state = rng.randrange(4)
        assert tandrel.scan_json_chunk(data, state) == model(data, state), (i, data, state)


# Run in a child process per SIMD level (the level is chosen once per process): prints the
# results for a fixed set of inputs as JSON.
_LEVEL_CHILD = r"""
import json, random, sys
import tandrel
rng = random.Random(2026)
out = []
alphabets = [b'"\\,:[{]} a\x80\xff', b'"aaaaaaaaaaaaaaaaaaaaa,:[{\\', b'\\\\\\"",:{']
for alpha in alphabets:
    for i in range(150):
        n = rng.randrange(0, 2000) if i % 4 == 0 else rng.randrange(0, 260)
        data = bytes(rng.choice(alpha) for _ in range(n))
        for state in range(4):
            out.append(tandrel.scan_json_chunk(data, state))
doc = sys.stdin.buffer.read()
out.append(tandrel.scan_json_chunk(doc))
out.append(tandrel.scan_json_text(doc.decode()))
out.append(tandrel.scan_json_texts([doc.decode()] * 3))
print(json.dumps(out))
"""


def test_every_simd_level_gives_the_same_results():
    doc = json.dumps(
        [{"id": i, "name": f'n"{i}\\', "v": [i, {"k": "a,b:[c"}], "\u00e9": "\u20ac"} for i in range(20000)]
    ).encode()
    results = {}
    for level in ("scalar", "avx2", "avx512"):
        env = dict(os.environ, TANDREL_SIMD=level)
        proc = subprocess.run(
            [sys.executable, "-c", _LEVEL_CHILD], input=doc, env=env, capture_output=True, check=True, timeout=100
        )
        results[level] = json.loads(proc.stdout)
    assert results["avx2"] == results["scalar"]
    assert results["avx512"] == results["scalar"]
    assert tuple(results["scalar"][-3]) == model(doc)


def test_texts_containers_and_iterables():
    texts = ['[1,2]', '{"a":"x,y"}', '{"b":[{"c":1}]}']
    want = tuple(sum(tandrel.scan_json_text(t)[k] for t in texts) for k in range(3))
    assert want == (1, 5, 3)

    class ListSub(list):
        pass

    class TupleSub(tuple):
        pass

    class StrSub(str):
        pass

    assert tandrel.scan_json_texts(texts) == want
    assert tandrel.scan_json_texts(tuple(texts)) == want
    assert tandrel.scan_json_texts(ListSub(texts)) == want
    assert tandrel.scan_json_texts(TupleSub(texts)) == want
    assert tandrel.scan_json_texts(t for t in texts) == want
    assert tandrel.scan_json_texts(iter(texts)) == want
    assert tandrel.scan_json_texts({t: 1 for t in texts}) == want
    assert tandrel.scan_json_texts([StrSub(t) for t in texts]) == want
    assert tandrel.scan_json_text(StrSub(texts[2])) == (0, 3, 2)
    for empty in ([], (), iter([]), (t for t in [])):
        assert tandrel.scan_json_texts(empty) == (0, 0, 0)
    # Each text starts outside strings: an unterminated string does not swallow the next.
    assert tandrel.scan_json_texts(['"open, [', "[1,2]"]) == (1, 1, 0)
    assert tandrel.scan_json_texts(texts=texts) == want


def test_texts_errors():
    with pytest.raises(TypeError) as e:
        tandrel.scan_json_texts("[1,2]")
    assert e.value.args == ("expected an iterable of JSON strings",)

    class StrSub(str):
        pass

    with pytest.raises(TypeError, match="^expected an iterable of JSON strings$"):
        tandrel.scan_json_texts(StrSub("[]"))
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        tandrel.scan_json_texts(5)

    seen = []

    def items():
        seen.append(1)
        yield "[1,2]"
        seen.append(2)
        yield 7
        seen.append(3)

    with pytest.raises(TypeError, match="int") as e:
        tandrel.scan_json_texts(items())
    assert "str" in str(e.value)
    assert seen == [1, 2]  # the first error ends the call
    with pytest.raises(TypeError, match="bytes"):
        tandrel.scan_json_texts(["[]", b"[]"])

    def failing():
        yield "[]"
        raise KeyError("from the iterator")

    with pytest.raises(KeyError, match="from the iterator"):
        tandrel.scan_json_texts(failing())
    with pytest.raises(UnicodeEncodeError):
        tandrel.scan_json_texts(["[]", "\ud800"])


@pytest.mark.parametrize(
    "call,exc,match",
    [
        (lambda: tandrel.scan_json_chunk(b"", 4), ValueError, "^JSON scanner state must be in 0..3$"),
        (lambda: tandrel.scan_json_chunk(b"", -1), ValueError, "^JSON scanner state must be in 0..3$"),
        (lambda: tandrel.scan_json_chunk(b"", 2**63 - 1), ValueError, "^JSON scanner state must be in 0..3$"),
        (lambda: tandrel.scan_json_chunk(b"", 2**63), OverflowError, "state"),
        (lambda: tandrel.scan_json_chunk(b"", -(2**63) - 1), OverflowError, "state"),
        (lambda: tandrel.scan_json_chunk(b"", None), TypeError, "state"),
        (lambda: tandrel.scan_json_chunk(b"", 1.0), TypeError, "state"),
        (lambda: tandrel.scan_json_chunk(b"", "1"), TypeError, "state"),
        (lambda: tandrel.scan_json_chunk(bytearray(b"[]")), TypeError, "data"),
        (lambda: tandrel.scan_json_chunk(memoryview(b"[]")), TypeError, "data"),
        (lambda: tandrel.scan_json_chunk("[]"), TypeError, "data"),
        (lambda: tandrel.scan_json_chunk(), TypeError, None),
        (lambda: tandrel.scan_json_chunk(b"", 0, 1), TypeError, None),
        (lambda: tandrel.scan_json_chunk(b"", stat=0), TypeError, None),
        (lambda: tandrel.scan_json_text(b"[]"), TypeError, "text"),
        (lambda: tandrel.scan_json_text(None), TypeError, "text"),
        (lambda: tandrel.scan_json_text("\ud800"), UnicodeEncodeError, None),
        (lambda: tandrel.scan_json_text(), TypeError, None),
        (lambda: tandrel.scan_json_texts(), TypeError, None),
    ],
)
def test_argument_errors(call, exc, match):
    with pytest.raises(exc, match=match) as e:
        call()
    assert type(e.value) is exc


def test_chunk_argument_forms():
    class Idx:
        def __index__(self):
            return 1

    class BytesSub(bytes):
        pass

    assert tandrel.scan_json_chunk(b'x",', Idx()) == (1, 0, 0, 0)
    assert tandrel.scan_json_chunk(b'x",', True) == (1, 0, 0, 0)
    assert tandrel.scan_json_chunk(BytesSub(b"[1,2]")) == (1, 1, 0, 0)
    assert tandrel.scan_json_chunk(state=3, data=b'\\",') == (1, 0, 0, 0)


def releases(probe):
    return probe("json_scan_releases")


@pytest.mark.parametrize(
    "size,released",
    [(RELEASE_BYTES - 1, False), (RELEASE_BYTES, True), (RELEASE_BYTES + 1, True)],
)
def test_lock_released_from_16384_bytes(probe, size, released):
    data = (b'{"k":[1,2],' * size)[:size]
    want = model(data)
    for call, result in [
        (lambda: tandrel.scan_json_chunk(data), want),
        (lambda: tandrel.scan_json_text(data.decode()), want[:3]),
        (lambda: tandrel.scan_json_texts([data.decode(), "[]"]), (want[0], want[1] + 1, want[2])),
    ]:
        before = releases(probe)
        assert call() == result
        assert releases(probe) - before == (1 if released else 0)


def test_lock_release_counts_utf8_bytes(probe):
    # 8,192 two-byte characters: 16,384 UTF-8 bytes.
    text = "\u00e9" * (RELEASE_BYTES // 2)
    before = releases(probe)
    assert tandrel.scan_json_text(text) == (0, 0, 0)
    assert tandrel.scan_json_texts([text, text[1:], text]) == (0, 0, 0)
    assert releases(probe) - before == 3


def test_items_replaced_while_scanning_are_kept_alive():
    # Another thread replaces the list's first item while it is scanned with the interpreter
    # lock released, dropping the list's only reference to it. The scan must still read the
    # whole original text: an item freed under the scan would give garbage counts or a crash
    # (at 40 MB its memory is returned to the system when freed). The other thread is timed to
    # run while the scan is in progress; rounds where it came too late prove nothing and are
    # repeated a few times.
    k = 20_000_000
    replacement = '{"a":1}'
    for _ in range(6):
        items = ["[" + "1," * k + "1]", "[]"]  # (k, 1, 0) and (0, 1, 0)
        replaced_at = []

        def mutate():
            time.sleep(0.002)
            items[0] = replacement
            replaced_at.append(time.perf_counter())

        t = threading.Thread(target=mutate)
        t.start()
        result = tandrel.scan_json_texts(items)
        returned_at = time.perf_counter()
        t.join()
        assert result in ((k, 2, 0), (0, 2, 1))
        if result == (k, 2, 0) and replaced_at[0] < returned_at:
            break
