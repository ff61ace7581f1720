"""Sorts the ThreadSanitizer reports of a test run into those that fail it and
those that the suppressions file lets pass, prints the first kind in full and
a count of the second, and exits 1 when any report fails the run.

    tsan_reports.py SUPPRESSIONS MODULE LOGFILE...

MODULE is the file name of the extension (quelt.cpython-...so): an access
whose innermost frame lies in it is quelt's own code, and such a report always
fails the run.

ThreadSanitizer's own suppressions cannot be used for this: an entry there
hides a report as soon as one of its stacks matches, so an entry for the
interpreter's side of a race would also hide a race between that same
interpreter code and quelt.  Here an entry names both sides, and each side
must be matched within the interpreter's part of its stack (the frames above
the first frame in the extension).
"""
import re
import sys
from collections import Counter

RUNTIME = "libtsan.so"  # the sanitizer's interceptors (memcpy, memmove, ...)
FRAME = re.compile(r"^\s+#\d+ (?P<function>.*?) (?P<location>\S+) \((?P<module>[^+()]+)\+0x[0-9a-f]+\)$")
ACCESS = re.compile(r"^  (Previous )?(atomic )?(read|write) of size \d+ at ", re.I)
# Lines of a log that are not part of a report.
TRAILER = re.compile(r"^(ThreadSanitizer: reported \d+ warnings|ThreadSanitizer: thread T\d+ .* finished with ignores enabled.*)?$")


def load_entries(path):
    """[(name, first side, second side)] from 'race: A ~ B' lines."""
    entries = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            m = re.fullmatch(r"race:\s*(\S+)\s*~\s*(\S+)", line)
            if not m:
                sys.exit(f"{path}:{number}: expected 'race: FUNCTION ~ FUNCTION', got {line!r}")
            entries.append((f"{m.group(1)} ~ {m.group(2)}", m.group(1), m.group(2)))
    return entries


def split_reports(text):
    """(reports, stray lines): each report is the text between the
    ThreadSanitizer separators."""
    reports, stray = [], []
    current = None
    for line in text.splitlines():
        if line == "==================":
            if current is not None:
                reports.append("\n".join(current))
                current = None
            else:
                current = []
        elif current is not None:
            current.append(line)
        elif not TRAILER.match(line):
            stray.append(line)
    if current:
        reports.append("\n".join(current))
    return reports, stray


def accesses(report):
    """The stacks of the racing accesses: lists of (function, module)."""
    stacks, current = [], None
    for line in report.splitlines():
        if ACCESS.match(line):
            current = []
            stacks.append(current)
        elif line.startswith("  ") and not line.startswith("    "):
            current = None  # another section: location, mutex, thread
        elif current is not None:
            m = FRAME.match(line)
            if m:
                function = m.group("function").split("(")[0]  # C++ signatures
                current.append((function, m.group("module")))
    return stacks


def interpreter_part(stack, module):
    """The frames above the first frame in the extension, or None when the
    access itself (past the sanitizer's interceptors) is in the extension."""
    frames = [f for f in stack if not f[1].startswith(RUNTIME)]
    if not frames or frames[0][1] == module:
        return None
    part = []
    for function, frame_module in stack:
        if frame_module == module:
            break
        part.append(function)
    return part


# The interpreter's writes that start a new object's life (its header
# written as a block is reused) race by design with its lock-free readers,
# which load the header atomically and check it again afterwards.  Under a
# busy run ThreadSanitizer sometimes cannot restore the stack of such an
# atomic read (its history is bounded): a report whose one side is such a
# write, complete and all in the interpreter, and whose other side is an
# atomic read without a stack is let pass, counted apart.
NEW_OBJECT_WRITES = ("new_reference", "_PyType_AllocNoTrack")
LOST_ATOMIC_READ = re.compile(r"^  Previous atomic read of size \d+ at \S+ by thread T\d+:\n    \[failed to restore the stack\]",
                              re.M)


def tolerated(report, entries, module):
    """The name of the entry that lets this report pass, or None."""
    if not report.startswith("WARNING: ThreadSanitizer: data race "):
        return None
    stacks = accesses(report)
    if LOST_ATOMIC_READ.search(report) and len(stacks) == 2 and [bool(s) for s in stacks] == [True, False]:
        part = interpreter_part(stacks[0], module)
        if part and any(write in part for write in NEW_OBJECT_WRITES):
            return "new object ~ atomic read whose stack was lost"
    if len(stacks) != 2:
        return None
    parts = [interpreter_part(s, module) for s in stacks]
    if None in parts:
        return None
    for name, first, second in entries:
        if (first in parts[0] and second in parts[1]) or (second in parts[0] and first in parts[1]):
            return name
    return None


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    entries = load_entries(argv[0])
    module = argv[1]
    failing, passed = [], Counter()
    for path in argv[2:]:
        with open(path, errors="replace") as f:
            reports, stray = split_reports(f.read())
        if stray:
            failing.append((path, "\n".join(stray)))
        for report in reports:
            name = tolerated(report, entries, module)
            if name:
                passed[name] += 1
            else:
                failing.append((path, report))
    for path, report in failing:
        print(f"==== {path}\n{report}\n", file=sys.stderr)
    for name, count in passed.most_common():
        print(f"tsan: {count:4d} let pass by the suppression {name}", file=sys.stderr)
    print(f"tsan: {len(failing)} report(s) fail the run, {sum(passed.values())} let pass", file=sys.stderr)
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
