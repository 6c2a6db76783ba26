import gc
import os
import signal

import pytest

# Some tests press Ctrl+C with _thread.interrupt_main(), which does nothing
# while SIGINT is ignored, as it is in a background job started by a shell
# without job control.  Give the suite Python's own handler in that case.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def rss_bytes() -> int:
    """Resident set size of this process."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_memory_flat(fn, calls: int = 1_000_000, slack_bytes: int = 2 * 1024 * 1024) -> None:
    """Runs fn() `calls` times (after a warm-up) and fails if the process grew."""
    for _ in range(10_000):
        fn()
    gc.collect()
    before = rss_bytes()
    for _ in range(calls):
        fn()
    gc.collect()
    grown = rss_bytes() - before
    assert grown < slack_bytes, f"memory grew by {grown} bytes over {calls} calls"


@pytest.fixture
def memory_flat():
    return assert_memory_flat
