"""Lets the test files import the shared builders in records.py: the importlib
import mode puts no test directory on the path by itself."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
