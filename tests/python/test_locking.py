"""Modes of `<path>.lock` per operation: exclusive maintenance against shared writers, reads
of a current handle that never wait, interrupted waits rendered with the type-name prefix,
and a lock file that is never removed or written."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from segtools import DIM, build, has, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)

V = vectors(1, seed=5)[0]

HOLDER = """
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o666)
fcntl.flock(fd, fcntl.LOCK_EX if sys.argv[2] == "ex" else fcntl.LOCK_SH)
print("locked", flush=True)
time.sleep(float(sys.argv[3]))
"""


def hold_lock(lock_path, mode, seconds):
    p = subprocess.Popen([sys.executable, "-c", textwrap.dedent(HOLDER), str(lock_path), mode, str(seconds)],
                         stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline().strip() == "locked"
    return p


@pytest.fixture
def built(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h)
    return path, h


INTERRUPTED = "Interrupted system call (os error 4)"

# (call, expected text): rendered with the type name where the failure crosses a part that
# returns plain text; the constructor reports the plain I/O text.
EINTR_CASES = [
    ("add", lambda path, h: h.add("a", V), "OSError: " + INTERRUPTED),
    ("delete", lambda path, h: h.delete("r1"), "OSError: " + INTERRUPTED),
    ("flush", lambda path, h: h.flush(), "OSError: " + INTERRUPTED),
    ("sync", lambda path, h: h.sync(), "OSError: " + INTERRUPTED),
    ("build", lambda path, h: build(h, prefix="z"), "OSError: " + INTERRUPTED),
    ("constructor", lambda path, h: RabitqIndex(path, DIM), INTERRUPTED),
]


@pytest.mark.parametrize("name,call,text", EINTR_CASES, ids=[c[0] for c in EINTR_CASES])
def test_interrupted_lock_wait_is_not_resumed(built, name, call, text):
    path, h = built
    holder = hold_lock(path + ".lock", "ex", 30)
    previous = signal.signal(signal.SIGUSR1, lambda *_: None)
    done = threading.Event()
    main = threading.main_thread().ident

    def poke():
        while not done.wait(0.2):
            signal.pthread_kill(main, signal.SIGUSR1)

    poker = threading.Thread(target=poke)
    poker.start()
    try:
        with pytest.raises(OSError) as e:
            call(path, h)
    finally:
        done.set()
        poker.join()
        signal.signal(signal.SIGUSR1, previous)
        holder.kill()
        holder.wait(timeout=30)
    assert type(e.value) is OSError and e.value.args == (text,)
    # Nothing happened: the segment and the handle are as before.
    assert has(h, "r1", vectors(300)[1])


def test_flush_on_one_handle_blocks_an_add_on_another_until_it_returns(built):
    path, h1 = built
    h2 = RabitqIndex(path, DIM)
    h1.add("mine", V, '{"tag": "mine"}')
    # The checkpoint's first file write opens its temporary; a FIFO there holds the flush
    # inside its exclusive section until a reader appears.
    fifo = os.path.join(path, "deleted.writing.tmp")
    os.mkfifo(fifo)
    done = {}

    def flush():
        try:
            h1.flush()
        except OSError as e:  # fsync of a FIFO is refused; the flush still returns
            done["flush_error"] = e
        done["flush"] = time.monotonic()

    def add():
        h2.add("theirs", V + 1, '{"tag": "theirs"}')
        done["add"] = time.monotonic()

    tf = threading.Thread(target=flush)
    tf.start()
    time.sleep(0.2)
    ta = threading.Thread(target=add)
    ta.start()
    time.sleep(0.3)
    assert "flush" not in done and "add" not in done  # the shared add waits for the flush
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        tf.join(10)
        ta.join(10)
    finally:
        os.close(fd)
    assert done["add"] >= done["flush"]
    assert has(h2, "theirs", V + 1)


def test_flush_waits_for_another_process_while_reads_of_a_current_handle_do_not(built):
    path, h = built
    h.search(V.tobytes(), 3)  # current, with a fresh generation check
    holder = hold_lock(path + ".lock", "ex", 0.8)
    try:
        t0 = time.monotonic()
        assert len(h.search(V.tobytes(), 3)) == 3
        assert time.monotonic() - t0 < 0.3
        t0 = time.monotonic()
        h.flush()
        assert time.monotonic() - t0 >= 0.4
    finally:
        holder.wait(timeout=30)


def test_lock_file_is_never_removed_or_written(built, tmp_path):
    path, h = built
    lock = path + ".lock"
    for step in (lambda: h.add("a", V), lambda: h.delete("r2"), h.sync, h.flush,
                 lambda: build(h, prefix="b", seed=4), h.close, lambda: RabitqIndex(path, DIM)):
        step()
        assert os.path.isfile(lock) and os.path.getsize(lock) == 0
    assert sorted(os.listdir(tmp_path)) == ["idx", "idx.lock"]
