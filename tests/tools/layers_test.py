#!/usr/bin/env python3
"""Which folder of tools/ may include which: the shape of the tools.

Each folder is one library. A folder may include its own headers, the
folders its row names, and nothing above it, so the layers stay as drawn
and a second store engine or a new command plugs in without pulling the
rest along. A folder missing from the table fails too: a new library is
placed on purpose. Usage: layers_test.py SOURCE_DIR
"""
import pathlib
import re
import sys

# folder: the folders it may include (besides itself). common/ and wire/
# are the project's own shared headers, below every tool.
ALLOWED = {
    "wire": set(),
    "common": set(),
    "codec": {"wire"},
    "cli": set(),
    "config": set(),
    "base": {"common"},
    "model": {"base", "cli", "codec", "common", "wire"},
    "client": {"model", "base", "codec", "common", "wire"},
    "capture": {"model", "base", "codec", "common", "wire"},
    "follow": {"client", "capture", "model", "base", "codec", "common", "wire"},
    "output": {"model", "base", "codec"},
    "syslog": {"model", "base", "codec", "common"},
    # syslog: a syslog destination goes out through forward's senders.
    "alerts": {"syslog", "config", "cli", "model", "base", "codec", "common"},
    "policy": {"model", "config", "base", "codec"},
    "store": {"model", "base", "codec", "common"},
    "recorder": {"store", "follow", "alerts", "client", "capture", "model", "base", "codec",
                 "common", "wire"},
    "web": {"recorder", "store", "follow", "alerts", "output", "client", "capture", "model",
            "base", "codec", "config", "common", "wire"},
    "remote": {"web", "recorder", "store", "policy", "alerts", "syslog", "output", "follow",
               "capture", "client", "model", "base", "codec", "config", "cli", "common", "wire"},
    "example_host": {"cli", "wire"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main() -> int:
    root = pathlib.Path(sys.argv[1])
    faults = []
    for path in sorted((root / "tools").rglob("*")):
        if path.suffix not in (".h", ".cpp", ".def") or "node_modules" in path.parts:
            continue
        folder = path.relative_to(root / "tools").parts[0]
        if folder not in ALLOWED:
            faults.append(f"tools/{folder}/: a folder the table does not place")
            continue
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            where = path.relative_to(root)
            if "/" not in name:
                faults.append(f"{where}: includes \"{name}\" without its folder")
                continue
            to = name.split("/")[0]
            if to != folder and to not in ALLOWED[folder]:
                faults.append(f"{where}: {folder}/ may not include {name}")
    # The plug-in's wire header is included by its folder everywhere.
    for top in ("src", "tests", "bench", "common"):
        for path in (root / top).rglob("*"):
            if path.suffix in (".h", ".cpp") and "node_modules" not in path.parts:
                for name in INCLUDE.findall(path.read_text(errors="replace")):
                    if name in ("wire_format.h", "byte_order.h"):
                        faults.append(f"{path.relative_to(root)}: includes \"{name}\" "
                                      "without its folder (wire/)")
    for fault in sorted(set(faults)):
        print(fault)
    print(f"{len(set(faults))} include(s) against the layers")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
