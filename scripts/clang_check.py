#!/usr/bin/env python3
"""Checks every product source with clang, as a second compiler sees it.

Usage: clang_check.py <build folder>

Reads the build's compile_commands.json, so the sources and their flags are exactly the
build's (a new source is covered once the build knows it). Tests, benchmarks and code from
outside the tree are left out. Each source is checked with
clang++ --target=x86_64-w64-mingw32 -fsyntax-only -Wall -Wextra against the posix libstdc++
headers of the mingw-w64 toolchain, several at once. Any warning or error fails the check.
"""
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT_DIRS = ("corun", "bracefmt", "arpc", "trellum", "wl", "clientlib", "panel")
LIBSTDCXX = "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++"
CLANG_FLAGS = [
    "--target=x86_64-w64-mingw32",
    "-fsyntax-only",
    "-Wall",
    "-Wextra",
    "-fno-color-diagnostics",
]
LANGUAGES = {".cpp": ("clang++", True), ".cc": ("clang++", True), ".cxx": ("clang++", True), ".c": ("clang", False)}


def is_product_source(path):
    relative = os.path.relpath(os.path.realpath(path), ROOT)
    return relative.split(os.sep)[0] in PRODUCT_DIRS


def parse(entry):
    """The build's own preprocessor, language and warning flags of one entry, and its output."""
    words = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    flags = []
    output = ""
    words = iter(words[1:])
    for word in words:
        if word == "-o":
            output = next(words, "")
        elif word in ("-MF", "-MT", "-MQ"):
            next(words, None)
        elif word not in ("-c", "-MD", "-MMD") and word != entry["file"]:
            flags.append(word)
    return flags, output


def built_for_tests(entry, output):
    """Test programs compile some product sources again with test settings: not shipped."""
    relative = os.path.relpath(os.path.join(entry["directory"], output), entry["directory"])
    return relative.split(os.sep)[0] in ("tests", "bench")


def check(job):
    source, directory, flags = job
    compiler, is_cxx = LANGUAGES[os.path.splitext(source)[1]]
    command = [compiler] + CLANG_FLAGS
    if is_cxx:
        command += ["-nostdinc++", "-isystem", LIBSTDCXX, "-isystem", LIBSTDCXX + "/x86_64-w64-mingw32",
                    "-isystem", LIBSTDCXX + "/backward"]
    command += list(flags) + [source]
    run = subprocess.run(command, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return source, run.returncode, run.stdout


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    database = os.path.join(sys.argv[1], "compile_commands.json")
    with open(database) as f:
        entries = json.load(f)
    jobs = []
    seen = set()
    for entry in entries:
        source = entry["file"]
        if os.path.splitext(source)[1] not in LANGUAGES or not is_product_source(source):
            continue
        flags, output = parse(entry)
        if built_for_tests(entry, output):
            continue
        job = (source, entry["directory"], tuple(flags))
        if job not in seen:  # a source built the same way into several targets is checked once
            seen.add(job)
            jobs.append(job)
    if not jobs:
        sys.exit("clang check: no product sources in " + database)

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 4) as pool:
        for source, code, output in pool.map(check, jobs):
            if code != 0 or output.strip():
                failed += 1
                print(output, end="" if output.endswith("\n") else "\n")
    print(f"clang check: {len(jobs)} compilations, {failed} with diagnostics")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
