"""The kiro.datasets modules import one another one way only, and Ray only when asked for."""

import ast
import os
import subprocess
import sys

import kiro.datasets

PACKAGE = "kiro.datasets"
FOLDER = os.path.dirname(kiro.datasets.__file__)
MODULES = sorted(name[:-3] for name in os.listdir(FOLDER) if name.endswith(".py") and name != "__init__.py")


def _imported(name):
    """The sibling modules `name` imports, at its top or inside functions."""
    with open(os.path.join(FOLDER, name + ".py"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            if node.level > 1 or (node.level == 0 and node.module != PACKAGE and
                                  not (node.module or "").startswith(PACKAGE + ".")):
                continue
            base = PACKAGE if node.level == 0 else PACKAGE + ("." + node.module if node.module else "")
            targets = [base] + [base + "." + alias.name for alias in node.names]
        else:
            continue
        for target in targets:
            if target.startswith(PACKAGE + "."):
                found.add(target[len(PACKAGE) + 1:].split(".")[0])
    return found & set(MODULES)


def _cycle(graph):
    """A cycle of `graph` as a list of modules, or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for nxt in sorted(graph[node]):
            if state.get(nxt) == "open":
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt, path + [nxt])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def test_the_reader_sees_every_kind_of_import():
    graph = {name: _imported(name) for name in MODULES}
    # run imports engines at its top and inside multiply; a reader that misses imports would see no cycle.
    assert {"engines", "formats", "work"} <= graph["run"]
    assert "work" in graph["engines"]
    assert _cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}}) == ["a", "b", "c", "a"]
    assert _cycle({"a": {"b"}, "b": set()}) is None


def test_dataset_modules_import_one_way():
    graph = {name: _imported(name) for name in MODULES}
    assert _cycle(graph) is None, " -> ".join(_cycle(graph))


def test_ray_is_loaded_only_for_the_ray_engine():
    code = ("import sys, importlib\n"
            "for name in %r: importlib.import_module('%s.' + name)\n"
            "print(sorted(m for m in sys.modules if m == 'ray' or m.startswith('ray.')))" % (MODULES, PACKAGE))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
