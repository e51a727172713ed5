#!/usr/bin/env python3
"""Checks that the build keeps its layers apart.

For every source file that a build tree compiles, it follows the #include
lines through the files of this repository, resolved as the compiler
resolves them (the file's own folder for quoted names, then the -I folders
of its compile command), and checks what each target reaches and which
folders it may include from at all:

  * the VELTRA and KESTA libraries reach nothing of the simulator or of the
    stand-in's internals, and neither reaches the other's folders;
  * the installer reaches neither library nor the simulator;
  * the command-line tool reaches nothing but its own files, the public
    headers and the platform (the stand-in's windows.h on Linux);
  * the stand-in reaches the simulator only through the driver's I/O
    interface and the test hooks.

Usage: check_layers.py SOURCE_DIR BUILD_DIR
"""
import json
import os
import re
import shlex
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def rules(top):
    def under(*parts):
        return [os.path.join(top, p) for p in parts]

    library_forbidden = under("sim/", "compat/src/", "driver/", "tools/")
    platform = under("compat/include/")
    return [
        # (targets, what the layer is, folders it may not reach, folders it
        # alone may reach (None: anything not forbidden))
        (("veltra", "veltrad"), "the VELTRA library",
         library_forbidden + under("api/kesta/"), None),
        (("kesta", "kestad"), "the KESTA library",
         library_forbidden + under("api/modules/veltra/"), None),
        (("setup_ui", "installer"), "the installer",
         under("api/", "sim/", "compat/src/", "include/veltra.h", "include/kesta.h"), None),
        # The names of the devices of the FPGA parts are written once, for the
        # VELTRA library and the tool alike (api/modules/veltra/shared/).
        (("veltra_cli", "veltra_tool"), "the veltra tool",
         under("sim/", "compat/src/", "driver/", "api/modules/veltra/win32/", "api/kesta/",
               "api/common/"),
         under("tools/", "include/veltra.h", "include/kesta.h", "api/modules/veltra/shared/") +
         platform),
        (("w32compat", "w32compat_glue"), "the Win32 stand-in",
         under("sim/include/controls/", "sim/include/model/", "sim/core/", "sim/machine/",
               "sim/card/", "sim/design/", "sim/platform/", "api/", "tools/", "driver/"),
         under("compat/", "sim/include/driver/", "sim/include/hooks/", "sim/hooks/")),
    ]


def compile_commands(build):
    with open(os.path.join(build, "compile_commands.json")) as f:
        return json.load(f)


def target_of(output):
    match = re.search(r"CMakeFiles/([^/]+)\.dir/", output)
    return match.group(1) if match else None


def arguments(entry):
    if "arguments" in entry:
        return entry["arguments"]
    return shlex.split(entry["command"])


def include_dirs(entry):
    args = arguments(entry)
    dirs = []
    for i, arg in enumerate(args):
        for flag in ("-I", "-isystem", "-iquote"):
            if arg == flag and i + 1 < len(args):
                dirs.append(args[i + 1])
            elif arg.startswith(flag) and len(arg) > len(flag) and flag == "-I":
                dirs.append(arg[len(flag):])
    base = entry.get("directory", "")
    return [os.path.normpath(os.path.join(base, d)) for d in dirs]


def output_of(entry):
    args = arguments(entry)
    if "output" in entry:
        return entry["output"]
    for i, arg in enumerate(args):
        if arg == "-o" and i + 1 < len(args):
            return args[i + 1]
    return ""


def reached(source, dirs, top, cache):
    """Every file of the repository that `source` includes, directly or not,
    with the file that includes it."""
    seen = {}
    todo = [source]
    while todo:
        current = todo.pop()
        try:
            with open(current, errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        for kind, name in INCLUDE.findall(text):
            key = (os.path.dirname(current), kind, name)
            if key not in cache:
                candidates = ([os.path.dirname(current)] if kind == '"' else []) + dirs
                cache[key] = next(
                    (os.path.normpath(os.path.join(d, name)) for d in candidates
                     if os.path.isfile(os.path.join(d, name))), None)
            path = cache[key]
            if path is None or not path.startswith(top) or path in seen:
                continue
            seen[path] = current
            todo.append(path)
    return seen


def main():
    top = os.path.realpath(sys.argv[1]) + os.sep
    build = os.path.realpath(sys.argv[2]) + os.sep
    layers = rules(top)
    problems = []
    checked = 0
    for entry in compile_commands(build):
        target = target_of(output_of(entry))
        layer = next((l for l in layers if target in l[0]), None)
        if layer is None:
            continue
        _, what, forbidden, allowed = layer
        source = os.path.normpath(os.path.join(entry.get("directory", ""), entry["file"]))
        dirs = include_dirs(entry)
        checked += 1

        def refused(path):
            if any(path.startswith(p) or path == p.rstrip(os.sep) for p in forbidden):
                return True
            if allowed is not None and path.startswith(top) and not path.startswith(build):
                return not any(path.startswith(p) or path == p for p in allowed)
            return False

        # Folders of the repository that its compile command opens to it
        # (build folders are the build's own).
        for d in dirs:
            if any((d + os.sep).startswith(p) for p in forbidden):
                problems.append(f"{what} ({target}) is compiled with -I {d}")
        for path, includer in sorted(reached(source, dirs, top, {}).items()):
            if refused(path):
                problems.append(f"{what} ({target}): {os.path.relpath(includer, top)} includes "
                                f"{os.path.relpath(path, top)}")
    for problem in sorted(set(problems)):
        print(problem)
    if checked == 0:
        print("no source of a checked layer in", build)
        return 1
    print(f"{checked} sources checked, {len(set(problems))} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
