#!/usr/bin/env python3
"""What a folder of Node headers says about the host they belong to.

    node_headers.py <include dir> <OS as gyp names it: win, linux, mac> <output.cmake>

Writes a CMake script that sets _vyn_headers_module_version,
_vyn_headers_node_version, _vyn_headers_embedder ("electron" or empty) and
_vyn_headers_defines: the macros that an addon build of these headers gets
from their common.gypi and config.gypi and that the headers themselves test.

Those macros are the host's V8 build options (pointer compression and its
cage, 31-bit Smis, the sandbox, ...) and an embedder's own guards; an addon
compiled without the ones its host was built with misreads V8's objects, so
they are taken the way node-gyp takes them: by evaluating the gyp files'
conditions with the headers' own configuration, not from a list kept here
that a newer V8 or an embedder would outgrow.
"""

import ast
import os
import re
import sys


class HeadersError(Exception):
    pass


def read_gypi(path):
    try:
        with open(path, encoding="utf-8") as f:
            return ast.literal_eval(f.read())
    except OSError as e:
        raise HeadersError(f"cannot read {path}: {e.strerror}")
    except (SyntaxError, ValueError) as e:
        raise HeadersError(f"{path} is not a gyp file: {e}")


def expand(text, variables):
    # The <(name) and >(name) references a define may hold.
    return re.sub(r"[<>]\((\w+)\)", lambda m: str(variables.get(m.group(1), m.group(0))), text)


def carries_defines(node):
    if isinstance(node, dict):
        return any(k.rstrip("!+") == "defines" or carries_defines(v) for k, v in node.items())
    if isinstance(node, list):
        return any(carries_defines(v) for v in node)
    return False


def chosen_branches(conditions, variables):
    """The branches that gyp's condition lists select, as gyp evaluates them."""
    for entry in conditions:
        index = 0
        while index + 1 < len(entry):
            condition, branch = entry[index], entry[index + 1]
            try:
                # gyp's own evaluation: a Python expression over the variables.
                taken = eval(condition, {"__builtins__": {}}, variables)
            except Exception as e:
                if carries_defines(entry):
                    raise HeadersError(f"cannot evaluate the condition '{condition}' ({e}), "
                                       "which decides macros an addon is built with")
                taken = False
            if taken:
                yield branch
                break
            index += 2
        else:
            if index < len(entry):
                yield entry[index]


def apply_variables(section, variables, only_defaults):
    for key, value in section.items():
        if key == "conditions":
            continue
        name = key.rstrip("%")
        if key.endswith("%") or only_defaults:
            variables.setdefault(name, value)
        else:
            variables[name] = value
    for branch in chosen_branches(section.get("conditions", []), variables):
        apply_variables(branch, variables, only_defaults)


def collect_defines(section, variables, defines):
    for define in section.get("defines", []) + section.get("defines+", []):
        define = expand(define, variables)
        if define not in defines:
            defines.append(define)
    for define in section.get("defines!", []):
        if define in defines:
            defines.remove(define)
    release = section.get("configurations", {}).get("Release", {})
    if release:
        collect_defines(release, variables, defines)
    for key in ("conditions", "target_conditions"):
        for branch in chosen_branches(section.get(key, []), variables):
            collect_defines(branch, variables, defines)


def header_names(include_dir):
    """Every identifier the headers mention. OpenSSL's headers are left out:
    they describe Node's copy of OpenSSL, which the addon never includes."""
    names = set()
    for root, dirs, files in os.walk(include_dir):
        dirs[:] = [d for d in dirs if d != "openssl"]
        for name in files:
            if name.endswith(".h"):
                with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                    names.update(re.findall(r"[A-Za-z_]\w*", f.read()))
    return names


def node_header_define(include_dir, name):
    path = os.path.join(include_dir, "node_version.h")
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise HeadersError(f"cannot read {path}: {e.strerror}")
    match = re.search(rf"^#\s*define\s+{name}\s+(\d+)\s*$", text, re.M)
    if not match:
        raise HeadersError(f"{path} defines no {name}")
    return match.group(1)


def describe(include_dir, os_name):
    common = read_gypi(os.path.join(include_dir, "common.gypi"))
    config = read_gypi(os.path.join(include_dir, "config.gypi"))

    # The headers' own configuration first; common.gypi only fills in what it
    # leaves open, as node-gyp's includes do.
    variables = dict(config.get("variables", {}))
    variables.update(OS=os_name, target_arch="x64", host_arch="x64", GENERATOR="ninja",
                     _type="loadable_module", _toolset="target", _target_name="vynAddon")
    apply_variables(common.get("variables", {}), variables, only_defaults=True)

    defines = []
    for gypi in (common, config):
        collect_defines(gypi.get("target_defaults", {}), variables, defines)

    visible = header_names(include_dir)
    # BUILDING_* and *_SHARED say how node-gyp would link the addon; this
    # build links it against the host's exports in its own way.
    kept = [d for d in defines
            if d.split("=")[0] in visible
            and not d.startswith("BUILDING_") and not d.split("=")[0].endswith("_SHARED")]

    module_version = node_header_define(include_dir, "NODE_MODULE_VERSION")
    for define in kept:
        name, _, value = define.partition("=")
        if name == "NODE_EMBEDDER_MODULE_VERSION" and value.isdigit():
            module_version = value
    node_version = ".".join(node_header_define(include_dir, f"NODE_{part}_VERSION")
                            for part in ("MAJOR", "MINOR", "PATCH"))
    embedder = ""
    if any(str(variables.get(v, 0)) in ("1", "true")
           for v in ("built_with_electron", "using_electron_config_gypi")):
        embedder = "electron"
    return module_version, node_version, embedder, kept


def cmake_text(value):
    return "[==[" + value + "]==]"


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    include_dir, os_name, output = argv[1:]
    try:
        module_version, node_version, embedder, defines = describe(include_dir, os_name)
    except HeadersError as e:
        sys.stderr.write(f"{e}\n")
        return 1
    lines = [
        f"set(_vyn_headers_module_version {module_version})",
        f"set(_vyn_headers_node_version {node_version})",
        f"set(_vyn_headers_embedder {cmake_text(embedder)})",
        "set(_vyn_headers_defines)",
    ]
    lines += [f"list(APPEND _vyn_headers_defines {cmake_text(d)})" for d in defines]
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
