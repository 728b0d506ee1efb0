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


def best_of_each(fns, repeat):
    """The least time of each of `fns` over `repeat` rounds that run them one after another,
    so that a change in the machine's load weighs on all of them alike."""
    times = [float("inf")] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            times[k] = min(times[k], time.perf_counter() - t0)
    return times
