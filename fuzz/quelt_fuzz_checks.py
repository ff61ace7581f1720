"""What the fuzz targets check for each input.  The libFuzzer binaries call
CHECKS[target](data) for every input they generate; tests/test_hostile.py
replays the inputs kept in tests/regressions through the same functions.
A check raises (and the fuzzer then stops with the input saved) when quelt
gives a result or an exception other than the one expected.

loads: the input as bytes, bytearray and str decodes alike, fails only with
a known message, and whatever decodes encodes and decodes back unchanged.

dumps: the input is a program that builds an object tree (nested lists,
tuples and dicts with keys of every kind, strings with lone surrogates, big
integers, floats with NaN and infinities, Decimals, bytes, subclasses, and
objects using toDict, __json__ and default) and picks every option.  A model
of the encoder's rules computes what the tree must decode back to, or which
exception must come first; dumps must agree and its text must decode back.
"""
import decimal
import enum
import json
import math
import struct
import sys

import quelt

sys.setrecursionlimit(20_000)  # the models recurse once per nesting level

# ---- shared helpers ----------------------------------------------------------------

DECODE_MESSAGES = frozenset(
    [
        "Expected object or value",
        "Trailing data",
        "Unexpected character found when decoding 'true'",
        "Unexpected character found when decoding 'false'",
        "Unexpected character found when decoding 'null'",
        "Unexpected character found when decoding 'NaN'",
        "Unexpected character found when decoding 'Infinity'",
        "Unexpected character found when decoding '-Infinity'",
        "Reached object decoding depth limit",
        "Unexpected character found when decoding 'number'",
        "Unexpected character found when decoding array value (1)",
        "Unexpected character found when decoding array value (2)",
        "Key name of object must be 'string' when decoding 'object'",
        "No ':' found when decoding object value",
        "Unexpected character in found when decoding object value",
        "Invalid JSON: object keys must be strings",
        "Unmatched '\"' when decoding 'string'",
        "Invalid UTF-8 continuation byte when decoding 'string'",
        "Overlong 2-byte UTF-8 sequence detected when decoding 'string'",
        "Overlong 3-byte UTF-8 sequence detected when decoding 'string'",
        "Overlong 4-byte UTF-8 sequence detected when decoding 'string'",
        "Code point > U+10FFFF encountered whilst decoding 'string'",
        "Invalid UTF-8 sequence length when decoding 'string'",
        "Found UTF-8 continuation byte without corresponding start byte when decoding 'string'",
        "Unterminated escape sequence when decoding 'string'",
        "Unrecognized escape sequence when decoding 'string'",
        "Unterminated unicode escape sequence when decoding 'string'",
        "Unexpected character in unicode escape sequence when decoding 'string'",
    ]
)

ENCODE_UTF8_MESSAGES = frozenset(
    [
        "Unterminated UTF-8 sequence when encoding string",
        "Invalid continuation byte in 2-byte UTF-8 sequence detected when encoding string",
        "Invalid continuation byte in 3-byte UTF-8 sequence detected when encoding string",
        "Invalid continuation byte in 4-byte UTF-8 sequence detected when encoding string",
        "Overlong 2-byte UTF-8 sequence detected when encoding string",
        "Overlong 3-byte UTF-8 sequence detected when encoding string",
        "Overlong 4-byte UTF-8 sequence detected when encoding string",
        ">U+10FFFF in 4-byte UTF-8 sequence detected when encoding string",
        "Unsupported UTF-8 sequence length when encoding string",
    ]
)
RECURSION = "Maximum recursion level reached"
INVALID_DOUBLE = "Invalid value when encoding double"


def same(a, b):
    """Equality of decoded values: exact types, floats to the bit (any NaN
    equals any NaN), dicts in the same order."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        if math.isnan(a):
            return math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def pair_surrogates(text):
    """What a str becomes after travelling as \\u escapes: adjacent high and
    low surrogates join into one code point; lone ones stay."""
    return text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")


def after_ascii_round_trip(value):
    """A decoded value as it comes back from dumps(ensure_ascii=True)."""
    if type(value) is str:
        return pair_surrogates(value)
    if type(value) is list:
        return [after_ascii_round_trip(v) for v in value]
    if type(value) is dict:
        out = {}
        for k, v in value.items():
            out[pair_surrogates(k)] = after_ascii_round_trip(v)
        return out
    return value


# ---- loads -------------------------------------------------------------------------


def loads_outcome(doc):
    try:
        return ("ok", quelt.loads(doc))
    except quelt.JSONDecodeError as exc:
        assert type(exc) is quelt.JSONDecodeError, type(exc)
        assert len(exc.args) == 1 and exc.args[0] in DECODE_MESSAGES, exc.args
        return ("error", exc.args[0])
    except ValueError as exc:
        # The interpreter's limit on the digits of an integer text.
        assert type(exc) is ValueError and "digits" in str(exc), repr(exc)
        return ("limit", None)


def same_outcome(a, b):
    return a[0] == b[0] and (same(a[1], b[1]) if a[0] == "ok" else a[1] == b[1])


def exporting(base, data):
    """An instance of a `base` subclass holding `data` whose __buffer__
    exports only half of it: loads must read the object's own storage."""

    class Exporting(base):
        def __buffer__(self, flags):
            return memoryview(bytes(data))[: len(data) // 2]

    return Exporting(data)


def check_loads(data):
    first = loads_outcome(data)
    assert same_outcome(loads_outcome(bytearray(data)), first)
    for base in (bytes, bytearray):
        assert same_outcome(loads_outcome(exporting(base, data)), first)
    try:
        text = data.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        # Not UTF-8: still feed the parser a str, with different bytes.
        loads_outcome(data.decode("latin-1"))
    else:
        assert same_outcome(loads_outcome(text), first)
    if first[0] != "ok":
        return
    value = first[1]
    for ensure_ascii in (True, False):
        try:
            text = quelt.dumps(value, ensure_ascii=ensure_ascii)
        except ValueError as exc:
            assert "digits" in str(exc), repr(exc)  # an integer at the digit limit
            return
        expected = after_ascii_round_trip(value) if ensure_ascii else value
        assert same(quelt.loads(text), expected), (text, value)


# ---- dumps: building an object tree from the input -------------------------------------


class Reader:
    """Consumes the fuzz input from the front; past its end every read
    gives zeros, so every input builds some tree."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def take(self, n):
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk + bytes(n - len(chunk))

    def exhausted(self):
        return self.pos >= len(self.data)


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class DictSub(dict):
    def items(self):  # never consulted: the stored entries are written
        return []


class ListSub(list):
    def __iter__(self):
        return iter(())


class Color(enum.IntEnum):
    RED = 1
    BIG = 2**70


class WithToDict:
    def __init__(self, members):
        self.members = members

    def toDict(self):
        return self.members


class WithJson:
    def __init__(self, text):
        self.text = text

    def __json__(self):
        return self.text


class Opaque:
    """Only the default callable knows how to write it."""

    def __init__(self, payload):
        self.payload = payload

    def __repr__(self):
        return "Opaque()"


def default(obj):
    if isinstance(obj, Opaque):
        return obj.payload
    raise TypeError("no default for " + type(obj).__name__)


SPECIAL_FLOATS = [
    math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 2.2250738585072014e-308,
    1.7976931348623157e308, 1e16, 1e15, 1e-5, 0.0001, 0.1, 1 / 3, 9007199254740993.0,
]
CODE_POINT_RANGES = [
    (0x20, 0x7F),  # printable ASCII
    (0x00, 0x20),  # control characters
    (0x22, 0x23), (0x5C, 0x5D), (0x2F, 0x30), (0x3C, 0x3F), (0x26, 0x27),  # escaped ones
    (0x80, 0x800),
    (0x800, 0x10000),
    (0xD800, 0xE000),  # surrogates, lone or in pairs
    (0x10000, 0x110000),
]
SEPARATORS = [None, (",", ":"), (", ", ": "), (",\n", " : "), ("\t,", ":\r\n"), (" , ", ":")]
INDENTS = [0, 0, 0, 1, 2, 4, -1, -7]
MAX_NESTING = 12


def build_str(r):
    n = r.byte() % 24
    chars = []
    for _ in range(n):
        lo, hi = CODE_POINT_RANGES[r.byte() % len(CODE_POINT_RANGES)]
        chars.append(chr(lo + int.from_bytes(r.take(3), "little") % (hi - lo)))
    return "".join(chars)


def build_int(r):
    kind = r.byte() % 4
    if kind == 0:
        return int.from_bytes(r.take(1), "little", signed=True)
    if kind == 1:
        return int.from_bytes(r.take(8), "little", signed=True)
    if kind == 2:
        return int.from_bytes(r.take(8), "little")
    return int.from_bytes(r.take(1 + r.byte() % 48), "little", signed=True)  # past 64 bits


def build_float(r):
    if r.byte() % 2:
        return SPECIAL_FLOATS[r.byte() % len(SPECIAL_FLOATS)]
    return struct.unpack("<d", r.take(8))[0]


def build_key(r):
    kind = r.byte() % 9
    if kind <= 2:
        return build_str(r)
    if kind == 3:
        return build_int(r)
    if kind == 4:
        return build_float(r)
    if kind == 5:
        return (True, False, None)[r.byte() % 3]
    if kind == 6:
        return build_str(r).encode("utf-8", "surrogatepass")
    if kind == 7:
        return (build_int(r), build_str(r))
    return decimal.Decimal(build_int(r)).scaleb(-(r.byte() % 5))


def build(r, depth=0):
    if depth >= MAX_NESTING or r.exhausted():
        return None
    tag = r.byte() % 24
    if tag == 0:
        return None
    if tag == 1:
        return bool(r.byte() % 2)
    if tag in (2, 3):
        return build_int(r)
    if tag in (4, 5):
        return build_float(r)
    if tag in (6, 7):
        return build_str(r)
    if tag in (8, 9):
        return [build(r, depth + 1) for _ in range(r.byte() % 6)]
    if tag == 10:
        return tuple(build(r, depth + 1) for _ in range(r.byte() % 4))
    if tag in (11, 12):
        return {build_key(r): build(r, depth + 1) for _ in range(r.byte() % 6)}
    if tag == 13:
        if r.byte() % 4 == 0:
            return r.take(r.byte() % 12)  # arbitrary bytes, possibly not UTF-8
        return build_str(r).encode("utf-8", "surrogatepass")
    if tag == 14:
        choice = r.byte() % 6
        if choice == 0:
            return decimal.Decimal(build_float(r))
        if choice == 1:
            return decimal.Decimal(build_int(r)).scaleb(-(r.byte() % 30))
        return decimal.Decimal(("NaN", "Infinity", "-Infinity", "1.10", "sNaN")[choice - 2])
    if tag == 15:
        kind = r.byte() % 6
        if kind == 0:
            return StrSub(build_str(r))
        if kind == 1:
            return IntSub(build_int(r))
        if kind == 2:
            return FloatSub(build_float(r))
        if kind == 3:
            return DictSub({build_key(r): build(r, depth + 1) for _ in range(r.byte() % 4)})
        if kind == 4:
            return ListSub(build(r, depth + 1) for _ in range(r.byte() % 4))
        return (Color.RED, Color.BIG)[r.byte() % 2]
    if tag == 16:
        return WithToDict({build_key(r): build(r, depth + 1) for _ in range(r.byte() % 4)})
    if tag == 17:
        plain = build_plain(r, depth + 1)
        text = json.dumps(plain)
        return WithJson(text.encode() if r.byte() % 2 else text)
    if tag == 18:
        return Opaque(build(r, depth + 1))
    if tag == 19:
        return {1, 2}  # no rule: default or the not-serializable error
    if tag == 20:
        # Far past the depth limit, or just at it.
        depth_wanted = (1020, 1023, 1024, 1025, 1030, 2000)[r.byte() % 6]
        value = build(r, MAX_NESTING)
        for _ in range(depth_wanted):
            value = [value] if r.byte() % 2 else {"k": value}
        return value
    if tag == 21:
        return WithToDict([1])  # toDict returning a list
    if tag == 22:
        return WithJson(5)  # __json__ returning an int
    return chr(0xD800 + r.byte() % 0x800)  # one lone surrogate


def build_plain(r, depth):
    """A value that the standard json module can write: for __json__."""
    value = build(r, max(depth, MAX_NESTING - 3))
    return plain(value)


def plain(value):
    if value is None or type(value) in (bool, int, str):
        return value
    if type(value) is float:
        return value
    if type(value) in (list, tuple):
        return [plain(v) for v in value]
    if type(value) is dict:
        return {k: plain(v) for k, v in value.items() if type(k) is str}
    return None


def build_options(r):
    flags = r.byte()
    options = dict(
        ensure_ascii=not flags & 1,
        encode_html_chars=bool(flags & 2),
        escape_forward_slashes=not flags & 4,
        sort_keys=bool(flags & 8),
        allow_nan=not flags & 16,
        reject_bytes=not flags & 32,
    )
    if flags & 64:
        options["default"] = default
    indent = INDENTS[r.byte() % len(INDENTS)]
    if indent:
        options["indent"] = indent
    separators = SEPARATORS[r.byte() % len(SEPARATORS)]
    if separators is not None:
        options["separators"] = separators
    return options


# ---- dumps: the model of what must come back -----------------------------------------------


class Expected(Exception):
    """The first failure the encoder must report: exception type and exact
    message (None: any message of that type)."""

    def __init__(self, exc_type, message, messages=None):
        super().__init__(exc_type, message)
        self.exc_type = exc_type
        self.message = message
        self.messages = messages


def ascii_escaper_failure(raw):
    """The message of the ensure_ascii escaper for these bytes, "late" when
    it copies bytes that are no UTF-8 (they fail when the output becomes a
    str), or None."""
    i, n, late = 0, len(raw), False
    while i < n:
        b = raw[i]
        if b < 0xC0 or b >= 0xFE:
            late = late or b >= 0x80
            i += 1
            continue
        if b >= 0xF8:
            return "Unsupported UTF-8 sequence length when encoding string"
        need = 2 if b < 0xE0 else 3 if b < 0xF0 else 4
        if n - i < need:
            return "Unterminated UTF-8 sequence when encoding string"
        if any(c & 0xC0 != 0x80 for c in raw[i + 1 : i + need]):
            return f"Invalid continuation byte in {need}-byte UTF-8 sequence detected when encoding string"
        if need == 4 and (b > 0xF4 or (b == 0xF4 and raw[i + 1] >= 0x90)):
            return ">U+10FFFF in 4-byte UTF-8 sequence detected when encoding string"
        cp = b & (0x1F, 0x0F, 0x07)[need - 2]
        for c in raw[i + 1 : i + need]:
            cp = (cp << 6) | (c & 0x3F)
        if cp < (0x80, 0x800, 0x10000)[need - 2]:
            return f"Overlong {need}-byte UTF-8 sequence detected when encoding string"
        i += need
    return "late" if late else None


class Model:
    def __init__(self, options):
        self.ascii = options.get("ensure_ascii", True)
        self.sort = options.get("sort_keys", False)
        self.allow_nan = options.get("allow_nan", True)
        self.reject_bytes = options.get("reject_bytes", True)
        self.default = options.get("default")
        self.raw = False  # a __json__ text was written verbatim
        self.deferred = None  # a failure that only the end of the call reports
        self.containers = 0  # most arrays and objects open at once

    def root(self, v):
        result = self.value(v, 0)
        if self.deferred:
            raise self.deferred
        return result

    def text(self, s):
        return pair_surrogates(s) if self.ascii else s

    def utf8(self, raw):
        """A bytes value or key: what it decodes back to."""
        if self.ascii:
            failure = ascii_escaper_failure(raw)
            if failure == "late":
                # Stray continuation bytes and FE/FF are copied as they are;
                # only the final conversion of the whole text fails, and
                # only if nothing else failed before.
                self.deferred = self.deferred or Expected(UnicodeDecodeError, None)
                return None
            if failure:
                raise Expected(OverflowError, failure)
        try:
            text = raw.decode("utf-8", "surrogatepass")
        except UnicodeDecodeError:
            self.deferred = self.deferred or Expected(UnicodeDecodeError, None)
            return None
        return self.text(text)

    def key(self, k):
        if isinstance(k, str):
            return self.text(str(k))
        if isinstance(k, bytes):
            return self.utf8(bytes(k))
        if type(k) is bool:
            return "true" if k else "false"
        if k is None:
            return "null"
        return self.text(str(k))

    def value(self, v, level):
        if level > 1024:
            raise Expected(OverflowError, RECURSION)
        calls = 0
        while True:
            if type(v) is bool or v is None:
                return v
            if isinstance(v, int):
                return int(v)
            if isinstance(v, bytes) and not self.reject_bytes:
                return self.utf8(bytes(v))
            if isinstance(v, str):
                return self.text(str(v))
            if isinstance(v, (float, decimal.Decimal)):
                if isinstance(v, decimal.Decimal) and v.is_snan():
                    raise Expected(ValueError, "cannot convert signaling NaN to float")
                f = float(v)
                if not math.isfinite(f) and not self.allow_nan:
                    raise Expected(OverflowError, INVALID_DOUBLE)
                return f
            if isinstance(v, dict):
                return self.members(v, level)
            if isinstance(v, (list, tuple)):
                self.containers = max(self.containers, level + 1)
                # The stored items, whatever __iter__ a subclass defines.
                items = list.__iter__(v) if isinstance(v, list) else tuple.__iter__(v)
                return [self.value(item, level + 1) for item in items]
            if hasattr(v, "toDict"):
                d = v.toDict()
                if not isinstance(d, dict):
                    raise Expected(TypeError, "toDict() should return a dict, got " + type(d).__name__)
                return self.members(d, level)
            if hasattr(v, "__json__"):
                raw = v.__json__()
                if not isinstance(raw, (str, bytes)):
                    raise Expected(TypeError, "__json__() should return str or bytes, got " + type(raw).__name__)
                self.raw = True
                parsed = json.loads(raw)
                self.containers = max(self.containers, level + nesting(parsed))
                return after_ascii_round_trip(parsed)
            if self.default is None:
                raise Expected(TypeError, repr(v) + " is not JSON serializable")
            if calls == 3:
                raise Expected(TypeError, "maximum recursion depth exceeded")
            calls += 1
            try:
                v = self.default(v)
            except TypeError as exc:
                raise Expected(TypeError, str(exc))

    def members(self, d, level):
        self.containers = max(self.containers, level + 1)
        keys = list(dict.keys(d))
        if self.sort:
            try:
                keys = sorted(keys)
            except Exception as exc:  # keys that cannot be compared: the sort's own error
                raise Expected(type(exc), str(exc))
        out = {}
        for k in keys:
            name = self.key(k)
            out[name] = self.value(dict.__getitem__(d, k), level + 1)
        return out


def nesting(value):
    """How many arrays and objects a plain value opens at its deepest."""
    if isinstance(value, (list, dict)):
        members = value if isinstance(value, list) else value.values()
        return 1 + max((nesting(m) for m in members), default=0)
    return 0


def check_dumps(data):
    r = Reader(data)
    options = build_options(r)
    value = build(r)
    model = Model(options)
    try:
        expected = model.root(value)
        failure = None
    except Expected as exc:
        failure = exc

    try:
        text = quelt.dumps(value, **options)
    except Exception as exc:  # compared with the model below
        assert failure is not None, ("dumps raised", repr(exc), options)
        assert isinstance(exc, failure.exc_type), (repr(exc), failure.args)
        if failure.message is not None:
            assert str(exc) == failure.message, (str(exc), failure.message)
        if failure.messages is not None:
            assert str(exc) in failure.messages, str(exc)
        return
    assert failure is None, ("dumps returned", text, "expected", failure.args)
    assert type(text) is str
    if not model.raw:
        if options.get("ensure_ascii", True):
            assert text.isascii(), text
        if options.get("encode_html_chars"):
            assert not any(c in text for c in "<>&"), text
    if model.containers > 1025:
        # Whatever dumps writes itself, loads reads back; only __json__ text,
        # inserted verbatim, can nest deeper than the decoder reads.
        assert model.raw, model.containers
        try:
            quelt.loads(text)
        except quelt.JSONDecodeError as exc:
            assert exc.args == ("Reached object decoding depth limit",)
        else:
            raise AssertionError("a document more than 1025 levels deep decoded")
    else:
        assert same(quelt.loads(text), expected), (text, expected)
    # dump writes the same text in one call.
    written = []

    class Sink:
        def write(self, s):
            written.append(s)

    assert quelt.dump(value, Sink(), **options) is None
    assert written == [text]


CHECKS = {"loads": check_loads, "dumps": check_dumps}
