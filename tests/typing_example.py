"""Typical typed use of quelt.  CI checks it with `mypy --strict` against the
stub, and tests/test_typing.py runs it, so the types it relies on are the
real ones."""
from __future__ import annotations

import decimal
import io
from typing import Any

import quelt


def encode_order(order_id: int, lines: list[tuple[str, decimal.Decimal]]) -> str:
    document = {"id": order_id, "lines": [{"sku": sku, "price": price} for sku, price in lines]}
    return quelt.dumps(document, sort_keys=True, indent=2, escape_forward_slashes=False)


def fallback(value: Any) -> object:
    if isinstance(value, set):
        return sorted(value)
    raise TypeError(f"{value!r} is not JSON serializable")


def parse_object(data: str | bytes | bytearray) -> dict[str, Any]:
    value = quelt.loads(data)
    if not isinstance(value, dict):
        raise ValueError("expected a JSON object")
    return value


def where(text: str) -> tuple[int, int, int] | None:
    """(pos, lineno, colno) of the first error in `text`, or None."""
    try:
        quelt.decode(text)
    except quelt.JSONDecodeError as exc:
        return exc.pos, exc.lineno, exc.colno
    return None


def main() -> None:
    text: str = encode_order(7, [("a/1", decimal.Decimal("2.5"))])
    assert parse_object(text)["lines"][0] == {"price": 2.5, "sku": "a/1"}

    assert quelt.encode({"tags": {"x"}}, default=fallback, separators=(", ", ": ")) == '{"tags": ["x"]}'

    sink = io.StringIO()
    quelt.dump([1, 2], sink, indent=0, ensure_ascii=False)
    assert sink.getvalue() == "[1,2]"

    assert quelt.load(io.BytesIO(b'{"k": null}')) == {"k": None}
    assert quelt.load(io.StringIO("[true]")) == [True]
    assert parse_object(bytearray(b"{}")) == {}

    assert where("[1, 2]") is None
    assert where("[1 2]") == (3, 1, 4)
    version: str = quelt.__version__
    assert version


if __name__ == "__main__":
    main()
