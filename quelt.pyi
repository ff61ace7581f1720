from typing import Any, Callable, Protocol

__version__: str

class JSONDecodeError(ValueError):
    # Set on every instance that loads() raises.
    msg: str
    doc: str | bytes | bytearray
    pos: int
    lineno: int
    colno: int

class _Reader(Protocol):
    def read(self) -> str | bytes | bytearray: ...

class _Writer(Protocol):
    def write(self, text: str, /) -> object: ...

def dumps(
    obj: Any,
    ensure_ascii: bool = True,
    encode_html_chars: bool = False,
    escape_forward_slashes: bool = True,
    sort_keys: bool = False,
    indent: int = 0,
    allow_nan: bool = True,
    reject_bytes: bool = True,
    default: Callable[[Any], Any] | None = None,
    separators: tuple[str, str] | None = None,
) -> str: ...
encode = dumps

def dump(
    obj: Any,
    fp: _Writer,
    /,
    *,
    ensure_ascii: bool = True,
    encode_html_chars: bool = False,
    escape_forward_slashes: bool = True,
    sort_keys: bool = False,
    indent: int = 0,
    allow_nan: bool = True,
    reject_bytes: bool = True,
    default: Callable[[Any], Any] | None = None,
    separators: tuple[str, str] | None = None,
) -> None: ...
def loads(obj: str | bytes | bytearray) -> Any: ...
decode = loads
def load(fp: _Reader, /) -> Any: ...
