"""The documentation: the reference lists exactly the public names, and the guide's examples run."""

import doctest
import importlib
import inspect
import pathlib
import pkgutil

import pytest

import veltra

ROOT = pathlib.Path(__file__).resolve().parents[3]
INVENTORY = ROOT / "build" / "docs" / "objects.inv"
GUIDE = sorted((ROOT / "docs" / "guide").glob("*.rst"))
PLOTTING = sorted(p for p in (ROOT / "examples").glob("*.py") if "matplotlib" in p.read_text())
# Bookkeeping attributes of every struct-sequence type (BerInterval), not our surface.
STRUCTSEQ = {"n_fields", "n_sequence_fields", "n_unnamed_fields"}


def _resolve(dotted):
    """The object a dotted name reaches by importing its longest module prefix."""
    parts = dotted.split(".")
    for i in range(len(parts), 0, -1):
        try:
            obj = importlib.import_module(".".join(parts[:i]))
        except ImportError:
            continue
        for p in parts[i:]:
            obj = getattr(obj, p)
        return obj
    raise ImportError(dotted)


def _public():
    """(module, name, object) for every public name of every public module of the package."""
    mods = [veltra] + [
        importlib.import_module(m.name)
        for m in pkgutil.walk_packages(veltra.__path__, "veltra.")
        if not any(p.startswith("_") for p in m.name.split("."))
    ]
    for mod in mods:
        names = getattr(mod, "__all__", None) or [n for n in dir(mod) if not n.startswith("_")]
        for name in names:
            obj = getattr(mod, name)
            foreign = not getattr(obj, "__module__", "veltra").startswith("veltra")
            if inspect.ismodule(obj) or ((inspect.isclass(obj) or callable(obj)) and foreign):
                continue  # imports the module uses, not its surface
            yield mod.__name__, name, obj


def _members(cls):
    builtin = set().union(*(dir(b) for b in cls.__mro__ if b.__module__ == "builtins"))
    return {m for m in dir(cls) if not m.startswith("_")} - builtin - STRUCTSEQ


@pytest.fixture(scope="module")
def documented():
    if not INVENTORY.exists():
        pytest.skip("the site is not built (make docs)")
    from sphinx.util.inventory import InventoryFile

    with INVENTORY.open("rb") as f:
        inv = InventoryFile.load(f, "", lambda base, uri: uri)
    data = getattr(inv, "data", inv)
    return {name for kind, entries in data.items() if kind.startswith("py:") for name in entries}


def test_reference_lists_every_public_name(documented):
    stale = "; rebuild the site (make docs-html) if the package changed since"
    by_object = {}
    for name in documented:
        try:
            by_object.setdefault(id(_resolve(name)), set()).add(name)
        except (ImportError, AttributeError):
            pytest.fail(f"the reference documents {name}, which does not exist{stale}")
    missing = []
    for mod, name, obj in _public():
        # Documented under this name, or (a re-export, or an alias Sphinx records) another.
        alias = by_object.get(id(obj), set()) if inspect.isclass(obj) or callable(obj) else set()
        homes = alias | ({f"{mod}.{name}"} & documented)
        if not homes:
            missing.append(f"{mod}.{name}")
        elif inspect.isclass(obj):
            missing += [f"{mod}.{name}.{m}" for m in sorted(_members(obj))
                        if not any(f"{h}.{m}" in documented for h in homes)]
    assert not missing, f"not in the reference: {missing}{stale}"


@pytest.mark.parametrize("script", PLOTTING, ids=lambda p: p.name)
def test_gallery_pages_hold_their_figures(script):
    page = ROOT / "build" / "docs" / "gallery" / f"{script.stem}.html"
    if not page.exists():
        pytest.skip("the site is not built (make docs)")
    assert f"sphx_glr_{script.stem}_001.png" in page.read_text()


@pytest.mark.parametrize("page", GUIDE, ids=lambda p: p.name)
def test_guide_examples_run(page):
    result = doctest.testfile(
        str(page), module_relative=False, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    )
    assert result.failed == 0
