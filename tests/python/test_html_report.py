"""The HTML page and the command's summary table, rendered from column summaries.

Both are pure functions of a summary (Profile.summary()'s form), so most tests feed them
fabricated summaries (summary_fixtures) with exact figures; the tests at the end run on
the engine's own summary once this build has one.
"""

import base64
import hashlib
import html
import json
import math
import re
from html.parser import HTMLParser

import pytest

import karvo_dist
from karvo_dist import _facts, html_report
from karvo_dist.cli import DROP_ORDER, display_width, table
import summary_fixtures as fx

HAS_SUMMARY = hasattr(karvo_dist.Profile, "summary")
needs_summary = pytest.mark.skipif(not HAS_SUMMARY, reason="no Profile.summary in this build")

VOID = {"meta", "br", "hr", "img", "input", "link", "col", "wbr", "source"}


class Page(HTMLParser):
    """A parse that records what a browser would see: every tag with its attributes, the
    text of each script and style, and tags that do not nest (a broken page)."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags, self.scripts, self.styles, self.errors, self.open = [], [], [], [], []
        self.texts = []
        self.feed(text)
        self.close()
        if self.open:
            self.errors.append(f"unclosed: {self.open}")

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))
        if tag not in VOID:
            self.open.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))

    def handle_endtag(self, tag):
        if not self.open or self.open[-1] != tag:
            self.errors.append(f"</{tag}> closes {self.open[-1:]}")
            return
        self.open.pop()

    def handle_data(self, data):
        where = self.open[-1] if self.open else None
        if where == "script":
            self.scripts.append(data)
        elif where == "style":
            self.styles.append(data)
        else:
            self.texts.append(data)

    def ids(self):
        return [attrs["id"] for _, attrs in self.tags if "id" in attrs]


def facts(**known):
    return html_report.Facts(inputs=["rows.jsonl"], rows=1000, bad_lines=2, bytes=12_345,
                             seconds=0.5, **known)


def render(fabricated, facts_=None, summary=None):
    summary = fabricated.summary() if summary is None else summary
    return html_report.render(summary, fabricated.quantiles(html_report.RANKS),
                              facts_ or facts())


REALISTIC = fx.realistic()
CASES = {
    "realistic": lambda: render(REALISTIC),
    "old blob": lambda: render(REALISTIC, summary=fx.old_blob(REALISTIC.summary())),
    "no quantiles": lambda: html_report.render(REALISTIC.summary(), None, facts()),
    "no columns": lambda: render(fx.Fabricated({})),
    "unknown facts": lambda: render(REALISTIC, html_report.Facts(generated=None, version=None)),
    "hostile title and inputs": lambda: render(REALISTIC, html_report.Facts(
        title="</title><script>t()</script>", inputs=["<b>a.jsonl", "x\x00\ud800y"])),
}


@pytest.fixture(scope="module", params=list(CASES))
def page(request):
    text = CASES[request.param]()
    return text, Page(text)


def test_page_parses_and_nests(page):
    text, parsed = page
    assert parsed.errors == []
    assert text.startswith("<!doctype html>")
    text.encode("utf-8")  # every character encodable: lone surrogates shown as escapes


def test_page_fetches_nothing(page):
    """No attribute names anything but an anchor of the page, and no style loads a
    resource: the page works offline and tells no one it was opened."""
    text, parsed = page
    for tag, attrs in parsed.tags:
        for name, value in attrs.items():
            if name in ("src", "srcset", "action", "formaction", "poster", "data", "xlink:href"):
                pytest.fail(f"<{tag} {name}={value!r}>")
            if name == "href":
                assert re.fullmatch(r"#col-\d+", value), (tag, value)
            if name == "style":
                assert "url(" not in value and "@import" not in value
    for css in parsed.styles:
        assert not re.search(r"url\(|@import|@font-face", css)
    for script in parsed.scripts:
        assert not re.search(r"fetch|XMLHttpRequest|import\(|\.src\b|https?:", script)
    assert not re.search(r"(?i)https?://", text.split("<footer>")[0].replace(
        "http-equiv", ""))


def test_only_the_pages_own_script_runs(page):
    """One script tag, whatever the data held, and the CSP admits it by its hash (a
    page whose hash were stale would silently lose sorting)."""
    text, parsed = page
    scripts = [attrs for tag, attrs in parsed.tags if tag == "script"]
    assert len(scripts) == 1 and len(parsed.scripts) == 1
    digest = base64.b64encode(hashlib.sha256(parsed.scripts[0].encode()).digest()).decode()
    csp = [attrs["content"] for tag, attrs in parsed.tags
           if tag == "meta" and attrs.get("http-equiv") == "Content-Security-Policy"]
    assert csp and f"script-src 'sha256-{digest}'" in csp[0] and "default-src 'none'" in csp[0]
    assert not any(name.startswith("on") for _, attrs in parsed.tags for name in attrs)


def test_every_column_has_its_section_and_overview_link():
    text = render(REALISTIC)
    parsed = Page(text)
    ids = parsed.ids()
    links = [attrs["href"] for tag, attrs in parsed.tags if tag == "a"]
    for i, name in enumerate(REALISTIC.columns):
        assert f"col-{i}" in ids
        assert f"#col-{i}" in links
    assert len(ids) == len(set(ids))
    # the hostile name is shown as text, in the overview, its section and its alert
    assert sum(fx.SCRIPT_NAME in t for t in parsed.texts) >= 2
    assert html.escape(fx.SCRIPT_NAME, quote=True) in text
    assert "<script>alert" not in text and "<img" not in text


def test_names_that_would_not_show_are_shown_escaped():
    """An empty name, control characters and a lone surrogate: each visible, one line."""
    fab = fx.Fabricated({"": [1], "tab\there": [2], "a\ud800b": [3], "line\nbreak": [4]})
    links = [t for t in Page(render(fab)).texts if t in ('""', "tab\\there", "a\\ud800b",
                                                          "line\\nbreak")]
    assert sorted(set(links)) == ['""', "a\\ud800b", "line\\nbreak", "tab\\there"]


# (column values, the alerts they raise); a clean column raises none.
ALERTS = [
    ([None] * 50, ["null"]),
    (["v"] * 50, ["constant"]),
    ([1.5] * 50, ["constant"]),
    ([1, None, None, 2], []),  # 50% is not more than half
    ([1, None, None, None], ["mostly-null"]),
    ([1, 2, 3] * 33 + ["x"] * 2, ["mixed"]),
    ([1, 2, 3] * 33 + ["x"], []),  # 1 of 100 is not more than 1%
    ([1, 2.5, 3] * 40, []),  # whole and fractional numbers are one kind
    ([True, 2] * 40, ["mixed"]),
    ([True, 1] * 40, ["constant", "mixed"]),  # true is the number 1, yet of another type
    (list(range(500)), ["id"]),
    ([f"k{i}" for i in range(500)], ["id"]),
    ([i / 7 for i in range(500)], []),  # measurements are all distinct, not keys
    (list(range(99)), []),  # too few values to call it an id
    (["a" * 1001, "b"], ["long-text"]),
    (["a" * 1000, "b"], []),
    ([], []),
    ([1, 2, 2, 3] * 30, []),
    (["LA", "NY", None] * 30, []),
]


@pytest.mark.parametrize("values, kinds", ALERTS)
def test_alert_rules(values, kinds):
    assert [a.kind for a in _facts.alerts(fx.summarize(values))] == kinds


def test_id_allows_the_estimates_error():
    column = fx.summarize(list(range(10_000)))
    within = 10_000 + round(3 * _facts.HLL_STANDARD_ERROR * 10_000) - 1
    for estimate, expected in [(within, ["id"]), (2 * 10_000 - within, ["id"]),
                               (10_000 + 300, []), (9_000, [])]:
        column["estimated_cardinality"] = estimate
        assert [a.kind for a in _facts.alerts(column)] == expected, estimate


def _alert_links(text):
    section = text.split('<section id="alerts">')[1].split("</section>")[0]
    found = {}
    for item in re.findall(r'<li class="a-([\w-]+)">(.*?)</li>', section):
        found[item[0]] = sorted(int(i) for i in re.findall(r'href="#col-(\d+)"', item[1]))
    return found


def test_page_lists_each_alert_with_its_columns():
    text = render(REALISTIC)
    names = list(REALISTIC.columns)
    expected = {"null": ["empty"], "constant": ["constant"], "mostly-null": ["empty", "sparse"],
                "mixed": ["mixed"], "id": ["id"], "long-text": ["notes"]}
    expected["mostly-null"] = ["sparse"]  # always null is not also "mostly"
    assert _alert_links(text) == {k: [names.index(n) for n in v] for k, v in expected.items()}
    clean = fx.Fabricated({n: REALISTIC.columns[n] for n in ("age", "city", "spend")})
    assert _alert_links(render(clean)) == {}
    assert "None." in render(clean).split('<section id="alerts">')[1].split("</section>")[0]


# --- the histogram -------------------------------------------------------------------

@pytest.mark.parametrize("values", [
    [float(i) for i in range(1000)],
    [0.0] * 700 + [float(i) for i in range(300)],  # a spike holding many bins
    [round(math.exp(i / 100), 2) for i in range(1000)],  # a long tail
    [1.0, 2.0],
    [5.0] * 10 + [6.0] * 10,
])
def test_histogram_bins_hold_every_number_once(values):
    """Bins and spikes between the quantiles hold all the mass, each bin's area being its
    share: density times width gives back 1/BINS per bin."""
    edges = fx.Fabricated({"x": values}).quantiles(html_report.RANKS)["x"]
    bins, spikes = html_report.histogram_parts(edges)
    mass = sum(d * (r - l) for l, r, d in bins) + sum(s for _, s in spikes)
    assert mass == pytest.approx(1.0)
    assert all(d * (r - l) == pytest.approx(1 / html_report.BINS) for l, r, d in bins)
    assert len({v for v, _ in spikes}) == len(spikes)


def test_histogram_drawn_for_numbers_only():
    fab = fx.Fabricated({"n": [1.0, 2.0, 3.0, 10.0] * 10, "t": ["a", "b"] * 10,
                         "c": [4.0] * 20, "inf": [float("inf"), 1.0, 2.0]})
    text = render(fab)
    sections = text.split('<details id="col-')[1:]
    assert "<svg" in sections[0] and "<svg" not in sections[1]
    assert "every number is 4" in sections[2]
    assert "<svg" in sections[3]
    # a quantile list the sketch could not fill draws nothing rather than failing
    broken = {"n": [None] * len(html_report.RANKS), "t": None, "c": [1.0], "inf": [math.nan] * 21}
    assert "<svg" not in html_report.render(fab.summary(), broken, facts())


# --- the header and scale ------------------------------------------------------------

def test_header_tells_what_it_knows():
    full = Page(render(REALISTIC)).texts
    bare = Page(render(REALISTIC, html_report.Facts(generated=None, version=None))).texts
    for label in ("Inputs", "Rows", "Bad lines", "Bytes", "Time", "Generated", "karvo"):
        assert label in full
        assert label not in bare
    assert "Columns" in bare and "Column profile" in bare


def test_two_thousand_columns_render_and_grow_linearly():
    """Sizes grow in proportion to the columns (each column's markup is bounded), and
    every column keeps its anchor."""
    sizes = {}
    for count in (500, 1000, 2000):
        fab = fx.wide(count, rows=60)
        text = render(fab)
        sizes[count] = len(text.encode())
        if count == 2000:
            parsed = Page(text)
            assert parsed.errors == []
            assert {f"col-{i}" for i in range(2000)} <= set(parsed.ids())
    assert 1.8 < sizes[1000] / sizes[500] < 2.2
    assert 1.8 < sizes[2000] / sizes[1000] < 2.2
    assert sizes[2000] / 2000 < 6000  # bytes per column, with ten top values and a histogram


# --- the command's table -------------------------------------------------------------

def report_of(summary):
    keys = ("total_count", "null_count", "min_val", "max_val", "estimated_cardinality")
    return json.dumps({name: {k: column[k] for k in keys} for name, column in summary.items()})


def headers(line):
    return [h for h in re.split(r"\s{2,}", line.strip()) if h]


@pytest.mark.parametrize("width", [None, 300, 160, 120, 100, 80, 60, 40, 24])
def test_table_drops_columns_least_important_first(width):
    """However narrow the terminal, no line is longer than it; the columns dropped are the
    least important ones, and a last line names them."""
    summary = REALISTIC.summary()
    lines = table(report_of(summary), width, None, summary).splitlines()
    shown = headers(lines[0])
    every = ["column", "type", "rows", "nulls", "null %", "min", "median", "max", "mean",
             "~distinct", "top value"]
    dropped = [h for h in every if h not in shown]
    assert shown == [h for h in every if h in shown]
    assert dropped == [h for h in every if h in DROP_ORDER[:len(dropped)]]
    assert set(dropped) == set(DROP_ORDER[:len(dropped)])
    if width is None:
        assert dropped == [] and len(lines) == 1 + len(summary)
        return
    assert all(display_width(line) < width for line in lines), lines
    if dropped:
        assert lines[-1].startswith("(not shown")
        named = lines[-1].rstrip(")…").split(": ", 1)[-1].split(", ")
        if ": " in lines[-1]:
            assert named[:-1] == list(DROP_ORDER[:len(named) - 1]), lines[-1]
    else:
        assert len(lines) == 1 + len(summary)


def test_table_cells_read_the_summary():
    summary = REALISTIC.summary()
    lines = table(report_of(summary), None, None, summary).splitlines()
    top = lines[0].index("top value")
    row = {line.split()[0]: line for line in lines[1:]}
    assert headers(row["mixed"])[1] == "int+" and headers(row["empty"])[1] == "null"
    assert row["city"][top:] == '"LA" 14.6%'
    assert row["empty"][top:] == "-"
    old = fx.old_blob(summary)
    lines = table(report_of(old), None, None, old).splitlines()
    assert all(headers(line)[1] == "-" for line in lines[1:] if not line.startswith("<"))


def test_table_without_summary_is_unchanged():
    summary = REALISTIC.summary()
    lines = table(report_of(summary), None).splitlines()
    assert headers(lines[0]) == ["column", "rows", "nulls", "null %", "min", "max", "~distinct"]


# --- the engine's own summary ----------------------------------------------------------

@needs_summary
def test_to_html_draws_a_real_profile():
    profile = karvo_dist.Profile()
    profile.observe_dicts([{"n": i % 37, "t": f"v{i % 5}", fx.SCRIPT_NAME: None}
                           for i in range(2000)])
    before = profile.to_bytes()
    text = profile.to_html(title="<t>")
    parsed = Page(text)
    assert parsed.errors == [] and profile.to_bytes() == before
    assert {"col-0", "col-1", "col-2"} <= set(parsed.ids())
    assert "&lt;t&gt;" in text and "<svg" in text


def test_to_html_on_a_fabricated_profile():
    profile = fx.profile_of(REALISTIC)
    text = profile.to_html(title="Night run")
    parsed = Page(text)
    assert parsed.errors == []
    assert "Night run" in parsed.texts and "Rows" not in parsed.texts


@pytest.mark.parametrize("tops, shown", [
    ([], []),
    ([{"value": 1.0, "count": 5, "error": 0}], [1.0]),
    ([{"value": 1.0, "count": 1, "error": 0}], []),  # seen once: nothing repeats
    ([{"value": "a", "count": 48, "error": 46}], []),  # almost all error: an id's entry
    ([{"value": "a", "count": 10, "error": 5}, {"value": "b", "count": 10, "error": 6}], ["a"]),
])
def test_only_values_that_surely_repeat_are_shown_as_frequent(tops, shown):
    from karvo_dist import _facts

    column = {"total_count": 100, "null_count": 0, "top_values": tops}
    assert [top["value"] for top in _facts.frequent_values(column)] == shown
    assert (_facts.top_value(column) or [None])[0] == (shown[0] if shown else None)
