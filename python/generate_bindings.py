#!/usr/bin/env python3
"""Writes the kestrix module's function table and type stubs from the public
C headers, so that the comments in include/kestrix/*.h are the one source of
the documentation in C and in Python.

    generate_bindings.py OUTPUT_INC OUTPUT_PYI HEADER...

OUTPUT_INC  C++ for module.cpp: every function's docstring (namespace doc)
            and a defineFunctions(m) with one m.def per function that binds
            as it stands.
OUTPUT_PYI  the stub of the extension module kestrix._kestrix.

A function's documentation is the comment block right above it; a function
declared right after another without a comment of its own (an alias, or one
of a group under one comment) shares that one. The header's leading comment,
which holds the rules of the whole family (ranges, units, bad ports), follows
every function's own text.
"""
import os
import re
import sys

# Every call runs without the GIL, so that a Python thread inside one (bmd, a
# wait_for_*, a sleep, the network, or only an exchange with the coprocessor
# and its pause) never stalls the other threads; letting go of the GIL costs
# about 0.05 us a call. The camera's calls keep it, but for its two waits
# (opening, a frame): the camera is to be used from one thread at a time, and
# the GIL keeps the quick calls so.
KEEP_GIL_HEADERS = {"camera.h"}
RELEASE_GIL_ANYWAY = {"camera_open_device_model_at_res", "camera_update"}

# Functions whose C form does not carry over as it is; module.cpp or the
# package's Python code defines them, with these signatures.
BY_HAND = {
    "get_pid_gains": "def get_pid_gains(port: int) -> None",
    "mutex_create": "def mutex_create() -> mutex",
    "mutex_lock": "def mutex_lock(m: mutex) -> None",
    "mutex_trylock": "def mutex_trylock(m: mutex) -> int",
    "mutex_unlock": "def mutex_unlock(m: mutex) -> None",
    "mutex_destroy": "def mutex_destroy(m: mutex) -> None",
}
# Written in Python (kestrix/threads.py): a C thread runs a C function, a
# Python program hands over a Python one.
IN_PYTHON = {"thread_create", "thread_start", "thread_wait", "thread_destroy"}

PY_TYPES = {
    "void": "None", "int": "int", "short": "int", "long": "int", "unsigned long": "int",
    "float": "float", "double": "float", "const char *": "str | None",
}
# What a function returns (a C string from the library is never null).
PY_RETURNS = dict(PY_TYPES, **{"const char *": "str"})

DECLARATION = re.compile(r"KESTRIX_API\s+(?P<ret>[\w ]+?\s*\*?)\s*(?P<name>\w+)\s*\((?P<params>.*)\)\s*;$",
                         re.S)


def comment_text(lines):
    """The text of a comment block, without the comment marks and the
    Doxygen commands that only arrange the reference documentation."""
    text = "\n".join(lines)
    text = re.sub(r"^\s*/\*+!?<? ?", "", text)
    text = re.sub(r"\s*\*+/\s*$", "", text)
    out = []
    for line in text.split("\n"):
        line = re.sub(r"^\s*\* ?", "", line).rstrip()
        line = re.sub(r"^\s*[@\\](file|\{|\}|ingroup\s+\w+)\s*$", "", line)
        line = re.sub(r"\s*[@\\][{}]\s*$", "", line)
        line = re.sub(r"^\s*[@\\](addtogroup|defgroup)\s+\w+\s*", "", line)
        line = re.sub(r"^\s*[@\\]brief\s+", "", line)
        line = re.sub(r"[@\\]param(\[\w+\])?\s+(\w+)", r"\2:", line)
        line = re.sub(r"[@\\]returns?\b", "Returns", line)
        line = re.sub(r"[@\\](c|p|ref|a|e)\s+", "", line)
        out.append(line)
    return "\n".join(out).strip()


def split_params(params):
    params = params.strip()
    if params in ("", "void"):
        return []
    result = []
    for part in params.split(","):
        part = " ".join(part.split())
        match = re.match(r"(?P<type>.*?)(?P<name>\w+)$", part)
        if match is None:  # a function pointer: only BY_HAND or IN_PYTHON take one
            result.append((part, "function"))
            continue
        ctype = re.sub(r"\s*\*\s*", " *", match.group("type")).strip()
        result.append((ctype, match.group("name")))
    return result


def parse_header(path):
    """[(name, return type, [(type, name)], doc)], family comment."""
    with open(path, encoding="utf-8") as source:
        lines = source.read().split("\n")
    family = None
    functions = []
    comment = None        # text of the last comment block
    attached = None       # comment that the next declaration takes
    previous_doc = None   # for a declaration right after another
    after_declaration = False
    i = 0
    while i < len(lines):
        line = lines[i]
        stripped = line.strip()
        if re.fullmatch(r"///\s*[@\\][{}]", stripped):
            # Doxygen's member-group brackets: no text, no break in a group.
            i += 1
            continue
        if stripped.startswith("/*"):
            block = [line]
            while "*/" not in lines[i]:
                i += 1
                block.append(lines[i])
            comment = comment_text(block)
            if re.match(r"[@\\]name\b", comment) or re.fullmatch(r"-+[^-]*-+", comment):
                # A group's or a section's title, not a function's text.
                i += 1
                continue
            if family is None:
                family = comment
                comment = None
            attached = comment
            after_declaration = False
            i += 1
            continue
        if stripped.startswith("KESTRIX_API"):
            text = line
            while not text.rstrip().endswith(";"):
                i += 1
                text += " " + lines[i].strip()
            match = DECLARATION.search(text.strip())
            if match is None:
                sys.exit(f"{path}:{i + 1}: cannot read the declaration {text.strip()!r}")
            if attached is not None:
                doc = attached
            elif after_declaration:
                doc = previous_doc
            else:
                doc = None
            functions.append((match.group("name"), " ".join(match.group("ret").split()).replace(" *", " *"),
                              match.group("params"), doc))
            previous_doc = doc
            attached = None
            after_declaration = True
            i += 1
            continue
        if stripped == "" or stripped.startswith("#"):
            # A blank line ends a group: the next declaration does not inherit.
            attached = None
            after_declaration = False
        i += 1
    return functions, family or ""


def full_doc(doc, family):
    parts = [p for p in (doc, family) if p]
    return "\n\n".join(parts)


def cpp_string(text):
    # A raw string: the comments hold quotes and backslashes as they are.
    return 'R"kxdoc(' + text + ')kxdoc"'


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    output_inc, output_pyi, headers = sys.argv[1], sys.argv[2], sys.argv[3:]
    all_functions = []
    keep_gil = set()
    module_doc = ""
    for header in sorted(headers):
        functions, family = parse_header(header)
        if os.path.basename(header) == "kestrix.h":
            module_doc = family
        keeps_gil = os.path.basename(header) in KEEP_GIL_HEADERS
        for name, ret, params, doc in functions:
            if keeps_gil and name not in RELEASE_GIL_ANYWAY:
                keep_gil.add(name)
            all_functions.append((name, ret, split_params(params), full_doc(doc, family)))

    names = [f[0] for f in all_functions]
    duplicates = {n for n in names if names.count(n) > 1}
    if duplicates:
        sys.exit(f"declared twice: {', '.join(sorted(duplicates))}")

    inc = ["// Generated by python/generate_bindings.py from include/kestrix/*.h; do not edit.",
           "namespace doc {",
           f"constexpr const char *module = {cpp_string(module_doc)};"]
    for name, _, _, doc in all_functions:
        inc.append(f"constexpr const char *{name} = {cpp_string(doc)};")
    inc.append("} // namespace doc")
    inc.append("")
    inc.append("// Every C function by its C name, with its documentation: docs[name].")
    inc.append("inline void defineDocs(pybind11::dict &docs)")
    inc.append("{")
    for name, _, _, _ in all_functions:
        inc.append(f'    docs["{name}"] = doc::{name};')
    inc.append("}")
    inc.append("")
    inc.append("inline void defineFunctions(pybind11::module_ &m)")
    inc.append("{")
    for name, ret, params, _ in all_functions:
        if name in BY_HAND or name in IN_PYTHON:
            continue
        for ctype, _ in params:
            if ctype not in PY_TYPES:
                sys.exit(f"{name}: no Python type for parameter type {ctype!r}; add it to BY_HAND")
        if ret not in PY_RETURNS:
            sys.exit(f"{name}: no Python type for return type {ret!r}; add it to BY_HAND")
        args = "".join(f', py::arg("{pname}")' for _, pname in params)
        guard = "" if name in keep_gil else ", py::call_guard<py::gil_scoped_release>()"
        inc.append(f'    m.def("{name}", &::{name}, doc::{name}{args}{guard});')
    inc.append("}")

    pyi = ['"""' + module_doc + '"""', "# Generated by python/generate_bindings.py from include/kestrix/*.h.",
           "", "class mutex:", '    """A mutex handle from mutex_create()."""', "    ...", ""]
    for name, ret, params, doc in all_functions:
        if name in IN_PYTHON:
            continue
        if name in BY_HAND:
            signature = BY_HAND[name]
        else:
            args = ", ".join(f"{pname}: {PY_TYPES[ctype]}" for ctype, pname in params)
            signature = f"def {name}({args}) -> {PY_RETURNS[ret]}"
        body = doc.replace('"""', "'''").replace("\\", "\\\\")
        pyi.append(f'{signature}:\n    """{body}"""\n    ...\n')

    for path, lines in ((output_inc, inc), (output_pyi, pyi)):
        text = "\n".join(lines) + "\n"
        try:
            with open(path, encoding="utf-8") as old:
                if old.read() == text:
                    continue
        except FileNotFoundError:
            pass
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)


if __name__ == "__main__":
    main()
