"""Keeps the API reference (api.rst) honest.

Every public member of the module and every name the stub declares must be
documented, nothing may be documented that neither has, and every documented
function's parameters must be the stub's: the same names in the same order,
with a bare ``*`` where the stub has one. Each disagreement is a warning, which
the test command's build (-W) turns into a failure.
"""

from __future__ import annotations

import ast
import importlib
import inspect

from sphinx import addnodes
from sphinx.util import logging

logger = logging.getLogger(__name__)

# Members every class has that say nothing about this module.
INHERITED = {"__hash__"}


def stub_members(path):
    """{dotted name: parameter list or None} from the stub (``self``/``cls`` left out)."""
    tree = ast.parse(open(path, encoding="utf-8").read(), path)
    found = {}

    def params(fn):
        a = fn.args
        names = [p.arg for p in a.posonlyargs + a.args]
        if names and names[0] in ("self", "cls"):
            names = names[1:]
        if a.kwonlyargs:
            names += ["*"] + [p.arg for p in a.kwonlyargs]
        return names

    def walk(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                found[prefix + node.name] = None
                walk(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                is_property = any(getattr(d, "id", None) == "property" for d in node.decorator_list)
                found[prefix + node.name] = None if is_property else params(node)
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                if node.target.id not in INHERITED:
                    found[prefix + node.target.id] = None

    walk(tree.body, "")
    return found


def module_members(name):
    """Dotted names of the module's own public members and their classes' members."""
    module = importlib.import_module(name)
    names = {"__version__"}
    for attr, value in vars(module).items():
        if attr.startswith("_"):
            continue
        names.add(attr)
        if inspect.isclass(value) and value.__module__ == name:
            names.update(f"{attr}.{m}" for m in vars(value) if not m.startswith("_"))
    return names


def signature_of(sig):
    plist = next(iter(sig.findall(addnodes.desc_parameterlist)), None)
    if plist is None:
        return None
    out = []
    for param in plist.findall(addnodes.desc_parameter):
        name = next(iter(param.findall(addnodes.desc_sig_name)), None)
        text = name.astext() if name is not None else param.astext().strip()
        if text != "/":
            out.append(text)
    return out


def on_doctree_read(app, doctree):
    env = app.env
    documented = env.__dict__.setdefault("members_check_documented", {})
    module = app.config.members_check_module
    for sig in doctree.findall(addnodes.desc_signature):
        if sig.get("module") != module or not sig.get("fullname"):
            continue
        objtype = sig.parent.get("objtype")
        params = signature_of(sig) if objtype in ("function", "method", "staticmethod") else None
        documented[sig["fullname"]] = (env.docname, params)


def on_purge(app, env, docname):
    documented = env.__dict__.get("members_check_documented", {})
    for key in [k for k, (doc, _) in documented.items() if doc == docname]:
        del documented[key]


def on_check(app, env):
    documented = env.__dict__.get("members_check_documented", {})
    stub = stub_members(app.config.members_check_stub)
    module = module_members(app.config.members_check_module)
    where = app.config.members_check_module
    for name in sorted((set(stub) | module) - set(documented)):
        origin = "the module" if name in module else "the stub"
        logger.warning("%s.%s (in %s) is missing from the API reference", where, name, origin)
    for name in sorted(set(documented) - set(stub) - module):
        logger.warning("%s.%s is documented but neither the module nor the stub has it",
                       where, name, location=documented[name][0])
    for name, (docname, params) in sorted(documented.items()):
        want = stub.get(name)
        if want is not None and params is not None and params != want:
            logger.warning("%s.%s: documented parameters %s, the stub has %s",
                           where, name, params, want, location=docname)


def setup(app):
    app.add_config_value("members_check_stub", "", "env")
    app.add_config_value("members_check_module", "", "env")
    app.connect("doctree-read", on_doctree_read)
    app.connect("env-purge-doc", on_purge)
    app.connect("env-check-consistency", on_check)
    return {"version": "1", "parallel_read_safe": False, "env_version": 1}
