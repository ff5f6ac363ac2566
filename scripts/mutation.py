#!/usr/bin/env python3
"""Mutation pass: how many deliberately broken copies of the code the tests
catch, and which tests catch each one.

Every mutant is one textual edit (a flipped condition, a dropped statement,
an off-by-one length, a swapped operator) of one source file. The runner
copies the committed tree (HEAD) into build/mutation/<label>/tree,
builds there once, then for each mutant applies the edit, rebuilds only what
it needs with one job, runs the C++ unit tests of the mutated layer and the
layers above it, and restores the file. The Python suite runs against the
mutated module for binding mutants, against an edited copy of the package
for package mutants, and for core mutants no C++ test kills.
Every run has a timeout; a run that hangs counts as a kill by that program,
and the programs after it are not run.

    python3 scripts/mutation.py LABEL [--only ID,ID] [--no-python] [--resume] [--rev REV]
    python3 scripts/mutation.py LABEL[,LABEL...] --compare OTHER [OTHER...]

writes build/mutation/LABEL.json (every mutant with its killers) and prints a
summary per layer. --compare runs nothing: it sets LABEL's results against
OTHER's (on either side, later labels override earlier ones mutant by
mutant, so a partial rerun can patch a pass) and lists the kills that were lost or gained. Run it under `nice`: it builds and tests about a hundred
times.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Test programs, lowest layer first; a mutant in layer L runs programs L and up.
LAYERS = ["types", "codec", "storage", "backlinks", "db", "resolver", "tools", "python", "package"]
PROGRAMS = ["types_test", "codec_test", "storage_test", "backlinks_test", "db_test", "resolver_test", "tools_test"]
# The package imports both extension modules; both link the core.
PY_MODULES = ["_brindle", "_tools"]
CPP_TIMEOUT = 60
PY_TIMEOUT = 420

# Each mutant in mutants.json: [id, file under src/ (package/ for the
# package's own Python modules), text to replace, replacement]. The text
# must occur in the file; the first occurrence is replaced. The texts follow
# the code, so a mutant whose text no longer occurs is reported as such and
# must be brought up to date.
with open(os.path.join(ROOT, "scripts", "mutants.json"), encoding="utf-8") as _f:
    MUTANTS = [tuple(m) for m in json.load(_f)]


def run(cmd, cwd, timeout, env=None):
    """(returncode or None on timeout, combined output)."""
    try:
        done = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout,
                              errors="replace")
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired as expired:
        out = expired.stdout or b""
        return None, out.decode(errors="replace") if isinstance(out, bytes) else out


def copy_tree(dest, rev):
    """A committed tree, so that edits in progress do not leak into a pass."""
    os.makedirs(dest)
    archive = subprocess.run(["git", "archive", rev], cwd=ROOT, capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", dest], input=archive, check=True)


def gtest_failures(program, rc, output):
    """The tests of one program that failed, or the one running when it died."""
    if rc is None:
        return ["%s (timeout)" % program]
    failed = []
    for line in output.splitlines():
        m = re.match(r"\[  FAILED  \] (\S+\.\S+)", line)
        if m and m.group(1) not in failed:
            failed.append(m.group(1))
    if rc != 0 and not failed:
        running = re.findall(r"\[ RUN      \] (\S+)", output)
        failed.append("%s (crash)" % (running[-1] if running else program))
    return ["%s:%s" % (program, name) for name in failed]


def pytest_failures(rc, output):
    if rc is None:
        return ["pytest (timeout)"]
    failed = []
    for line in output.splitlines():
        # Parameter ids may hold spaces: take the file and the function only.
        m = re.match(r"(?:FAILED|ERROR) tests/python/([^:\s]+::\w+)", line)
        if m and m.group(1) not in failed:
            failed.append(m.group(1))
    if rc != 0 and not failed:
        failed.append("pytest (exit %d)" % rc)
    return ["py:" + name for name in failed]


class Bench:
    def __init__(self, label, python, rev):
        self.rev = rev
        self.base = os.path.join(ROOT, "build", "mutation", label)
        self.tree = os.path.join(self.base, "tree")
        self.build = os.path.join(self.base, "build")
        self.pkg = os.path.join(self.base, "pkg")
        self.python = python
        self.venv_python = os.path.join(ROOT, ".venv", "bin", "python")

    def setup(self):
        # A fresh build: object files left by an interrupted pass may hold a mutant.
        shutil.rmtree(self.base, ignore_errors=True)
        copy_tree(self.tree, self.rev)
        configure = ["cmake", "-S", self.tree, "-B", self.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                     "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g0 -Wno-maybe-uninitialized", "-DBRINDLE_PYTHON=" + ("ON" if self.python else "OFF")]
        if self.python:
            configure.append("-DPython_EXECUTABLE=" + self.venv_python)
        rc, out = run(configure, self.tree, 600)
        if rc != 0:
            sys.exit("configure failed:\n" + out)
        rc, out = self.ninja(PROGRAMS + (PY_MODULES if self.python else []))
        if rc != 0:
            sys.exit("baseline build failed:\n" + out)
        if self.python:
            shutil.rmtree(self.pkg, ignore_errors=True)
            os.makedirs(os.path.join(self.pkg, "brindle"))
            for name in os.listdir(os.path.join(self.tree, "brindle")):
                shutil.copy2(os.path.join(self.tree, "brindle", name), os.path.join(self.pkg, "brindle", name))
            for name in os.listdir(self.build):
                if name.startswith(tuple(PY_MODULES)) and name.endswith(".so") or name == "_version.py":
                    os.symlink(os.path.join(self.build, name), os.path.join(self.pkg, "brindle", name))
        failing = self.cpp_tests(0) + (self.py_tests() if self.python else [])
        if failing:
            sys.exit("the unmutated tests fail: %s" % failing)

    def ninja(self, targets):
        return run(["ninja", "-j1", "-C", self.build] + targets, self.tree, 1800)

    def cpp_tests(self, layer):
        killers = []
        for program in PROGRAMS[layer:]:
            rc, out = run([os.path.join(self.build, program)], self.build, CPP_TIMEOUT)
            killers += gtest_failures(program, rc, out)
            if rc is None:
                break
        return killers

    def py_tests(self):
        env = dict(os.environ, PYTHONPATH=self.pkg, PYTHONDONTWRITEBYTECODE="1")
        rc, out = run([self.venv_python, "-m", "pytest", "-q", "-rfE", "--tb=no", "-p", "no:cacheprovider",
                       "tests/python"], self.tree, PY_TIMEOUT, env)
        return pytest_failures(rc, out)

    def try_mutant(self, mutant):
        ident, rel, old, new = mutant
        layer = LAYERS.index(rel.split("/")[0])
        if LAYERS[layer] == "package":
            # The suite imports the package from its copy, which is edited in place.
            if not self.python:
                return {"id": ident, "file": rel, "layer": "package", "killers": [], "status": "not-applicable"}
            path = os.path.join(self.pkg, "brindle", rel.split("/", 1)[1])
        else:
            path = os.path.join(self.tree, "src", rel)
        with open(path) as f:
            original = f.read()
        result = {"id": ident, "file": rel, "layer": LAYERS[layer], "killers": []}
        if old not in original:
            result["status"] = "not-applicable"
            return result
        with open(path, "w") as f:
            f.write(original.replace(old, new, 1))
        started = time.time()
        try:
            cpp = layer < len(PROGRAMS)
            native = LAYERS[layer] != "package"
            targets = (PROGRAMS[layer:] if cpp else []) + (PY_MODULES if self.python and native else [])
            rc, out = self.ninja(targets) if targets else (0, "")
            if rc != 0:
                result["status"] = "build-failed"
                result["build_output"] = out[-2000:]
                return result
            if cpp:
                result["killers"] = self.cpp_tests(layer)
            if self.python and not result["killers"]:
                result["killers"] = self.py_tests()
            result["status"] = "killed" if result["killers"] else "survived"
        finally:
            with open(path, "w") as f:
                f.write(original)
            # Same content, newer time: the next build puts the original back.
            os.utime(path)
            result["seconds"] = round(time.time() - started, 1)
        return result


def summary(results):
    lines = []
    for layer in LAYERS + ["all"]:
        mine = [r for r in results if layer in ("all", r["layer"]) and r["status"] in ("killed", "survived")]
        if not mine:
            continue
        killed = sum(r["status"] == "killed" for r in mine)
        lines.append("%-10s %3d/%3d killed" % (layer, killed, len(mine)))
    for r in results:
        if r["status"] != "killed":
            lines.append("%s: %s (%s)" % (r["status"], r["id"], r["file"]))
    return "\n".join(lines)


def load(labels):
    merged = {}
    for label in labels:
        with open(os.path.join(ROOT, "build", "mutation", label + ".json")) as f:
            merged.update({r["id"]: r for r in json.load(f)})
    return [merged[m[0]] for m in MUTANTS if m[0] in merged]


def compare(before, after):
    print("before:\n" + summary(before) + "\n\nafter:\n" + summary(after) + "\n")
    was = {r["id"]: r for r in before}
    for r in after:
        old = was.get(r["id"])
        if old and old["status"] != r["status"]:
            print("%s: %s -> %s %s" % (r["id"], old["status"], r["status"], ", ".join(r["killers"])))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("label")
    parser.add_argument("--only", help="comma-separated mutant ids")
    parser.add_argument("--no-python", action="store_true", help="C++ tests only")
    parser.add_argument("--resume", action="store_true", help="keep the results of an interrupted pass")
    parser.add_argument("--rev", default="HEAD", help="the commit whose code and tests are mutated")
    parser.add_argument("--compare", nargs="+", metavar="OTHER", help="compare with earlier results; run nothing")
    args = parser.parse_args()
    if args.compare:
        compare(load(args.compare), load(args.label.split(",")))
        return
    ids = [m[0] for m in MUTANTS]
    assert len(ids) == len(set(ids)), "duplicate mutant ids"
    chosen = [m for m in MUTANTS if not args.only or m[0] in args.only.split(",")]
    bench = Bench(args.label, python=not args.no_python, rev=args.rev)
    bench.setup()
    out_path = os.path.join(ROOT, "build", "mutation", args.label + ".json")
    done = {}
    if args.resume and os.path.exists(out_path):
        with open(out_path) as f:
            done = {r["id"]: r for r in json.load(f) if r["status"] in ("killed", "survived")}
    results = []
    for n, mutant in enumerate(MUTANTS, 1):
        if mutant not in chosen:
            if mutant[0] in done:
                results.append(done[mutant[0]])
            continue
        # Mutants named with --only run again even when a result is kept.
        result = (None if args.only else done.get(mutant[0])) or bench.try_mutant(mutant)
        results.append(result)
        print("[%d/%d] %-32s %-14s %5.1fs %s" % (n, len(chosen), result["id"], result["status"],
                                                result.get("seconds", 0), ", ".join(result["killers"][:4])),
              flush=True)
        with open(out_path, "w") as f:
            json.dump(results, f, indent=1)
    # Leave the tree's build matching the unmutated sources.
    bench.ninja(PROGRAMS + (PY_MODULES if bench.python else []))
    print(summary(results))


if __name__ == "__main__":
    main()
