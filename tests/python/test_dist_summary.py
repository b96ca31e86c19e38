"""Profile.summary(): the column summary. Every exact figure (counts, mean, std, text
lengths) is one function of the values, whichever way they came (dict rows one by one or
in a list, JSON Lines, parts merged in any order, one thread or two); quantiles and top
values do not depend on the threads; mean and std are correctly rounded; quantiles and
top values keep their error bounds; version-1 stored profiles load with unknown figures."""

import decimal
import json
import math
import pathlib
import random
import threading
from fractions import Fraction

import pytest

import karvo
import karvo_dist
from karvo_dist import Profile
from profile_checks import exact_part
from value_hooks import Index, Real

SEED = 77
DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
RANK_KEYS = ["0.01", "0.05", "0.25", "0.5", "0.75", "0.95", "0.99"]


def summary_of(rows, seed=SEED):
    profile = Profile(seed)
    profile.observe_dicts(rows)
    return profile.summary()


def json_rows(n, rng):
    """Rows JSON can carry: None, bools, ints (some beyond 64 bits), floats (-0.0 too),
    texts (non-ASCII, some beyond 256 code points), lists and dicts."""
    rows = []
    for i in range(n):
        pick = rng.randrange(12)
        value = [None, True, False, rng.randrange(-50, 50), 2**70 + rng.randrange(3),
                 -(2**64) - 1, rng.uniform(-1e3, 1e3), -0.0, f"t{rng.randrange(40)}",
                 "ünïcødé ✓" * rng.randrange(1, 40), [1, "a"], {"k": i}][pick]
        rows.append({"mixed": value, "n": rng.randrange(1000) / 8, "t": f"w{rng.randrange(9)}"})
    return rows


def all_rows(n, rng):
    """JSON's rows and values only dicts carry: NaN, infinities, hooks, bytes, decimals."""
    rows = json_rows(n, rng)
    extras = [float("nan"), float("inf"), float("-inf"), Index(5), Real(2.5), b"x",
              decimal.Decimal("1.5"), Index(2**64 + 3)]
    for i in range(0, n, 5):
        rows[i]["mixed"] = extras[(i // 5) % len(extras)]
    return rows


ROWS = all_rows(3000, random.Random(5))
JSON_ROWS = json_rows(3000, random.Random(6))


def parts_merged(rows, cuts, order):
    pieces = [rows[a:b] for a, b in zip([0] + cuts, cuts + [len(rows)])]
    profiles = []
    for piece in pieces:
        profile = Profile(SEED)
        profile.observe_dicts(piece)
        profiles.append(profile)
    merged = Profile(SEED)
    merged.merge(*[profiles[i] for i in order(len(profiles))])
    return merged.summary()


def one_by_one(rows):
    profile = Profile(SEED)
    for row in rows:
        profile.observe_dict(row)
    return profile.summary()


def from_jsonl(rows, **options):
    profile = Profile(SEED)
    text = "".join(json.dumps(row) + "\n" for row in rows).encode()
    profile.observe_jsonl(text, **options)
    return profile.summary()


def restored(rows):
    profile = Profile(SEED)
    profile.observe_dicts(rows)
    return Profile.from_bytes(profile.to_bytes(), SEED).summary()


# Each way of giving the rows: (name, summary of rows).
WAYS = [
    ("one by one", one_by_one),
    ("three parts in order", lambda rows: parts_merged(rows, [700, 1900], lambda n: range(n))),
    ("seven parts backwards",
     lambda rows: parts_merged(rows, [100, 400, 401, 1500, 2200, 2999],
                               lambda n: reversed(range(n)))),
    ("stored and read back", restored),
]


@pytest.mark.parametrize("way", WAYS, ids=[name for name, _ in WAYS])
def test_exact_figures_do_not_depend_on_the_way_rows_come(way):
    _, summary = way
    assert exact_part(summary(ROWS)) == exact_part(summary_of(ROWS))


JSONL_WAYS = [
    ("dicts", summary_of),
    ("one thread", lambda rows: from_jsonl(rows, threads=1)),
    ("two threads, small chunks", lambda rows: from_jsonl(rows, threads=2, chunk_bytes=512)),
    ("four threads", lambda rows: from_jsonl(rows, threads=4, chunk_bytes=4096)),
]


@pytest.mark.parametrize("way", JSONL_WAYS, ids=[name for name, _ in JSONL_WAYS])
def test_json_lines_give_the_exact_figures_of_the_same_rows_as_dicts(way):
    _, summary = way
    assert exact_part(summary(JSON_ROWS)) == exact_part(from_jsonl(JSON_ROWS))


# (threads, chunk_cells) of observe_dicts' fold, each test in a child process
# (conftest.py): the calling thread alone, and a worker with small and large chunks.
FOLDS = [(1, 16384), (2, 7), (2, 4096)]


@pytest.mark.parametrize("fold", FOLDS)
def test_the_fold_changes_no_figure(fold):
    # Every figure, quantiles and top values too; rows one by one fold on the calling
    # thread whatever the setting.
    assert summary_of(ROWS) == one_by_one(ROWS)


def test_threads_change_no_quantile_and_no_top_value():
    one = from_jsonl(JSON_ROWS, threads=1, chunk_bytes=2048)
    assert from_jsonl(JSON_ROWS, threads=2, chunk_bytes=2048) == one
    assert from_jsonl(JSON_ROWS, threads=4, chunk_bytes=2048) == one


def test_stored_summary_reads_back_whole():
    profile = Profile(SEED)
    profile.observe_dicts(ROWS)
    back = Profile.from_bytes(profile.to_bytes(), SEED)
    assert back.summary_json() == profile.summary_json()
    assert back.to_bytes() == profile.to_bytes()


# ---------------------------------------------------------------------------------------
# What each figure counts.

def test_kinds_follow_the_python_object():
    rows = [{"v": v} for v in [None, True, False, 0, 2**80, 1.5, float("nan"), float("inf"),
                               "a", "", [1], {"a": 1}, b"b", Index(3), Real(1.0),
                               decimal.Decimal("2")]]
    column = summary_of(rows)["v"]
    assert column["types"] == {"null": 1, "bool": 2, "int": 2, "float": 3, "text": 2,
                               "other": 6}
    assert sum(column["types"].values()) == column["total_count"]
    numbers = column["numbers"]
    # Finite numbers: True, False, 0, 2**80, 1.5, Index(3), Real(1.0), Decimal(2).
    assert numbers["count"] == 8
    assert (numbers["zeros"], numbers["negatives"], numbers["nan"], numbers["inf"]) == (2, 0, 1, 1)
    assert numbers["mean"] == float((1 + 0 + 0 + Fraction(2**80) + Fraction(3, 2) + 3 + 1 + 2) / 8)
    assert column["text"] == {"count": 2, "min_length": 0, "max_length": 1, "mean_length": 0.5}


def test_json_values_count_as_json_loads_makes_them():
    lines = b'{"v": null}\n{"v": true}\n{"v": 12}\n{"v": 123456789012345678901234567890}\n' \
            b'{"v": 1e400}\n{"v": 2.0}\n{"v": "x"}\n{"v": [1]}\n{"v": {"a": 1}}\n{"v": NaN}\n' \
            b'{"v": 1' + b"0" * 400 + b'}\n'
    profile = Profile(SEED)
    profile.observe_jsonl(lines)
    column = profile.summary()["v"]
    assert column["types"] == {"null": 1, "bool": 1, "int": 3, "float": 3, "text": 1,
                               "other": 2}
    numbers = column["numbers"]
    assert (numbers["count"], numbers["nan"], numbers["inf"]) == (4, 1, 1)


def test_top_values_join_equal_numbers_and_keep_the_first_as_float():
    rows = [{"v": v} for v in [1, 1.0, True, "1", "1", "1", "1", 2.5, None, None, None, None]]
    top = summary_of(rows)["v"]["top_values"]
    assert top[0] == {"value": "1", "count": 4, "error": 0}
    assert top[1] == {"value": 1.0, "count": 3, "error": 0}
    assert top[2] == {"value": 2.5, "count": 1, "error": 0}
    assert len(top) == 3


def test_long_texts_appear_cut_to_256_code_points():
    text = "ж" * 300
    column = summary_of([{"v": text}, {"v": text}])["v"]
    assert column["top_values"] == [{"value": text[:256], "count": 2, "error": 0}]
    assert column["text"]["max_length"] == 300


def test_an_empty_column_has_null_figures_not_zeros():
    column = summary_of([{"v": None}, {"v": [1]}])["v"]
    assert column["numbers"]["mean"] is None and column["numbers"]["std"] is None
    assert column["numbers"]["count"] == 0
    assert set(column["numbers"]["quantiles"].values()) == {None}
    assert column["text"] == {"count": 0, "min_length": None, "max_length": None,
                              "mean_length": None}
    assert column["top_values"] == []
    one = summary_of([{"v": 4}])["v"]["numbers"]
    assert one["mean"] == 4.0 and one["std"] is None


def test_keys_stand_in_report_order_with_the_report_figures():
    profile = Profile(SEED)
    profile.observe_dicts(ROWS)
    summary = profile.summary()
    report = json.loads(profile.report())
    assert list(summary) == list(report)
    for name, column in summary.items():
        assert list(column) == ["total_count", "null_count", "min_val", "max_val",
                                "estimated_cardinality", "types", "numbers", "text",
                                "top_values"]
        assert {k: column[k] for k in report[name]} == report[name]
        assert list(column["numbers"]) == ["count", "mean", "std", "zeros", "negatives",
                                           "nan", "inf", "quantiles"]
        assert list(column["numbers"]["quantiles"]) == RANK_KEYS


def test_report_and_flush_stay_those_of_karvo():
    profile = Profile(SEED)
    profiler = karvo.Profiler()
    rows = [r for r in ROWS if not any(isinstance(v, (Index, Real)) for v in r.values())]
    profile.observe_dicts(rows)
    profiler.observe_dicts(rows)
    want = profiler.flush()
    report = profile.report()

    # karvo's profiler hashes under keys of its own, drawn at random, so the distinct
    # estimates may differ by the sketch's error; the rest is the same text.
    def estimates_apart(text):
        columns = json.loads(text)
        estimates = {name: column.pop("estimated_cardinality") for name, column in columns.items()}
        return columns, estimates

    got, got_estimates = estimates_apart(report)
    expected, expected_estimates = estimates_apart(want)
    assert got == expected and list(got) == list(expected)
    for name, estimate in expected_estimates.items():
        assert abs(got_estimates[name] - estimate) <= max(2, 0.03 * estimate)
    assert profile.flush() == report
    assert profile.summary() == {}


def test_summary_json_writes_non_finite_numbers_as_null():
    profile = Profile(SEED)
    profile.observe_dicts([{"v": float("inf")}] * 3 + [{"v": 1e308}, {"v": 1e308},
                                                       {"v": -1e308}])
    column = json.loads(profile.summary_json())["v"]
    assert column["top_values"][0] == {"value": None, "count": 3, "error": 0}
    assert column["numbers"]["inf"] == 3
    assert column["numbers"]["std"] is not None and math.isfinite(column["numbers"]["std"])


# ---------------------------------------------------------------------------------------
# Exactness.

def correctly_rounded_sqrt(value):
    with decimal.localcontext() as context:
        context.prec = 80
        root = (decimal.Decimal(value.numerator) / decimal.Decimal(value.denominator)).sqrt()
        return float(root)


CANCELLING = [
    ("huge and one", [1e16, 1.0, -1e16] * 333),
    ("tiny beside huge", [1e300, 5e-324, -1e300, 3.0, 1e-300] * 201),
    ("alternating signs", [(-1) ** i * (1e15 + i) for i in range(2001)]),
    ("one value many times", [0.1] * 4097),
    ("near the top", [1.7e308, -1.7e308, 1.6e308] * 50),
]


@pytest.mark.parametrize("values", [v for _, v in CANCELLING], ids=[n for n, _ in CANCELLING])
def test_mean_and_std_are_the_exact_ones_correctly_rounded(values):
    numbers = summary_of([{"v": v} for v in values])["v"]["numbers"]
    exact = [Fraction(v) for v in values]
    n = len(exact)
    mean = sum(exact) / n
    variance = sum((x - mean) ** 2 for x in exact) / (n - 1)
    assert numbers["mean"] == float(mean)
    assert numbers["std"] == correctly_rounded_sqrt(variance)


# ---------------------------------------------------------------------------------------
# Quantiles and top values: their error bounds.

def rank_error(sorted_values, value, q):
    """The distance of q from the ranks the value holds (a range, for repeated values)."""
    import bisect
    n = len(sorted_values)
    low = bisect.bisect_left(sorted_values, value) / n
    high = bisect.bisect_right(sorted_values, value) / n
    return 0.0 if low <= q <= high else min(abs(q - low), abs(q - high))


def inverted_cdf(sorted_values, q):
    return sorted_values[max(1, math.ceil(q * len(sorted_values))) - 1]


DISTRIBUTIONS = [
    ("uniform", lambda rng, n: [rng.random() for _ in range(n)]),
    ("skewed", lambda rng, n: [rng.lognormvariate(0, 3) for _ in range(n)]),
    ("repeated", lambda rng, n: [rng.randrange(20) for _ in range(n)]),
    ("sorted", lambda rng, n: list(range(n))),
]


@pytest.mark.parametrize("make", [m for _, m in DISTRIBUTIONS], ids=[n for n, _ in DISTRIBUTIONS])
def test_quantiles_are_exact_below_600_values_then_within_one_percent(make):
    rng = random.Random(3)
    small = make(rng, 599)
    quantiles = summary_of([{"v": v} for v in small])["v"]["numbers"]["quantiles"]
    for key in RANK_KEYS:
        assert quantiles[key] == inverted_cdf(sorted(small), float(key))
    large = make(rng, 100_000)
    profile = Profile(SEED)
    profile.observe_dicts([{"v": v} for v in large])
    ordered = sorted(large)
    quantiles = profile.summary()["v"]["numbers"]["quantiles"]
    for key in RANK_KEYS:
        assert rank_error(ordered, quantiles[key], float(key)) <= 0.01
    ranks = [i / 20 for i in range(21)]
    drawn = profile._quantiles(ranks)["v"]
    assert drawn[0] == ordered[0] and drawn[-1] == ordered[-1]
    for q, value in zip(ranks, drawn):
        assert rank_error(ordered, value, q) <= 0.01
    assert profile._quantiles([0.5]) == {"v": [quantiles["0.5"]]}


def test_quantile_ranks_are_checked():
    profile = Profile(SEED)
    profile.observe_dicts([{"v": 1}, {"t": "x"}])
    assert profile._quantiles([0.0, 1.0]) == {"v": [1.0, 1.0], "t": [None, None]}
    for bad in ([1.5], [-0.1], [float("nan")]):
        with pytest.raises(ValueError):
            profile._quantiles(bad)
    with pytest.raises(TypeError):
        profile._quantiles(["a"])
    with pytest.raises(TypeError):
        profile._quantiles(3)


def zipf(rng, n, distinct, s=1.1):
    weights = [1 / k**s for k in range(1, distinct + 1)]
    return rng.choices(range(distinct), weights, k=n)


@pytest.mark.parametrize("split", [1, 4])
def test_top_values_bound_the_true_counts_and_miss_no_heavy_value(split):
    rng = random.Random(9)
    values = [f"v{k}" for k in zipf(rng, 60_000, 5000)]
    from collections import Counter
    truth = Counter(values)
    size = len(values) // split
    profiles = []
    for i in range(split):
        profile = Profile(SEED)
        profile.observe_dicts([{"v": v} for v in values[i * size:(i + 1) * size]])
        profiles.append(profile)
    top = Profile.merged(profiles).summary()["v"]["top_values"]
    assert len(top) == 10
    assert [e["count"] for e in top] == sorted((e["count"] for e in top), reverse=True)
    for entry in top:
        assert entry["count"] - entry["error"] <= truth[entry["value"]] <= entry["count"]
    heavy = {v for v, c in truth.items() if c > len(values) / 64}
    assert 0 < len(heavy) <= 10
    assert heavy <= {e["value"] for e in top}


# ---------------------------------------------------------------------------------------
# Stored profiles of the first version.

def test_a_version_1_profile_loads_with_its_summary_unknown():
    stored = (DATA / "profile_v1.bin").read_bytes()
    profile = Profile.from_bytes(stored, 2024)
    assert profile.report() == (DATA / "profile_v1.report.json").read_text()
    summary = profile.summary()
    assert list(summary) == list(json.loads(profile.report()))
    for column in summary.values():
        assert column["types"] is None and column["top_values"] is None
        quantiles = column["numbers"].pop("quantiles")
        assert set(column["numbers"].values()) == {None}
        assert set(quantiles.values()) == {None}
        assert set(column["text"].values()) == {None}
    # Rows added later cannot make the figures known; a flush starts afresh.
    profile.observe_dict({"id": 1})
    assert profile.summary()["id"]["types"] is None
    fresh = Profile(2024)
    fresh.observe_dict({"id": 1})
    fresh.merge(profile)
    assert fresh.summary()["id"]["numbers"]["count"] is None
    profile.flush()
    profile.observe_dict({"id": 1})
    assert profile.summary()["id"]["types"]["int"] == 1
    # Stored again (as version 2), it stays unknown and reports the same.
    again = Profile.from_bytes(fresh.to_bytes(), 2024)
    assert again.summary() == fresh.summary()


def test_version_1_is_written_for_earlier_releases():
    stored = (DATA / "profile_v1.bin").read_bytes()
    # What an earlier release wrote, read and written again in its form, is its bytes.
    assert Profile.from_bytes(stored, 2024).to_bytes(version=1) == stored
    profile = Profile(2024)
    profile.observe_dicts([{"id": 1, "name": "a"}, {"id": 2.5, "name": None}])
    old = Profile.from_bytes(profile.to_bytes(version=1), 2024)
    assert old.report() == profile.report()
    assert old.summary()["id"]["types"] is None
    assert profile.to_bytes() == profile.to_bytes(version=karvo_dist.FORMAT_VERSION)


@pytest.mark.parametrize("version, error", [
    (0, ValueError), (karvo_dist.FORMAT_VERSION + 1, ValueError), (2**70, ValueError),
    (-1, ValueError), (1.0, TypeError), ("1", TypeError),
])
def test_versions_it_cannot_write_are_refused(version, error):
    profile = Profile(1)
    profile.observe_dict({"a": 1})
    with pytest.raises(error, match="version must be"):
        profile.to_bytes(version=version)


# ---------------------------------------------------------------------------------------
# Threads.

def test_summary_beside_observing_threads():
    profile = Profile(SEED)
    errors = []
    done = threading.Event()

    def observe():
        try:
            for _ in range(20):
                profile.observe_dicts(ROWS[:500])
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    def read():
        try:
            while not done.is_set():
                for column in profile.summary().values():
                    types = column["types"]
                    assert sum(types.values()) <= column["total_count"]
                    assert column["numbers"]["count"] <= column["total_count"]
                profile._quantiles([0.5])
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    writers = [threading.Thread(target=observe) for _ in range(3)]
    readers = [threading.Thread(target=read) for _ in range(2)]
    for thread in writers + readers:
        thread.start()
    for thread in writers:
        thread.join(timeout=300)
    done.set()
    for thread in readers:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in writers + readers)
    assert errors == []
    final = profile.summary()["mixed"]
    assert sum(final["types"].values()) == final["total_count"] == 3 * 20 * 500
