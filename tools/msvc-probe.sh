#!/usr/bin/env bash
# msvc-probe.sh - checks on Linux what only Visual C++ would reject: every source the Windows build compiles, parsed
# (-fsyntax-only) against MinGW's headers with the MSVC build's definitions and the Visual C++ runtime's offsetof.
# The sources and flags come from the MinGW build's compile commands (the same file lists as the MSVC build); the
# definitions from cmake/msvc-definitions.txt, which CMakeLists.txt reads for cl; offsetof from tools/msvc-probe/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/msvc-probe}"
cd "$root"
mkdir -p "$build"
cmake --preset mingw -B "$build" >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }

python3 - "$build/compile_commands.json" "$root" <<'EOF'
import concurrent.futures, json, os, shlex, subprocess, sys

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

def run(entry):
    done = subprocess.run(probe_args(entry) + [entry["file"]], text=True, capture_output=True, cwd=entry["directory"])
    return entry["file"], done.returncode, done.stdout + done.stderr

failed = 0
with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
    for name, code, output in pool.map(run, entries):
        if code != 0 or output:
            failed += 1
            print(f"msvc-probe: {os.path.relpath(name, root)}\n{output}", flush=True)
print(f"msvc-probe: {len(entries)} sources, {failed} failed")
sys.exit(1 if failed else 0)
EOF
