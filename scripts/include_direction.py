"""Fails on an include of a higher floor's header in src/ (or of a floor beside it).
   python3 scripts/include_direction.py SRC_DIR"""
import os
import re
import sys

# Each floor and the floors it stands on.
BELOW = {
    "platform": set(),
    "shares": {"platform"},
    "http": {"platform", "shares"},
    "app": {"platform", "shares", "http"},
    "ui": {"platform", "shares", "http", "app"},
    "cli": {"platform", "shares", "http", "app"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/')


def findings(src):
    for floor in sorted(os.listdir(src)):
        folder = os.path.join(src, floor)
        if not os.path.isdir(folder):
            continue
        if floor not in BELOW:
            yield f"{floor}/: a folder no floor owns (add it to {os.path.basename(__file__)})"
            continue
        allowed = BELOW[floor] | {floor}
        for dirpath, _, names in os.walk(folder):
            for name in sorted(names):
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if m and m.group(1) in BELOW and m.group(1) not in allowed:
                            yield (f"{os.path.relpath(path, src)}:{number}: {floor} includes "
                                   f"{m.group(1)}/, a floor above or beside it")


def main():
    found = list(findings(sys.argv[1]))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
