"""veltra: signal processing for software radio, NumPy arrays in and out."""

__version__ = "0.1.0"

#: Extension modules of the package, in build order; ``veltra info`` reports which exist.
MODULES = ("track", "filter", "_detection", "_telemetry", "interrupt.interrupt", "agc", "ddc")
