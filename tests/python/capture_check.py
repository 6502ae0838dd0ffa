"""Shared by the capture tests: the sample types, test samples and an independent quantiser."""

import numpy as np

# name: (numpy element, components, full scale or None for float)
TYPES = {
    "cf32": ("f4", 2, None), "cf64": ("f8", 2, None), "ci32": ("i4", 2, 2.0 ** 31),
    "ci16": ("i2", 2, 32768.0), "ci8": ("i1", 2, 128.0), "f32": ("f4", 1, None),
    "f64": ("f8", 1, None), "i32": ("i4", 1, 2.0 ** 31), "i16": ("i2", 1, 32768.0),
    "i8": ("i1", 1, 128.0),
}


def samples(n=600, seed=3):
    rng = np.random.default_rng(seed)
    x = (0.6 * (rng.normal(size=n) + 1j * rng.normal(size=n))).astype(np.complex64)
    # Halves at every scale, saturation both ways, NaN, and signed zeros.
    x[:8] = [0.5 / 32768 + 1.5j / 128, -0.5 / 32768 - 0.5j / 128, 1.2 - 1.2j, -1.0 + 1j,
             complex(np.nan, 0.25), -0.0 + 0j, 2.5 / 2 ** 31 - 3.5j / 2 ** 31, 1j]
    return x


def expected(x, sample_type):
    """What the file holds: scaled in the type's precision, saturated, halves away from 0."""
    elem, comps, scale = TYPES[sample_type]
    parts = np.stack([x.real, x.imag], axis=-1)[:, :comps].ravel()
    if scale is None:
        return parts.astype(elem)
    if elem == "i4":
        q = parts.astype(np.float64) * scale
    else:
        q = (parts * np.float32(scale)).astype(np.float64)
    q = np.where(np.isnan(q), 0.0, np.clip(q, -scale, scale - 1))
    return np.trunc(q + np.copysign(0.5, q)).astype(elem)
