"""Validate and pretty-print JSON with quelt.

    quelt [--indent N | --compact] [--sort-keys] [--no-ensure-ascii] [--check]
          [infile] [outfile]

Installed as the ``quelt`` command and runnable as ``python -m quelt_tool``
(the extension module ``quelt`` itself cannot be run with ``-m``).  Reads
``infile`` (standard input when absent or ``-``) as bytes and writes the
document to ``outfile`` (standard output when absent or ``-``), followed by a
newline.

Exit status: 0 for a valid document; 1 for invalid JSON, reported on
standard error as ``FILE:LINE:COLUMN: message`` (``<stdin>`` for standard
input; the column counts bytes, as the input is read as bytes); 2 for a
usage error or a file that cannot be read or written.  The output file is
opened only once the document has been decoded and encoded, so a failed run
leaves it as it was.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, BinaryIO, NoReturn, Sequence

import quelt

STDIN_NAME = "<stdin>"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quelt",
        description="Validate JSON and write it back indented (or compact) with quelt.",
    )
    parser.add_argument("infile", nargs="?", default="-",
                        help="the JSON file to read (default: standard input)")
    parser.add_argument("outfile", nargs="?", default="-",
                        help="where to write the result (default: standard output)")
    layout = parser.add_mutually_exclusive_group()
    layout.add_argument("--indent", type=int, default=4, metavar="N",
                        help="spaces per nesting level (default: 4; 0 writes one line)")
    layout.add_argument("--compact", action="store_true",
                        help="write one line with no spaces (same as --indent 0)")
    parser.add_argument("--sort-keys", action="store_true",
                        help="write object members sorted by key")
    parser.add_argument("--no-ensure-ascii", dest="ensure_ascii", action="store_false",
                        help="write non-ASCII characters as UTF-8 instead of \\uXXXX escapes")
    parser.add_argument("--check", action="store_true",
                        help="only validate the input; write nothing")
    return parser


def _read(parser: argparse.ArgumentParser, name: str) -> bytes:
    if name == "-":
        return sys.stdin.buffer.read()
    try:
        with open(name, "rb") as fp:
            return fp.read()
    except OSError as exc:
        parser.error(f"cannot read {name!r}: {exc.strerror or exc}")


def _write(parser: argparse.ArgumentParser, name: str, data: bytes) -> None:
    if name == "-":
        out: BinaryIO = sys.stdout.buffer
        out.write(data)
        out.flush()
        return
    try:
        with open(name, "wb") as fp:
            fp.write(data)
    except OSError as exc:
        parser.error(f"cannot write {name!r}: {exc.strerror or exc}")


def _fail(message: str) -> NoReturn:
    print(message, file=sys.stderr)
    raise SystemExit(1)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.indent < 0 or args.indent > 1000:
        parser.error("--indent must be between 0 and 1000")
    if args.check and args.outfile != "-":
        parser.error("--check writes nothing: give no output file")

    raw = _read(parser, args.infile)
    source = STDIN_NAME if args.infile == "-" else args.infile
    try:
        value: Any = quelt.loads(raw)
    except quelt.JSONDecodeError as exc:
        _fail(f"{source}:{exc.lineno}:{exc.colno}: {exc}")
    if args.check:
        return 0

    # Written for people: "/" stays as it is, as in the input.
    text = quelt.dumps(
        value,
        ensure_ascii=args.ensure_ascii,
        escape_forward_slashes=False,
        sort_keys=args.sort_keys,
        indent=0 if args.compact else args.indent,
    )
    try:
        data = (text + "\n").encode("utf-8")
    except UnicodeEncodeError:
        # Only a lone surrogate (decoded from an escape such as \uD800) has
        # no UTF-8 form; as an escape it can be written.
        _fail(f"{source}: a lone surrogate cannot be written as UTF-8; drop --no-ensure-ascii")
    _write(parser, args.outfile, data)
    return 0


def run() -> NoReturn:
    """Entry point of the console script: exits with main()'s status."""
    try:
        status = main()
    except BrokenPipeError:
        # The reader went away (`quelt big.json | head`): stop quietly, and
        # point stdout at nothing so the interpreter's final flush cannot
        # report the same broken pipe again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 1
    except KeyboardInterrupt:
        status = 130
    sys.exit(status)


if __name__ == "__main__":
    run()
