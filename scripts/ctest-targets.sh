#!/usr/bin/env bash
# Prints the build outputs the tests of a configured tree run, one a line,
# relative to the tree: every file of the tree that a selected test's command
# names (the test program, what a wrapper script or CMake script is given)
# and that the tree builds; for a program not built yet, the target named as
# its test. Building just these
#   ninja -C BUILD_DIR $(scripts/ctest-targets.sh BUILD_DIR -L threaded)
# builds what those tests need: programs a test starts are its dependencies.
#   scripts/ctest-targets.sh BUILD_DIR [ctest selection, e.g. -L unit]
set -euo pipefail
build="$(cd "$1" && pwd)"; shift
( cd "$build" && ctest --show-only=json-v1 "$@" ) | python3 -c '
import json, os, re, subprocess, sys
build = sys.argv[1]
listing = subprocess.run(["ninja", "-C", build, "-t", "targets", "all"],
                         check=True, capture_output=True, text=True).stdout
known = {line.split(": ")[0] for line in listing.splitlines() if ": " in line}
outputs = set()
unknown = []
for test in json.load(sys.stdin).get("tests", []):
    # ctest names no command for a program not built yet: the program is
    # then the target of the test'"'"'s own name.
    if not test.get("command"):
        if test["name"] in known:
            outputs.add(test["name"])
        else:
            unknown.append(test["name"])
        continue
    for word in test["command"]:
        # A path alone, or an option that carries one (-DLIBRARY=..., -I...).
        for path in re.findall(r"(?:^|=|^-[IL])(/[^;=]*)", word):
            if path.startswith(build + "/"):
                relative = os.path.relpath(path, build)
                if relative in known:
                    outputs.add(relative)
if unknown:
    sys.exit("ctest-targets: no program known for " + ", ".join(unknown))
if not outputs:
    sys.exit("ctest-targets: no test of that selection names a built file")
for output in sorted(outputs):
    print(output)
' "$build"
