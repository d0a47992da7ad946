"""Option objects shared between threads price as in one thread; dropped objects free
everything they allocated."""

import itertools
import struct
import sys
import threading

import pytest

from tarnwick.models.dexpjump import (
    KouEuropeanCall,
    KouEuropeanPut,
    create_european_call,
    create_european_put,
)
from tarnwick.models.lognjump import MertonEuropeanCall


def test_threads_sharing_options_get_the_single_threaded_prices():
    call, put, merton = KouEuropeanCall(0.75, 95.0), KouEuropeanPut(0.75, 95.0), MertonEuropeanCall(95.0, 0.75)
    jobs = []
    for S, n in itertools.product((70.0, 90.0, 95.0, 100.0, 130.0), (0, 3, 12, 25)):
        kou = (S, 0.03, 0.25, 2.0, 0.35, 12.0, 6.0, n)
        jobs += [(call.priceByKouJumpDiffusion, kou), (put.priceByKouJumpDiffusion, kou)]
        jobs.append((merton.JDAnalyticalPrice, (S, 0.25, 0.03, 2.0, -0.1, 0.3, 2.0 * n + 0.5)))
    jobs.append((call.priceByKouJumpDiffusion, (100.0, 0.03, 0.0, 2.0, 0.35, 12.0, 6.0, 5)))  # NaN

    def prices():
        return [struct.pack("<d", price(*args)) for price, args in jobs]

    expected = prices()
    rounds, threads = 30, 8
    results = [None] * threads
    start = threading.Barrier(threads)

    def work(index):
        start.wait()
        results[index] = [prices() for _ in range(rounds)]

    # Switch threads as often as the interpreter allows, to interleave the calls.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(timeout=300)
    finally:
        sys.setswitchinterval(interval)
    assert not any(worker.is_alive() for worker in workers)
    assert results == [[expected] * rounds] * threads


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    pytest.skip("no VmRSS in /proc/self/status")


def churn(make, count):
    for _ in itertools.repeat(None, count):
        make(1.0, 100.0)


@pytest.mark.parametrize(
    "make",
    [KouEuropeanCall, KouEuropeanPut, create_european_call, create_european_put, MertonEuropeanCall],
)
def test_dropped_options_leave_resident_memory_flat(make):
    if "libasan" in open("/proc/self/maps").read():
        pytest.skip("AddressSanitizer holds freed memory in quarantine")
    churn(make, 100_000)  # let the allocators reach their steady state
    before = resident_kib()
    churn(make, 1_000_000)
    # One leaked native object (a 32-byte heap chunk) per construction would add 32 MB.
    assert resident_kib() - before < 4096
