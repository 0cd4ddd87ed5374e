import os

# Interpreters started by the tests must import the installed package, not the
# source folder `kestrix/` of the working directory (`python -c` would put the
# working directory first on sys.path).
os.environ["PYTHONSAFEPATH"] = "1"
