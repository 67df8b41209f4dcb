"""Build step: the signatures of one package's stubs, as a C++ table.

Usage: stub_signatures.py SRC_DIR PACKAGE OUTPUT

Every function and method the stubs under SRC_DIR/PACKAGE declare (the first of an overloaded one's
overloads) gives one row, keyed by the module and qualified name the function has at run time: its
parameters in order (name, kind, annotation, default), its result annotation, and whether it is a
coroutine function (`async def`) or an async generator function (a `def` whose result is an
`AsyncGenerator`). Each name a stub's imports bind gives one more row, for the annotations to be resolved
against (`typing.get_type_hints`). The extension registers the table; its native functions take from it the signature
that `inspect.signature` shows, their defaults, and the way their calls are bound.
"""

import ast
import math
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


class Refused(Exception):
    """A stub this table cannot hold, with where it says so."""


def c_string(text: str, where: str = "") -> str:
    """`text` as a C++ literal of its UTF-8 bytes: printable ASCII as it is, every other byte (control characters,
    non-ASCII) as a three-digit octal escape, which no following character can extend."""
    try:
        data = text.encode("utf-8")
    except UnicodeEncodeError as error:
        raise Refused(f"{where}: the text {text!r} is no UTF-8 ({error.reason})") from None
    spelled = "".join(chr(b) if 0x20 <= b < 0x7F and b not in b'\\"' else f"\\{b:03o}" for b in data)
    return f'"{spelled}"'


def default(node: ast.expr | None, where: str) -> str:
    if node is None:
        return "{}"
    try:
        value = ast.literal_eval(node)  # the stubs spell every default as a literal
    except ValueError:
        raise Refused(f"{where}: the default {ast.unparse(node)} is no literal") from None
    if value is None:
        return "{pyhost::StubDefault::none}"
    if isinstance(value, bool):
        return f"{{pyhost::StubDefault::boolean, {int(value)}}}"
    if isinstance(value, int) and -(2**63) <= value < 2**63:
        return f"{{pyhost::StubDefault::integer, {value}LL}}"
    if isinstance(value, float) and math.isfinite(value):
        return f"{{pyhost::StubDefault::real, 0, {value!r}}}"
    if isinstance(value, str) and "\0" not in value:  # the table holds C strings, which end at a NUL
        return f"{{pyhost::StubDefault::text, 0, 0, {c_string(value, where)}}}"
    raise Refused(f"{where}: the default {ast.unparse(node)} cannot be compiled in (only None, a bool, a 64-bit "
                  f"int, a finite float or a str without NUL can)")


def parameters(function: ast.FunctionDef | ast.AsyncFunctionDef, where: str):
    arguments = function.args
    if arguments.posonlyargs or arguments.vararg:
        raise Refused(f"{where}:{function.lineno}: {function.name}: positional-only parameters and *args are not "
                      f"supported")
    positional = arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    rows = [("positional", a, d) for a, d in zip(positional, defaults)]
    rows += [("keyword_only", a, d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    if arguments.kwarg is not None:
        rows.append(("var_keyword", arguments.kwarg, None))
    for kind, argument, value in rows:
        at = f"{where}:{argument.lineno}: {function.name}, parameter {argument.arg}"
        annotation = c_string(ast.unparse(argument.annotation), at) if argument.annotation is not None else "nullptr"
        yield (f"{{{c_string(argument.arg, at)}, pyhost::StubKind::{kind}, {annotation}, "
               f"{default(value, at)}}},")


def imports(body, module: str):
    """(name, source module, attribute or None) for each name a stub's top-level imports bind."""
    for node in body:
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.asname:
                    yield alias.asname, alias.name, None
                else:
                    yield alias.name.split(".")[0], alias.name.split(".")[0], None
        elif isinstance(node, ast.ImportFrom):
            source = node.module or ""
            if node.level:
                base = module.split(".")[: len(module.split(".")) - node.level + 1]
                source = ".".join(base + ([source] if source else []))
            for alias in node.names:
                yield alias.asname or alias.name, source, alias.name


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
    tables, rows, bound = [], [], []
    for stub in sorted(package_root.rglob("*.pyi")):
        module = module_name(package_root, stub)
        body = ast.parse(stub.read_text(encoding="utf-8")).body
        for name, source, attribute in imports(body, module if stub.name != "__init__.pyi" else module + ".x"):
            bound.append(f"    {{{c_string(module)}, {c_string(name)}, {c_string(source)}, "
                         f"{c_string(attribute) if attribute else 'nullptr'}}},")
        for qualname, function in functions(body, ""):
            key = f"{module}.{qualname}"
            params = list(parameters(function, f"{stub}"))
            table = "nullptr"
            if params:
                table = f"parameters_{len(rows)}"
                tables += [f"const pyhost::StubParameter {table}[] = {{", *(f"    {p}" for p in params), "};"]
            at = f"{stub}:{function.lineno}: {function.name}"
            result = c_string(ast.unparse(function.returns), at) if function.returns is not None else "nullptr"
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
            *(["const pyhost::StubImport imports[] = {", *bound, "};", ""] if bound else []),
            f"const pyhost::StubSignatures registered(functions{', imports' if bound else ''});",
            "",
            "}  // namespace",
            "",
        ]
    )
    path = Path(output)
    if not path.exists() or path.read_text(encoding="utf-8") != text:
        path.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    try:
        main(*sys.argv[1:])
    except Refused as refused:
        sys.exit(f"stub_signatures.py: {refused}")
