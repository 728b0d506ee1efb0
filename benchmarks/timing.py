"""The timing every benchmark shares: the least wall time of a few runs, with the garbage
collector left on as a caller has it."""

import time


def best(fn, repeat, setup=None):
    """The least time of `repeat` runs of fn(); with `setup`, of fn(setup()), setup untimed."""
    times = []
    for _ in range(repeat):
        arg = setup() if setup else None
        t0 = time.perf_counter()
        fn(arg) if setup else fn()
        times.append(time.perf_counter() - t0)
    return min(times)
