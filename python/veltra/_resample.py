"""One-shot rate conversion built on the down-converter's planned cascade."""

import numpy as np


def resample(x, rate):
    """Convert the sample rate of a whole signal in one call.

    The signal runs through the same cascade a `veltra.ddc.DDC` plans (halfband
    decimators, a CIC and a polyphase resampler, cheapest first) with the oscillator at
    0 Hz. Like a causal filter, the output carries the cascade's group delay and its
    start-up transient; for streams, use `veltra.ddc.DDC` directly.

    Parameters
    ----------
    x : array_like
        Samples, real or complex, any shape (read in C order); computed in complex64.
    rate : float
        Output rate over input rate (> 0; above 1 up-samples).

    Returns
    -------
    ndarray
        About ``len(x) * rate`` samples: complex64 for complex input, float32 for real
        input.

    Raises
    ------
    ValueError
        If `rate` is not positive and finite, or cannot be planned.

    Examples
    --------
    >>> import numpy as np
    >>> import veltra
    >>> x = np.exp(2j * np.pi * 0.01 * np.arange(8000))
    >>> y = veltra.resample(x, 0.25)
    >>> y.dtype, y.shape
    (dtype('complex64'), (2000,))
    >>> veltra.resample(np.ones(1000), 2.5).dtype
    dtype('float32')
    """
    from veltra.ddc import DDC

    arr = np.asarray(x)
    real = not np.iscomplexobj(arr)
    samples = np.ascontiguousarray(arr, dtype=np.complex64).ravel()
    try:
        conv = DDC(norm_freq=0.0, rate=float(rate))
    except ValueError:
        raise ValueError(f"rate must be positive, finite and plannable, got {rate!r}") from None
    with conv:
        y = conv.execute(samples)
    return np.ascontiguousarray(y.real) if real else y


def resample_real(x, rate):
    """Convert the sample rate of a real signal; the real part of `resample`.

    Parameters
    ----------
    x : array_like of float
        Real samples.
    rate : float
        Output rate over input rate (> 0).

    Returns
    -------
    ndarray of float32

    Examples
    --------
    >>> import numpy as np
    >>> import veltra
    >>> veltra.resample_real(np.sin(0.01 * np.arange(1000)), 0.25).shape
    (250,)
    """
    arr = np.asarray(x)
    if np.iscomplexobj(arr):
        raise TypeError("resample_real expects real input; use veltra.resample for complex")
    return resample(arr, rate)
