"""A profile as one self-contained HTML page: header, alerts, overview table, and one
collapsible section per column with its figures, a histogram and its top values.

The page is a pure function of three things, so that it can be tested without the
engine: a column summary (``Profile.summary()``), each column's quantiles at RANKS
(``Profile._quantiles``), and the header facts (:class:`Facts`, any of which may be
unknown and is then left out).

Invariants:
- Nothing is fetched: no external font, script, style or image, and no ``src`` or
  ``href`` but ``#col-N`` anchors. A Content-Security-Policy says so to the browser too,
  and lets only the page's own script (by its hash) run.
- Every text from the data (column names, values, input names, the title) goes through
  :func:`_text`: escaped with quotes, unprintable characters shown as escapes, so that a
  name such as ``<script>`` is shown and never run. Anchors are ``col-<index>``, never
  derived from a name.
- Size and time grow linearly with the columns: each column costs a bounded amount of
  markup (at most 20 histogram bins and 10 top values), and sections start collapsed.
"""

from __future__ import annotations

import base64
import datetime
import hashlib
import html
import math
from dataclasses import dataclass, field
from typing import Any, Iterable

from . import _facts
from ._facts import format_count, format_number, format_share, human_bytes, printable

# The histogram's bins lie between evenly spaced ranks: each holds 1/BINS of the column's
# finite numbers, so a bar's height is its density, (1/BINS) / its width.
BINS = 20
RANKS = [i / BINS for i in range(BINS + 1)]
QUANTILE_KEYS = ("0.01", "0.05", "0.25", "0.5", "0.75", "0.95", "0.99")
INPUTS_SHOWN = 10  # input names in the header before "and N more"

# The histogram's drawing box, in SVG user units (it scales to the page's width).
_W, _H = 600, 120


@dataclass
class Facts:
    """What the header says besides the columns; None is unknown and left out."""

    title: str | None = None
    inputs: list[str] | None = None
    rows: int | None = None
    bad_lines: int | None = None
    bytes: int | None = None
    seconds: float | None = None
    generated: datetime.datetime | None = field(
        default_factory=lambda: datetime.datetime.now(datetime.timezone.utc))
    version: str | None = field(default_factory=lambda: package_version())


def package_version() -> str | None:
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version("karvo")
    except PackageNotFoundError:
        return None


def render_profile(profile: Any, facts: Facts) -> str:
    """The page of a ``karvo_dist.Profile``, read without changing it."""
    return render(profile.summary(), profile._quantiles(RANKS), facts)


def render(summary: dict[str, dict[str, Any]], quantiles: dict[str, Any] | None,
           facts: Facts) -> str:
    """The page: `summary` as Profile.summary() gives it, `quantiles` as
    Profile._quantiles(RANKS) gives it (None, or a column missing: no histogram)."""
    quantiles = quantiles or {}
    columns = [_Column(i, name, column, quantiles.get(name), _facts.alerts(column))
               for i, (name, column) in enumerate(summary.items())]
    title = facts.title or _default_title(facts)
    body = "".join([
        _header(title, facts, len(columns)),
        "<main>",
        _alerts(columns),
        _overview(columns),
        _sections(columns),
        "</main>",
    ])
    return _PAGE.format(csp=_CSP, title=_text(title), css=_CSS, body=body, script=_SCRIPT)


@dataclass(frozen=True)
class _Column:
    index: int  # its place in the summary: the anchor is col-<index>
    name: str
    summary: dict[str, Any]
    ranks: Any  # its quantiles at RANKS, or None
    alerts: list[_facts.Alert]


# --- text ------------------------------------------------------------------------------

def _text(value: str) -> str:
    """Data as HTML text or attribute value: unprintable characters shown as escapes
    (a lone surrogate cannot even be encoded) and an empty text as "", then escaped,
    quotes included."""
    return html.escape(printable(value), quote=True)


def _value(value: Any) -> str:
    """A top value: a text in full (already cut by the engine), a number in the one style."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return format_number(float(value))
    return _text(value if isinstance(value, str) else str(value))


def _sort_key(value: float | int | str | None) -> str:
    """The overview's data-v attribute, which the sort script reads: numbers in full."""
    if value is None:
        return ""
    if isinstance(value, str):
        return _text(value)
    return repr(float(value)) if isinstance(value, float) else str(value)


def _default_title(facts: Facts) -> str:
    if facts.inputs:
        more = f" and {len(facts.inputs) - 1} more" if len(facts.inputs) > 1 else ""
        return f"Profile of {facts.inputs[0]}{more}"
    return "Column profile"


# --- header ----------------------------------------------------------------------------

def _header(title: str, facts: Facts, columns: int) -> str:
    items: list[tuple[str, str]] = []
    if facts.inputs is not None:
        names = ", ".join(_text(name) for name in facts.inputs[:INPUTS_SHOWN])
        if len(facts.inputs) > INPUTS_SHOWN:
            names += f" and {len(facts.inputs) - INPUTS_SHOWN:,} more"
        items.append(("Inputs", names or "-"))
    if facts.rows is not None:
        items.append(("Rows", format_count(facts.rows)))
    items.append(("Columns", format_count(columns)))
    if facts.bad_lines is not None:
        items.append(("Bad lines", format_count(facts.bad_lines)))
    if facts.bytes is not None:
        items.append(("Bytes", f"{human_bytes(facts.bytes)} ({format_count(facts.bytes)})"))
    if facts.seconds is not None:
        items.append(("Time", f"{facts.seconds:.2f} s"))
    if facts.generated is not None:
        items.append(("Generated", facts.generated.strftime("%Y-%m-%d %H:%M %Z").strip()))
    if facts.version is not None:
        items.append(("karvo", _text(facts.version)))
    cells = "".join(f"<div><dt>{k}</dt><dd>{v}</dd></div>" for k, v in items)
    return f'<header><h1>{_text(title)}</h1><dl class="facts">{cells}</dl></header>'


# --- alerts ----------------------------------------------------------------------------

def _alerts(columns: list[_Column]) -> str:
    found: dict[str, list[str]] = {kind: [] for kind in _facts.ALERT_TITLES}
    for c in columns:
        for alert in c.alerts:
            detail = f' <span class="dim">({_text(alert.detail)})</span>' if alert.detail else ""
            found[alert.kind].append(f'<a href="#col-{c.index}">{_text(c.name)}</a>{detail}')
    items = [f'<li class="a-{kind}"><strong>{html.escape(_facts.ALERT_TITLES[kind])}</strong> '
             f'<span class="n">{len(links):,}</span> <span class="links">{", ".join(links)}</span>'
             f"</li>" for kind, links in found.items() if links]
    if not items:
        return '<section id="alerts"><h2>Alerts</h2><p class="dim">None.</p></section>'
    return f'<section id="alerts"><h2>Alerts</h2><ul class="alerts">{"".join(items)}</ul></section>'


# --- overview --------------------------------------------------------------------------

_OVERVIEW_HEADERS = ("#", "column", "type", "null %", "~distinct", "min", "median", "max",
                     "mean")


def _overview(columns: list[_Column]) -> str:
    head = "".join(f'<th scope="col"{" class=l" if h in ("column", "type") else ""}>{h}</th>'
                   for h in _OVERVIEW_HEADERS)
    rows = "".join(_overview_row(c.index, c.name, c.summary) for c in columns)
    return ('<section id="overview"><h2>Columns</h2>' + _LEGEND
            + '<div class="scroll"><table id="ov" class="ov">'
            f"<thead><tr>{head}</tr></thead><tbody>{rows}</tbody></table></div></section>")


def _overview_row(i: int, name: str, column: dict) -> str:
    total, nulls = column["total_count"], column["null_count"]
    share = nulls / total if total else 0.0
    kind = _facts.main_type(column)
    cells = [
        f'<td data-v="{i}">{i + 1}</td>',
        f'<td class="l" data-v="{_text(name)}"><a href="#col-{i}">{_text(name)}</a></td>',
        f'<td class="l" data-v="{kind or ""}">{_mix_bar(column)} {kind or "-"}</td>',
        f'<td data-v="{share!r}">{format_share(nulls, total)}</td>',
        _number_cell(column.get("estimated_cardinality"), count=True),
        _number_cell(column.get("min_val")),
        _number_cell(_facts.median(column)),
        _number_cell(column.get("max_val")),
        _number_cell(_facts.mean(column)),
    ]
    return f"<tr>{''.join(cells)}</tr>"


def _number_cell(value: float | int | None, count: bool = False) -> str:
    shown = format_count(value) if count else format_number(value)  # type: ignore[arg-type]
    return f'<td data-v="{_sort_key(value)}">{shown}</td>'


def _mix_bar(column: dict) -> str:
    """The type mix as a small stacked bar, one patterned part per type present."""
    types = _facts.types_of(column)
    total = sum(types.values()) if types else 0
    if not types or total == 0:
        return '<span class="mix"></span>'
    parts = "".join(f'<i class="t-{name}" style="width:{100 * count / total:.1f}%"></i>'
                    for name, count in types.items() if count)
    return f'<span class="mix" title="{_facts.type_mix_text(column)}">{parts}</span>'


_LEGEND = ('<p class="legend">' + "".join(
    f'<span><i class="t-{name}"></i>{name}</span>' for name in _facts.TYPES)
    + '<span class="dim hint">Click a heading to sort; # restores the input\'s order.</span></p>')


# --- column sections -------------------------------------------------------------------

def _sections(columns: list[_Column]) -> str:
    parts = [_section(c) for c in columns]
    return ('<section id="columns"><h2>Column details</h2><p class="dim">Histograms: '
            f"the numbers are split at {BINS + 1} evenly spaced quantiles into {BINS} bins, "
            f"each holding {1 / BINS:.0%} of the finite numbers; a bar's height is its "
            f"density ({1 / BINS:.0%} / its width), so tall bars mark where values crowd. A "
            "dark full-height line is a single value that holds a bin or more alone.</p>"
            + "".join(parts) + "</section>")


def _section(c: _Column) -> str:
    column = c.summary
    kind = _facts.main_type(column)
    count = len(c.alerts)
    flag = (f' <span class="flag">{count} alert{"" if count == 1 else "s"}</span>'
            if count else "")
    cards = [_values_card(column, c.alerts), _numbers_card(column.get("numbers"), column),
             _text_card(column.get("text"))]
    histogram = _histogram(c.ranks, column.get("numbers"))
    tops = _top_values(column)
    return (f'<details id="col-{c.index}"><summary><span class="nm">{_text(c.name)}</span> '
            f'<span class="ty">{kind or "-"}</span>{flag}</summary><div class="body">'
            f'<div class="cards">{"".join(c for c in cards if c)}</div>'
            f"{histogram}{tops}</div></details>")


def _kv(rows: Iterable[tuple[str, str]]) -> str:
    return '<table class="kv">' + "".join(
        f"<tr><th>{k}</th><td>{v}</td></tr>" for k, v in rows) + "</table>"


def _values_card(column: dict, alerts: list[_facts.Alert]) -> str:
    total, nulls = column["total_count"], column["null_count"]
    rows = [("rows", format_count(total)),
            ("nulls", f"{format_count(nulls)} ({format_share(nulls, total)})"),
            ("~distinct", format_count(column.get("estimated_cardinality")))]
    types = _facts.types_of(column)
    if types is not None:
        rows += [(f'<i class="t-{name}"></i>{name}', f"{format_count(count)} "
                  f"({format_share(count, total)})") for name, count in types.items() if count]
    items = "".join(f"<li>{html.escape(_facts.ALERT_TITLES[a.kind])}"
                    f"{' (' + _text(a.detail) + ')' if a.detail else ''}</li>" for a in alerts)
    listed = f'<ul class="colalerts">{items}</ul>' if items else ""
    return f'<div class="card"><h3>Values</h3>{listed}{_kv(rows)}</div>'


def _numbers_card(numbers: dict | None, column: dict) -> str:
    if not numbers or not numbers.get("count"):
        return ""
    q = numbers.get("quantiles") or {}
    figures = [("finite numbers", format_count(numbers.get("count"))),
               ("mean", format_number(numbers.get("mean"))), ("std", format_number(numbers.get("std"))),
               ("zeros", format_count(numbers.get("zeros"))),
               ("negatives", format_count(numbers.get("negatives"))),
               ("NaN", format_count(numbers.get("nan"))),
               ("inf, -inf", format_count(numbers.get("inf")))]
    spread = [("min", format_number(column.get("min_val")))]
    spread += [(_quantile_label(key), format_number(q.get(key))) for key in QUANTILE_KEYS]
    spread.append(("max", format_number(column.get("max_val"))))
    return (f'<div class="card"><h3>Numbers</h3>{_kv(figures)}</div>'
            f'<div class="card"><h3>Quantiles</h3>{_kv(spread)}</div>')


def _quantile_label(key: str) -> str:
    return "median" if key == "0.5" else f"p{float(key) * 100:g}"


def _text_card(text: dict | None) -> str:
    if not text or not text.get("count"):
        return ""
    mean_length = text.get("mean_length")
    rows = [("texts", format_count(text.get("count"))),
            ("shortest", format_count(text.get("min_length"))),
            ("mean length", "-" if mean_length is None else f"{mean_length:,.1f}"),
            ("longest", format_count(text.get("max_length")))]
    return f'<div class="card"><h3>Text lengths</h3>{_kv(rows)}</div>'


def _top_values(column: dict) -> str:
    tops = _facts.frequent_values(column)
    if not tops:
        return ""
    values = _facts.non_null(column)
    rows = []
    for top in tops:
        count, error = top["count"], top.get("error") or 0
        share = count / values if values else 0.0
        off = f' <span class="dim" title="the count may be off by up to {error:,}">±{error:,}</span>' \
            if error else ""
        rows.append(f'<tr><td class="v">{_value(top["value"])}</td>'
                    f'<td class="bar"><i style="width:{min(100.0, 100 * share):.1f}%"></i></td>'
                    f"<td>{format_count(count)}{off}</td><td>{format_share(count, values)}</td></tr>")
    return ('<div class="tops"><h3>Top values</h3><table class="tv"><thead><tr><th class="l">'
            'value</th><th class="l">share of non-null values</th><th>count</th><th>share</th>'
            f'</tr></thead><tbody>{"".join(rows)}</tbody></table></div>')


# --- the histogram ---------------------------------------------------------------------

def histogram_parts(edges: list[float]) -> tuple[list[tuple[float, float, float]],
                                                 list[tuple[float, float]]]:
    """The bins between quantile edges, as (left, right, density) for bins of some width
    and (value, share) for values that hold whole bins alone (equal edges: a spike).
    Each of the len(edges) - 1 bins holds an equal share of the numbers."""
    share = 1 / (len(edges) - 1)
    bins: list[tuple[float, float, float]] = []
    spikes: list[tuple[float, float]] = []
    for left, right in zip(edges, edges[1:]):
        if right > left:
            bins.append((left, right, share / (right - left)))
        elif spikes and spikes[-1][0] == left:
            spikes[-1] = (left, spikes[-1][1] + share)
        else:
            spikes.append((left, share))
    return bins, spikes


def _edges(ranks: Any) -> list[float] | None:
    if not ranks or len(ranks) != len(RANKS) or any(
            v is None or not math.isfinite(v) for v in ranks):
        return None
    edges = [float(v) for v in ranks]
    for k in range(1, len(edges)):  # a sketch's quantiles never go down; make sure
        edges[k] = max(edges[k], edges[k - 1])
    return edges


def _histogram(ranks: Any, numbers: dict | None) -> str:
    edges = _edges(ranks)
    if edges is None or not numbers or not numbers.get("count"):
        return ""
    low, high = edges[0], edges[-1]
    if high == low:
        caption = f"every number is {format_number(low)}"
        svg = (f'<svg viewBox="0 0 {_W} {_H}" role="img" aria-label="{caption}">'
               f'<rect class="spike" x="{_W / 2 - 2}" y="0" width="4" height="{_H}"/></svg>')
        return f'<figure class="hist">{svg}<figcaption>{caption}</figcaption></figure>'
    bins, spikes = histogram_parts(edges)
    scale = _W / (high - low)
    top = max((d for _, _, d in bins), default=1.0)
    shapes = []
    for left, right, density in bins:
        x, w = (left - low) * scale, max((right - left) * scale, 0.5)
        h = max(_H * density / top, 1.0)
        shapes.append(f'<rect x="{x:.1f}" y="{_H - h:.1f}" width="{w:.1f}" height="{h:.1f}">'
                      f"<title>{format_number(left)} to {format_number(right)}: {1 / BINS:.0%}</title></rect>")
    for value, share in spikes:
        x = min(max((value - low) * scale - 1.5, 0), _W - 3)
        shapes.append(f'<rect class="spike" x="{x:.1f}" y="0" width="3" height="{_H}">'
                      f"<title>{format_number(value)}: {share:.0%} of the numbers</title></rect>")
    median = edges[len(edges) // 2]
    axis = (f'<div class="axis"><span>{format_number(low)}</span><span>median {format_number(median)}</span>'
            f"<span>{format_number(high)}</span></div>")
    svg = (f'<svg viewBox="0 0 {_W} {_H}" preserveAspectRatio="none" role="img" '
           f'aria-label="histogram">{"".join(shapes)}</svg>')
    alone = "".join(f"; {format_number(value)} alone holds {share:.0%}" for value, share in spikes[:3])
    return (f'<figure class="hist">{svg}{axis}<figcaption>{BINS} bins of {1 / BINS:.0%} of the '
            f"numbers each; height: density{alone}</figcaption></figure>")


# --- the page's fixed parts ------------------------------------------------------------

_CSS = """
:root{--ink:#1b1f24;--dim:#5b6470;--line:#d6dae0;--bg:#fff;--card:#f6f7f9;--accent:#1f4e79;
--warn:#8a2f00}
*{box-sizing:border-box}
body{margin:0;font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,Helvetica,Arial,sans-serif;
color:var(--ink);background:var(--bg)}
header,main{max-width:1200px;margin:0 auto;padding:0 20px}
header{padding-top:20px;border-bottom:1px solid var(--line)}
h1{font-size:22px;margin:0 0 10px;overflow-wrap:anywhere}
h2{font-size:17px;margin:24px 0 8px}
h3{font-size:13px;margin:0 0 6px;color:var(--dim);text-transform:uppercase;letter-spacing:.04em}
a{color:var(--accent)}
.dim{color:var(--dim)}
.facts{display:flex;flex-wrap:wrap;gap:6px 28px;margin:0 0 14px}
.facts div{min-width:0}
.facts dt{font-size:12px;color:var(--dim)}
.facts dd{margin:0;font-weight:600;overflow-wrap:anywhere}
.alerts{list-style:none;padding:0;margin:0;display:grid;gap:6px}
.alerts{gap:4px}
.alerts li{border-left:4px solid var(--warn);background:#fbf3ee;padding:4px 10px;
max-height:6.5em;overflow:auto;overflow-wrap:anywhere}
.alerts .n{display:inline-block;min-width:1.6em;padding:0 6px;border-radius:9px;
background:var(--warn);color:#fff;font-size:12px;text-align:center}
.legend{display:flex;flex-wrap:wrap;gap:4px 14px;font-size:12px;margin:0 0 6px}
.legend i,.kv i{display:inline-block;width:14px;height:10px;margin-right:4px;
border:1px solid #888;vertical-align:-1px}
.scroll{overflow-x:auto;border:1px solid var(--line);border-radius:6px}
table{border-collapse:collapse}
.ov{width:100%;font-variant-numeric:tabular-nums}
.ov th,.ov td{padding:4px 8px;text-align:right;white-space:nowrap;border-bottom:1px solid var(--line)}
.ov th{position:sticky;top:0;background:var(--card);font-weight:600}
.ov th button{font:inherit;border:0;background:none;padding:0;cursor:pointer;color:inherit}
.ov th[aria-sort=ascending] button::after{content:" \\25B2"}
.ov th[aria-sort=descending] button::after{content:" \\25BC"}
.ov .l{text-align:left}
.ov td.l a{display:inline-block;max-width:28em;overflow:hidden;text-overflow:ellipsis;
vertical-align:bottom}
.ov tbody tr:nth-child(even){background:#fafbfc}
.mix{display:inline-flex;width:56px;height:10px;border:1px solid #888;vertical-align:-1px;
background:#fff}
.mix i{display:block;height:100%}
.t-int,.t-float,.t-bool,.t-text,.t-other,.t-null,.bar i{-webkit-print-color-adjust:exact;
print-color-adjust:exact}
.t-int{background:#1f4e79}
.t-float{background:repeating-linear-gradient(45deg,#1f4e79 0 2px,#8fb8de 2px 5px)}
.t-bool{background:repeating-linear-gradient(0deg,#2e6b30 0 2px,#b9dcb9 2px 4px)}
.t-text{background:#e3a13b}
.t-other{background:repeating-linear-gradient(-45deg,#444 0 1.5px,#ddd 1.5px 4px)}
.t-null{background:#fff}
details{border:1px solid var(--line);border-radius:6px;margin:6px 0;background:var(--bg)}
details[open]{box-shadow:0 1px 3px rgba(0,0,0,.08)}
summary{cursor:pointer;padding:7px 10px;display:flex;gap:10px;align-items:baseline}
summary .nm{font-weight:600;overflow-wrap:anywhere;min-width:0}
summary .ty{color:var(--dim);font-size:12px}
.flag{margin-left:auto;font-size:12px;color:var(--warn);border:1px solid var(--warn);
border-radius:9px;padding:0 7px;white-space:nowrap}
.body{padding:4px 12px 12px}
.cards{display:grid;grid-template-columns:repeat(auto-fill,minmax(220px,1fr));gap:10px}
.card{background:var(--card);border-radius:6px;padding:8px 10px}
.kv{width:100%;font-variant-numeric:tabular-nums}
.kv th{text-align:left;font-weight:normal;color:var(--dim);padding:1px 8px 1px 0;white-space:nowrap}
.kv td{text-align:right;padding:1px 0}
.colalerts{margin:0 0 6px;padding-left:18px;color:var(--warn)}
.hist{margin:12px 0 0}
.hist svg{display:block;width:100%;height:120px;background:linear-gradient(#eef0f3,#eef0f3)
bottom/100% 1px no-repeat}
.hist rect{fill:#3d6f9f}
.hist rect.spike{fill:#1b1f24;stroke:none}
.axis{display:flex;justify-content:space-between;font-size:12px;color:var(--dim);
font-variant-numeric:tabular-nums}
figcaption{font-size:12px;color:var(--dim)}
.tops{margin-top:12px}
.tv{width:100%;table-layout:fixed;font-variant-numeric:tabular-nums}
.tv th{font-weight:normal;color:var(--dim);font-size:12px;text-align:right;padding:0 6px}
.tv th.l{text-align:left}
.tv td{padding:2px 6px;text-align:right;white-space:nowrap}
.tv th:nth-child(1){width:32%}.tv th:nth-child(3){width:16%}.tv th:nth-child(4){width:10%}
.tv td.v{text-align:left;overflow:hidden;text-overflow:ellipsis;font-family:ui-monospace,
SFMono-Regular,Menlo,Consolas,monospace;font-size:13px}
.tv td.bar{text-align:left}
.bar i{display:block;height:12px;min-width:1px;background:#3d6f9f}
.tools{display:flex;gap:8px;margin:0 0 6px}
.tools button{font:inherit;font-size:12px;padding:2px 10px;border:1px solid var(--line);
border-radius:4px;background:var(--card);cursor:pointer}
footer{max-width:1200px;margin:24px auto;padding:0 20px;color:var(--dim);font-size:12px}
@media (max-width:700px){
body{font-size:13px}
header,main,footer{padding:0 10px}
header{padding-top:12px}
.facts{gap:4px 16px}
.ov th,.ov td{padding:3px 5px}
.ov td.l a{max-width:11em}
.cards{grid-template-columns:1fr}
.tv th:nth-child(2),.tv td.bar{display:none}
.tv th:nth-child(1){width:56%}.tv th:nth-child(3){width:28%}.tv th:nth-child(4){width:16%}
}
@media print{
body{font-size:11px}
header,main{max-width:none;padding:0}
a{color:inherit;text-decoration:none}
.scroll{overflow:visible;border:0}
.ov th{position:static}
.alerts li{background:none;border-left-color:#000}
.alerts .n{background:none;color:#000;border:1px solid #000}
details{break-inside:avoid;box-shadow:none}
.tools,.hint,.ov th button::after{display:none}
.hist rect{fill:#555}
.hist rect.spike{fill:#000}
.bar i{background:#555}
}
"""

_SCRIPT = """
(function(){
var t=document.getElementById('ov');
if(t){
var heads=t.tHead.rows[0].cells,body=t.tBodies[0];
var sort=function(k,th){
var down=th.getAttribute('aria-sort')==='ascending';
for(var j=0;j<heads.length;j++)heads[j].removeAttribute('aria-sort');
th.setAttribute('aria-sort',down?'descending':'ascending');
var rows=Array.prototype.slice.call(body.rows),text=k===1||k===2;
var key=function(r){var v=r.cells[k].getAttribute('data-v');
return v===''?null:(text?v.toLowerCase():parseFloat(v));};
var keyed=rows.map(function(r,i){return [key(r),i,r];});
keyed.sort(function(a,b){
if(a[0]===null||b[0]===null)return a[0]===b[0]?a[1]-b[1]:(a[0]===null?1:-1);
var c=a[0]<b[0]?-1:a[0]>b[0]?1:0;return (down?-c:c)||a[1]-b[1];});
for(var i=0;i<keyed.length;i++)body.appendChild(keyed[i][2]);};
Array.prototype.forEach.call(heads,function(th,k){
var b=document.createElement('button');b.type='button';b.textContent=th.textContent;
th.textContent='';th.appendChild(b);b.addEventListener('click',function(){sort(k,th);});});
}
var all=function(open){document.querySelectorAll('details').forEach(function(d){d.open=open;});};
var c=document.getElementById('columns');
if(c){var bar=document.createElement('div');bar.className='tools';
[['Expand all',true],['Collapse all',false]].forEach(function(x){
var b=document.createElement('button');b.type='button';b.textContent=x[0];
b.addEventListener('click',function(){all(x[1]);});bar.appendChild(b);});
c.insertBefore(bar,c.children[1]);}
var reveal=function(){var id=decodeURIComponent(location.hash.slice(1));
var d=id&&document.getElementById(id);if(d&&d.tagName==='DETAILS')d.open=true;};
window.addEventListener('hashchange',reveal);reveal();
window.addEventListener('beforeprint',function(){all(true);});
})();
"""

_CSP = ("default-src 'none'; style-src 'unsafe-inline'; base-uri 'none'; form-action 'none'; "
        "script-src 'sha256-"
        + base64.b64encode(hashlib.sha256(_SCRIPT.encode()).digest()).decode() + "'")

_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="{csp}">
<meta name="generator" content="karvo">
<title>{title}</title>
<style>{css}</style></head>
<body>{body}
<footer>Made by karvo. Distinct counts are estimates (about 0.8% standard error);
quantiles and top values come from mergeable sketches.</footer>
<script>{script}</script>
</body></html>
"""
