"""veltra: signal processing for software radio, NumPy arrays in and out."""

__version__ = "0.1.0"

#: Extension modules of the package, in build order; ``veltra info`` reports which exist.
MODULES = (
    "track",
    "filter",
    "_detection",
    "_telemetry",
    "interrupt.interrupt",
    "agc",
    "ddc",
    "ber",
    "spectral",
    "accumulator",
    "acquire",
    "scriba",
    "lectra",
    "coding",
)


def __getattr__(name):
    # One-shot helpers load the extension modules they use on first access only.
    if name in ("resample", "resample_real"):
        from veltra import _resample

        return getattr(_resample, name)
    raise AttributeError(f"module 'veltra' has no attribute {name!r}")
