#!/usr/bin/python3
"""Runs onnx.checker (full check, with shape inference) on every .onnx file
in a directory; exits non-zero when any fails or none is found."""
import os
import sys

import onnx


def main():
    folder = sys.argv[1]
    names = sorted(n for n in os.listdir(folder) if n.endswith(".onnx"))
    failed = 0
    for n in names:
        try:
            onnx.checker.check_model(onnx.load(os.path.join(folder, n)), full_check=True)
        except Exception as e:  # the checker raises several exception types
            failed += 1
            print("FAILED %s: %s" % (n, e))
    print("onnx.checker: %d of %d models pass" % (len(names) - failed, len(names)))
    return 1 if failed or not names else 0


if __name__ == "__main__":
    sys.exit(main())
