"""Runs every example of this folder: `python examples`."""

import pathlib
import runpy

here = pathlib.Path(__file__).parent
for script in sorted(here.glob("*.py")):
    if script.name != "__main__.py":
        print(f"== {script.name}")
        runpy.run_path(str(script), run_name="__main__")
        print()
