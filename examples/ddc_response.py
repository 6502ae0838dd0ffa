"""
Down-converter: stage plan and frequency response
=================================================

A :class:`veltra.ddc.DDC` converts the rate through the cheapest cascade of halfband
decimators, a CIC decimator (with its compensating FIR) and a polyphase resampler that
meets the requested output/input ``rate``. This example shows the cascade planned for a
few rates and measures the response of one of them with a sweep of tones.

The Python class does not list its stages, but every core function is exported under its
own name from the extension module, so ``ctypes`` can ask the planner directly: a
converter is built with ``RateConverter_create(compensate, rate)`` (the plain DDC uses no
separate compensation) and ``RateConverter_stage_label`` names each stage.
"""

# sphinx_gallery_thumbnail_number = 2

import ctypes

import matplotlib.pyplot as plt
import numpy as np

import veltra.ddc
from veltra.ddc import DDC

core = ctypes.CDLL(veltra.ddc.__file__)
core.RateConverter_create.restype = ctypes.c_void_p
core.RateConverter_create.argtypes = [ctypes.c_int, ctypes.c_double]
core.RateConverter_destroy.argtypes = [ctypes.c_void_p]
core.RateConverter_num_stages.argtypes = [ctypes.c_void_p]
core.RateConverter_stage_rate.restype = ctypes.c_double
core.RateConverter_stage_rate.argtypes = [ctypes.c_void_p, ctypes.c_int]
core.RateConverter_stage_label.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]


def stage_plan(rate):
    """[(label, stage output/input rate), ...] of the cascade planned for `rate`."""
    rc = core.RateConverter_create(0, rate)
    if not rc:
        raise ValueError(f"no plan for rate {rate}")
    try:
        buf = ctypes.create_string_buffer(64)
        plan = []
        for i in range(core.RateConverter_num_stages(rc)):
            core.RateConverter_stage_label(rc, i, buf, len(buf))
            plan.append((buf.value.decode(), core.RateConverter_stage_rate(rc, i)))
        return plan
    finally:
        core.RateConverter_destroy(rc)


# %%
# The stage plan
# --------------
# Each row is one requested rate; each box a stage, with the rate it applies.

rates = [0.5, 0.3, 0.125, 0.1, 1 / 30, 0.01]
fig, ax = plt.subplots(figsize=(8, 3.2))
for row, rate in enumerate(rates):
    plan = stage_plan(rate)
    print(f"rate {rate:.4g}: " + " -> ".join(f"{label} [{r:.4g}]" for label, r in plan))
    for col, (label, r) in enumerate(plan):
        ax.text(col, row, f"{label}\n×{r:.4g}", ha="center", va="center", fontsize=8,
                bbox=dict(boxstyle="round", fc="#e8eef7", ec="#4a6fa5"))
ax.set_xlim(-0.6, 1.6)
ax.set_ylim(len(rates) - 0.5, -0.5)
ax.set_yticks(range(len(rates)), [f"rate {r:.4g}" for r in rates])
ax.set_xticks([])
ax.set_title("Stages planned for each output/input rate, in signal order")
fig.tight_layout()

# %%
# The frequency response
# ----------------------
# Tones across the input band go through the DDC; the RMS of the settled output is the
# gain at that input frequency. Plotted against frequency in output samples, the output
# band is ±0.5 and everything outside it would alias into the band. A halfband stage
# (rate 0.5) is flat across most of the band with a steep edge; a lone CIC (rate 0.125)
# droops towards the band edge and rejects aliases only near its nulls. The plain DDC
# leaves that droop uncompensated on purpose: the channel filter that follows it
# (a :class:`veltra.filter.FIR`) sets the final response, and the matched down-converters
# fold a CIC compensator into their polyphase bank.


def response(rate, n=8192, settle=512, points=301):
    """Input frequencies (cycles/sample) and the DDC's gain at each, in dB."""
    freqs = np.linspace(-0.5, 0.5, points)
    k = np.arange(n)
    gain = []
    for f in freqs:
        y = DDC(norm_freq=0.0, rate=rate).execute(np.exp(2j * np.pi * f * k).astype(np.complex64))
        gain.append(10 * np.log10(np.mean(np.abs(y[settle:]) ** 2) + 1e-30))
    return freqs, np.array(gain)


fig, ax = plt.subplots(figsize=(8, 3.6))
for rate in (0.5, 0.125):
    freqs, gain_db = response(rate)
    out = freqs / rate  # cycles per output sample
    edge = np.abs(out) <= 0.4
    alias = np.abs(out) >= 0.6
    print(f"rate {rate}: gain {gain_db[np.abs(out) < 1e-9][0]:.2f} dB at DC, "
          f"{gain_db[edge].min():.2f} dB at worst within ±0.4, "
          f"aliases from beyond ±0.6 down {-gain_db[alias].max():.1f} dB")
    ax.plot(out, gain_db, label=f"rate {rate}: " + " -> ".join(lbl for lbl, _ in stage_plan(rate)))
for edge in (-0.5, 0.5):
    ax.axvline(edge, color="grey", linestyle=":")
ax.set_xlim(-2, 2)
ax.set_ylim(-120, 5)
ax.set_xlabel("input frequency (cycles per output sample)")
ax.set_ylabel("gain (dB)")
ax.set_title("Measured DDC response; dotted lines bound the output band")
ax.legend(loc="lower center", fontsize=8)
fig.tight_layout()
plt.show()
