"""Timing helpers shared by the benchmarks: medians of repeats, one printed line each."""

import statistics
import time


def median_time(fn, repeats=7, number=1, clock=time.perf_counter):
    """Median time (wall time unless another clock is given) of one call of fn, in seconds,
    over `repeats` batches of `number`."""
    fn()  # warm up
    times = []
    for _ in range(repeats):
        t0 = clock()
        for _ in range(number):
            fn()
        times.append((clock() - t0) / number)
    return statistics.median(times)


def median_times(fns, repeats=7, clock=time.process_time):
    """Medians of time per call of each of fns, timed round-robin in `repeats` rounds.

    On a shared machine the load drifts; timing the pieces of one comparison in the same
    rounds lets each median see the same conditions. The default clock is this process's
    CPU time, which time spent waiting for a core does not inflate (fair for
    single-threaded work on both sides).
    """
    for fn in fns:
        fn()  # warm up
    times = [[] for _ in fns]
    for _ in range(repeats):
        for fn, t in zip(fns, times):
            t0 = clock()
            fn()
            t.append(clock() - t0)
    return [statistics.median(t) for t in times]


def report(name, ours, peer, unit="ns", scale=1e9, peer_name="peer"):
    """Print `name: ours X, <peer> Y, ratio Z` (ratio > 1 means we are faster)."""
    print(f"{name}: ours {ours * scale:.1f} {unit}, {peer_name} {peer * scale:.1f} {unit}, "
          f"ratio {peer / ours:.2f}")
