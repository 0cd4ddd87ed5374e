"""One-line mutations the suite must catch: python tests/mutations.py

Slow (a build per mutation), so not collected by pytest. Copies the source
tree to a temporary folder, builds it once into a temporary venv, then for
each mutation edits the copy, rebuilds (incrementally), runs the test files
that should notice, and restores the line. Exits 1 if any mutation survives.
"""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SEARCH, TEXT = ["tests/test_vicinal_search.py"], ["tests/test_scribe_text.py"]

# (name, file, line as written, line mutated, test files)
MUTATIONS = [
    ("sparse bins never found", "vicinal/src/cell_list_scan.hpp",
     "        if (dense_) return slot_of_flat_[flat];",
     "        if (dense_) return slot_of_flat_[flat];\n        return -1;", SEARCH),
    ("long plan kept as planned", "vicinal/src/cell_list_plan.cpp",
     "        plan_state_[s] = kOnTheFly;", "        plan_state_[s] = kPlanned;", SEARCH),
    ("block moved to huge pages loses its tail", "binding/core/src/buffer.cpp",
     "            std::memcpy(p, ptr, old_bytes < new_bytes ? old_bytes : new_bytes);",
     "            std::memcpy(p, ptr, old_bytes / 2);",
     SEARCH + ["tests/test_binding_memory.py", "tests/test_binding_core.py"]),
    ("just below one half taken as decided", "scribe/src/float_parse.cpp",
     "    if (rest == half - 1 && mid == ~std::uint64_t{0} && !exact) return false;", "", TEXT),
    ("low product skipped just below one half", "scribe/src/float_parse.cpp",
     "    if ((hi & mask) == half - 1 || (hi & mask) == half) {",
     "    if ((hi & mask) == half) {", TEXT),
    ("truncated digits trusted without the upper end", "scribe/src/float_parse.cpp",
     "    if (!detail::scale_pow10(w, q, low) || !detail::scale_pow10(w + 1, q, high) || high != low)",
     "    if (!detail::scale_pow10(w, q, low) || !detail::scale_pow10(w, q, high) || high != low)",
     TEXT),
]


def run(cmd, cwd, quiet=True):
    out = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE if quiet else None,
                         stderr=subprocess.STDOUT if quiet else None, text=True)
    return out.returncode, out.stdout or ""


def main():
    tmp = Path(tempfile.mkdtemp(prefix="kestrix-mutations-"))
    try:
        src = tmp / "src"
        shutil.copytree(ROOT, src, ignore=shutil.ignore_patterns(
            ".git", "build", "dist", "venv*", ".venv*", "__pycache__", "*.so", "*.egg-info"))
        venv = tmp / "venv"
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        pip, pytest = [str(venv / "bin" / "pip"), "install", "-q"], [str(venv / "bin" / "pytest"), "-q", "-x",
                                                                      "-p", "no:cacheprovider"]

        def build_and_test(files):
            rc, out = run(pip + ["--no-deps", str(src)], tmp)
            if rc:
                return "build failed:\n" + out
            return run(pytest + files, src)[0]

        rc, out = run(pip + [f"{src}[test]"], tmp)
        if rc:
            sys.exit("baseline build failed:\n" + out)
        files = sorted({f for m in MUTATIONS for f in m[4]})
        if run(pytest + files, src)[0]:
            sys.exit("the unmutated tree fails its tests")
        survived = 0
        for name, rel, line, mutant, files in MUTATIONS:
            path = src / rel
            text = path.read_text()
            if text.count(line + "\n") != 1:
                sys.exit(f"{name}: the line to mutate is not in {rel} exactly once")
            path.write_text(text.replace(line + "\n", mutant + "\n" if mutant else ""))
            try:
                result = build_and_test(files)
            finally:
                path.write_text(text)
            if isinstance(result, str):
                sys.exit(f"{name}: {result}")
            verdict = "killed" if result else "SURVIVED"
            survived += not result
            print(f"{verdict:9} {name}  ({rel})", flush=True)
        print(f"{len(MUTATIONS) - survived} of {len(MUTATIONS)} mutations killed")
        return 1 if survived else 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
