#!/usr/bin/env python3
"""Which ctest entries of a build folder cover which files, for tools/mutate.sh.

    mutate-map.py BUILD

prints one line per ctest entry: its name, the shell command that runs it
(with GoogleTest's --gtest_brief=1 dropped, so that its output shows which
test was running), the targets to build before it runs ("-" for none) and
the files of the source tree it covers, separated by tabs. An entry covers every file that a program it runs compiles, links or
includes. The programs it runs are the built executables named in its command
or in a script of its command (the end-to-end test names TavdeskSim.exe),
and every target those depend on: what they link, and what they need built
to run (program_test needs TavdeskSim). Building the targets of the
programs it runs builds all of those. The build is asked through CMake's
file API (a codemodel-v2 query made before configuring) and through the
dependency files the compilers wrote, so the folder must be a built Makefile
build.
"""

import json
import os
import pathlib
import re
import shlex
import subprocess
import sys

build = pathlib.Path(sys.argv[1]).resolve()
root = pathlib.Path(__file__).resolve().parents[1]
reply = build / ".cmake" / "api" / "v1" / "reply"


def load(name):
    return json.loads((reply / name).read_text())


def in_tree(path):
    """The path relative to the source tree, or None outside it or in a build."""
    path = pathlib.Path(os.path.normpath(path))
    if root not in path.parents or (root / "build") in path.parents or build in path.parents:
        return None
    return str(path.relative_to(root))


# Every target: what it depends on, its compiled sources and the files named
# in the dependency files of its objects (headers, and the resource script's).
index = load(sorted(reply.glob("index-*.json"))[-1].name)
model = load(index["reply"]["codemodel-v2"]["jsonFile"])
targets = {}
programs = {}  # the full path of an executable -> its target's id
for entry in model["configurations"][0]["targets"]:
    target = load(entry["jsonFile"])
    objects = build / target["paths"]["build"] / "CMakeFiles" / (target["name"] + ".dir")
    files = {str(root / source["path"]) for source in target.get("sources", [])}
    for depend in [*objects.rglob("*.d"), *objects.glob("*depend.make")]:
        text = depend.read_text(errors="replace").replace("\\\n", " ")
        for line in text.splitlines():
            if not line.startswith("#"):
                files.update(word for word in line.split() if not word.endswith(":"))
    targets[target["id"]] = {
        "name": target["name"],
        "needs": [dependency["id"] for dependency in target.get("dependencies", [])],
        "files": {name for name in map(in_tree, files) if name},
    }
    if target["type"] == "EXECUTABLE":
        for artifact in target.get("artifacts", []):
            programs[str(build / artifact["path"])] = target["id"]


def programs_run_by(command):
    found = set()
    for word in command:
        if word in programs:
            found.add(programs[word])
        elif os.path.isabs(word) and in_tree(word) and os.path.isfile(word):
            text = pathlib.Path(word).read_text(errors="replace")
            found.update(target for path, target in programs.items()
                         if re.search(r"\b" + re.escape(os.path.basename(path)) + r"\b", text))
    return found


def covered(target_ids):
    seen, files, todo = set(), set(), list(target_ids)
    while todo:
        target = todo.pop()
        if target not in seen:
            seen.add(target)
            files |= targets[target]["files"]
            todo += targets[target]["needs"]
    return files


tests = json.loads(subprocess.run(["ctest", "--test-dir", str(build), "--show-only=json-v1"],
                                  check=True, capture_output=True, text=True).stdout)["tests"]
for test in tests:
    command = test["command"]
    properties = {p["name"]: p["value"] for p in test.get("properties", [])}
    run = "cd %s && timeout --kill-after=10 %d %s" % (
        shlex.quote(properties.get("WORKING_DIRECTORY", str(build))),
        properties.get("TIMEOUT", 600),
        shlex.join(word for word in command if word != "--gtest_brief=1"))
    runs = programs_run_by(command)
    print(test["name"], run, " ".join(sorted(targets[target]["name"] for target in runs)) or "-",
          " ".join(sorted(covered(runs))), sep="\t")
