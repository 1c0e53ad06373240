import os

import pytest

import tandrel

HOOKS = hasattr(tandrel, "_probe")
NO_HOOKS = "module built without test hooks (make test builds them; a pip-installed module has none)"


def pytest_configure(config):
    config.addinivalue_line("markers", "hooks: needs the test hooks of the module (fault injection, probes)")
    # `make test` names the build directory whose module the tests must exercise: an installed
    # tandrel found first would be tested in its place and its missing hooks would skip half
    # the suite unnoticed.
    want = os.environ.get("TANDREL_MODULE_DIR")
    if want and os.path.dirname(os.path.realpath(tandrel.__file__)) != os.path.realpath(want):
        raise pytest.UsageError(f"tandrel was imported from {tandrel.__file__}, not from {want}")


def pytest_report_header(config):
    return f"tandrel: {tandrel.__file__} ({'with' if HOOKS else 'without'} test hooks)"


def pytest_runtest_setup(item):
    if not HOOKS and item.get_closest_marker("hooks"):
        pytest.skip(NO_HOOKS)


@pytest.fixture
def probe():
    """The test-only entry point of builds made with test hooks."""
    if not HOOKS:
        pytest.skip(NO_HOOKS)
    return tandrel._probe
