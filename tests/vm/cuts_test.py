#!/usr/bin/env python3
"""A few whole-machine power cuts at a fixed seed (scripts/vm-power-cuts runs
any number at any seed); see cuts.py for what each cut checks."""
import os
import unittest

import cuts


class CutsTest(unittest.TestCase):
    def test_power_cuts_of_the_whole_module(self):
        seed = int(os.environ.get("TN_CUT_SEED", "20261209"))
        problems, _ = cuts.run(seed, int(os.environ.get("TN_VM_CUTS", "3")))
        self.assertEqual([], problems)


if __name__ == "__main__":
    unittest.main(verbosity=2)
