"""Build step: the signatures of one package's stubs, as a C++ table.

Usage: stub_signatures.py SRC_DIR PACKAGE OUTPUT

Every function and method the stubs under SRC_DIR/PACKAGE declare (the first of an overloaded one's
overloads) gives one row, keyed by the module and qualified name the function has at run time: its
parameters in order (name, kind, annotation, default), its result annotation, and whether it is a
coroutine function (`async def`) or an async generator function (a `def` whose result is an
`AsyncGenerator`). The extension registers the table; its native functions take from it the signature
that `inspect.signature` shows, their defaults, and the way their calls are bound.
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


def c_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def default(node: ast.expr | None, where: str) -> str:
    if node is None:
        return "{}"
    value = ast.literal_eval(node)  # the stubs spell every default as a literal
    if value is None:
        return "{pyhost::StubDefault::none}"
    if isinstance(value, bool):
        return f"{{pyhost::StubDefault::boolean, {int(value)}}}"
    if isinstance(value, int) and -(2**63) <= value < 2**63:
        return f"{{pyhost::StubDefault::integer, {value}LL}}"
    if isinstance(value, float):
        return f"{{pyhost::StubDefault::real, 0, {value!r}}}"
    if isinstance(value, str):
        return f"{{pyhost::StubDefault::text, 0, 0, {c_string(value)}}}"
    raise SystemExit(f"{where}: a default of {type(value).__name__} cannot be compiled in")


def parameters(function: ast.FunctionDef | ast.AsyncFunctionDef, where: str):
    arguments = function.args
    if arguments.posonlyargs or arguments.vararg:
        raise SystemExit(f"{where}: positional-only parameters and *args are not supported")
    positional = arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    rows = [("positional", a, d) for a, d in zip(positional, defaults)]
    rows += [("keyword_only", a, d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    if arguments.kwarg is not None:
        rows.append(("var_keyword", arguments.kwarg, None))
    for kind, argument, value in rows:
        annotation = c_string(ast.unparse(argument.annotation)) if argument.annotation is not None else "nullptr"
        yield (f"{{{c_string(argument.arg)}, pyhost::StubKind::{kind}, {annotation}, "
               f"{default(value, where)}}},")


def kind_of(function: ast.FunctionDef | ast.AsyncFunctionDef) -> str:
    if isinstance(function, ast.AsyncFunctionDef):
        return "coroutine"
    returns = function.returns
    if isinstance(returns, ast.Subscript):
        returns = returns.value
    name = ast.unparse(returns) if returns is not None else ""
    return "async_generator" if name.split(".")[-1] == "AsyncGenerator" else "function"


def main(src_dir: str, package: str, output: str) -> None:
    package_root = Path(src_dir) / package
    tables, rows = [], []
    for stub in sorted(package_root.rglob("*.pyi")):
        module = module_name(package_root, stub)
        for qualname, function in functions(ast.parse(stub.read_text(encoding="utf-8")).body, ""):
            key = f"{module}.{qualname}"
            params = list(parameters(function, key))
            table = "nullptr"
            if params:
                table = f"parameters_{len(rows)}"
                tables += [f"const pyhost::StubParameter {table}[] = {{", *(f"    {p}" for p in params), "};"]
            result = c_string(ast.unparse(function.returns)) if function.returns is not None else "nullptr"
            rows.append(f"    {{{c_string(key)}, pyhost::StubFunctionKind::{kind_of(function)}, {table}, "
                        f"{len(params)}, {result}}},")
    text = "\n".join(
        [
            f"// Generated from the stubs of {package} by scripts/stub_signatures.py at build time.",
            '#include "pyhost/signatures.hpp"',
            "",
            "namespace {",
            "",
            *tables,
            "",
            "const pyhost::StubFunction functions[] = {",
            *rows,
            "};",
            "",
            "const pyhost::StubSignatures registered(functions);",
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
