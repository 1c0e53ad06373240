import subprocess
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
