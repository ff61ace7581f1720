"""The libraries under comparison and how each does each operation.

Every library is described by a ``Library``: whether it imported (and if not,
why), its version, a note about how it runs on this interpreter, and for each
operation the nearest equivalent call, or ``None`` where it has none (shown
as n/a).  The calls are made as a user would write them, once per call, with
no pre-built encoder objects.

Operations (input -> output):

* ``loads_bytes``   UTF-8 bytes -> objects
* ``loads_str``     str -> objects
* ``dumps``         objects -> JSON text, each library's default options
* ``dumps_indent``  the same, pretty-printed with an indent of 2
* ``dumps_sorted``  the same, keys sorted
* ``dumps_same``    objects -> str, every library made to write the same text:
                    UTF-8 (no \\uXXXX escapes), no spaces, '/' unescaped;
                    orjson and msgspec decode their bytes within the call

What "default options" means differs: quelt, json, simplejson and rapidjson
escape non-ASCII to \\uXXXX by default (ensure_ascii), orjson and msgspec
write UTF-8; orjson and msgspec return bytes, the others str.  The report
notes the output type of every call.  ``dumps_same`` is the like-for-like
row: what the defaults leave different is set alike.

``OPTIONS`` are quelt's dumps options, each changed from its default on its
own, to see what it costs against plain dumps(); json is timed too where it
has the same option.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass, field
from typing import Callable

OPERATIONS = {
    "loads_bytes": "loads(bytes)",
    "loads_str": "loads(str)",
    "dumps": "dumps()",
    "dumps_indent": "dumps(indent=2)",
    "dumps_sorted": "dumps(sort_keys=True)",
    "dumps_same": "same-output dumps()",
}

# quelt's dumps options at their non-default values.  separators=(",", ":")
# is the default already; indent and sort_keys have operations above.
OPTIONS = {
    "ensure_ascii": False,
    "escape_forward_slashes": False,
    "encode_html_chars": True,
    "allow_nan": False,
    "reject_bytes": False,
}
# The operation of each: key -> label.
OPTION_OPERATIONS = {f"dumps_{name}": f"dumps({name}={value})" for name, value in OPTIONS.items()}

# The order of the columns in every table: quelt first, then the standard
# library, then the peers from PyPI.
LIBRARIES = ["quelt", "json", "orjson", "msgspec", "simplejson", "rapidjson"]

# The distribution name on PyPI, where it differs from the module name.
DISTRIBUTIONS = {"rapidjson": "python-rapidjson"}


@dataclass
class Library:
    name: str
    available: bool
    version: str = ""
    error: str = ""  # why it is unavailable
    note: str = ""  # how it runs here, e.g. without its C extension
    ops: dict[str, Callable | None] = field(default_factory=dict)


def _option(dumps, name: str):
    """dumps with the one option `name` at its non-default value."""
    options = {name: OPTIONS[name]}
    return lambda o: dumps(o, **options)


def _loads_dumps_api(m):
    """loads/dumps with indent= and sort_keys= keywords: quelt and rapidjson."""
    return {
        "loads_bytes": m.loads,
        "loads_str": m.loads,
        "dumps": m.dumps,
        "dumps_indent": lambda o: m.dumps(o, indent=2),
        "dumps_sorted": lambda o: m.dumps(o, sort_keys=True),
    }


def _quelt(m):
    ops = _loads_dumps_api(m)
    ops["dumps_same"] = lambda o: m.dumps(o, ensure_ascii=False, escape_forward_slashes=False)
    ops.update({f"dumps_{name}": _option(m.dumps, name) for name in OPTIONS})
    return ops, ""


def _rapidjson(m):
    ops = _loads_dumps_api(m)
    # Compact (write_mode=WM_COMPACT) and '/' unescaped by default.
    ops["dumps_same"] = lambda o: m.dumps(o, ensure_ascii=False)
    return ops, ""


def _json(m):
    return {
        "loads_bytes": m.loads,  # detects the encoding, decodes, then parses
        "loads_str": m.loads,
        "dumps": m.dumps,
        "dumps_indent": lambda o: m.dumps(o, indent=2),
        "dumps_sorted": lambda o: m.dumps(o, sort_keys=True),
        "dumps_same": lambda o: m.dumps(o, ensure_ascii=False, separators=(",", ":")),
        "dumps_ensure_ascii": _option(m.dumps, "ensure_ascii"),
        "dumps_allow_nan": _option(m.dumps, "allow_nan"),
    }, ""


def _orjson(m):
    indent, sort = m.OPT_INDENT_2, m.OPT_SORT_KEYS
    return {
        "loads_bytes": m.loads,
        "loads_str": m.loads,
        "dumps": m.dumps,  # returns bytes
        "dumps_indent": lambda o: m.dumps(o, option=indent),
        "dumps_sorted": lambda o: m.dumps(o, option=sort),
        "dumps_same": lambda o: m.dumps(o).decode(),
    }, ""


def _msgspec(m):
    j = importlib.import_module("msgspec.json")
    try:
        j.encode({}, order="sorted")
        sorted_ = lambda o: j.encode(o, order="sorted")  # noqa: E731
    except TypeError:  # releases before `order`
        sorted_ = None
    return {
        "loads_bytes": j.decode,
        "loads_str": j.decode,
        "dumps": j.encode,  # returns bytes
        # msgspec.json.encode has no indent; msgspec.json.format re-indents
        # finished output in a second pass, which is not the same operation.
        "dumps_indent": None,
        "dumps_sorted": sorted_,
        "dumps_same": lambda o: j.encode(o).decode(),
    }, ""


def _simplejson(m):
    note = ""
    try:
        from simplejson import _speedups  # noqa: F401
    except ImportError:
        note = "pure Python (no C speedups for this interpreter)"
    return {
        "loads_bytes": m.loads,
        "loads_str": m.loads,
        "dumps": m.dumps,
        "dumps_indent": lambda o: m.dumps(o, indent=2),
        "dumps_sorted": lambda o: m.dumps(o, sort_keys=True),
        "dumps_same": lambda o: m.dumps(o, ensure_ascii=False, separators=(",", ":")),
    }, note


_ADAPTERS = {
    "quelt": _quelt,
    "json": _json,
    "orjson": _orjson,
    "msgspec": _msgspec,
    "simplejson": _simplejson,
    "rapidjson": _rapidjson,
}


def _version(name: str, module) -> str:
    if name == "json":
        return "standard library"
    return str(getattr(module, "__version__", None) or "?")


def load(name: str) -> Library:
    try:
        module = importlib.import_module(name)
    except Exception as exc:  # ImportError, or a broken install
        return Library(name, False, error=f"{type(exc).__name__}: {exc}")
    try:
        ops, note = _ADAPTERS[name](module)
    except Exception as exc:
        return Library(name, False, _version(name, module), error=f"{type(exc).__name__}: {exc}")
    return Library(name, True, _version(name, module), note=note, ops=ops)


def load_all() -> list[Library]:
    return [load(name) for name in LIBRARIES]
