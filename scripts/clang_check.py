#!/usr/bin/env python3
"""Checks every product source with clang, as a second compiler sees it.

Usage: clang_check.py <build folder>

Reads the build's compile_commands.json, so the sources and their flags are exactly the
build's (a new source is covered once the build knows it). Tests, benchmarks and code from
outside the tree are left out. Each source is checked with
clang++ --target=x86_64-w64-mingw32 -fsyntax-only -Wall -Wextra against the posix libstdc++
headers of the installed mingw-w64 toolchain (the folders its g++ searches), several at once.
Any warning or error fails the check.
"""
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT_DIRS = ("corun", "bracefmt", "arpc", "trellum", "wl", "clientlib", "panel")
CLANG_FLAGS = [
    "--target=x86_64-w64-mingw32",
    "-fsyntax-only",
    "-Wall",
    "-Wextra",
    "-fno-color-diagnostics",
]
LANGUAGES = {".cpp": ("clang++", True), ".cc": ("clang++", True), ".cxx": ("clang++", True), ".c": ("clang", False)}


def libstdcxx_folders(compiler):
    """The libstdc++ folders of the build's mingw g++, in its own search order.

    Only the C++ library's folders: clang brings its own compiler headers and finds mingw's
    C headers itself, so GCC's own include folders must stay out.
    """
    try:
        run = subprocess.run([compiler, "-E", "-x", "c++", "-", "-v"], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    except OSError as error:
        sys.exit(f"clang check: cannot run {compiler}: {error}")
    folders = []
    searching = False
    for line in run.stderr.splitlines():
        if line.startswith("#include <...> search starts here:"):
            searching = True
        elif line.startswith("End of search list."):
            break
        elif searching:
            folder = os.path.normpath(line.strip())
            if "c++" in folder.split(os.sep):
                folders.append(folder)
    if run.returncode != 0 or not folders:
        sys.exit(f"clang check: {compiler} names no libstdc++ include folder:\n{run.stderr}")
    return folders


def is_product_source(path):
    relative = os.path.relpath(os.path.realpath(path), ROOT)
    return relative.split(os.sep)[0] in PRODUCT_DIRS


def compiler_of(entry):
    return entry["arguments"][0] if "arguments" in entry else shlex.split(entry["command"])[0]


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
    source, directory, flags, libstdcxx = job
    compiler, is_cxx = LANGUAGES[os.path.splitext(source)[1]]
    command = [compiler] + CLANG_FLAGS
    if is_cxx:
        command.append("-nostdinc++")
        for folder in libstdcxx:
            command += ["-isystem", folder]
    command += list(flags) + [source]
    run = subprocess.run(command, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return source, run.returncode, run.stdout


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    database = os.path.join(sys.argv[1], "compile_commands.json")
    with open(database) as f:
        entries = json.load(f)
    compilers = [compiler_of(entry) for entry in entries if os.path.splitext(entry["file"])[1] in (".cpp", ".cc", ".cxx")]
    if not compilers:
        sys.exit("clang check: no C++ compilation in " + database)
    libstdcxx = tuple(libstdcxx_folders(compilers[0]))
    jobs = []
    seen = set()
    for entry in entries:
        source = entry["file"]
        if os.path.splitext(source)[1] not in LANGUAGES or not is_product_source(source):
            continue
        flags, output = parse(entry)
        if built_for_tests(entry, output):
            continue
        job = (source, entry["directory"], tuple(flags), libstdcxx)
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
