"""Small helpers shared by the handle tests: seeded data, a built segment, presence checks."""

import json
import os
import struct
import zlib

import numpy as np

import tandrel

DIM = 8


def vectors(n, dim=DIM, seed=0):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((n, dim)).astype("<f4")


def build(handle, n=300, prefix="r", seed=0, n_clusters=4, dim=DIM, **kw):
    """Builds `n` rows "{prefix}{i}" with metadata {"tag": id}; returns the vectors."""
    x = vectors(n, dim, seed)
    ids = [f"{prefix}{i}" for i in range(n)]
    metas = [json.dumps({"tag": i}) for i in ids]
    handle.build(x.tobytes(), n, ids, metas, n_clusters, **kw)
    return x


def has(handle, row_id, vec):
    """Whether `row_id` is a live row: an exact scan restricted to its tag."""
    hits = handle.search(np.asarray(vec, dtype="<f4").tobytes(), 1, 64, 400, json.dumps({"tag": row_id}), True)
    return bool(hits) and hits[0][0] == row_id


def generation(path):
    with open(os.path.join(path, "generation"), "rb") as f:
        return struct.unpack("<Q", f.read(8))[0]


def wal_size(path):
    try:
        return os.path.getsize(os.path.join(path, "wal.bin"))
    except FileNotFoundError:
        return 0


def open_count():
    return tandrel.ivf_open_count()


def wal_add_frame(row_id, vec, meta="null", sparse=()):
    """One wal.bin frame of a logged add, byte for byte as the write path appends it: magic
    "WQBR", payload length, CRC-32 of the payload, then the payload (tag 0, the id, the f32
    vector, the metadata text, the (term, weight) pairs; texts and lists are u64-counted)."""
    def text(b):
        return struct.pack("<Q", len(b)) + b

    vec = np.asarray(vec, dtype="<f4")
    payload = (struct.pack("<I", 0) + text(row_id.encode()) + struct.pack("<Q", len(vec)) + vec.tobytes()
               + text(meta.encode() if isinstance(meta, str) else meta) + struct.pack("<Q", len(sparse))
               + b"".join(struct.pack("<If", t, w) for t, w in sparse))
    return struct.pack("<III", 0x52425157, len(payload), zlib.crc32(payload)) + payload
