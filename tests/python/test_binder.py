"""Argument binding, conversion and validation, the error conversions and the catch-all."""

import math
import struct
from collections import namedtuple

import numpy as np
import pytest

import tandrel
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)

U32_MAX = 2**32 - 1
F32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
F32_HALFWAY = 2.0**128 - 2.0**103  # between F32_MAX and 2^128: rounds (to even) up to inf


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def exp_form(x):
    """A large double as the messages print it: shortest digits, 'e', exponent without '+'."""
    mant, e, exp = repr(x).partition("e")
    assert e, "only for values that repr prints in exponent form"
    return f"{mant.removesuffix('.0')}e{int(exp)}"


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Flt:
    def __float__(self):
        return 2.5


# ---------------------------------------------------------------------------------------
# Binding: positional and keyword, missing, unknown, duplicate, too many
# ---------------------------------------------------------------------------------------

BINDING = [
    # args, kwargs, expected result or (exception type, message)
    ((4294967294, 0), {}, True),
    ((4294967294, 1), {}, False),
    ((4294967295, 0), {}, False),
    ((2**31, 2**31), {}, False),
    ((0, 0), {}, True),
    ((), {"current": 1, "adding": 2}, True),
    ((), {"adding": 2, "current": 1}, True),
    ((1,), {"adding": 2}, True),
    ((True, Idx(3)), {}, True),
    ((np.uint32(7), np.int64(9)), {}, True),
    ((1,), {}, (TypeError, "slot_space_ok() missing required argument 'adding' (pos 2)")),
    ((), {"adding": 1}, (TypeError, "slot_space_ok() missing required argument 'current' (pos 1)")),
    ((1, 2, 3), {}, (TypeError, "slot_space_ok() takes at most 2 arguments (3 given)")),
    ((1,), {"current": 2}, (TypeError, "slot_space_ok() got multiple values for argument 'current'")),
    ((1, 2), {"bogus": 2}, (TypeError, "slot_space_ok() got an unexpected keyword argument 'bogus'")),
    ((-1, 0), {}, (OverflowError, None)),
    ((2**32, 0), {}, (OverflowError, None)),
    ((0, 2**64), {}, (OverflowError, None)),
    (("1", 0), {}, (TypeError, "argument 'current': 'str' object cannot be interpreted as an integer")),
    ((0, 1.0), {}, (TypeError, "argument 'adding': 'float' object cannot be interpreted as an integer")),
    ((None, 0), {}, (TypeError, "argument 'current': 'NoneType' object cannot be interpreted as an integer")),
]


@pytest.mark.parametrize("args,kwargs,want", BINDING)
def test_slot_space_ok_binding(args, kwargs, want):
    if isinstance(want, tuple):
        exc, msg = want
        with pytest.raises(exc) as ei:
            tandrel.slot_space_ok(*args, **kwargs)
        assert type(ei.value) is exc
        assert len(ei.value.args) == 1
        if msg is not None:
            assert str(ei.value) == msg
    else:
        assert tandrel.slot_space_ok(*args, **kwargs) is want


def test_first_failing_argument_wins():
    # Arguments convert in parameter order: `current` fails first.
    with pytest.raises(OverflowError):
        tandrel.slot_space_ok(-1, "x")
    with pytest.raises(TypeError, match="^argument 'current'"):
        tandrel.slot_space_ok("x", -1)


@pytest.mark.parametrize(
    "args,msg",
    [
        ((1, 0), "argument 'prewarm': expected bool, got int"),
        ((True, "x"), "argument 'mlock': expected bool, got str"),
        ((None, True), "argument 'prewarm': expected bool, got NoneType"),
    ],
)
def test_bool_arguments_refuse_non_bools(args, msg):
    with pytest.raises(TypeError) as ei:
        tandrel.set_residency(*args)
    assert str(ei.value) == msg


# ---------------------------------------------------------------------------------------
# Constructor arguments
# ---------------------------------------------------------------------------------------


def ctor_cases(base):
    p = str(base / "idx")
    return [
        ((p, 8), {}, None),
        ((), {"path": p, "dim": 8}, None),
        ((p, 8, 0), {}, None),  # n_bits is not validated here
        ((p, 8, 9), {}, None),
        ((p, 8), {"skip_fields": []}, None),
        ((p, 8), {"skip_fields": ["a", "b", "a"]}, None),
        ((p, 8), {"skip_fields": ("a",)}, None),
        ((p, 8, 2, None), {}, None),
        ((p, 0), {}, (ValueError, "dim must be >= 1")),
        ((p, -1), {}, (OverflowError, None)),
        ((p, 2**32), {}, (OverflowError, None)),
        ((p, "8"), {}, (TypeError, "argument 'dim': 'str' object cannot be interpreted as an integer")),
        ((1, 8), {}, (TypeError, "argument 'path': expected str, got int")),
        ((p, 8), {"skip_fields": "a"}, (TypeError, "argument 'skip_fields': a str is not accepted where a list is expected")),
        ((p, 8), {"skip_fields": ["a", 1]}, (TypeError, "argument 'skip_fields': expected str, got int")),
        ((p, 8), {"skip_fields": 5}, (TypeError, "argument 'skip_fields': expected a sequence, got int")),
        ((p,), {}, (TypeError, "RabitqIndex() missing required argument 'dim' (pos 2)")),
        ((p, 8, 2, None, 1), {}, (TypeError, "RabitqIndex() takes at most 4 arguments (5 given)")),
        ((p, 8), {"dims": 8}, (TypeError, "RabitqIndex() got an unexpected keyword argument 'dims'")),
        ((p, 8), {"dim": 8}, (TypeError, "RabitqIndex() got multiple values for argument 'dim'")),
    ]


def test_constructor_arguments(tmp_path):
    for args, kwargs, want in ctor_cases(tmp_path):
        if want is None:
            assert isinstance(RabitqIndex(*args, **kwargs), RabitqIndex)
            continue
        exc, msg = want
        with pytest.raises(exc) as ei:
            RabitqIndex(*args, **kwargs)
        assert type(ei.value) is exc, (args, kwargs)
        assert len(ei.value.args) == 1
        if msg is not None:
            assert str(ei.value) == msg, (args, kwargs)


def test_bad_arguments_take_no_lock(tmp_path):
    # Conversion and the dim check come before the lock file is created.
    for args in [(str(tmp_path / "idx"), 0), (str(tmp_path / "idx"), "x"), (str(tmp_path / "idx"), 8, 2, "a")]:
        with pytest.raises((ValueError, TypeError)):
            RabitqIndex(*args)
    assert list(tmp_path.iterdir()) == []
    # dim 0 is refused even where no lock file could be created.
    with pytest.raises(ValueError, match="^dim must be >= 1$"):
        RabitqIndex(str(tmp_path / "missing" / "idx"), 0)


# ---------------------------------------------------------------------------------------
# Converters (through the test hook)
# ---------------------------------------------------------------------------------------

Pair = namedtuple("Pair", "term weight")


class StrBytes(bytes):
    pass


CONVERSIONS = [
    # target, value, expected value or (exception type, exact message or None)
    ("u32", 0, 0),
    ("u32", U32_MAX, U32_MAX),
    ("u32", True, 1),
    ("u32", Idx(12), 12),
    ("u32", np.uint32(5), 5),
    ("u32", U32_MAX + 1, (OverflowError, None)),
    ("u32", -1, (OverflowError, None)),
    ("u32", 2.0, (TypeError, "argument 'value': 'float' object cannot be interpreted as an integer")),
    ("u64", 2**64 - 1, 2**64 - 1),
    ("u64", 2**64, (OverflowError, None)),
    ("u64", -1, (OverflowError, None)),
    ("u64", "1", (TypeError, "argument 'value': 'str' object cannot be interpreted as an integer")),
    ("f32", 0.1, f32(0.1)),
    ("f32", 3, 3.0),
    ("f32", Flt(), 2.5),
    ("f32", Idx(4), 4.0),
    ("f32", np.float64(1.5), 1.5),
    ("f32", 1e300, math.inf),
    ("f32", -1e300, -math.inf),
    ("f32", F32_HALFWAY, math.inf),
    ("f32", -F32_HALFWAY, -math.inf),
    ("f32", math.nextafter(F32_HALFWAY, 0), F32_MAX),
    ("f32", F32_MAX, F32_MAX),
    ("f32", 1e-50, 0.0),
    ("f32", "x", (TypeError, "argument 'value': must be real number, not str")),
    ("bool", True, True),
    ("bool", False, False),
    ("bool", np.bool_(True), True),
    ("bool", np.bool_(False), False),
    ("bool", 1, (TypeError, "argument 'value': expected bool, got int")),
    ("bool", None, (TypeError, "argument 'value': expected bool, got NoneType")),
    ("str", "h\u00e9llo", "h\u00e9llo"),
    ("str", "", ""),
    ("str", b"x", (TypeError, "argument 'value': expected str, got bytes")),
    ("str", "\ud800", (UnicodeEncodeError, None)),  # not a TypeError: passes unchanged
    ("opt_str", None, None),
    ("opt_str", "a", "a"),
    ("opt_str", 3, (TypeError, "argument 'value': expected str, got int")),
    ("bytes", b"abcd", 4),
    ("bytes", StrBytes(b"ab"), 2),
    ("bytes", bytearray(b"ab"), (TypeError, "argument 'value': expected bytes, got bytearray")),
    ("str_list", ["a", "b"], ["a", "b"]),
    ("str_list", ("a",), ["a"]),
    ("str_list", [], []),
    ("str_list", "ab", (TypeError, "argument 'value': a str is not accepted where a list is expected")),
    ("str_list", {"a": 1}, (TypeError, "argument 'value': expected a sequence, got dict")),
    ("str_list", ["a", 1], (TypeError, "argument 'value': expected str, got int")),
    ("f32_list", [1, 2.5, np.float32(3)], [1.0, 2.5, 3.0]),
    ("f32_list", b"\x01\x02", [1.0, 2.0]),  # bytes is a sequence of ints here
    ("f32_list", np.array([0.5, 1.5]), [0.5, 1.5]),
    ("f32_list", [1, "x"], (TypeError, "argument 'value': must be real number, not str")),
    ("sparse", [(1, 0.5), (U32_MAX, 2)], [(1, 0.5), (U32_MAX, 2.0)]),
    ("sparse", [Pair(3, 0.25)], [(3, 0.25)]),  # a tuple subclass
    ("sparse", [[3, 0.5]], (TypeError, "argument 'value': expected tuple, got list")),
    ("sparse", [(1, 2, 3)], (ValueError, "expected tuple of length 2, but got tuple of length 3")),
    ("sparse", [(1,)], (ValueError, "expected tuple of length 2, but got tuple of length 1")),
    ("sparse", [(-1, 0.5)], (OverflowError, None)),
    ("sparse", [(1, "x")], (TypeError, "argument 'value': must be real number, not str")),
    ("sparse_rows", [[(1, 0.5)], []], 2),
    ("sparse_rows", [[(1, 0.5)], "x"], (TypeError, "argument 'value': a str is not accepted where a list is expected")),
]


@pytest.mark.parametrize("target,value,want", CONVERSIONS, ids=[f"{c[0]}-{i}" for i, c in enumerate(CONVERSIONS)])
def test_conversions(probe, target, value, want):
    if isinstance(want, tuple) and len(want) == 2 and isinstance(want[0], type) and issubclass(want[0], BaseException):
        exc, msg = want
        with pytest.raises(exc) as ei:
            probe("conv:" + target, value)
        assert type(ei.value) is exc
        if msg is not None:
            assert str(ei.value) == msg
            assert ei.value.args == (msg,)
        return
    got = probe("conv:" + target, value)
    if isinstance(want, float) and math.isnan(want):
        assert math.isnan(got)
    else:
        assert got == want
        assert type(got) is type(want) or isinstance(want, list)


# ---------------------------------------------------------------------------------------
# Vector arguments
# ---------------------------------------------------------------------------------------


def le_bytes(values):
    return struct.pack(f"<{len(values)}f", *values)


def test_vector_forms_agree_and_aligned_bytes_are_read_in_place(probe):
    vals = [f32(x) for x in (0.1, -2.0, 3.5, 1e-3)]
    as_bytes, in_place = probe("vector", le_bytes(vals), 4)
    assert as_bytes == vals and in_place is True
    assert probe("vector", vals, 4) == (vals, False)
    assert probe("vector", tuple(vals), 4) == (vals, False)
    assert probe("vector", np.array(vals, dtype=np.float32), 4) == (vals, False)
    # A bytes subclass is raw input too.
    assert probe("vector", StrBytes(le_bytes(vals)), 4)[0] == vals


class Doubled(np.ndarray):
    """An array subclass whose items are not what its buffer holds."""

    def __getitem__(self, i):
        return 2.0 * float(np.asarray(self)[i])


def _arrays():
    base = np.array([0.1, -2.0, 3.5, 1e-3, -0.0, 1e-46, F32_MAX, 7.0], dtype=np.float64)
    wide = np.array([1e300, -1e300, F32_HALFWAY, -F32_HALFWAY, 3.4028235e38, 0.1], dtype=np.float64)
    return [
        ("float32", base.astype(np.float32)),
        ("float64", base),
        ("float64 beyond float32", wide),
        ("strided float32", base.astype(np.float32)[::2]),
        ("reversed float64", base[::-1]),
        ("big-endian float32", base.astype(">f4")),
        ("float16", base[:4].astype(np.float16)),
        ("int32", np.arange(5, dtype=np.int32)),
        ("bool", np.array([True, False])),
        ("empty", np.zeros(0, dtype=np.float32)),
        ("NaN and inf", np.array([np.nan, np.inf, -np.inf], dtype=np.float32)),
        ("read-only", np.frombuffer(np.float32([1.5, 2.5]).tobytes(), dtype=np.float32)),
    ]


@pytest.mark.parametrize("name,arr", _arrays(), ids=[n for n, _ in _arrays()])
def test_numpy_vectors_read_as_their_items(probe, name, arr):
    # Whatever way an array is read, the floats are those of its items one by one.
    got, in_place = probe("vector", arr, len(arr))
    want, _ = probe("vector", [x for x in arr], len(arr))
    assert in_place is False
    assert len(got) == len(want)
    assert all(g == w or (math.isnan(g) and math.isnan(w)) for g, w in zip(got, want))
    assert [math.copysign(1.0, g) for g in got] == [math.copysign(1.0, w) for w in want]


def test_numpy_vectors_of_other_shapes_fail_as_sequences(probe):
    base = np.array([1.0, 2.0, 3.0, 4.0], dtype=np.float32)
    sub = base.view(Doubled)
    assert probe("vector", sub, 4)[0] == [2.0, 4.0, 6.0, 8.0]
    with pytest.raises(TypeError):
        probe("vector", base.reshape(2, 2), 4)
    with pytest.raises(TypeError):
        probe("vector", np.float32(1.0).reshape(()), 1)
    with pytest.raises(TypeError):
        probe("vector", np.array(["a", "b"]), 2)


def test_vector_bytes_of_another_count_are_copied(probe):
    vals = [1.0, 2.0, 3.0]
    assert probe("vector", le_bytes(vals), 4) == (vals, False)
    assert probe("vector", b"", 4) == ([], False)


def test_vector_errors_carry_no_argument_name(probe):
    with pytest.raises(ValueError) as ei:
        probe("vector", b"\0" * 6, 4)
    assert str(ei.value) == "vector bytes length 6 is not a multiple of 4 (little-endian f32)"
    with pytest.raises(TypeError) as ei:
        probe("vector", "abcd", 4)
    assert str(ei.value) == "a str is not accepted where a list is expected"
    with pytest.raises(TypeError) as ei:
        probe("vector", [1.0, "x"], 4)
    assert str(ei.value) == "must be real number, not str"
    with pytest.raises(TypeError):
        probe("vector", 5, 4)
    # A bytearray is not raw input: each byte value is one component.
    assert probe("vector", bytearray(b"\x01\x02"), 2) == ([1.0, 2.0], False)
    # Out-of-range floats become infinities (refused later by the finiteness check).
    assert probe("vector", [1e300, -1e300], 2) == ([math.inf, -math.inf], False)


# ---------------------------------------------------------------------------------------
# Finiteness and magnitude
# ---------------------------------------------------------------------------------------

NAN = math.nan
INF = math.inf


@pytest.mark.parametrize(
    "values,label,msg",
    [
        ([0.0] * 3 + [INF] + [0.0] * 3 + [NAN], "vector", "vector has a non-finite component at index 3 (inf); a NaN/inf vector cannot be ranked"),
        ([1.0, -INF], "query", "query has a non-finite component at index 1 (-inf); a NaN/inf vector cannot be ranked"),
        ([NAN], "vector 5", "vector 5 has a non-finite component at index 0 (NaN); a NaN/inf vector cannot be ranked"),
        # Far into a later block of 256.
        ([1.0] * 700 + [NAN] + [INF], "query", "query has a non-finite component at index 700 (NaN); a NaN/inf vector cannot be ranked"),
        ([1.0] * 600, "query", None),
        ([], "query", None),
    ],
)
def test_require_finite_vec(probe, values, label, msg):
    if msg is None:
        assert probe("finite_vec", values, label) is None
        return
    with pytest.raises(ValueError) as ei:
        probe("finite_vec", values, label)
    assert ei.value.args == (msg,)


def norm_f64(values):
    """The squared norm in the order binder/args.hpp states for squared_norm_f64: four lanes,
    (s0+s1)+(s2+s3), then the tail."""
    lanes = [0.0] * 4
    whole = len(values) // 4 * 4
    for i in range(whole):
        lanes[i % 4] += values[i] * values[i]
    s = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3])
    for v in values[whole:]:
        s += v * v
    return s


LIMIT = 8.5070586659632215e37
# Squares summing exactly to the limit 2^126 - 2^102: (2^24-1)^2 + 4095^2 + 90^2 + 9^2 + 3^2
# = (2^24-1)^2 + 2^24 - 1, each component scaled by 2^39.
AT_LIMIT = [float((2**24 - 1) * 2**39), float(4095 * 2**39), float(90 * 2**39), float(9 * 2**39), float(3 * 2**39)]


def test_require_finite_query_norm_limit(probe):
    assert norm_f64(AT_LIMIT) == LIMIT
    assert all(f32(v) == v for v in AT_LIMIT)
    assert probe("finite_query", AT_LIMIT) is None  # equal to the limit passes
    above = AT_LIMIT[:-1] + [float(4 * 2**39)]
    with pytest.raises(ValueError) as ei:
        probe("finite_query", above)
    assert ei.value.args == (
        f"query is too large to rank: its squared L2 norm {exp_form(norm_f64(above))} overflows float32 "
        "distances (limit 8.5070586659632215e37)",
    )
    # Finiteness is checked first.
    with pytest.raises(ValueError, match="^query has a non-finite component at index 1 "):
        probe("finite_query", [1e19, NAN])


@pytest.mark.parametrize("x,text", [(8.5070586659632215e37, "8.5070586659632215e37"), (1e-5, "1e-5"), (5.0, "5e0"), (1.25e100, "1.25e100")])
def test_exponent_form(probe, x, text):
    assert probe("fmt_exp", x) == text


def test_sparse_weight_checks(probe):
    pairs = [(1, 0.5), (2, NAN), (3, INF)]
    with pytest.raises(ValueError) as ei:
        probe("sparse_query", pairs)
    assert ei.value.args == ("sparse query has a non-finite weight at position 1 (NaN); a NaN/inf sparse weight cannot be ranked",)
    with pytest.raises(ValueError) as ei:
        probe("sparse_write", pairs)
    assert ei.value.args == ("sparse weight NaN for term 2 is not finite; a NaN/inf sparse weight cannot be ranked",)
    with pytest.raises(ValueError, match=r"^sparse weight -inf for term 7 is not finite"):
        probe("sparse_write", [(7, -1e300)])
    assert probe("sparse_query", [(1, 0.5), (U32_MAX, 1e30)]) is None
    assert probe("sparse_write", []) is None


def test_source_queries(probe, tmp_path):
    h4 = RabitqIndex(str(tmp_path / "a"), 4)
    h4b = RabitqIndex(str(tmp_path / "b"), 4)
    h8 = RabitqIndex(str(tmp_path / "c"), 8)
    # No sources: the bytes are not looked at.
    assert probe("source_queries", [], b"\0" * 3) == []
    assert probe("source_queries", [], None) == []
    q = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]
    assert probe("source_queries", [h4, h4b], le_bytes(q)) == q
    for sources, data in [([h4, h8], le_bytes(q)), ([h4], b""), ([h4], le_bytes(q[:6])), ([h4], b"\0" * 17)]:
        with pytest.raises(ValueError) as ei:
            probe("source_queries", sources, data)
        assert ei.value.args == (
            f"queries must be whole 4-dim little-endian f32 vectors for sources of one dim, got {len(data)} bytes",
        )
    bad = q[:4] + [NAN] + q[5:]
    with pytest.raises(ValueError) as ei:
        probe("source_queries", [h4], le_bytes(bad))
    assert ei.value.args == ("query has a non-finite component at index 4 (NaN); a NaN/inf vector cannot be ranked",)
    # The norm limit applies to the whole job: two queries that each pass are refused together.
    x = f32(math.sqrt(5e37))
    job = [x, 0.0, 0.0, 0.0, x, 0.0, 0.0, 0.0]
    assert probe("finite_query", job[:4]) is None
    with pytest.raises(ValueError) as ei:
        probe("source_queries", [h4], le_bytes(job))
    assert ei.value.args[0].startswith(f"query is too large to rank: its squared L2 norm {exp_form(norm_f64(job))} ")
    with pytest.raises(TypeError, match="expected RabitqIndex, got int"):
        probe("source_queries", [h4, 3], le_bytes(q))


# ---------------------------------------------------------------------------------------
# Error conversion and the catch-all
# ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind,exc", [("io", OSError), ("invalid", ValueError), ("runtime", RuntimeError)]
)
def test_map_search_err(probe, kind, exc):
    with pytest.raises(exc) as ei:
        probe("search_err", kind, "index not built/opened")
    assert type(ei.value) is exc
    assert ei.value.args == ("index not built/opened",)


def test_io_err_is_plain_oserror_with_text(probe):
    with pytest.raises(OSError) as ei:
        probe("io_os", 2)
    e = ei.value
    assert type(e) is OSError  # no subclass mapping
    assert e.args == ("No such file or directory (os error 2)",)
    assert e.errno is None and e.strerror is None and e.filename is None
    with pytest.raises(OSError) as ei:
        probe("io_msg", "corrupt index: bad manifest header (missing magic)")
    assert type(ei.value) is OSError
    assert ei.value.args == ("corrupt index: bad manifest header (missing magic)",)


@pytest.mark.parametrize(
    "errno_,exc",
    [
        (2, FileNotFoundError),
        (13, PermissionError),
        (1, PermissionError),
        (17, FileExistsError),
        (11, BlockingIOError),
        (110, TimeoutError),
        (4, InterruptedError),
        (111, ConnectionRefusedError),
        (104, ConnectionResetError),
        (103, ConnectionAbortedError),
        (32, BrokenPipeError),
        (28, OSError),
        (39, OSError),
    ],
)
def test_io_err_by_kind(probe, errno_, exc):
    with pytest.raises(OSError) as ei:
        probe("io_by_kind", errno_)
    assert type(ei.value) is exc
    assert ei.value.args[0].endswith(f" (os error {errno_})")


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no")


def test_rendering_to_text(probe):
    assert probe("render_io_os", 4) == "OSError: Interrupted system call (os error 4)"
    assert probe("render_exc", ValueError("bad value")) == "ValueError: bad value"
    assert probe("render_exc", RuntimeError("index not built/opened")) == "RuntimeError: index not built/opened"
    assert probe("render_exc", Unprintable()) == "Unprintable: <exception str() failed>"


def test_catch_all(probe):
    with pytest.raises(BaseException) as ei:
        probe("panic")
    e = ei.value
    assert type(e).__name__ == "PanicException"
    assert not isinstance(e, Exception)
    assert e.args == ("probe panic",)
    # Thrown while the interpreter lock was released: it is taken back before raising.
    with pytest.raises(BaseException) as ei:
        probe("panic_nogil")
    assert type(ei.value) is type(e)
    assert ei.value.args == ("probe panic without the interpreter lock",)
    with pytest.raises(MemoryError):
        probe("oom")
    assert tandrel.slot_space_ok(1, 2) is True
