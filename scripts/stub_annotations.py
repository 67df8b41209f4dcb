"""Build step: the parameter and result annotations of one package's stubs, as a C++ table.

Usage: stub_annotations.py SRC_DIR PACKAGE OUTPUT

Every function and method the stubs under SRC_DIR/PACKAGE declare (the first of an overloaded one's
overloads) gives one row per annotated parameter, and one for its result (parameter "return"), keyed
by the module and qualified name the function has at run time; each `async def` is listed as a
coroutine function. The extension
registers the tables, and its signed functions take their annotations from them, so the types that
`inspect.signature` shows are the stubs' own, and so is what `inspect.iscoroutinefunction` says.
"""

import ast
import sys
from pathlib import Path


def module_name(package_root: Path, stub: Path) -> str:
    parts = stub.relative_to(package_root.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def functions(body, prefix):
    seen = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            # An overloaded function shows its first overload, the one that names the accepted types whole.
            if node.name not in seen:
                seen.add(node.name)
                yield f"{prefix}{node.name}", node
        elif isinstance(node, ast.ClassDef):
            yield from functions(node.body, f"{prefix}{node.name}.")


def rows(function: ast.FunctionDef | ast.AsyncFunctionDef):
    arguments = function.args
    every = [*arguments.posonlyargs, *arguments.args, arguments.vararg, *arguments.kwonlyargs, arguments.kwarg]
    for argument in every:
        if argument is not None and argument.annotation is not None:
            yield argument.arg, ast.unparse(argument.annotation)
    if function.returns is not None:
        yield "return", ast.unparse(function.returns)


def c_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main(src_dir: str, package: str, output: str) -> None:
    package_root = Path(src_dir) / package
    lines, coroutines = [], []
    for stub in sorted(package_root.rglob("*.pyi")):
        module = module_name(package_root, stub)
        for qualname, function in functions(ast.parse(stub.read_text(encoding="utf-8")).body, ""):
            key = f"{module}.{qualname}"
            for parameter, annotation in rows(function):
                lines.append(f"    {{{c_string(key)}, {c_string(parameter)}, {c_string(annotation)}}},")
            if isinstance(function, ast.AsyncFunctionDef):
                coroutines.append(f"    {c_string(key)},")
    text = "\n".join(
        [
            f"// Generated from the stubs of {package} by scripts/stub_annotations.py at build time.",
            '#include "pyhost/signatures.hpp"',
            "",
            "namespace {",
            "",
            "const pyhost::StubAnnotation annotations[] = {",
            *lines,
            "};",
            "",
            "const char *const coroutine_functions[] = {",
            *coroutines,
            "    nullptr,  // the list may be empty otherwise",
            "};",
            "",
            "const pyhost::StubAnnotations registered(annotations, coroutine_functions);",
            "",
            "}  // namespace",
            "",
        ]
    )
    path = Path(output)
    if not path.exists() or path.read_text(encoding="utf-8") != text:
        path.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main(*sys.argv[1:])
