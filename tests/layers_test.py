#!/usr/bin/env python3
"""Every folder's includes and links against the layer graph.

Every target shares the repository root as its include path, so the build alone would let a folder include a
header of a layer it does not link. This reads every `#include` of every library folder and fails on one that
reaches a layer (or a package) the folder does not link, directly or through the layers it links, naming the
file, the line and the rule; and it fails when a folder's CMakeLists.txt links other than the graph says.
Run by ctest as `layers`: python3 tests/layers_test.py SOURCE_DIR
"""

import pathlib
import re
import sys

# The layer graph, written once (CONTRIBUTING.md's Layout shows the same): what each folder's library links
# directly. Packages are named as below; a Qt or a package header counts as the package.
LAYERS = {
    "protocol": [],
    "registry": ["protocol"],
    "sim": ["protocol"],
    "link": ["protocol", "fmt"],
    "verdict": ["link", "fmt"],
    "book": ["sim", "link", "fmt"],
    "capture": ["link", "verdict", "libpcap", "fmt"],
    "fleet": ["sim", "link", "verdict", "fmt"],
    "suite": ["sim", "link", "verdict", "yaml-cpp", "fmt"],
    "metrics": ["book", "fleet", "prometheus-cpp"],
    "net": ["protocol", "Qt Core"],
    "engine": ["protocol", "registry", "sim", "book", "link", "net", "Qt Core"],
    "ui": ["engine", "Qt Widgets"],
    "cli": ["sim", "book", "link", "fleet", "net", "verdict", "capture", "suite", "metrics", "Qt Network", "CLI11", "fmt"],
}

# A package as CMake links it, and the include prefixes that are its headers.
PACKAGES = {
    "fmt": (["fmt::fmt"], ["fmt/"]),
    "libpcap": (["PkgConfig::PCAP"], ["pcap/", "pcap.h"]),
    "yaml-cpp": (["yaml-cpp"], ["yaml-cpp/"]),
    "prometheus-cpp": (["prometheus-cpp::core", "prometheus-cpp::pull"], ["prometheus/"]),
    "CLI11": (["CLI11::CLI11"], ["CLI/"]),
    "Qt Core": (["Qt6::Core"], ["Q"]),
    "Qt Widgets": (["Qt6::Widgets"], []),
    "Qt Network": (["Qt6::Network"], []),
}
# Widgets and Network bring Core with them.
IMPLIED = {"Qt Widgets": ["Qt Core"], "Qt Network": ["Qt Core"]}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCES = (".h", ".cpp")


def reachable(layer):
    seen = set()
    todo = list(LAYERS[layer])
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        todo += LAYERS.get(name, []) + IMPLIED.get(name, [])
    return seen


def package_of(header):
    for name, (_, prefixes) in PACKAGES.items():
        if any(header.startswith(p) for p in prefixes):
            return name
    return None


def include_faults(root):
    faults = []
    for layer in LAYERS:
        allowed = reachable(layer) | {layer}
        for path in sorted((root / layer).rglob("*")):
            if path.suffix not in SOURCES:
                continue
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                quote, header = match.groups()
                if quote == '"':
                    target = header.split("/")[0] if "/" in header else layer
                    if target not in LAYERS:
                        rule = f"{layer}/ includes only library folders, not {target}/"
                    elif target not in allowed:
                        rule = f"{layer}/ does not link {target}"
                    else:
                        continue
                else:
                    package = package_of(header)
                    if package is None or package in allowed:
                        continue
                    rule = f"{layer}/ does not link {package}"
                faults.append(f"{path.relative_to(root)}:{number}: {header}: {rule}")
    return faults


def link_faults(root):
    faults = []
    for layer, below in LAYERS.items():
        cmake = (root / layer / "CMakeLists.txt").read_text(encoding="utf-8")
        call = re.search(r"target_link_libraries\(\s*veltrano_" + layer + r"\s([^)]*)\)", cmake)
        if not call:
            faults.append(f"{layer}/CMakeLists.txt: no target_link_libraries(veltrano_{layer} ...)")
            continue
        linked = set(call.group(1).split()) - {"PUBLIC", "PRIVATE", "INTERFACE", "project_options"}
        expected = set()
        for name in below:
            expected |= set(PACKAGES[name][0]) if name in PACKAGES else {"veltrano_" + name}
        for extra in sorted(linked - expected):
            faults.append(f"{layer}/CMakeLists.txt: links {extra}, which the layer graph does not give {layer}")
        for missing in sorted(expected - linked):
            faults.append(f"{layer}/CMakeLists.txt: does not link {missing}, which the layer graph gives {layer}")
    return faults


def unknown_folders(root):
    known = set(LAYERS) | {"tests", "bench", "fuzz", "build", "wireshark", "python"}
    return [f"{path.name}/: a folder of C++ sources the layer graph does not name"
            for path in sorted(root.iterdir())
            if path.is_dir() and path.name not in known and not path.name.startswith(("build", "."))
            and any(p.suffix in SOURCES for p in path.glob("*"))]


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    faults = unknown_folders(root) + link_faults(root) + include_faults(root)
    for fault in faults:
        print(fault)
    print(f"{len(faults)} fault(s) against the layer graph of {len(LAYERS)} folders")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
