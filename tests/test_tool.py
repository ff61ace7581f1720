"""The command-line tool (`quelt`, `python -m quelt_tool`), run as a user runs
it: in a subprocess, on files and standard streams."""
import subprocess
import sys
from pathlib import Path

import pytest

MODULE = [sys.executable, "-m", "quelt_tool"]
# The console script sits beside the interpreter of the environment that the
# package is installed in.
SCRIPT = [str(Path(sys.executable).with_name("quelt"))]

DOC = '{"b": [1, 2.5, "x/y", "\u00e9"], "a": {}}'
INDENTED = '{\n    "b": [\n        1,\n        2.5,\n        "x/y",\n        "\\u00e9"\n    ],\n    "a": {}\n}\n'
OLD = "previous contents\n"


def run(command, args, stdin=b"", cwd=None):
    return subprocess.run(command + args, input=stdin, capture_output=True, cwd=cwd, timeout=60)


# Each case: arguments ({in} and {out} stand for files in a temporary
# directory), standard input, the contents of {in}, and what is expected:
# exit status, standard output, standard error (one exact line, or, for
# argparse's usage errors, the last line), and the files' contents after the
# run ({out} holds OLD before it, whenever a case names it).
CASES = [
    # ---- valid input -------------------------------------------------------
    pytest.param([], DOC, None, 0, INDENTED, "", None, id="stdin-to-stdout-indented-by-4"),
    pytest.param(["{in}"], None, DOC, 0, INDENTED, "", None, id="file-to-stdout"),
    pytest.param(["-", "{out}"], DOC, None, 0, "", "", {"out": INDENTED}, id="stdin-to-file"),
    pytest.param(["{in}", "{out}"], None, DOC, 0, "", "", {"out": INDENTED}, id="file-to-file"),
    pytest.param(["{in}", "{in}"], None, DOC, 0, "", "", {"in": INDENTED}, id="in-place"),
    pytest.param(["--indent", "2"], DOC, None, 0,
                 '{\n  "b": [\n    1,\n    2.5,\n    "x/y",\n    "\\u00e9"\n  ],\n  "a": {}\n}\n', "", None,
                 id="indent-2"),
    pytest.param(["--indent", "0"], DOC, None, 0, '{"b":[1,2.5,"x/y","\\u00e9"],"a":{}}\n', "", None,
                 id="indent-0-is-one-line"),
    pytest.param(["--compact"], DOC, None, 0, '{"b":[1,2.5,"x/y","\\u00e9"],"a":{}}\n', "", None, id="compact"),
    pytest.param(["--compact", "--sort-keys"], DOC, None, 0, '{"a":{},"b":[1,2.5,"x/y","\\u00e9"]}\n', "", None,
                 id="sort-keys"),
    pytest.param(["--compact", "--no-ensure-ascii"], DOC, None, 0, '{"b":[1,2.5,"x/y","\u00e9"],"a":{}}\n', "", None,
                 id="no-ensure-ascii-writes-utf8"),
    pytest.param(["--compact"], '[NaN, -Infinity, 18446744073709551616, "\\ud800"]', None, 0,
                 '[NaN,-Infinity,18446744073709551616,"\\ud800"]\n', "", None, id="values-json-cannot-write"),
    pytest.param(["--compact"], "[" * 1024 + "]" * 1024, None, 0, "[" * 1024 + "]" * 1024 + "\n", "", None,
                 id="deepest-nesting"),
    pytest.param(["--check"], DOC, None, 0, "", "", None, id="check-valid-stdin"),
    pytest.param(["--check", "{in}"], None, DOC, 0, "", "", None, id="check-valid-file"),
    # ---- invalid input: FILE:LINE:COLUMN: message, exit 1 ----------------------
    pytest.param([], "[1 2]", None, 1, "",
                 "<stdin>:1:4: Unexpected character found when decoding array value (2)", None, id="invalid-stdin"),
    pytest.param(["{in}"], None, '{"a": [1,\n 2,, 3]}', 1, "", "{in}:2:4: Expected object or value", None,
                 id="invalid-second-line"),
    pytest.param(["{in}"], None, '["\u00e9", x]', 1, "", "{in}:1:8: Expected object or value", None,
                 id="invalid-after-non-ascii-column-in-bytes"),
    pytest.param(["{in}"], None, "[1] x", 1, "", "{in}:1:5: Trailing data", None, id="invalid-trailing-data"),
    pytest.param([], "", None, 1, "", "<stdin>:1:1: Expected object or value", None, id="invalid-empty"),
    pytest.param(["--check", "{in}"], None, "[1 2]", 1, "",
                 "{in}:1:4: Unexpected character found when decoding array value (2)", None, id="check-invalid"),
    pytest.param(["{in}", "{out}"], None, "[1 2]", 1, "",
                 "{in}:1:4: Unexpected character found when decoding array value (2)", {"out": OLD},
                 id="invalid-leaves-output-file-alone"),
    pytest.param(["--no-ensure-ascii", "-", "{out}"], '"\\ud800"', None, 1, "",
                 "<stdin>: a lone surrogate cannot be written as UTF-8; drop --no-ensure-ascii", {"out": OLD},
                 id="lone-surrogate-without-escapes"),
    # ---- files that cannot be read or written, usage errors: exit 2 --------
    pytest.param(["{dir}/missing.json"], None, None, 2, "",
                 "quelt: error: cannot read '{dir}/missing.json': No such file or directory", None,
                 id="missing-input-file"),
    pytest.param(["{dir}"], None, None, 2, "", "quelt: error: cannot read '{dir}': Is a directory", None,
                 id="input-is-a-directory"),
    pytest.param(["-", "{dir}/no/such/dir.json"], DOC, None, 2, "",
                 "quelt: error: cannot write '{dir}/no/such/dir.json': No such file or directory", None,
                 id="unwritable-output-file"),
    pytest.param(["--check", "-", "{out}"], DOC, None, 2, "",
                 "quelt: error: --check writes nothing: give no output file", {"out": OLD}, id="check-with-output-file"),
    pytest.param(["--indent", "2", "--compact"], DOC, None, 2, "",
                 "quelt: error: argument --compact: not allowed with argument --indent", None,
                 id="indent-and-compact"),
    pytest.param(["--indent", "-1"], DOC, None, 2, "", "quelt: error: --indent must be between 0 and 1000", None,
                 id="negative-indent"),
    pytest.param(["--indent", "1001"], DOC, None, 2, "", "quelt: error: --indent must be between 0 and 1000", None,
                 id="indent-too-large"),
]


@pytest.mark.parametrize("args, stdin, infile, status, stdout, stderr, after", CASES)
def test_tool(tmp_path, args, stdin, infile, status, stdout, stderr, after):
    paths = {"in": tmp_path / "in.json", "out": tmp_path / "out.json", "dir": tmp_path}
    if infile is not None:
        paths["in"].write_text(infile)
    if "{out}" in args:
        paths["out"].write_text(OLD)
    args = [a.format(**paths) for a in args]

    result = run(MODULE, args, stdin=(stdin or "").encode("utf-8", "surrogatepass"), cwd=tmp_path)

    assert result.returncode == status
    assert result.stdout.decode() == stdout
    err = result.stderr.decode()
    assert "Traceback" not in err
    if status == 2 and err:  # argparse's usage line comes first
        err = err.splitlines()[-1] + "\n"
    assert err == (stderr.format(**paths) + "\n" if stderr else "")
    for name, contents in (after or {}).items():
        assert paths[name].read_text() == contents


@pytest.mark.parametrize("command", [MODULE, SCRIPT], ids=["python-m", "console-script"])
@pytest.mark.parametrize("stdin, status, stdout, stderr", [
    ("[1, {}]", 0, "[\n    1,\n    {}\n]\n", ""),
    ("[1 2]", 1, "", "<stdin>:1:4: Unexpected character found when decoding array value (2)\n"),
], ids=["valid", "invalid"])
def test_entry_points(tmp_path, command, stdin, status, stdout, stderr):
    result = run(command, [], stdin=stdin.encode(), cwd=tmp_path)
    assert (result.returncode, result.stdout.decode(), result.stderr.decode()) == (status, stdout, stderr)
