"""Sphinx configuration of the veltra documentation (``make docs``)."""

import importlib
import pathlib
import sys

import veltra

sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))
import apiref  # noqa: E402

# Import every module for real now: autodoc would otherwise load a native module from its
# .pyi stub and leave that empty shell in sys.modules, where the gallery's scripts find it.
for _name in apiref.public_modules() + [f"veltra.{m}" for m in veltra.MODULES]:
    importlib.import_module(_name)

project = "veltra"
release = version = veltra.__version__
copyright = "the veltra developers"

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "apiref",
]

exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path = []

# Every reference inside veltra must resolve; only names of other projects (NumPy, the
# standard library's typing helpers) are left unlinked, as no inventory of theirs is
# fetched while building.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|collections\.abc|typing|types|os|pathlib|threading|signal)(\..*)?"),
    (r"py:.*", r"(array_like|ndarray|optional|object|callable|capsule|sequence)"),
]

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

sphinx_gallery_conf = {
    "examples_dirs": "../examples",
    "gallery_dirs": "gallery",
    # Run every example, not only plot_*.py, except the Dask one: it starts worker
    # processes and takes command-line arguments (its own test runs it).
    "filename_pattern": r"/(?!parallel_captures)[^/]*\.py$",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "gallery_order.LeadThenName",
    "matplotlib_animations": False,
    "min_reported_time": 1,
}
