"""What a reader is told about a column, shared by the command's table and the HTML page.

Two things live here so that each is stated once: the number style (counts with
thousands separators, bounds in full when whole and otherwise to six significant
digits, shares as percentages) and the reading of a column summary (its main type, its
top value's share, and the alerts: always null, constant, mostly null, mixed types, an
id, long texts). Everything is a pure function of a ``Profile.summary()`` column dict,
any figure of which may be None (unknown); nothing here touches the engine.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

# --- the number style ------------------------------------------------------------------


def format_count(count: int | None) -> str:
    return "-" if count is None else f"{count:,}"


def format_number(value: float | None) -> str:
    """A number in the one style: plain decimals with thousands separators, whole values
    in full (up to 10^15, where doubles still hold every integer), others rounded to six
    significant digits; only values beyond that range, or below 10^-4, in exponent form;
    inf and -inf as such; "-" for no number."""
    if value is None:
        return "-"
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value == int(value) and abs(value) < 1e15:
        return ("-" if math.copysign(1, value) < 0 else "") + f"{abs(int(value)):,}"
    if not 1e-4 <= abs(value) < 1e15:
        return f"{value:.6g}"
    decimals = max(0, 5 - math.floor(math.log10(abs(value))))
    text = f"{value:,.{decimals}f}"
    return text.rstrip("0").rstrip(".") if "." in text else text


def format_share(part: int, whole: int) -> str:
    if whole == 0 or part == 0:
        return "0%"
    if part >= whole:
        return "100%"
    share = 100 * part / whole
    if share < 0.1:
        return "<0.1%"
    if share > 99.9:
        return ">99.9%"
    return f"{share:.1f}%"


def human_bytes(count: int) -> str:
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if count >= scale:
            return f"{count / scale:.1f} {unit}"
    return f"{count} B"


def printable(name: str) -> str:
    """A column name or text value as one line of text: control and other unprintable
    characters (lone surrogates among them) escaped as in Python literals; an empty
    text as ""."""
    if not name:
        return '""'
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in name)


# --- reading a column summary ----------------------------------------------------------

# The value types of a summary, in the order they are drawn; "null" last.
TYPES = ("int", "float", "bool", "text", "other", "null")
# Kinds for the mixed-types alert: whole and fractional numbers in one column are one
# kind (JSON writes 2.0 as 2 as often as not), so only a real mix is reported.
_KIND = {"int": "number", "float": "number", "bool": "bool", "text": "text", "other": "other"}

MIXED_SHARE = 0.01  # a second kind above this share of the non-null values
MOSTLY_NULL_SHARE = 0.5
# HyperLogLog++ at precision 14 has a relative standard error of 1.04 / sqrt(2^14):
# a count within three of them of the estimate is as good as equal to it.
HLL_STANDARD_ERROR = 1.04 / math.sqrt(1 << 14)
ID_ERRORS = 3
ID_MIN_VALUES = 100  # fewer values being all distinct says little
LONG_TEXT = 1000  # code points; longer texts are blobs rather than labels


def non_null(column: dict[str, Any]) -> int:
    return column["total_count"] - column["null_count"]


def types_of(column: dict[str, Any]) -> dict[str, int] | None:
    types = column.get("types")
    return None if types is None else {name: types.get(name) or 0 for name in TYPES}


def main_type(column: dict[str, Any]) -> str | None:
    """The most frequent non-null type ("null" for a column with none), None when the
    profile does not know its types. Ties go to the earlier type of TYPES."""
    types = types_of(column)
    if types is None:
        return None
    counts = [(types[name], -i, name) for i, name in enumerate(TYPES[:-1]) if types[name]]
    return max(counts)[2] if counts else "null"


def _kinds(types: dict[str, int]) -> list[int]:
    kinds: dict[str, int] = {}
    for name, kind in _KIND.items():
        kinds[kind] = kinds.get(kind, 0) + types[name]
    return sorted(kinds.values(), reverse=True)


def is_mixed(column: dict[str, Any]) -> bool:
    types = types_of(column)
    if types is None:
        return False
    kinds = _kinds(types)
    valued = sum(kinds)
    return valued > 0 and kinds[1] > MIXED_SHARE * valued


def median(column: dict[str, Any]) -> float | None:
    numbers = column.get("numbers") or {}
    return (numbers.get("quantiles") or {}).get("0.5")


def mean(column: dict[str, Any]) -> float | None:
    return (column.get("numbers") or {}).get("mean")


def frequent_values(column: dict[str, Any]) -> list[dict[str, Any]]:
    """The top values worth showing: those known to repeat (at least two occurrences for
    certain) whose count is off by at most its certain part, so the count shown is at
    most twice the truth. In a column of mostly distinct values the summary's entries
    are values that arrived late, with counts that are almost all error; showing one of
    them as "the top value" would mislead."""
    shown = []
    for top in column.get("top_values") or ():
        certain = top["count"] - (top.get("error") or 0)
        if certain >= 2 and top["count"] <= 2 * certain:
            shown.append(top)
    return shown


def top_value(column: dict[str, Any]) -> tuple[Any, int, int] | None:
    """The most frequent value worth showing, its count and the column's non-null count,
    or None."""
    tops = frequent_values(column)
    if not tops:
        return None
    return tops[0]["value"], tops[0]["count"], non_null(column)


@dataclass(frozen=True)
class Alert:
    kind: str  # a key of ALERT_TITLES
    detail: str = ""  # the column's own figure, e.g. "62.0%" for a mostly null column


# The alerts in the order they are listed, with what each means.
ALERT_TITLES = {
    "null": "Always null",
    "constant": "Constant: one distinct value",
    "mostly-null": f"Mostly null: more than {MOSTLY_NULL_SHARE:.0%} of rows",
    "mixed": f"Mixed types: more than {MIXED_SHARE:.0%} of a second kind of value",
    "id": "An id: every value distinct (within the estimate's error)",
    "long-text": f"Long texts: longer than {LONG_TEXT:,} characters",
}


def alerts(column: dict[str, Any]) -> list[Alert]:
    """The reasons to look at this column first, in ALERT_TITLES order; none for a clean
    column."""
    total, values = column["total_count"], non_null(column)
    if total > 0 and values == 0:
        return [Alert("null")]
    found = []
    if values >= 2 and column.get("estimated_cardinality") == 1:
        found.append(Alert("constant"))
    if total > 0 and column["null_count"] > MOSTLY_NULL_SHARE * total:
        found.append(Alert("mostly-null", format_share(column["null_count"], total)))
    if is_mixed(column):
        found.append(Alert("mixed", type_mix_text(column)))
    if _looks_like_id(column, values):
        found.append(Alert("id"))
    longest = (column.get("text") or {}).get("max_length")
    if longest is not None and longest > LONG_TEXT:
        found.append(Alert("long-text", f"up to {format_count(longest)}"))
    return found


def _looks_like_id(column: dict[str, Any], values: int) -> bool:
    # Floats are left out: measurements are all distinct without being keys.
    estimate = column.get("estimated_cardinality")
    if estimate is None or values < ID_MIN_VALUES or main_type(column) not in ("int", "text"):
        return False
    return abs(estimate - values) <= ID_ERRORS * HLL_STANDARD_ERROR * values


def type_mix_text(column: dict[str, Any]) -> str:
    """The non-zero types with their shares of all rows, largest first: "int 90%, text 10%"."""
    types = types_of(column)
    if types is None:
        return "-"
    total = sum(types.values())
    shown = sorted(((count, name) for name, count in types.items() if count), reverse=True)
    return ", ".join(f"{name} {format_share(count, total)}" for count, name in shown)
