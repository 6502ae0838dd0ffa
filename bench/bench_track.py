"""Loop filter: per-call overhead and per-element throughput.

Peers: a plain Python function doing the same arithmetic (call overhead) and a C loop of
the same recurrence compiled here with the same flags (throughput).
"""

import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time, report  # noqa: E402

from veltra.track import LoopFilter  # noqa: E402

C_LOOP = r"""
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
int main(int argc, char **argv) {
    long n = atol(argv[1]);
    double *x = malloc(n * sizeof *x), *y = malloc(n * sizeof *y);
    for (long i = 0; i < n; ++i) x[i] = (double)(i % 7) - 3.0;
    double best = 1e30;
    for (int r = 0; r < 7; ++r) {
        volatile double kp = 0.05, ki = 0.001;
        double integ = 0.0, p = kp, q = ki;
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        for (long i = 0; i < n; ++i) { integ = q * x[i] + integ; y[i] = x[i] * p + integ; }
        clock_gettime(CLOCK_MONOTONIC, &b);
        double t = (b.tv_sec - a.tv_sec) + 1e-9 * (b.tv_nsec - a.tv_nsec);
        if (t < best) best = t;
    }
    printf("%.6e %f\n", best, y[n - 1]);
    return 0;
}
"""


def c_loop_seconds(n):
    with tempfile.TemporaryDirectory() as d:
        src, exe = os.path.join(d, "loop.c"), os.path.join(d, "loop")
        with open(src, "w") as f:
            f.write(C_LOOP)
        subprocess.run(["cc", "-O3", "-ffp-contract=off", src, "-o", exe], check=True)
        out = subprocess.run([exe, str(n)], check=True, capture_output=True, text=True).stdout
        return float(out.split()[0])


def python_step_factory():
    state = {"integ": 0.0}
    kp, ki = 0.05, 0.001

    def step(x):
        state["integ"] = ki * x + state["integ"]
        return x * kp + state["integ"]

    return step


def main():
    lf = LoopFilter(bn=0.02)
    py_step = python_step_factory()
    report("LoopFilter.step(x)", median_time(lambda: lf.step(0.5), number=20000),
           median_time(lambda: py_step(0.5), number=20000), peer_name="python function")

    x16 = np.ones(16)
    out16 = np.empty(16)

    def py_steps16():
        for v in x16:
            py_step(v)

    report("LoopFilter.steps(16)", median_time(lambda: lf.steps(x16), number=20000),
           median_time(py_steps16, number=2000), peer_name="python loop")
    report("LoopFilter.steps(16, out=)", median_time(lambda: lf.steps(x16, out=out16), number=20000),
           median_time(py_steps16, number=2000), peer_name="python loop")

    n = 1_000_000
    x = np.asarray(np.arange(n) % 7 - 3.0)
    y = np.empty(n)
    ours = median_time(lambda: lf.steps(x, out=y), repeats=7)
    report("LoopFilter.steps(1e6) per element", ours / n, c_loop_seconds(n) / n,
           peer_name="C loop")

    probe = ("import time, numpy; t = time.perf_counter(); import veltra.track; "
             "print(time.perf_counter() - t)")
    times = [float(subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True,
                                  text=True).stdout) for _ in range(5)]
    print(f"import veltra.track after numpy: {1e3 * float(np.median(times)):.2f} ms (median of 5)")


if __name__ == "__main__":
    main()
