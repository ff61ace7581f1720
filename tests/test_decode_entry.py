"""loads/decode/load arguments, input types, trailing data and load()."""
import io
import subprocess
import sys

import pytest

import quelt

ARBITRARY_BYTES = (
    "Arbitrary bytes-like objects are no longer supported. Use either string, bytes, or bytearray."
)


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


@pytest.mark.parametrize("loads", [quelt.loads, quelt.decode], ids=["loads", "decode"])
@pytest.mark.parametrize(
    "doc",
    ['{"a": [1]}', b'{"a": [1]}', bytearray(b'{"a": [1]}'), StrSub('{"a": [1]}'),
     BytesSub(b'{"a": [1]}'), ByteArraySub(b'{"a": [1]}')],
    ids=["str", "bytes", "bytearray", "str-subclass", "bytes-subclass", "bytearray-subclass"],
)
def test_input_types(loads, doc):
    assert loads(doc) == {"a": [1]}


def test_keyword_obj():
    assert quelt.loads(obj="[]") == []


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("1", "2"), {}), (("1",), {"obj": "1"}), ((), {"text": "1"})],
    ids=["none", "two", "twice", "unknown-keyword"],
)
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        quelt.loads(*args, **kwargs)


@pytest.mark.parametrize(
    "obj, message",
    [
        (1, "Expected string, bytes, or bytearray"),
        (None, "Expected string, bytes, or bytearray"),
        ([], "Expected string, bytes, or bytearray"),
        (memoryview(b"1"), ARBITRARY_BYTES),
        (__import__("array").array("b", [49]), ARBITRARY_BYTES),
    ],
    ids=["int", "None", "list", "memoryview", "array"],
)
def test_unsupported_input(obj, message):
    with pytest.raises(TypeError) as info:
        quelt.loads(obj)
    assert info.value.args == (message,)


# Subclasses may export any buffer through __buffer__: a shorter view of
# other memory, with no NUL after it, or an error.  loads reads a bytes or
# bytearray subclass from its own storage, and a str subclass as a str, so
# neither the view nor the method matters.
def exporting(base, view):
    class Exporting(base):
        def __buffer__(self, flags):
            if isinstance(view, BaseException):
                raise view
            return view

    return Exporting


@pytest.mark.parametrize(
    "base, content, view, expected",
    [
        pytest.param(bytes, b'"abcd"', memoryview(b'"abcdef"')[:4], "abcd", id="bytes-short-view"),
        pytest.param(bytes, b"[1]", memoryview(b"[1,2,3]")[:3], [1], id="bytes-other-memory"),
        pytest.param(bytearray, b"[1,2]", memoryview(b"[1,2,3]")[:3], [1, 2], id="bytearray-short-view"),
        pytest.param(bytes, b"[1]", RuntimeError("no buffer"), [1], id="bytes-buffer-raises"),
        pytest.param(bytearray, b"[2]", KeyboardInterrupt(), [2], id="bytearray-buffer-raises"),
        pytest.param(str, '["\u00e9", 1]', memoryview(b"[0]"), ["\u00e9", 1], id="str-with-buffer"),
        pytest.param(str, "[1]", RuntimeError("never asked"), [1], id="ascii-str-with-buffer"),
    ],
)
def test_subclasses_are_read_from_their_own_storage(base, content, view, expected):
    cls = exporting(base, view)
    doc = cls(content, "utf-8") if base is str and isinstance(content, bytes) else cls(content)
    assert quelt.loads(doc) == expected


def test_other_buffer_exporters_are_refused_without_being_asked():
    class Exporter:
        def __buffer__(self, flags):
            raise AssertionError("asked for a buffer")

    with pytest.raises(TypeError) as info:
        quelt.loads(Exporter())
    assert info.value.args == (ARBITRARY_BYTES,)


def test_bytes_subclass_view_at_the_end_of_a_mapping():
    # The view ends at a page that cannot be read: reading one byte past it
    # would crash the process.
    code = """if True:
        import ctypes, mmap, quelt
        page = mmap.PAGESIZE
        region = mmap.mmap(-1, 2 * page)
        region[page - 6 : page] = b'"abcd"'
        base = ctypes.addressof(ctypes.c_char.from_buffer(region))
        libc = ctypes.CDLL(None, use_errno=True)
        assert libc.mprotect(ctypes.c_void_p(base + page), page, 0) == 0  # PROT_NONE
        view = memoryview(region)[page - 6 : page]

        class Exporting(bytes):
            def __buffer__(self, flags):
                return view

        assert quelt.loads(Exporting(b'"ab"')) == "ab"
        print("ok")
    """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout == "ok\n", done.stderr


@pytest.mark.parametrize(
    "doc",
    [b"[1]\x00", b"\x00", "[1]\x00 ", b'"a"\x00"b"'],
    ids=repr,
)
def test_nul_byte_is_not_whitespace(doc):
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(doc)
    assert info.value.args in {("Trailing data",), ("Expected object or value",)}


class Reader:
    def __init__(self, content):
        self.content = content
        self.calls = 0

    def read(self):
        self.calls += 1
        return self.content


@pytest.mark.parametrize("content", ['{"k": 1}', b'{"k": 1}', bytearray(b'{"k": 1}')], ids=repr)
def test_load_reads_once(content):
    fp = Reader(content)
    assert quelt.load(fp) == {"k": 1}
    assert fp.calls == 1


def test_load_from_real_files(tmp_path):
    path = tmp_path / "doc.json"
    path.write_text('{"a": ["\u00e9", 1.5]}', encoding="utf-8")
    with open(path, "rb") as fp:
        assert quelt.load(fp) == {"a": ["\u00e9", 1.5]}
    with open(path, encoding="utf-8") as fp:
        assert quelt.load(fp) == {"a": ["\u00e9", 1.5]}
    assert quelt.load(io.StringIO("[1]")) == [1]


class NotCallableRead:
    read = 5


class FailingRead:
    def read(self):
        raise OSError("disk on fire")


@pytest.mark.parametrize("fp", [object(), NotCallableRead(), "[]"], ids=["no-read", "read-not-callable", "str"])
def test_load_expected_file(fp):
    with pytest.raises(TypeError) as info:
        quelt.load(fp)
    assert info.value.args == ("expected file",)


def test_load_propagates_read_error():
    with pytest.raises(OSError, match="disk on fire"):
        quelt.load(FailingRead())


class RaisingReadAttribute:
    def __init__(self, exc):
        self.exc = exc

    def __getattr__(self, name):
        raise self.exc


# Only a missing `read` means "not a file"; an error while looking it up
# propagates, and nothing is reported as ignored.
@pytest.mark.parametrize(
    "exc", [OSError("o"), RuntimeError("r"), KeyboardInterrupt()], ids=lambda e: type(e).__name__
)
def test_load_propagates_errors_looking_up_read(exc, capfd):
    with pytest.raises(type(exc)) as info:
        quelt.load(RaisingReadAttribute(exc))
    assert info.value is exc
    assert "ignored" not in capfd.readouterr().err


@pytest.mark.parametrize(
    "content, exc, message",
    [
        (5, TypeError, "Expected string, bytes, or bytearray"),
        (memoryview(b"1"), TypeError, ARBITRARY_BYTES),
        ("[1", quelt.JSONDecodeError, "Unexpected character found when decoding array value (2)"),
    ],
    ids=["int", "memoryview", "malformed"],
)
def test_load_judges_content_like_loads(content, exc, message):
    with pytest.raises(exc) as info:
        quelt.load(Reader(content))
    assert info.value.args == (message,)


def test_load_keyword_is_an_argument_error_after_read():
    fp = Reader("[]")
    with pytest.raises(TypeError):
        quelt.load(fp, obj=1)
    assert fp.calls == 1


@pytest.mark.parametrize("args", [(), (Reader("1"), Reader("2"))], ids=["none", "two"])
def test_load_argument_count(args):
    with pytest.raises(TypeError):
        quelt.load(*args)


def test_error_message_has_no_position():
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads("[1, 2, x]")
    assert str(info.value) == "Expected object or value"
