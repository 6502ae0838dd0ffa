"""Every docstring Example of the package runs and prints what it shows."""

import doctest
import importlib
import inspect

import pytest

import veltra

PURE_PYTHON = ["veltra", "veltra.cli", "veltra.detection", "veltra.telemetry", "veltra.interrupt", "veltra._resample",
               "veltra.mpsk", "veltra.demo",
               "veltra.wfm", "veltra._composer"]


def _docstrings(mod):
    """(name, docstring) of a module, its functions, classes and their members."""
    yield mod.__name__, mod.__doc__
    for name, obj in vars(mod).items():
        if name.startswith("_") or getattr(obj, "__module__", mod.__name__) != mod.__name__:
            continue
        yield f"{mod.__name__}.{name}", getattr(obj, "__doc__", None)
        if inspect.isclass(obj):
            for mname, member in vars(obj).items():
                if mname.startswith("_") and mname != "__init__":
                    continue
                doc = getattr(member, "__doc__", None)
                if isinstance(member, property):
                    doc = member.fget.__doc__ if member.fget else None
                yield f"{mod.__name__}.{name}.{mname}", doc


def _modules():
    names = [f"veltra.{m}" for m in veltra.MODULES] + PURE_PYTHON
    return [importlib.import_module(n) for n in names]


@pytest.mark.parametrize("mod", _modules(), ids=lambda m: m.__name__)
def test_examples_run(mod):
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    ran = 0
    for name, doc in _docstrings(mod):
        if not isinstance(doc, str) or ">>>" not in doc:
            continue
        test = parser.get_doctest(doc, {}, name, mod.__name__, 0)
        runner.run(test)
        ran += len(test.examples)
    result = runner.summarize(verbose=False)
    assert result.failed == 0
    if mod.__name__ not in PURE_PYTHON and not mod.__name__.split(".")[-1].startswith("_"):
        assert ran > 0, f"{mod.__name__} shows no runnable example"


@pytest.mark.parametrize("name", veltra.MODULES)
def test_public_api_is_documented(name):
    """Classes, methods and functions carry numpydoc docstrings; classes show Examples."""
    mod = importlib.import_module(f"veltra.{name}")
    for qual, doc in _docstrings(mod):
        assert doc and doc.strip(), f"{qual} has no docstring"
    for cname, cls in vars(mod).items():
        if inspect.isclass(cls) and not cname.startswith("_"):
            assert "Examples\n--------" in cls.__doc__, f"{cname} lacks Examples"


def test_readme_python_blocks_run():
    import pathlib
    import re

    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    blocks = re.findall(r"```python\n(.*?)```", readme.read_text(), re.S)
    assert blocks
    for code in blocks:
        exec(compile(code, "README.md", "exec"), {})
