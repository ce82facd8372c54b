"""The docs cannot drift from the lists that live in the code."""
import glob
import importlib.util
import os
import re
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DOCS = os.path.join(TOP, "docs")


def read(path):
    with open(os.path.join(TOP, path), encoding="utf-8") as f:
        return f.read()


def log_index():
    spec = importlib.util.spec_from_file_location("log_index", os.path.join(TOP, "scripts", "log-index.py"))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


class DocsNameWhatTheCodeHas(unittest.TestCase):
    def test_every_dsp_command_is_documented(self):
        table = re.search(r"kCommandNames\[\]\s*=\s*\{(.*?)\}", read("daemon/camera/dsp_line.cpp"), re.S)
        self.assertIsNotNone(table, "command table not found in dsp_line.cpp")
        commands = re.findall(r'"(\w+)"', table.group(1))
        self.assertGreaterEqual(len(commands), 8)
        doc = read("docs/dsp-protocol.md")
        missing = [c for c in commands if "`SP+%s`" % c not in doc]
        self.assertEqual(missing, [], "add these commands to docs/dsp-protocol.md")

    def test_every_configuration_key_is_documented(self):
        keys = re.findall(r'json_object_object_add\(\s*obj\s*,\s*"(\w+)"', read("daemon/core/config.cpp"))
        self.assertGreaterEqual(len(keys), 15, "the configuration writer was not found in config.cpp")
        doc = read("docs/configuration.md")
        missing = [k for k in keys if "| `%s` |" % k not in doc]
        self.assertEqual(missing, [], "add these keys to the table of docs/configuration.md")

    def test_every_log_module_is_documented(self):
        modules = log_index().modules()
        self.assertIn("uart", modules)
        doc = read("docs/troubleshooting.md")
        missing = [m for m in modules if "`%s`" % m not in doc]
        self.assertEqual(missing, [], "add these log modules to docs/troubleshooting.md")

    def test_every_pictrim_log_entry_is_documented(self):
        entries = set()
        for path in glob.glob(os.path.join(TOP, "optimizer", "*.cpp")):
            with open(path, encoding="utf-8") as f:
                entries.update(re.findall(r'Log(?:Error|Info)(?:Printf)?\(\s*"([^"%]+)', f.read()))
        self.assertIn("Could not read token", entries)
        doc = read("docs/pictrim.md")
        missing = sorted(e for e in entries if e.strip(" :,") not in doc)
        self.assertEqual(missing, [], "add these log entries to docs/pictrim.md")

    def test_log_index_reads_tags_held_in_variables(self):
        # "firstsync" is chosen at run time in the protocol; the index must see it.
        self.assertIn("firstsync", log_index().modules())


class LinksLeadSomewhere(unittest.TestCase):
    def test_relative_links_resolve(self):
        pages = glob.glob(os.path.join(DOCS, "*.md")) + [os.path.join(TOP, "README.md")]
        broken = []
        for page in pages:
            with open(page, encoding="utf-8") as f:
                text = f.read()
            for target in re.findall(r"\]\(([^)\s]+)\)", text):
                if re.match(r"[a-z]+:", target):
                    continue
                path = target.split("#", 1)[0]
                if path and not os.path.exists(os.path.join(os.path.dirname(page), path)):
                    broken.append("%s -> %s" % (os.path.relpath(page, TOP), target))
        self.assertEqual(broken, [])

    def test_index_lists_every_page(self):
        index = read("docs/README.md")
        pages = [os.path.basename(p) for p in glob.glob(os.path.join(DOCS, "*.md"))]
        missing = [p for p in pages if p != "README.md" and "(%s)" % p not in index]
        self.assertEqual(missing, [], "add these pages to docs/README.md")


if __name__ == "__main__":
    unittest.main()
