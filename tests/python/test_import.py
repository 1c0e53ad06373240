import subprocess
import struct
import sys

import pytest

pytestmark = pytest.mark.timeout(60)


def test_module_imports():
    import tandrel

    assert tandrel.__name__ == "tandrel"


def test_import_starts_no_thread():
    code = (
        "import threading, os\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "import tandrel\n"
        "after = len(os.listdir('/proc/self/task'))\n"
        "assert before == after, (before, after)\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


def dynamic_symbols(path):
    """(name, type, binding, section index) of every entry of an ELF64 little-endian shared
    object's dynamic symbol table, read from its section headers."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        pytest.skip("not a 64-bit little-endian ELF shared object")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    SHT_DYNSYM = 11
    dynsym = next(s for s in sections if s[1] == SHT_DYNSYM)
    _, _, _, _, off, size, link, _, _, entsize = dynsym
    strtab_off = sections[link][4]
    out = []
    for at in range(off, off + size, entsize):
        name_off, info, _other, shndx, _value, _size = struct.unpack_from("<IBBHQQ", data, at)
        end = data.index(b"\0", strtab_off + name_off)
        out.append((data[strtab_off + name_off:end].decode(), info & 0xF, info >> 4, shndx))
    return out


def test_the_init_function_is_the_only_exported_symbol():
    import tandrel

    STT_OBJECT, STT_FUNC, STT_TLS, STT_GNU_IFUNC = 1, 2, 6, 10
    STB_LOCAL = 0
    syms = dynamic_symbols(tandrel.__file__)
    defined = {name for name, typ, bind, shndx in syms
               if shndx != 0 and bind != STB_LOCAL and typ in (STT_OBJECT, STT_FUNC, STT_TLS, STT_GNU_IFUNC)}
    assert defined == {"PyInit_tandrel"}, (len(defined), sorted(defined)[:20])
