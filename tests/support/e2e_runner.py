#!/usr/bin/python3
"""Runs one end-to-end test module, or some of its classes or tests, for CTest.

Usage: e2e_runner.py MODULE_FILE [CLASS | CLASS.TEST ...]

Exit status: 0 when every test passed (skips are listed with their reasons), 1 when
one failed, and 77 (the suite's SKIP_RETURN_CODE) when every test was skipped, so a
group that cannot run here shows as skipped rather than passed.
"""

import importlib
import os
import sys
import unittest

SKIPPED = 77


def main(argv, module=None):
    if module is None:
        if not argv:
            print(__doc__, file=sys.stderr)
            return 2
        module_file = os.path.abspath(argv[0])
        sys.path.insert(0, os.path.dirname(module_file))
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        module = importlib.import_module(os.path.splitext(os.path.basename(module_file))[0])
        class_names = argv[1:]
    else:
        module = sys.modules[module]
        class_names = argv
    loader = unittest.TestLoader()
    if class_names:
        suite = unittest.TestSuite(loader.loadTestsFromName(name, module)
                                   for name in class_names)
    else:
        suite = loader.loadTestsFromModule(module)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    for test, reason in result.skipped:
        print("SKIPPED %s: %s" % (test.id(), reason))
    if not result.wasSuccessful():
        return 1
    if result.testsRun == 0 or len(result.skipped) == result.testsRun:
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
