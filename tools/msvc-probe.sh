#!/usr/bin/env bash
# msvc-probe.sh - checks on Linux what only Visual C++ would reject: every source the Windows build compiles, parsed
# (-fsyntax-only) against MinGW's headers with the MSVC build's definitions and the Visual C++ runtime's offsetof.
# The sources and flags come from the MinGW build's compile commands (the same file lists as the MSVC build); the
# definitions from cmake/msvc-definitions.txt, which CMakeLists.txt reads for cl; offsetof from tools/msvc-probe/.
# Where clang++ is installed (tools/fuzz.sh installs it), a second pass parses the same sources with clang for
# unreachable code (cl's C4702, which g++ never reports) and every kind of shadowing (C4456-C4459).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/msvc-probe}"
cd "$root"
mkdir -p "$build"
cmake --preset mingw -B "$build" >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }

python3 - "$build/compile_commands.json" "$root" <<'EOF'
import concurrent.futures, json, os, shlex, shutil, subprocess, sys

commands_file, root = sys.argv[1], sys.argv[2]
with open(os.path.join(root, "cmake", "msvc-definitions.txt")) as f:
    definitions = ["-D" + line.strip() for line in f if line.strip() and not line.startswith("#")]

def probe_args(entry):
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    kept, skip = [], False
    for arg in args[1:]:
        if skip:
            skip = False
        elif arg in ("-o", "-MT", "-MF", "-MQ"):
            skip = True
        elif arg not in ("-c", "-MD", entry["file"]):
            kept.append(arg)
    return [args[0], "-isystem", os.path.join(root, "tools", "msvc-probe")] + kept + definitions + ["-fsyntax-only"]

entries = json.load(open(commands_file))
if not entries:
    sys.exit("msvc-probe: no compile commands in " + commands_file)

# The probe must see the runtime's offsetof: without the builtin's definition, a constexpr function using it fails.
canary = probe_args(entries[0]) + ["-U_CRT_USE_BUILTIN_OFFSETOF", "-x", "c++", "-"]
source = '#include "syncroot/cloud_files.h"\nconstexpr size_t F() { return offsetof(CF_OPERATION_PARAMETERS, AckDelete); }\n' \
         'static_assert(F() == 8, "");\n'
if subprocess.run(canary, input=source, text=True, capture_output=True, cwd=entries[0]["directory"]).returncode == 0:
    sys.exit("msvc-probe: the Visual C++ runtime's offsetof is not in effect (tools/msvc-probe/stddef.h unused?)")

# clang reads MinGW's headers for a MinGW target by itself, but not the C++ library of its posix-threads build: it
# is given g++'s own list. Its -Wconversion would add sign conversions, which cl does not report at /W4.
clang_args = None
if shutil.which("clang++"):
    listing = subprocess.run([entries[0]["command"].split()[0] if "command" in entries[0] else entries[0]["arguments"][0],
                              "-std=c++20", "-E", "-v", "-x", "c++", os.devnull], text=True, capture_output=True).stderr
    cxx_dirs = listing.split("#include <...> search starts here:\n")[1].split("End of search list.")[0].split()
    clang_args = ["clang++", "--target=x86_64-w64-mingw32", "-nostdinc++"] + \
        [arg for d in cxx_dirs if "/c++" in d for arg in ("-isystem", d)]
clang_warnings = ["-Wunreachable-code-aggressive", "-Wshadow-all", "-Wno-sign-conversion"]

def run(entry):
    args = probe_args(entry)
    passes = [("g++", args)]
    if clang_args:
        passes.append(("clang", clang_args + args[1:] + clang_warnings))
    for compiler, command in passes:
        done = subprocess.run(command + [entry["file"]], text=True, capture_output=True, cwd=entry["directory"])
        if done.returncode != 0 or done.stdout or done.stderr:
            return entry["file"], compiler, done.stdout + done.stderr
    return entry["file"], None, ""

failed = 0
with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
    for name, compiler, output in pool.map(run, entries):
        if compiler:
            failed += 1
            print(f"msvc-probe ({compiler}): {os.path.relpath(name, root)}\n{output}", flush=True)
passes = "g++ and clang" if clang_args else "g++ only (no clang++ installed)"
print(f"msvc-probe: {len(entries)} sources, {passes}, {failed} failed")
sys.exit(1 if failed else 0)
EOF
