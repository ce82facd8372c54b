#!/usr/bin/env python3
"""Every line trailnetd can write to log.txt, read from the sources.

    python3 scripts/log-index.py [--modules] [--markdown]

Prints module, level, message format and where it is logged. A module tag
chosen at run time between two texts is shown as "one/other"; one held in
any other variable as that variable's name in angle brackets.
"""
import argparse
import os
import re
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

STRING = r'(?:"(?:[^"\\]|\\.)*"\s*)+'
# The format may be chosen at run time too: `first ? "End first sync" : "End cellular transfert"`.
CALL = re.compile(r'logMessage\(\s*(?P<module>"[^"]*"|\w+)\s*,\s*(?P<level>LOG_\w+|"[A-Z]+"|\w+)\s*,\s*'
                  r'(?:\w+\s*\?\s*(?P<fmt1>' + STRING + r')\s*:\s*(?P<fmt2>' + STRING + r')|(?P<fmt>' + STRING + r'))',
                  re.S)
# A tag chosen at run time: `const char* module = first ? "firstsync" : "sync";`
CHOICE = re.compile(r'const char\*\s+(\w+)\s*=\s*[^;]*?"(\w+)"\s*:\s*"(\w+)"\s*;')


def log_calls(top=TOP):
    """(module, level, format, file, line) for every logMessage call of the daemon."""
    out = []
    for folder, _, files in os.walk(os.path.join(top, "daemon")):
        for name in sorted(files):
            if not name.endswith((".cpp", ".h")):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            choices = {m.group(1): (m.group(2), m.group(3)) for m in CHOICE.finditer(text)}
            for m in CALL.finditer(text):
                if name == "log.h":
                    continue
                module = m.group("module")
                if module.startswith('"'):
                    modules = [module.strip('"')]
                elif module in choices:
                    modules = ["/".join(choices[module])]
                else:
                    modules = ["<%s>" % module]
                level = m.group("level").replace("LOG_", "").strip('"')
                texts = [m.group("fmt")] if m.group("fmt") else [m.group("fmt1"), m.group("fmt2")]
                fmt = " / ".join("".join(re.findall(r'"((?:[^"\\]|\\.)*)"', t)) for t in texts)
                line = text.count("\n", 0, m.start()) + 1
                rel = os.path.relpath(path, top)
                for mod in modules:
                    out.append((mod, level, fmt, rel, line))
    return out


def modules(top=TOP):
    tags = set()
    for module, *_ in log_calls(top):
        if not module.startswith("<"):
            tags.update(module.split("/"))
    return sorted(tags, key=str.lower)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--modules", action="store_true", help="only the module tags")
    ap.add_argument("--markdown", action="store_true", help="a Markdown table")
    args = ap.parse_args()
    if args.modules:
        print("\n".join(modules()))
        return 0
    calls = sorted(log_calls(), key=lambda c: (c[0].lower(), c[3], c[4]))
    if args.markdown:
        print("| module | level | message | where |\n|---|---|---|---|")
        for mod, level, fmt, path, line in calls:
            print("| %s | %s | `%s` | %s:%d |" % (mod, level, fmt.replace("|", "\\|"), path, line))
    else:
        for mod, level, fmt, path, line in calls:
            print("%-18s %-7s %-60s %s:%d" % (mod, level, fmt, path, line))
    return 0


if __name__ == "__main__":
    sys.exit(main())
