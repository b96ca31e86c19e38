"""Column summaries in Profile.summary()'s form, made from plain Python values, with exact
figures (distinct count, quantiles, top values) where the engine keeps sketches.

Rendering is a pure function of (summary, quantiles, header facts), so the table and the
HTML page are tested on these without the engine. `FabricatedProfile` also lends them to
a real Profile through its summary methods, for code that takes a profile.
"""

import json
import math
import random

import karvo_dist

QUANTILE_KEYS = ("0.01", "0.05", "0.25", "0.5", "0.75", "0.95", "0.99")
TOP = 10
TEXT_CUT = 256


def kind(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, int):
        return "int"
    if isinstance(value, float):
        return "null" if math.isnan(value) else "float"
    if isinstance(value, str):
        return "text"
    return "other"


def quantile(ordered, rank):
    """The value at `rank` of sorted values, by the lower nearest rank."""
    if not ordered:
        return None
    return float(ordered[min(len(ordered) - 1, max(0, math.ceil(rank * len(ordered)) - 1))])


def summarize(values):
    """One column's summary of `values` (None for a row without the column is left out:
    pass only the rows that carry it)."""
    kinds = [kind(v) for v in values]
    types = {t: kinds.count(t) for t in ("null", "bool", "int", "float", "text", "other")}
    numbers = [float(v) for v, k in zip(values, kinds) if k in ("bool", "int", "float")]
    finite = sorted(v for v in numbers if math.isfinite(v))
    texts = [v for v, k in zip(values, kinds) if k == "text"]
    valued = numbers + texts
    nulls = len(values) - len(valued)
    counts = {}
    for v in [f for f in numbers if math.isfinite(f)] + [t[:TEXT_CUT] for t in texts]:
        counts[(type(v), v)] = counts.get((type(v), v), 0) + 1
    tops = sorted(counts.items(), key=lambda item: -item[1])[:TOP]
    mean = sum(finite) / len(finite) if finite else None
    return {
        "total_count": len(values),
        "null_count": nulls,
        "min_val": min(finite, default=None),
        "max_val": max(finite, default=None),
        "estimated_cardinality": len(set((type(v), v) for v in valued)),
        "types": types,
        "numbers": {
            "count": len(finite),
            "mean": mean,
            "std": (math.sqrt(sum((v - mean) ** 2 for v in finite) / (len(finite) - 1))
                    if len(finite) > 1 else None),
            "zeros": sum(1 for v in finite if v == 0),
            "negatives": sum(1 for v in finite if v < 0),
            "nan": 0,
            "inf": sum(1 for v in numbers if math.isinf(v)),
            "quantiles": {key: quantile(finite, float(key)) for key in QUANTILE_KEYS},
        },
        "text": {
            "count": len(texts),
            "min_length": min(map(len, texts), default=None),
            "max_length": max(map(len, texts), default=None),
            "mean_length": sum(map(len, texts)) / len(texts) if texts else None,
        },
        "top_values": [{"value": value, "count": count, "error": 0}
                       for (_, value), count in tops],
    }


class Fabricated:
    """Columns of values; summary() and quantiles() as the Profile methods give them."""

    def __init__(self, columns):
        self.columns = columns  # name -> list of values

    def summary(self):
        return {name: summarize(values) for name, values in self.columns.items()}

    def quantiles(self, ranks):
        result = {}
        for name, values in self.columns.items():
            finite = sorted(float(v) for v in values
                            if kind(v) in ("bool", "int", "float") and math.isfinite(v))
            result[name] = [quantile(finite, r) for r in ranks] if finite else None
        return result


def old_blob(summary):
    """A summary as a profile loaded from an older stored form gives it: only the
    report's figures."""
    return {name: {**column, "types": None, "numbers": None, "text": None, "top_values": None}
            for name, column in summary.items()}


SCRIPT_NAME = "<script>alert(1)</script>"


def realistic(rows=1000, seed=7):
    """A few columns of each shape a reader meets, in one table of `rows` rows."""
    rng = random.Random(seed)
    words = ["NY", "LA", "Paris", "Tokyo", "Lagos", "Lima", "Oslo", "Pune", "Kyiv", "Rome",
             "Cairo", "Seoul"]
    return Fabricated({
        "id": list(range(100_000, 100_000 + rows)),
        "age": [rng.randint(18, 90) if rng.random() > 0.08 else None for _ in range(rows)],
        "spend": [round(rng.lognormvariate(3, 1.2), 2) for _ in range(rows)],
        "city": [rng.choices(words, weights=range(len(words), 0, -1))[0] for _ in range(rows)],
        "empty": [None] * rows,
        "constant": ["v1"] * rows,
        "mixed": [rng.randint(0, 9) if i % 10 else f"n/a{i % 3}" for i in range(rows)],
        "sparse": [rng.random() if i % 4 == 0 else None for i in range(rows)],
        "notes": ["x" * (1500 if i == 3 else 20) for i in range(rows)],
        "zeros": [0.0 if i % 3 else rng.random() for i in range(rows)],
        SCRIPT_NAME: ['"><img src=x onerror=alert(2)>', "</td></tr><script>x()</script>"]
        * (rows // 2),
    })


def wide(columns=2000, rows=200, seed=11):
    """Many columns of mixed shapes, for size and scale."""
    rng = random.Random(seed)
    shapes = [
        lambda: [rng.gauss(50, 10) for _ in range(rows)],
        lambda: [rng.randint(0, 5) for _ in range(rows)],
        lambda: [rng.choice(["a", "b", "c", None]) for _ in range(rows)],
        lambda: [f"user-{rng.randint(0, 10**9)}" for _ in range(rows)],
    ]
    return Fabricated({f"col_{i:04d}": shapes[i % len(shapes)]() for i in range(columns)})


class FabricatedProfile(karvo_dist.Profile):
    """A real (empty) Profile whose summary methods answer from fabricated columns."""

    __slots__ = ()
    source = None  # a Fabricated, set on a subclass

    def summary(self):
        return self.source.summary()

    def summary_json(self):
        return json.dumps(self.summary(), separators=(",", ":"))

    def _quantiles(self, ranks):
        return self.source.quantiles(ranks)


def profile_of(fabricated):
    cls = type("Fabricated", (FabricatedProfile,), {"__slots__": (), "source": fabricated})
    return cls()
