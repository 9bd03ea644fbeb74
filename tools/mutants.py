#!/usr/bin/env python3
"""mutants.py - plants small realistic faults in the program, one at a time, and shows which tests catch each.

Each line of a file in tools/mutants/ is one fault: FILE <TAB> TEXT <TAB> REPLACEMENT <TAB> WHAT, where TEXT
must occur exactly once in FILE ("\\t" and "\\n" in the fields stand for a tab and a line feed). For every fault
the file is changed, the tree built in build/mutants and the tests run; the file is put back whatever happens.
A fault no test catches is a hole in the suite; a test that never catches a fault alone is a candidate to merge.

    tools/mutants.py                       every fault, the whole suite
    tools/mutants.py -k rename -L unit     faults whose line holds "rename", only the unit tests
"""
import argparse
import os
import pathlib
import resource
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "mutants"


def unescape(text):
    return text.replace("\\t", "\t").replace("\\n", "\n")


def load(keyword):
    faults = []
    for path in sorted((ROOT / "tools" / "mutants").glob("*.txt")):
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) != 4:
                sys.exit(f"{path.name}:{number}: expected 4 tab-separated fields")
            if keyword and keyword not in line:
                continue
            faults.append((f"{path.name}:{number}", fields[0], unescape(fields[1]), unescape(fields[2]), fields[3]))
    return faults


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True, **kwargs)


def failing_tests(label, regex):
    report = BUILD / "ctest-junit.xml"
    report.unlink(missing_ok=True)
    command = ["ctest", "--test-dir", str(BUILD), "-j", str(os.cpu_count() or 2), "--timeout", "120",
               "--output-junit", str(report)]
    if label:
        command += ["-L", label]
    if regex:
        command += ["-R", regex]
    # A fault can make a test print or write without end; no file of the run may grow past 2 GiB.
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (2 << 30, 2 << 30))
    run(command, env={**os.environ, "CFEMU_REQUEST_TIMEOUT_MS": os.environ.get("CFEMU_REQUEST_TIMEOUT_MS", "20000")},
        preexec_fn=limit)
    if not report.exists():
        return ["(no test report)"]
    failed = []
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        if case.get("status") not in ("run", "notrun") or case.find("failure") is not None:
            failed.append(case.get("name"))
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-k", "--keyword", help="only faults whose line contains this text")
    parser.add_argument("-L", "--label", help="only tests with this CTest label (unit, platform, e2e)")
    parser.add_argument("-R", "--regex", help="only tests whose name matches")
    args = parser.parse_args()
    os.environ.setdefault("TMPDIR", str(ROOT / "build" / "tmp"))
    pathlib.Path(os.environ["TMPDIR"]).mkdir(parents=True, exist_ok=True)
    configure = run(["cmake", "-S", ".", "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                     "-DVOSKE_BUILD_BENCH=OFF", "-DVOSKE_WERROR=ON"])
    if configure.returncode != 0:
        sys.exit(configure.stderr)
    faults = load(args.keyword)
    missed = 0
    for where, name, text, replacement, what in faults:
        path = ROOT / name
        original = path.read_text()
        if original.count(text) != 1:
            print(f"{where}  SKIPPED ({original.count(text)} matches in {name}): {what}")
            continue
        try:
            path.write_text(original.replace(text, replacement))
            build = run(["cmake", "--build", str(BUILD), "-j", str(os.cpu_count() or 2)])
            caught = ["(does not build)"] if build.returncode != 0 else failing_tests(args.label, args.regex)
        finally:
            path.write_text(original)
        missed += not caught
        print(f"{where}  {'MISSED' if not caught else 'caught by ' + str(len(caught))}: {what}")
        for test in caught:
            print(f"      {test}")
        sys.stdout.flush()
    run(["cmake", "--build", str(BUILD), "-j", str(os.cpu_count() or 2)])
    print(f"{len(faults)} faults, {missed} missed")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
