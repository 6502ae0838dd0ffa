"""Write the API reference from the package itself, and sign it from the stubs.

At each build one page per public module is written into ``api/``: the extension modules
named in ``veltra.MODULES`` and the pure-Python modules of the package. Each page lists
the module's public names (its ``__all__``, or what it defines), each class with its
public members. An object offered by several modules is documented once, facades (modules
with an ``__all__``) before the modules that define it: ``veltra.interrupt.Interrupt``, not
``veltra.interrupt.interrupt.Interrupt``.

Signatures of extension-module objects come from the ``.pyi`` stubs shipped beside them.
"""

import ast
import importlib
import importlib.util
import inspect
import pathlib
import pkgutil
import re

import veltra

# Bookkeeping attributes every struct-sequence type carries; not part of our surface.
_STRUCTSEQ = {"n_fields", "n_sequence_fields", "n_unnamed_fields"}


def public_modules():
    """Names of the public modules: those of ``veltra.MODULES`` and the pure-Python ones."""
    names = {"veltra"} | {f"veltra.{m}" for m in veltra.MODULES}
    for info in pkgutil.walk_packages(veltra.__path__, "veltra."):
        names.add(info.name)
    return sorted(n for n in names if not any(p.startswith("_") for p in n.split(".")))


def module_names(mod):
    """Public names of a module: its ``__all__``, else what it defines itself."""
    if hasattr(mod, "__all__"):
        return list(mod.__all__)
    out = []
    for name, obj in vars(mod).items():
        if name.startswith("_") or inspect.ismodule(obj):
            continue
        if (inspect.isclass(obj) or callable(obj)) and getattr(obj, "__module__", None) != mod.__name__:
            continue  # imported from elsewhere
        out.append(name)
    return sorted(out)


def class_members(cls):
    """Public members a class defines (its own, or from bases of this package)."""
    names = set()
    for base in cls.__mro__:
        if base.__module__ == "builtins":
            continue
        names |= {n for n in vars(base) if not n.startswith("_")}
    return sorted(names - _STRUCTSEQ)


def _entry(directive, target, sig, indent=""):
    return [f"{indent}.. {directive}:: {target}{sig}", ""]


def _member_directive(cls, name):
    raw = inspect.getattr_static(cls, name)
    if isinstance(raw, property):
        return "autoproperty"
    if inspect.isroutine(raw) or isinstance(raw, (staticmethod, classmethod)):
        return "automethod"
    return "autoattribute"


def _object_lines(target, obj, stubs):
    """Directives documenting one module-level object and, for a class, its members."""
    if inspect.isclass(obj):
        lines = _entry("autoclass", target, stubs.signature(obj, init=True))
        for name in class_members(obj):
            member = getattr(obj, name)
            kind = _member_directive(obj, name)
            sig = stubs.signature(member) if kind == "automethod" else ""
            lines += _entry(kind, f"{target}.{name}", sig, indent="   ")
        return lines
    if callable(obj):
        return _entry("autofunction", target, stubs.signature(obj))
    return _entry("autodata", target, "")


def _homes(mods):
    """Where each class or function is documented: {id: "module.name"}.

    A module with an ``__all__`` (a facade such as ``veltra.wfm``) claims its names before
    the extension modules that define them, so the reference shows the path users import
    from; Sphinx still resolves the defining path as the object's canonical name.
    """
    homes = {}
    facades_first = sorted(mods, key=lambda m: (not hasattr(importlib.import_module(m), "__all__"), m))
    for modname in facades_first:
        mod = importlib.import_module(modname)
        for name in module_names(mod):
            obj = getattr(mod, name)
            if inspect.isclass(obj) or callable(obj):
                homes.setdefault(id(obj), f"{modname}.{name}")
    return homes


def write_pages(outdir, stubs):
    """Write ``<module>.rst`` for each public module and ``index.rst``; return the modules."""
    outdir.mkdir(parents=True, exist_ok=True)
    mods = public_modules()
    homes = _homes(mods)
    for modname in mods:
        mod = importlib.import_module(modname)
        lines = [modname, "=" * len(modname), "", f".. automodule:: {modname}", "   :no-members:", ""]
        if modname.count(".") <= 1:
            # Every public module has its section in the guide; a missing one fails the build.
            short = modname.rsplit(".", 1)[-1]
            lines += [f"User guide: :ref:`guide-{short}`.", ""]
        elsewhere = []
        for name in module_names(mod):
            obj = getattr(mod, name)
            target = f"{modname}.{name}"
            home = homes.get(id(obj), target)
            if home != target:
                elsewhere.append(f"``{name}`` (:py:obj:`{home}`)")
            else:
                lines += _object_lines(target, obj, stubs)
        if elsewhere:
            lines += ["Also offered here: " + ", ".join(elsewhere) + ".", ""]
        _write(outdir / f"{modname}.rst", "\n".join(lines))
    toc = ["API reference", "=============", "",
           "Generated from the installed package: every public module, class, method, property",
           "and function, with the signatures of the shipped stubs.", "",
           ".. toctree::", "   :maxdepth: 1", ""] + [f"   {m}" for m in mods]
    _write(outdir / "index.rst", "\n".join(toc) + "\n")
    for page in set(outdir.glob("*.rst")) - {outdir / f"{m}.rst" for m in mods} - {outdir / "index.rst"}:
        page.unlink()  # a module that is gone
    return mods


def _write(path, text):
    # Rewrite only on change, so an incremental build re-reads only what moved.
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def stub_signatures(modname):
    """{qualified name: [signature, ...]} from a module's ``.pyi`` stub, if it has one."""
    spec = importlib.util.find_spec(modname)
    if spec is None or not spec.origin or spec.origin.endswith(".py"):
        return {}
    stub = pathlib.Path(spec.origin).parent / (modname.rsplit(".", 1)[-1] + ".pyi")
    if not stub.exists():
        return {}
    sigs = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, ast.FunctionDef):
                args = node.args
                if prefix and args.args and args.args[0].arg in ("self", "cls"):
                    args.args = args.args[1:]
                ret = f" -> {ast.unparse(node.returns)}" if node.returns else ""
                sigs.setdefault(prefix + node.name, []).append(f"({ast.unparse(args)}){ret}")

    visit(ast.parse(stub.read_text()).body, f"{modname}.")
    return sigs


class Stubs:
    """Signatures of extension-module objects, read from their stubs once per module."""

    def __init__(self):
        self.by_module = {}

    def signature(self, obj, init=False):
        """The stub's signature of `obj` ('' where there is none or it is overloaded)."""
        owner = getattr(obj, "__module__", None) or ""
        qual = getattr(obj, "__qualname__", None)
        if not owner.startswith("veltra") or not qual:
            return ""
        if owner not in self.by_module:
            self.by_module[owner] = stub_signatures(owner)
        found = self.by_module[owner].get(f"{owner}.{qual}" + (".__init__" if init else ""))
        if not found or len(found) > 1:
            return ""  # overloads: autodoc reads every signature line of the docstring
        return found[0].rsplit(" -> ", 1)[0] if init else found[0]


def _clean_doc(app, what, name, obj, options, lines):
    # nanobind opens a docstring with the signature line(s); the stub's signature is shown.
    short = name.rsplit(".", 1)[-1]
    while lines and re.match(rf"{re.escape(short)}\(.*\)( -> .*)?$", lines[0]):
        del lines[0]
    while lines and not lines[0].strip():
        del lines[0]
    # Data without a docstring of its own would show its type's (a dtype's, a tuple's).
    if what == "data" and "\n".join(lines).strip() == (type(obj).__doc__ or "").strip():
        lines.clear()


def setup(app):
    def generate(app):
        write_pages(pathlib.Path(app.srcdir) / "api", Stubs())

    app.connect("builder-inited", generate)
    app.connect("autodoc-process-docstring", _clean_doc, priority=100)
    return {"parallel_read_safe": True}
