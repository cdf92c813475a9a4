"""The checked-in .pyi stubs list exactly the modules' names and signatures, and every
function's own signature and docstring say what it takes and what it returns."""

import ast
import importlib
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

# Names a module binds from elsewhere; the stubs need not declare them.
IMPORTED = {"np", "math", "Optional", "Tuple", "QImage"}
# Modules whose functions show full Python signatures: every parameter typed.
TYPED = ["tintora", "brelvo"]
STUBS = Path(__file__).parents[1] / "src" / "visualization"


def split_top_level(text, sep):
    """Pieces of `text` between the occurrences of `sep` outside brackets."""
    pieces, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == sep and depth == 0:
            pieces.append(text[start:i])
            start = i + 1
    pieces.append(text[start:])
    return [p.strip() for p in pieces]


def normalised(annotation):
    return None if annotation is None else ast.unparse(ast.parse(annotation, mode="eval"))


def nb_signature(fn):
    """([(name, annotation, default)], return annotation) of a nanobind function.

    Annotations are normalised source text (None when absent); a parameter without a
    default has inspect.Parameter.empty.
    """
    text, _doc, defaults = fn.__nb_signature__[0]
    text = text.splitlines()[-1]
    head, _, returns = text.rpartition(" -> ")
    inner = head[head.index("(") + 1 : head.rindex(")")]
    params = []
    for part in split_top_level(inner, ","):
        if part in ("", "self", "/", "*"):
            continue
        left, *default = split_top_level(part, "=")
        name, *annotation = split_top_level(left, ":")
        if not default:
            value = inspect.Parameter.empty
        elif default[0].startswith("\\"):  # nanobind's placeholder for a rendered default
            value = defaults[int(default[0][1:])]
        else:
            value = ast.literal_eval(default[0])
        params.append((name, normalised(annotation[0]) if annotation else None, value))
    return params, normalised(returns)


def runtime_params(fn):
    """[(name, default or inspect.Parameter.empty)] of a nanobind or plain builtin function."""
    if getattr(fn, "__nb_signature__", None) is None:
        return [(p.name, p.default) for p in inspect.signature(fn).parameters.values()]
    return [(name, default) for name, _annotation, default in nb_signature(fn)[0]]


def stub_signature(node):
    """([(name, annotation, default)], return annotation) of a stub's function node."""
    args = node.args.args
    defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults))
    defaults += [ast.literal_eval(d) for d in node.args.defaults]
    params = [
        (a.arg, a.annotation and ast.unparse(a.annotation), d)
        for a, d in zip(args, defaults)
        if a.arg != "self"
    ]
    return params, node.returns and ast.unparse(node.returns)


def stub_params(node):
    return [(name, default) for name, _annotation, default in stub_signature(node)[0]]


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


def stubbed_functions(mod):
    """(qualified name, stub node, runtime function) of every function the stub declares."""
    _declared, funcs, classes = load_stub(mod)
    for fname, node in funcs.items():
        yield fname, node, getattr(mod, fname)
    for cname, methods in classes.items():
        for mname, node in methods.items():
            yield f"{cname}.{mname}", node, getattr(getattr(mod, cname), mname)


@pytest.mark.parametrize("name", ["tintora", "brelvo", "geo"])
def test_stub_matches_module(name):
    mod = importlib.import_module(f"visualization.{name}")
    declared, _funcs, _classes = load_stub(mod)
    runtime = {k for k in vars(mod) if not k.startswith("__")} - IMPORTED
    assert declared == runtime
    for qualname, node, fn in stubbed_functions(mod):
        assert stub_params(node) == runtime_params(fn), qualname


@pytest.mark.parametrize("name", TYPED)
def test_signatures_show_the_stubs_types(name):
    mod = importlib.import_module(f"visualization.{name}")
    for qualname, node, fn in stubbed_functions(mod):
        params, returns = nb_signature(fn)
        for pname, annotation, _default in params:
            assert annotation not in (None, "object"), f"{qualname}({pname}) has no type"
        assert (params, returns) == stub_signature(node), qualname


def returned_words(annotation):
    """The words a docstring's first line uses to name what `annotation` returns."""
    words = {"NDArray": "array", "QImage": "QImage", "tuple": "tuple", "dict": "dict", "int": "number"}
    found = []
    stack = [ast.parse(annotation, mode="eval").body]
    while stack:
        node = stack.pop()
        if isinstance(node, ast.BinOp):  # X | None
            stack += [node.left, node.right]
        elif isinstance(node, ast.Constant) and node.value is None:
            found.append("None")
        else:
            base = node.value if isinstance(node, ast.Subscript) else node
            found.append(words[base.attr if isinstance(base, ast.Attribute) else base.id])
    return found


@pytest.mark.parametrize("name", TYPED)
def test_docstrings_open_with_what_is_returned(name):
    mod = importlib.import_module(f"visualization.{name}")
    for qualname, node, fn in stubbed_functions(mod):
        if qualname.endswith(".__init__"):
            continue
        _text, doc, _defaults = fn.__nb_signature__[0]
        assert doc and doc.strip(), f"{qualname} has no docstring"
        first = doc.splitlines()[0]
        assert first.startswith("Return "), qualname
        for word in returned_words(nb_signature(fn)[1]):
            assert word in first, f"{qualname}: {first!r} does not mention {word}"
        stub_doc = ast.get_docstring(node)
        if stub_doc:
            assert stub_doc.splitlines()[0] == first, qualname


def test_stubs_type_check(tmp_path):
    pytest.importorskip("mypy")
    # The stubs alone, outside the package, in a child process: mypy's
    # in-process run leaves a heap of millions of objects behind, which every
    # later full garbage collection would walk.
    stubs = [f"{name}.pyi" for name in TYPED]
    for stub in stubs:
        (tmp_path / stub).write_text((STUBS / stub).read_text())
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                          *stubs], capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_package_is_typed():
    import visualization

    assert (Path(visualization.__file__).parent / "py.typed").exists()
