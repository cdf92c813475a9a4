"""The checked-in .pyi stubs list exactly the modules' names and signatures."""

import ast
import importlib
import inspect
import re
from pathlib import Path

import pytest

# Names a module binds from elsewhere; the stubs need not declare them.
IMPORTED = {"np", "math", "Optional", "Tuple", "QImage"}


def runtime_params(fn):
    """[(name, default or inspect.Parameter.empty)] of a nanobind or plain builtin function."""
    nb_sig = getattr(fn, "__nb_signature__", None)
    if nb_sig is None:
        return [(p.name, p.default) for p in inspect.signature(fn).parameters.values()]
    text, _doc, defaults = nb_sig[0]
    inner = text[text.index("(") + 1 : text.rindex(") ->")]
    params = []
    for part in re.split(r",\s*(?![^\[]*\])", inner):
        if not part or part in ("self", "/", "*"):
            continue
        name = part.split(":")[0].split("=")[0].strip()
        m = re.search(r"=\s*\\(\d+)$", part)
        params.append((name, defaults[int(m.group(1))] if m else inspect.Parameter.empty))
    return params


def stub_params(node):
    args = node.args.args
    defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults))
    defaults += [ast.literal_eval(d) for d in node.args.defaults]
    return [(a.arg, d) for a, d in zip(args, defaults) if a.arg != "self"]


def load_stub(mod):
    path = Path(mod.__file__).with_name(mod.__name__.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(path.read_text())
    names, funcs, classes = set(), {}, {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            funcs[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    return names | set(funcs) | set(classes), funcs, classes


@pytest.mark.parametrize("name", ["tintora", "brelvo", "geo"])
def test_stub_matches_module(name):
    mod = importlib.import_module(f"visualization.{name}")
    declared, funcs, classes = load_stub(mod)
    runtime = {k for k in vars(mod) if not k.startswith("__")} - IMPORTED
    assert declared == runtime
    for fname, node in funcs.items():
        assert stub_params(node) == runtime_params(getattr(mod, fname)), fname
    for cname, methods in classes.items():
        cls = getattr(mod, cname)
        for mname, node in methods.items():
            if mname == "__init__":
                continue
            assert stub_params(node) == runtime_params(getattr(cls, mname)), f"{cname}.{mname}"


def test_package_is_typed():
    import visualization

    assert (Path(visualization.__file__).parent / "py.typed").exists()
