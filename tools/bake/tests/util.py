"""Shared set-up for the bake tool's tests."""
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.dirname(HERE)
if TOOL not in sys.path:
    sys.path.insert(0, TOOL)


def temp_dir():
    root = os.environ.get("LE_TEST_TMP")
    if root:
        os.makedirs(root, exist_ok=True)
    return tempfile.TemporaryDirectory(dir=root)
