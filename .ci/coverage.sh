#!/usr/bin/env bash
# Line coverage of the hand-written C++ (binding/, vicinal/src/, scribe/src/,
# lattica/src/): builds the default configuration with --coverage -O0 into a
# temporary venv and runs the whole suite, builds the scalar-kernel
# configuration the same way and runs the neighbour-search tests, then merges
# both (a line counts as covered if either run executed it). Prints per-file
# and total line coverage and every uncovered line as file:line.
#
#     bash .ci/coverage.sh [--keep DIR] [pytest arguments for the first run]
#
# --keep DIR builds and reports in DIR and leaves it there (rebuilds are then
# incremental); otherwise a temporary folder is used and removed. Not part of
# .ci/run: two unoptimised builds and a slow suite.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if ! command -v python3.12 >/dev/null 2>&1 || ! python3.12 -c '' 2>/dev/null; then
    if command -v pyenv >/dev/null 2>&1; then
        PYENV_VERSION=$(pyenv versions --bare | grep -E '^3\.12(\.|$)' | tail -n 1)
        export PYENV_VERSION
    fi
fi

if [ "${1:-}" = "--keep" ]; then
    work=$(realpath -m "$2"); shift 2
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi

failed=0
step() { echo; echo "=== $*"; }
check() { if [ "$1" -ne 0 ]; then echo "--- FAILED: $2 (exit $1)"; failed=1; fi; }

[ -x "$work/venv/bin/python" ] || python3.12 -m venv "$work/venv" || exit 1
py="$work/venv/bin/python"
"$py" -m pip install -q gcovr || exit 1

# Debug: no -O3 (that comes with Release only); --coverage at compile and link.
build() {  # build <name> <requirement> [extra -C settings...]
    local name=$1 spec=$2; shift 2
    "$py" -m pip install -q -C build-dir="$work/build-$name" \
        -C cmake.build-type=Debug \
        -C cmake.define.CMAKE_CXX_FLAGS="--coverage -O0" \
        -C cmake.define.CMAKE_MODULE_LINKER_FLAGS=--coverage \
        -C cmake.define.CMAKE_SHARED_LINKER_FLAGS=--coverage \
        "$@" "$spec"
}
# Counters of an earlier run in a kept folder must not add to this one.
reset() { find "$work/build-$1" -name '*.gcda' -delete 2>/dev/null; true; }
# gcov's JSON for the build's counters, our sources only (no tests/, no
# generated tables, no system headers).
collect() {
    (cd "$root" && "$py" -m gcovr --root "$root" \
        --filter 'binding/' --filter 'vicinal/src/' --filter 'scribe/src/' --filter 'lattica/src/' \
        --exclude '.*\.inc$' --merge-mode-functions=separate \
        --json "$work/$1.json" "$work/build-$1")
}

step "default build with coverage, whole suite"
build default "$root[test]"; built=$?
check $built "default build"
if [ "$built" -eq 0 ]; then
    reset default
    "$work/venv/bin/pytest" -q -p no:cacheprovider "$@"
    check $? "test suite on the coverage build"
    collect default || exit 1
fi

step "scalar-kernel build with coverage, neighbour-search tests"
build scalar "$root" -C cmake.define.KESTRIX_SCALAR_KERNELS=ON; built=$?
check $built "scalar kernel build"
if [ "$built" -eq 0 ]; then
    reset scalar
    "$work/venv/bin/pytest" -q -p no:cacheprovider tests/test_vicinal_search.py tests/test_vicinal_degenerate.py
    check $? "neighbour-search tests on the scalar coverage build"
    collect scalar || exit 1
fi

step "line coverage, both runs merged"
inputs=()
for run in default scalar; do [ -f "$work/$run.json" ] && inputs+=(--add-tracefile "$work/$run.json"); done
[ ${#inputs[@]} -gt 0 ] || exit 1
(cd "$root" && "$py" -m gcovr --root "$root" "${inputs[@]}" --merge-mode-functions=separate \
    --json "$work/merged.json") || exit 1
"$py" - "$work/merged.json" <<'EOF'
import json, sys

files = json.load(open(sys.argv[1]))["files"]
rows, missing, total_lines, total_hit = [], [], 0, 0
for f in sorted(files, key=lambda f: f["file"]):
    hit = {}
    for line in f["lines"]:
        if line.get("gcovr/noncode"):
            continue
        # A line instantiated several times is covered if any copy ran.
        hit[line["line_number"]] = hit.get(line["line_number"], False) or line["count"] > 0
    if not hit:
        continue
    covered = sum(hit.values())
    total_lines += len(hit)
    total_hit += covered
    rows.append((f["file"], covered, len(hit)))
    missing += [f"{f['file']}:{n}" for n in sorted(hit) if not hit[n]]

width = max(len(r[0]) for r in rows)
for name, covered, lines in rows:
    print(f"{name:<{width}}  {covered:5d}/{lines:<5d} {100 * covered / lines:6.1f}%")
print(f"{'TOTAL':<{width}}  {total_hit:5d}/{total_lines:<5d} {100 * total_hit / total_lines:6.1f}%")
print()
print(f"uncovered lines ({len(missing)}):")
for m in missing:
    print(m)
EOF
check $? "report"
[ "$failed" -eq 0 ]
