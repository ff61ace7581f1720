"""The module as Python sees it: attributes, docstrings, the exception type,
re-initialisation and the GIL declaration."""
import importlib.util
import subprocess
import sys
import sysconfig

import pytest

import quelt

ENCODE_DOC = (
    "Converts arbitrary object recursively into JSON. Use ensure_ascii=false to output UTF-8. "
    "Set encode_html_chars=True to encode < > & as unicode escape sequences. Set "
    "escape_forward_slashes=False to prevent escaping / characters.Set allow_nan=False to raise "
    "an exception when NaN or Infinity would be serialized.Set reject_bytes=True to raise "
    "TypeError on bytes."
)


# The default build always runs with the GIL; the declaration only matters
# on the free-threaded one.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED, reason="the default build always has the GIL")
def test_import_keeps_gil_disabled():
    assert sys._is_gil_enabled() is False


def test_attributes():
    assert quelt.__version__ == "6.0.0"
    assert quelt.__doc__.startswith("Fast, strict JSON encoder and decoder.")
    for name in ("encode", "decode", "dumps", "loads", "dump", "load"):
        assert callable(getattr(quelt, name))


@pytest.mark.parametrize(
    "name, doc",
    [
        ("dumps", ENCODE_DOC),
        ("encode", ENCODE_DOC),
        ("loads", "Converts JSON as string to dict object structure."),
        ("decode", "Converts JSON as string to dict object structure."),
        ("dump", ENCODE_DOC.replace("into JSON.", "into JSON file.")),
        ("load", "Converts JSON as file to dict object structure."),
    ],
)
def test_docstrings(name, doc):
    assert getattr(quelt, name).__doc__ == doc


OPTIONS = (
    "ensure_ascii=True, encode_html_chars=False, escape_forward_slashes=True, sort_keys=False, "
    "indent=0, allow_nan=True, reject_bytes=True, default=None, separators=None"
)


@pytest.mark.parametrize(
    "name, signature",
    [
        ("dumps", f"(obj, {OPTIONS})"),
        ("encode", f"(obj, {OPTIONS})"),
        ("dump", f"(obj, fp, /, *, {OPTIONS})"),
        ("loads", "(obj)"),
        ("decode", "(obj)"),
        ("load", "(fp, /)"),
    ],
)
def test_signatures(name, signature):
    import inspect

    function = getattr(quelt, name)
    assert str(inspect.signature(function)) == signature
    # The defaults are the real ones: calling with them changes nothing.
    parameters = inspect.signature(function).parameters.values()
    defaults = {p.name: p.default for p in parameters if p.default is not p.empty}
    if name in ("dumps", "encode"):
        assert function({"a": [1, "/"]}, **defaults) == function({"a": [1, "/"]})


def test_aliases_are_separate_functions_with_same_behaviour():
    assert quelt.decode is not quelt.loads
    assert quelt.decode('{"a": [1, 2.5]}') == quelt.loads('{"a": [1, 2.5]}')


def test_json_decode_error_type():
    err = quelt.JSONDecodeError
    assert issubclass(err, ValueError)
    assert err.__name__ == "JSONDecodeError"
    assert err.__module__ == "quelt"
    with pytest.raises(err) as info:
        quelt.loads("[")
    assert info.value.args == ("Expected object or value",)


def test_second_module_object_has_its_own_state():
    # Each module object made from the extension gets its own exception
    # type; the first one keeps its own and keeps working.
    location = importlib.util.spec_from_file_location("quelt", quelt.__file__)
    again = importlib.util.module_from_spec(location)
    location.loader.exec_module(again)
    assert again is not quelt
    assert again.JSONDecodeError is not quelt.JSONDecodeError
    for module in (again, quelt):
        with pytest.raises(module.JSONDecodeError):
            module.loads("[")
        assert module.dumps({1: [2.5]}, sort_keys=True) == '{"1":[2.5]}'
    del again
    with pytest.raises(quelt.JSONDecodeError):
        quelt.loads("[")


@pytest.mark.parametrize(
    "blocker",
    [
        "sys.modules['decimal'] = None",  # import fails
        "import types; sys.modules['decimal'] = types.ModuleType('decimal')",  # no Decimal
    ],
    ids=["decimal-unimportable", "decimal-without-Decimal"],
)
def test_import_without_usable_decimal(blocker):
    code = (
        f"import sys; {blocker}\n"
        "import quelt\n"
        "assert quelt.__version__ == '6.0.0'\n"
        "assert issubclass(quelt.JSONDecodeError, ValueError)\n"
        "assert quelt.loads('[1]') == [1]\n"
        f"assert sys._is_gil_enabled() is {not FREE_THREADED}\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def stub_functions():
    import ast
    from pathlib import Path

    stub = Path(quelt.__file__).with_name("quelt.pyi")
    assert stub.exists(), "the type stub is installed next to the module"
    tree = ast.parse(stub.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("name", ["dumps", "dump"])
def test_stub_keywords_and_defaults_are_accepted(name):
    import ast
    import io

    args = stub_functions()[name].args
    positional = args.posonlyargs + args.args
    defaults = dict(zip([a.arg for a in positional[len(positional) - len(args.defaults) :]], args.defaults))
    defaults.update({a.arg: d for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None})
    named = positional + args.kwonlyargs
    options = {key: ast.literal_eval(value) for key, value in defaults.items()}
    assert set(options) == {a.arg for a in named} - {"obj", "fp"}
    if name == "dumps":
        assert quelt.dumps({"a": [1]}, **options) == '{"a":[1]}'
    else:
        fp = io.StringIO()
        quelt.dump({"a": [1]}, fp, **options)
        assert fp.getvalue() == '{"a":[1]}'


# quelt is a module per interpreter: it imports and works in an isolated
# interpreter (its own GIL), and importing it in another interpreter changes
# nothing for this one.  Run apart, as interpreters outlive a failed test.
INTERPRETER_CHECK = """if True:
    import decimal, quelt
    assert quelt.loads('[1, {"a": 2.5}]') == [1, {"a": 2.5}]
    assert quelt.dumps({"b": decimal.Decimal("1.5"), "a": [None]}, sort_keys=True) == '{"a":[null],"b":1.5}'
    try:
        quelt.loads("[")
    except quelt.JSONDecodeError as exc:
        assert exc.args == ("Expected object or value",)
    else:
        raise AssertionError("no JSONDecodeError")
"""


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_module_per_interpreter(config):
    code = f"""if True:
        import _interpreters, quelt
        error_type = quelt.JSONDecodeError
        interp = _interpreters.create({config!r})
        try:
            failure = _interpreters.run_string(interp, {INTERPRETER_CHECK!r})
        finally:
            _interpreters.destroy(interp)
        assert failure is None, failure
        assert quelt.JSONDecodeError is error_type
        try:
            quelt.loads("[")
        except error_type:
            print("ok")
    """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout == "ok\n", done.stderr
