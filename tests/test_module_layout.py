"""The package's import graph: no circles, and a core that never reaches into the command line."""
import ast
import pathlib

import pytest

import qarv_convert

PACKAGE = pathlib.Path(qarv_convert.__file__).parent
#: What starts the command line: it may import anything.
ENTRY_POINTS = {"qarv_convert", "qarv_convert.__main__"}


def _module_name(path):
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


MODULES = {_module_name(path): path for path in PACKAGE.rglob("*.py")}


def _is_command_line(name):
    return name == "qarv_convert.cli" or name == "qarv_convert.commands" or name.startswith("qarv_convert.commands.")


def _imports(name):
    """Every module of the package that `name` imports, at the top or inside a function."""
    path = MODULES[name]
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                base = f"{anchor}.{base}" if base else anchor
            for alias in node.names:
                # `from package import module` imports the module; `from module import name` the module.
                found.add(f"{base}.{alias.name}" if f"{base}.{alias.name}" in MODULES else base)
    return {module for module in found if module in MODULES and module != name}


GRAPH = {name: _imports(name) for name in MODULES}


def test_the_graph_sees_the_imports_inside_functions():
    # The command line's modules import most of theirs inside functions, to start fast.
    assert "qarv_convert.conversion" in GRAPH["qarv_convert.commands.convert"]
    assert "qarv_convert.preflight" in GRAPH["qarv_convert.conversion"]


def test_no_module_imports_itself_through_others():
    def circle_from(start):
        path, on_path, done = [], set(), set()

        def visit(name):
            if name in ENTRY_POINTS or name in done:
                return None
            if name in on_path:
                return path[path.index(name):] + [name]
            path.append(name)
            on_path.add(name)
            for imported in sorted(GRAPH[name]):
                if (circle := visit(imported)) is not None:
                    return circle
            path.pop()
            on_path.discard(name)
            done.add(name)
            return None

        return visit(start)

    circles = [circle for name in sorted(MODULES) if (circle := circle_from(name)) is not None]
    assert circles == [], " -> ".join(circles[0])


@pytest.mark.parametrize("name", sorted(name for name in MODULES
                                        if name not in ENTRY_POINTS and not _is_command_line(name)))
def test_the_core_does_not_import_the_command_line(name):
    assert sorted(filter(_is_command_line, GRAPH[name])) == []
