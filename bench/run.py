#!/usr/bin/env python3
"""Benchmark of karvo against the read-only floor and against peer tools.

    python bench/run.py                      # full run: 8 workloads, all tools, best of 5
    python bench/run.py --quick              # rows / 10, best of 3, for a fast look
    python bench/run.py --only karvo,floor   # just these tools
    python bench/run.py --workloads mixed --repeat 7 --json out.json

Every workload is generated from a fixed seed, serialised to JSON text once,
and parsed with json.loads before each timed call, so every tool gets rows as
a JSON loader hands them out: a fresh str object per text value, key objects
shared across the rows of one document. Only the tool's own call is timed
(garbage collection paused, as timeit does). The tools take turns within each
round, so that a burst of load on the machine hits them alike; the best of
the rounds is reported. Ratios are taken between times of the same run.

Tools that are not installed are skipped with a note. See bench/README.md for
what the columns mean and how the memory figures are taken.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import importlib.machinery
import importlib.util
import json
import math
import os
import random
import shlex
import statistics
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
FLOOR_SOURCE = BENCH_DIR / "floor.c"
FLOOR_BUILD_DIR = BENCH_DIR / "_floor_build"
FLOOR_MODULE = "_karvo_bench_floor"

SEED = 20261210
ALL_TOOLS = ["floor", "karvo", "floor-row", "karvo-row", "polars", "polars-scan", "pandas",
             "datasketches", "python"]
# Tools that are karvo or the floor called another way, not peers.
OWN_TOOLS = ("floor", "karvo", "floor-row", "karvo-row")
ALL_WORKLOADS = ["mixed", "wide", "wide-distinct", "strings", "strings-unique", "sparse",
                 "events", "table"]

# Targets of the hot path, checked in the summary.
TARGET_FLOOR_RATIO = 1.5
# Against polars with its defaults, the peer a user would reach for.
TARGET_PEER_SPEEDUP = 3.0
# One observe_dict per row against one observe_dicts for all rows, per cell; the target
# holds for the mixed and events workloads.
TARGET_ROW_CALL_RATIO = 2.0
ROW_CALL_WORKLOADS = ("mixed", "events")
TARGET_TRANSIENT_BYTES_PER_CELL = 32.0
# Workloads whose memory figures are taken (each in a child process per tool).
MEMORY_WORKLOADS = ("mixed", "wide", "events", "table")
TARGET_PERSISTENT_BYTES_PER_COLUMN = 16 * 1024
# Allowed relative error of karvo's distinct estimate against the exact count:
# the sketch's standard error at precision 14 is about 0.8 %, and with 200
# columns in one workload a 3-sigma miss is to be expected somewhere.
ESTIMATE_TOLERANCE = 0.04


# --------------------------------------------------------------------------
# The floor: a tiny C extension compiled here, never shipped.


def build_floor() -> object:
    """Compiles bench/floor.c (when the build is missing or older) and imports it."""
    FLOOR_BUILD_DIR.mkdir(exist_ok=True)
    target = FLOOR_BUILD_DIR / (FLOOR_MODULE + ".abi3.so")
    if not target.exists() or target.stat().st_mtime < FLOOR_SOURCE.stat().st_mtime:
        cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
        include = sysconfig.get_paths()["include"]
        command = cc + [
            "-O2", "-fPIC", "-shared", "-Wall", "-Wextra", "-fvisibility=hidden",
            "-I", include, str(FLOOR_SOURCE), "-o", str(target),
        ]
        subprocess.run(command, check=True)
    loader = importlib.machinery.ExtensionFileLoader(FLOOR_MODULE, str(target))
    location = importlib.util.spec_from_file_location(FLOOR_MODULE, str(target), loader=loader)
    module = importlib.util.module_from_spec(location)
    loader.exec_module(module)
    return module


# --------------------------------------------------------------------------
# Workloads. Each generator returns plain Python rows; they are turned into
# JSON text once and parsed again before every timed call.

LETTERS = "abcdefghijklmnopqrstuvwxyz"
# Letters outside ASCII, so that some texts need a real UTF-8 encoding.
ACCENTED = "áéíóúãõçñüøåßłžşğ"


def random_text(rng: random.Random, low: int, high: int, accented: float = 0.0) -> str:
    length = rng.randint(low, high)
    chars = [rng.choice(LETTERS) for _ in range(length)]
    if accented and rng.random() < accented:
        chars[rng.randrange(length)] = rng.choice(ACCENTED)
    return "".join(chars)


def distinct_texts(rng: random.Random, count: int, low: int, high: int,
                   accented: float = 0.0) -> list[str]:
    seen: set[str] = set()
    out: list[str] = []
    while len(out) < count:
        text = random_text(rng, low, high, accented)
        if text not in seen:
            seen.add(text)
            out.append(text)
    return out


def spread(rng: random.Random, pool: list, n: int) -> list:
    """n values drawn from pool such that min(n, len(pool)) of them are distinct."""
    values = [pool[i % len(pool)] for i in range(n)]
    rng.shuffle(values)
    return values


def gen_mixed(rng: random.Random, n: int) -> list[dict]:
    ids = rng.sample(range(10**12), n)
    status = spread(rng, list(range(10)), n)
    store = spread(rng, list(range(-500, 500)), n)
    customer = spread(rng, rng.sample(range(10**7), 100_000), n)
    country = spread(rng, distinct_texts(rng, 50, 2, 6), n)
    user = spread(rng, distinct_texts(rng, 100_000, 6, 12), n)
    rows = []
    for i in range(n):
        rows.append({
            "id": ids[i],
            "status": status[i],
            "store": store[i],
            "customer": customer[i],
            "price": round(rng.uniform(0.5, 500.0), 2),
            "ratio": rng.random(),
            "discount": None if rng.random() < 0.05 else round(rng.gauss(0.0, 10.0), 3),
            "country": country[i],
            "user": user[i],
            "active": rng.random() < 0.7,
        })
    return rows


def gen_wide(rng: random.Random, n: int) -> list[dict]:
    columns = 200
    data = []
    for c in range(columns):
        kind = c % 4
        if kind == 0:
            col = spread(rng, list(range(10)), n)
        elif kind == 1:
            col = spread(rng, rng.sample(range(10**6), 1000), n)
        elif kind == 2:
            col = [round(rng.gauss(100.0, 25.0), 2) for _ in range(n)]
        else:
            col = [rng.random() * 1e6 for _ in range(n)]
        data.append(col)
    names = [f"m{c:03d}" for c in range(columns)]
    return [{names[c]: data[c][i] for c in range(columns)} for i in range(n)]


def gen_wide_distinct(rng: random.Random, n: int) -> list[dict]:
    """The harder wide table: ints and floats in turn, the ints' cardinality rising from
    10 to 10^6 across the columns, three float columns in four all distinct."""
    columns = 200
    data = []
    for c in range(columns):
        step = c // 2
        if c % 2 == 0:
            # Drawn with repeats from `cardinality` values: beyond the rows, nearly unique.
            cardinality = round(10 ** (1 + 5 * step / (columns // 2 - 1)))
            col = [rng.randrange(cardinality) * 997 + 13 for _ in range(n)]
        elif step % 4 == 0:
            col = spread(rng, [round(rng.uniform(0.0, 1000.0), 2) for _ in range(5000)], n)
        else:
            col = [rng.random() * 10 ** (step % 7) for _ in range(n)]
        data.append(col)
    names = [f"w{c:03d}" for c in range(columns)]
    return [{names[c]: data[c][i] for c in range(columns)} for i in range(n)]


def gen_strings_unique(rng: random.Random, n: int) -> list[dict]:
    """The harder strings table: ASCII texts only (their UTF-8 is the str's own bytes, so
    reading them costs the floor least), of cardinality 100, 10,000, 100,000 and unique."""
    code = spread(rng, distinct_texts(rng, 100, 8, 12), n)
    product = spread(rng, distinct_texts(rng, 10_000, 10, 24), n)
    street = spread(rng, distinct_texts(rng, 100_000, 16, 32), n)
    token = distinct_texts(rng, n, 20, 40)
    return [{"code": code[i], "product": product[i], "street": street[i], "token": token[i]}
            for i in range(n)]


# The pieces of the table workload: the order lines of a shop, as a database export has
# them.
CURRENCIES = ["EUR", "USD", "GBP", "CHF", "SEK", "PLN"]
ORDER_STATUS = ["placed", "paid", "packed", "shipped", "delivered", "returned", "cancelled"]
PAYMENT = ["card", "paypal", "invoice", "bank_transfer", "voucher"]
WORDS = ["fast", "delivery", "great", "quality", "would", "buy", "again", "box", "was",
         "damaged", "colour", "not", "as", "shown", "size", "fits", "well", "thanks",
         "late", "perfect", "gift", "cheap", "price", "ok", "nice", "broken", "after",
         "two", "weeks", "recommend", "seller", "the", "a", "and", "very", "too", "small"]
ORDER_START_S = 1_735_689_600  # 2025-01-01T00:00:00Z


def gen_table(rng: random.Random, n: int) -> list[dict]:
    """Rows of an order-lines table: ids (unique, 50,000 customers, 5,000 products),
    timestamps as epoch seconds and milliseconds, quantities, prices (2-decimal, a total
    mostly distinct, a discount in a third of the rows, else None), short categorical
    texts (currency, status, payment, country, category, SKU), a city, and a free-text
    comment in a fifth of the rows (else None)."""
    customers = rng.sample(range(10**6, 10**7), 50_000)
    products = rng.sample(range(10**5, 10**6), 5_000)
    list_price = {p: round(rng.uniform(0.99, 400.0), 2) for p in products}
    sku = {p: f"SKU-{rng.randrange(10**6):06d}-{rng.choice(LETTERS).upper()}" for p in products}
    countries = [c.upper() for c in distinct_texts(rng, 40, 2, 2)]
    categories = distinct_texts(rng, 30, 4, 14)
    category = {p: rng.choice(categories) for p in products}
    cities = distinct_texts(rng, 2_000, 4, 16, accented=0.1)
    rows = []
    created = ORDER_START_S
    order_id = 7_000_000
    for _ in range(n):
        created += rng.randint(0, 60)
        order_id += rng.randint(1, 3)
        product = rng.choice(products)
        quantity = rng.choice((1, 1, 1, 1, 2, 2, 3, 4, 5, 10))
        price = list_price[product]
        discount = round(rng.uniform(0.0, 0.3) * price, 2) if rng.random() < 0.33 else None
        total = quantity * price - (discount or 0.0)
        comment = (" ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 14)))
                   if rng.random() < 0.2 else None)
        rows.append({
            "order_id": order_id,
            "line_no": rng.randint(1, 6),
            "customer_id": rng.choice(customers),
            "product_id": product,
            "created_at": created,
            "updated_at_ms": (created + rng.randint(0, 86_400 * 7)) * 1000
                             + rng.randrange(1000),
            "quantity": quantity,
            "unit_price": price,
            "discount": discount,
            "total": round(total * (1.0 + rng.uniform(0.0, 0.25)), 4),
            "currency": rng.choice(CURRENCIES),
            "status": rng.choice(ORDER_STATUS),
            "payment": rng.choice(PAYMENT),
            "country": rng.choice(countries),
            "category": category[product],
            "sku": sku[product],
            "city": rng.choice(cities),
            "comment": comment,
            "rating": rng.randint(1, 5) if rng.random() < 0.4 else None,
        })
    return rows


def gen_strings(rng: random.Random, n: int) -> list[dict]:
    name = spread(rng, distinct_texts(rng, 5000, 8, 20), n)
    city = spread(rng, distinct_texts(rng, 1000, 8, 16, accented=0.3), n)
    email = [random_text(rng, 15, 40) for _ in range(n)]
    note = [random_text(rng, 20, 40, accented=0.1) for _ in range(n)]
    return [{"name": name[i], "email": email[i], "city": city[i], "note": note[i]}
            for i in range(n)]


def gen_sparse(rng: random.Random, n: int) -> list[dict]:
    columns = 50
    names = [f"k{c:02d}" for c in range(columns)]
    texts = distinct_texts(rng, 500, 4, 12)
    rows = []
    for _ in range(n):
        row = {}
        for c in sorted(rng.sample(range(columns), 5)):
            kind = c % 3
            if kind == 0:
                row[names[c]] = rng.randrange(1000)
            elif kind == 1:
                row[names[c]] = round(rng.uniform(-100.0, 100.0), 3)
            else:
                row[names[c]] = rng.choice(texts)
        rows.append(row)
    return rows


# The pieces of the events workload: what a web and app event log carries.
EVENT_TYPES = ["page_view", "click", "scroll", "add_to_cart", "remove_from_cart", "checkout",
               "purchase", "login", "logout", "signup", "search", "video_play", "video_pause",
               "share", "like", "comment", "error", "push_open", "app_open", "app_close",
               "form_submit", "download", "impression", "experiment_exposure", "heartbeat"]
PLATFORMS = ["web", "ios", "android", "desktop"]
OS_NAMES = ["Windows NT 10.0; Win64; x64", "Macintosh; Intel Mac OS X 10_15_7",
            "X11; Linux x86_64", "iPhone; CPU iPhone OS 17_2 like Mac OS X",
            "Linux; Android 14; Pixel 8", "Linux; Android 13; SM-S918B",
            "iPad; CPU OS 16_6 like Mac OS X"]
DEVICE_MODELS = ["Pixel 8", "Pixel 7a", "SM-S918B", "SM-A546B", "iPhone15,2", "iPhone14,5",
                 "iPad13,1", "MacBookPro18,1", "PC", "Chromebook"]
ERROR_CODES = ["E_TIMEOUT", "E_NETWORK", "E_AUTH", "E_NOT_FOUND", "E_RATE_LIMIT", "E_INTERNAL",
               "E_VALIDATION", "E_PAYMENT_DECLINED"]
EVENT_START_MS = 1_767_225_600_000  # 2026-01-01T00:00:00Z


def user_agents(rng: random.Random, count: int) -> list[str]:
    """Browser user-agent strings of 100-160 characters, `count` distinct ones."""
    out: set[str] = set()
    while len(out) < count:
        system = rng.choice(OS_NAMES)
        webkit = f"{rng.randint(530, 538)}.{rng.randint(1, 40)}"
        browser = rng.choice([
            f"Chrome/{rng.randint(100, 124)}.0.{rng.randint(4000, 6400)}.{rng.randint(1, 200)}"
            f" Safari/{webkit}",
            f"Version/{rng.randint(14, 17)}.{rng.randint(0, 6)} Mobile/15E148 Safari/{webkit}",
            f"Chrome/{rng.randint(100, 124)}.0.{rng.randint(4000, 6400)}.{rng.randint(1, 200)}"
            f" Safari/{webkit} Edg/{rng.randint(100, 124)}.0.{rng.randint(1000, 2500)}."
            f"{rng.randint(1, 99)}",
        ])
        out.add(f"Mozilla/5.0 ({system}) AppleWebKit/{webkit} (KHTML, like Gecko) {browser}")
    return sorted(out)


def iso_ms(ms: int) -> str:
    seconds, millis = divmod(ms, 1000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + f".{millis:03d}Z"


def gen_events(rng: random.Random, n: int) -> list[dict]:
    """Rows of an event log: 64-bit ids, timestamps as ints and ISO texts, categorical and
    user-agent texts, booleans, optional fields absent from most rows, a nested object and
    a list, in the key order a producer writes them."""
    users = rng.sample(range(1, 2**63), 20_000)
    sessions = [f"{rng.getrandbits(128):032x}" for _ in range(30_000)]
    session_ids = [f"{s[:8]}-{s[8:12]}-4{s[13:16]}-a{s[17:20]}-{s[20:]}" for s in sessions]
    agents = user_agents(rng, 2_000)
    pages = ["/" + "/".join(random_text(rng, 3, 10) for _ in range(rng.randint(1, 4)))
             for _ in range(5_000)]
    countries = [c.upper() for c in distinct_texts(rng, 60, 2, 2)]
    locales = [f"{random_text(rng, 2, 2)}-{c}" for c in countries[:30]]
    referrers = ["https://" + random_text(rng, 5, 12) + ".com/" + random_text(rng, 0, 20)
                 for _ in range(300)]
    tag_pool = distinct_texts(rng, 40, 3, 10)
    rows = []
    now_ms = EVENT_START_MS
    for _ in range(n):
        now_ms += rng.randint(0, 2)
        # A time-ordered 64-bit id: milliseconds, then a worker and a sequence number.
        event_id = ((now_ms - 1_288_834_974_657) << 22) | (rng.randrange(1024) << 12) \
            | rng.randrange(4096)
        platform = rng.choice(PLATFORMS)
        row = {
            "event_id": event_id,
            "user_id": rng.choice(users),
            "session_id": rng.choice(session_ids),
            "ts": now_ms,
            "timestamp": iso_ms(now_ms),
            "received_at": iso_ms(now_ms + rng.randint(20, 5_000)),
            "event_type": rng.choice(EVENT_TYPES),
            "platform": platform,
            "country": rng.choice(countries),
            "locale": rng.choice(locales),
            "user_agent": rng.choice(agents),
            "page": rng.choice(pages),
            "logged_in": rng.random() < 0.6,
            "is_test": rng.random() < 0.01,
            "seq": rng.randint(1, 400),
        }
        if rng.random() < 0.2:
            row["duration_ms"] = rng.randint(1, 120_000)
        if rng.random() < 0.04:
            row["amount"] = round(rng.uniform(1.0, 900.0), 2)
        if rng.random() < 0.1:
            row["referrer"] = None if rng.random() < 0.3 else rng.choice(referrers)
        if rng.random() < 0.03:
            row["error_code"] = rng.choice(ERROR_CODES)
        row["device"] = {"os": platform, "model": rng.choice(DEVICE_MODELS),
                         "width": rng.choice([360, 390, 414, 768, 1280, 1440, 1920]),
                         "height": rng.choice([640, 844, 896, 1024, 800, 900, 1080])}
        row["tags"] = rng.sample(tag_pool, rng.randint(0, 3))
        rows.append(row)
    return rows


WORKLOADS = {
    "mixed": (gen_mixed, 200_000,
              "ints of cardinality 10, 1,000, 100,000 and unique; 3 floats, one 5% None; "
              "texts of cardinality 50 and 100,000; one bool"),
    "wide": (gen_wide, 20_000, "200 numeric columns: ints of cardinality 10 and 1,000, "
             "2-decimal floats, unique floats"),
    "strings": (gen_strings, 200_000, "4 texts of 8-40 characters: cardinality 5,000, "
                "1,000 (30% non-ASCII), unique, unique (10% non-ASCII)"),
    "wide-distinct": (gen_wide_distinct, 20_000, "200 columns, ints and floats in turn: ints "
                      "of cardinality 10 to 10^6, floats 3 in 4 unique, else 5,000 values"),
    "strings-unique": (gen_strings_unique, 200_000, "4 ASCII texts of 8-40 characters: "
                       "cardinality 100, 10,000, 100,000, unique"),
    "table": (gen_table, 200_000, "order lines: 19 columns of ids, epoch timestamps, "
              "quantities, prices, short categorical texts, a city, a free-text comment; "
              "None in 4 columns"),
    "sparse": (gen_sparse, 200_000, "each row 5 of 50 columns (ints, floats, texts)"),
    "events": (gen_events, 100_000, "an event log: 64-bit ids, timestamps as ints and ISO "
               "texts, categorical and user-agent texts, 2 bools, 4 optional fields in 3-20% of "
               "rows, a nested object, a list"),
}


class Workload:
    def __init__(self, name: str, scale: float):
        generate, rows, self.description = WORKLOADS[name]
        self.name = name
        self.rows = max(1, int(rows * scale))
        data = generate(random.Random(f"{SEED}:{name}"), self.rows)
        self.cells = sum(len(row) for row in data)
        self.columns = len({key for row in data for key in row})
        self.text = json.dumps(data, separators=(",", ":"), ensure_ascii=False)

    def load(self) -> list[dict]:
        return json.loads(self.text)


# --------------------------------------------------------------------------
# Tools. Each one takes the rows and returns its profile (or a checksum).


# Seconds that the last call of a dataframe peer spent building its frame from
# the rows (the rest is its column statistics): where a peer's time goes.
LOAD_PHASE: dict = {}
# Per tool, what it could not compute the way the others do (a statistic its library
# refuses for a kind of column): printed under the workload's table, never hidden.
PEER_NOTES: dict = {}


def note_peer(tool: str, message: str) -> None:
    PEER_NOTES.setdefault(tool, set()).add(message)


def polars_statistics(tool: str, df) -> dict:
    """Per column of a polars frame: null count, approximate distinct count, and min/max of
    numeric and boolean columns, in one `select` as a polars user writes it. Polars has no
    approx_n_unique for nested columns (struct, list): those are left out, with a note."""
    import polars as pl

    exprs = []
    names = list(df.schema)
    for i, (name, dtype) in enumerate(df.schema.items()):
        col = pl.col(name)
        exprs.append(col.null_count().alias(f"{i}:nulls"))
        if dtype.is_nested():
            note_peer(tool, f"approx_n_unique is not supported for nested columns ({dtype}), "
                      f"so {name!r} gets no distinct count")
        else:
            exprs.append(col.approx_n_unique().alias(f"{i}:distinct"))
        if dtype.is_numeric() or dtype == pl.Boolean:
            exprs.append(col.min().alias(f"{i}:min"))
            exprs.append(col.max().alias(f"{i}:max"))
    out: dict = {name: {} for name in names}
    for label, value in df.select(exprs).row(0, named=True).items():
        index, _, field = label.partition(":")
        out[names[int(index)]][field] = value
    return out


def python_loop_profile(rows, new_sketch, add) -> dict:
    """The per-cell loop of the pure-Python peers under karvo's value rules: None and any
    type other than int, float, bool and str count as null; numbers get bounds."""
    columns: dict = {}
    for row in rows:
        for key, value in row.items():
            state = columns.get(key)
            if state is None:
                state = columns[key] = [0, 0, math.inf, -math.inf, new_sketch()]
            state[0] += 1
            kind = type(value)
            if kind is str:
                add(state[4], value)
            elif kind is int or kind is float or kind is bool:
                if value < state[2]:
                    state[2] = value
                if value > state[3]:
                    state[3] = value
                add(state[4], value)
            else:
                state[1] += 1
    return columns


def make_tools(floor_module) -> tuple[dict, dict]:
    """Returns ({name: callable}, {name: reason it was skipped})."""
    tools: dict = {}
    skipped: dict = {}

    if floor_module is not None:
        tools["floor"] = floor_module.walk

        def run_floor_rows(rows):
            for row in rows:
                floor_module.walk_row(row)

        tools["floor-row"] = run_floor_rows

    try:
        import karvo

        def run_karvo(rows):
            profiler = karvo.Profiler()
            profiler.observe_dicts(rows)
            return profiler.flush()

        def run_karvo_rows(rows):
            # A streaming caller (a message consumer): one call per row as it arrives.
            profiler = karvo.Profiler()
            for row in rows:
                profiler.observe_dict(row)
            return profiler.flush()

        tools["karvo"] = run_karvo
        tools["karvo-row"] = run_karvo_rows
    except ImportError as error:
        skipped["karvo"] = f"not importable ({error}); install with `pip install .`"
        skipped["karvo-row"] = skipped["karvo"]

    try:
        import polars as pl

        def run_polars(rows):
            # Polars as its users call it: with its defaults, which infer each column's
            # type from the first 100 rows.
            start = clock_ns()
            df = pl.from_dicts(rows)
            LOAD_PHASE["polars"] = (clock_ns() - start) / 1e9
            return df.height, polars_statistics("polars", df)

        def run_polars_scan(rows):
            # Not polars' default: infer_schema_length=None infers each column's type from
            # all rows (a key first seen late, an int column with a float later on), and
            # strict=False turns a value that does not fit the inferred type into null
            # instead of failing. Slower, kept as a labelled extra row.
            start = clock_ns()
            df = pl.from_dicts(rows, infer_schema_length=None, strict=False)
            LOAD_PHASE["polars-scan"] = (clock_ns() - start) / 1e9
            return df.height, polars_statistics("polars-scan", df)

        tools["polars"] = run_polars
        tools["polars-scan"] = run_polars_scan
    except ImportError:
        skipped["polars"] = skipped["polars-scan"] = "not installed (pip install .[bench])"

    try:
        import pandas as pd

        def run_pandas(rows):
            start = clock_ns()
            df = pd.DataFrame(rows)
            LOAD_PHASE["pandas"] = (clock_ns() - start) / 1e9
            counts = df.count()
            nulls = df.isna().sum()
            numeric = df.select_dtypes(include=["number", "bool"])
            # df.nunique() fails as a whole on a column holding dicts or lists (they are
            # unhashable); column by column costs the same, and only those columns go
            # without a distinct count.
            distinct = {}
            for name in df.columns:
                try:
                    distinct[name] = df[name].nunique()
                except TypeError as error:
                    note_peer("pandas", f"nunique fails on {name!r} ({error}): no distinct "
                              "count for it")
            return counts, nulls, numeric.min(), numeric.max(), distinct

        tools["pandas"] = run_pandas
    except ImportError:
        skipped["pandas"] = "not installed (pip install .[bench])"

    try:
        from datasketches import hll_sketch

        def run_datasketches(rows):
            columns = python_loop_profile(rows, lambda: hll_sketch(14), hll_sketch.update)
            return {key: (s[0], s[1], s[2], s[3], s[4].get_estimate())
                    for key, s in columns.items()}

        tools["datasketches"] = run_datasketches
    except ImportError:
        skipped["datasketches"] = "not installed (pip install .[bench])"

    def run_python(rows):
        columns = python_loop_profile(rows, set, set.add)
        return {key: (s[0], s[1], s[2], s[3], len(s[4])) for key, s in columns.items()}

    tools["python"] = run_python
    return tools, skipped


def load_karvo_build(path: str):
    """The karvo extension module built at `path` (another build, loaded beside the
    installed one: each load of the file makes a module object of its own), called once
    for all rows and once per row."""
    found = importlib.util.spec_from_file_location("karvo", path)
    if found is None or found.loader is None:
        raise ImportError(f"{path} is not an extension module")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)

    def run_build(rows):
        profiler = module.Profiler()
        profiler.observe_dicts(rows)
        return profiler.flush()

    def run_build_rows(rows):
        profiler = module.Profiler()
        for row in rows:
            profiler.observe_dict(row)
        return profiler.flush()

    return run_build, run_build_rows


def is_peer(tool: str) -> bool:
    return tool not in OWN_TOOLS and not tool.startswith("karvo@")


# --------------------------------------------------------------------------
# Correctness check: karvo's report against an exact profile made in Python
# with the same value rules (None, NaN and unsupported types are null; ints
# and floats share one key space through their double; texts are compared
# as texts).


def exact_profile(rows: list[dict]) -> dict:
    columns: dict = {}
    for row in rows:
        for key, value in row.items():
            state = columns.get(key)
            if state is None:
                state = columns[key] = {"total": 0, "nulls": 0, "nones": 0, "min": math.inf,
                                        "max": -math.inf, "keys": set()}
            state["total"] += 1
            number = None
            if value is None:
                state["nones"] += 1
            elif isinstance(value, int):
                try:
                    number = float(value)
                except OverflowError:
                    number = None
            elif isinstance(value, float):
                number = None if math.isnan(value) else value
            elif isinstance(value, str):
                try:
                    value.encode("utf-8")
                    state["keys"].add(("s", value))
                    continue
                except UnicodeEncodeError:
                    pass
            if number is None:
                state["nulls"] += 1
                continue
            if number < state["min"]:
                state["min"] = number
            if number > state["max"]:
                state["max"] = number
            state["keys"].add(("n", struct.pack("<d", number)))
    return columns


def check_karvo(workload: Workload, tool: str, run_karvo, exact: dict
                ) -> tuple[bool, list[str]]:
    report = json.loads(run_karvo(workload.load()))
    problems = []
    if set(report) != set(exact):
        problems.append(f"columns differ: karvo {sorted(report)[:5]}..., "
                        f"exact {sorted(exact)[:5]}...")
    worst, worst_name = 0.0, ""
    for name in sorted(set(report) & set(exact)):
        got, want = report[name], exact[name]
        want_min = want["min"] if math.isfinite(want["min"]) else None
        want_max = want["max"] if math.isfinite(want["max"]) else None
        pairs = [("total_count", want["total"]), ("null_count", want["nulls"]),
                 ("min_val", want_min), ("max_val", want_max)]
        for field, expected in pairs:
            if got.get(field) != expected:
                problems.append(f"{name}.{field}: karvo {got.get(field)!r}, exact {expected!r}")
        distinct = len(want["keys"])
        estimate = got.get("estimated_cardinality")
        error = abs(estimate - distinct) / max(distinct, 1)
        if error >= worst:
            worst, worst_name = error, f"{name}: {estimate} for {distinct}"
        if error > ESTIMATE_TOLERANCE and abs(estimate - distinct) > 1:
            problems.append(f"{name}.estimated_cardinality: karvo {estimate}, exact {distinct}")
    summary = (f"check {workload.name}, {tool}: {len(exact)} columns, total/null/min/max exact "
               f"{'yes' if not problems else 'NO'}, "
               f"worst estimate error {worst * 100:.2f}% ({worst_name})")
    return not problems, [summary] + ["  " + p for p in problems[:20]]


# The rows from which polars infers the column types by default (infer_schema_length).
POLARS_INFER_ROWS = 100


def check_polars(workload: Workload, tool: str, run_polars, exact: dict) -> list[str]:
    """What the polars peer computed against the exact profile, so that a column it drops
    or a value it changes under its settings shows in the output. Polars counts an absent
    key and None as null, and a nested object or a list as a value (karvo's rules make
    those null); bounds are compared for the columns it types as numeric or boolean."""
    try:
        height, stats = run_polars(workload.load())
    except Exception as error:
        return [f"check {workload.name}, {tool}: fails: {type(error).__name__}: "
                f"{str(error).splitlines()[0]}"]
    problems = []
    missing = sorted(set(exact) - set(stats))
    if missing:
        problems.append(f"columns missing from its frame: {', '.join(missing)}")
    for name in sorted(set(exact) & set(stats)):
        got, want = stats[name], exact[name]
        nulls = height - want["total"] + want["nones"]
        if got["nulls"] != nulls:
            problems.append(f"{name}: {got['nulls']} nulls where the rows have {nulls} "
                            "(absent or None): values were turned into null")
        if "min" in got and math.isfinite(want["min"]):
            bounds = (float(got["min"]), float(got["max"]))
            if bounds != (want["min"], want["max"]):
                problems.append(f"{name}: bounds {bounds}, exact ({want['min']}, "
                                f"{want['max']}): values were changed")
        elif math.isfinite(want["min"]):
            problems.append(f"{name}: numbers in the rows, but no bounds (typed as text)")
    verdict = "same columns, nulls and bounds as the rows" if not problems else "DIFFERS"
    if tool == "polars":
        rows = workload.load()
        early = {key for row in rows[:POLARS_INFER_ROWS] for key in row}
        late = [key for key in exact if key not in early]
        verdict += (f" (first seen after row {POLARS_INFER_ROWS}: {', '.join(late)}" if late
                    else f" (every column appears in the first {POLARS_INFER_ROWS} rows")
        verdict += ", which its defaults infer the types from)"
    return [f"check {workload.name}, {tool}: {verdict}"] + ["  " + p for p in problems[:20]]


# --------------------------------------------------------------------------
# Timing.


# The clock that ranks the tools: "wall" (the default) is elapsed time, what a
# caller waits for; "cpu" is the CPU time of this process, all its threads
# together. Tools that work on more than one thread (polars on every CPU, karvo
# on a second one in a large call) finish sooner than their CPU time says, so
# only the wall clock ranks them as their users feel them. On a machine shared
# with other work the CPU time leaves out the time spent waiting for a core; the
# table shows the other clock too, so both can be read.
CLOCKS = {"cpu": time.process_time_ns, "wall": time.perf_counter_ns}
OTHER_CLOCK = {"cpu": "wall", "wall": "cpu"}
clock_name = "wall"
clock_ns = CLOCKS[clock_name]


def time_call(fn, rows) -> tuple[float, float]:
    """(seconds on the chosen clock, seconds on the other clock) of one call."""
    other_ns = CLOCKS[OTHER_CLOCK[clock_name]]
    gc.collect()
    gc.disable()
    try:
        other_start = other_ns()
        start = clock_ns()
        fn(rows)
        seconds = (clock_ns() - start) / 1e9
        return seconds, (other_ns() - other_start) / 1e9
    finally:
        gc.enable()


# Per dataframe peer, the share of each round's time spent building the frame.
LOAD_SHARE: dict = {}


def measure(workload: Workload, tools: dict, repeat: int, errors: dict) -> tuple[dict, dict]:
    """Seconds per round per tool on the chosen clock, and on the other clock likewise;
    the tools take turns within each round."""
    times: dict = {name: [] for name in tools}
    others: dict = {name: [] for name in tools}
    for _ in range(repeat):
        for name, fn in tools.items():
            if name in errors:
                continue
            rows = workload.load()
            try:
                seconds, other_seconds = time_call(fn, rows)
                times[name].append(seconds)
                others[name].append(other_seconds)
                if name in LOAD_PHASE:
                    LOAD_SHARE.setdefault(name, []).append(LOAD_PHASE.pop(name) / seconds)
            except Exception as error:  # a tool that fails is reported, not fatal
                lines = str(error).strip().splitlines()
                errors[name] = f"{type(error).__name__}: {lines[0] if lines else ''}"
            del rows
    return ({name: t for name, t in times.items() if t},
            {name: t for name, t in others.items() if t})


def print_table(workload: Workload, times: dict, others: dict) -> dict:
    cells = workload.cells
    best = {name: min(t) for name, t in times.items()}
    floor = best.get("floor")
    karvo = best.get("karvo")
    print(f"\n== {workload.name}: {workload.rows:,} rows, {workload.columns} columns, "
          f"{cells:,} cells ({workload.description})")
    other = OTHER_CLOCK[clock_name]
    header = (f"{'tool':<13}{'best ms':>10}{'median ms':>11}{other + ' ms':>10}{'ns/cell':>10}"
              f"{'Mcells/s':>10}{'x floor':>9}{'x karvo':>12}")
    print(header)
    print("-" * len(header))
    rows = {}
    for name, seconds in sorted(best.items(), key=lambda item: item[1]):
        ns_cell = seconds * 1e9 / cells
        x_floor = f"{seconds / floor:.2f}" if floor else "-"
        if karvo and name not in ("karvo", "floor"):  # how much faster karvo is
            vs_karvo = f"{seconds / karvo:.1f}x"
        else:
            vs_karvo = "-"
        print(f"{name:<13}{seconds * 1e3:>10.1f}{statistics.median(times[name]) * 1e3:>11.1f}"
              f"{min(others[name]) * 1e3:>10.1f}{ns_cell:>10.1f}{cells / seconds / 1e6:>10.2f}"
              f"{x_floor:>9}{vs_karvo:>12}")
        rows[name] = {"best_s": seconds, "median_s": statistics.median(times[name]),
                      f"best_{clock_name}_s": seconds, f"best_{other}_s": min(others[name]),
                      "ns_per_cell": ns_cell, "mcells_per_s": cells / seconds / 1e6,
                      "x_floor": seconds / floor if floor else None,
                      "peer_over_karvo": seconds / karvo if karvo and is_peer(name) else None}
        if karvo and name.startswith("karvo@"):
            rows[name]["build_over_karvo"] = seconds / karvo
    for name, shares in sorted(LOAD_SHARE.items()):
        print(f"  {name}: {statistics.median(shares):.0%} of its time goes into building "
              "the frame from the rows, the rest into the column statistics")
        if name in rows:
            rows[name]["load_share"] = statistics.median(shares)
    LOAD_SHARE.clear()
    for name, notes in sorted(PEER_NOTES.items()):
        for note in sorted(notes):
            print(f"  {name}: {note}")
    PEER_NOTES.clear()
    if floor and karvo and len(times["karvo"]) == len(times["floor"]):
        # karvo and the floor run next to each other in every round, so the
        # ratio within a round is little disturbed by load that comes and goes.
        rows["karvo"]["x_floor_paired"] = paired_ratio(times, "karvo", "floor")
    row_call_line(times, best, rows)
    return rows


def paired_ratio(times: dict, tool: str, base: str) -> float:
    """The median over the rounds of tool's time over base's time in the same round."""
    return statistics.median(t / b for t, b in zip(times[tool], times[base]))


def row_call_line(times: dict, best: dict, rows: dict) -> None:
    """Prints what one call per row costs against one call for all rows, for karvo and
    for the floor (whose per-row figure is the Python loop and call that any per-row
    caller pays)."""
    parts = []
    builds = [name for name in best if name.startswith("karvo@") and not name.endswith("-row")]
    for own in ("karvo", "floor", *builds):
        per_row = f"{own}-row"
        if own not in best or per_row not in best:
            continue
        ratio = best[per_row] / best[own]
        rows[own]["row_call_ratio"] = ratio
        text = (f"{own} {rows[per_row]['ns_per_cell']:.1f} ns/cell, {ratio:.2f}x its "
                "one call")
        if len(times[per_row]) == len(times[own]):
            paired = paired_ratio(times, per_row, own)
            rows[own]["row_call_ratio_paired"] = paired
            text += f" (per-round median {paired:.2f}x)"
        parts.append(text)
    if parts:
        print("  one call per row: " + "; ".join(parts))


# --------------------------------------------------------------------------
# Memory, measured in a child process so that nothing of the parent (other
# workloads, other tools' leftovers) is in its figures.


def read_status() -> dict:
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                fields[name] = int(rest.split()[0]) * 1024
    return fields


def reset_peak() -> bool:
    """Sets the peak (VmHWM) back to the current RSS; Linux 4.0 and later."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def trim_heap() -> None:
    """Hands freed heap pages back to the system, so RSS shows what is still in use."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def deep_size(rows: list[dict]) -> int:
    """Bytes of the list, its dicts and every distinct object they hold."""
    seen = set()
    total = sys.getsizeof(rows)
    for row in rows:
        total += sys.getsizeof(row)
        for key, value in row.items():
            for obj in (key, value):
                if id(obj) not in seen:
                    seen.add(id(obj))
                    total += sys.getsizeof(obj)
    return total


def memory_child(tool: str, text_path: str) -> None:
    """Runs in a child: prints the memory figures of one tool on one workload as JSON."""
    if tool == "karvo":
        import karvo

        profiler = karvo.Profiler()
        run = profiler.observe_dicts
    else:
        run = build_floor().walk
        profiler = None
    text = Path(text_path).read_text(encoding="utf-8")
    gc.collect()
    trim_heap()
    before_rows = read_status()["VmRSS"]
    rows = json.loads(text)
    gc.collect()
    trim_heap()
    rows_rss = read_status()["VmRSS"] - before_rows
    del text
    gc.collect()
    trim_heap()
    cells = sum(len(row) for row in rows)
    columns = len({key for row in rows for key in row})
    peak_reset = reset_peak()
    base = read_status()["VmRSS"]
    gc.disable()
    run(rows)
    gc.enable()
    during = read_status()
    trim_heap()
    after = read_status()["VmRSS"]
    if profiler is not None:
        profiler.flush()
    trim_heap()
    after_flush = read_status()["VmRSS"]
    print(json.dumps({
        "tool": tool, "cells": cells, "columns": columns,
        "rows_rss": rows_rss, "rows_deep_size": deep_size(rows),
        "base_rss": base, "peak_rss": during["VmHWM"], "peak_reset": peak_reset,
        "after_rss": after, "after_flush_rss": after_flush,
    }))


def measure_memory(workload: Workload, tool: str) -> dict | None:
    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8",
                                     delete=False) as handle:
        handle.write(workload.text)
        path = handle.name
    try:
        result = subprocess.run([sys.executable, __file__, "--memory-child", tool, path],
                                capture_output=True, text=True)
    finally:
        os.unlink(path)
    if result.returncode != 0:
        print(f"  memory of {tool} failed: {result.stderr.strip()[-400:]}")
        return None
    return json.loads(result.stdout.strip().splitlines()[-1])


def print_memory(workload: Workload, figures: dict) -> dict:
    mib = 1024 * 1024
    print(f"\n== memory, {workload.name}: {workload.cells:,} cells, {workload.columns} columns")
    header = (f"{'tool':<8}{'rows RSS':>11}{'rows deep':>11}{'base RSS':>11}{'peak RSS':>11}"
              f"{'transient':>11}{'B/cell':>8}{'kept':>10}{'B/column':>10}{'peak/rows':>10}")
    print(header)
    print("-" * len(header))
    out = {}
    for tool, m in figures.items():
        transient = m["peak_rss"] - m["base_rss"]
        kept = m["after_rss"] - m["base_rss"]
        per_cell = transient / m["cells"]
        per_column = kept / m["columns"]
        print(f"{tool:<8}{m['rows_rss'] / mib:>9.1f}Mi{m['rows_deep_size'] / mib:>9.1f}Mi"
              f"{m['base_rss'] / mib:>9.1f}Mi{m['peak_rss'] / mib:>9.1f}Mi"
              f"{transient / mib:>9.2f}Mi{per_cell:>8.2f}{kept / 1024:>8.0f}Ki"
              f"{per_column:>10.0f}{transient / m['rows_rss']:>9.1%}")
        if not m["peak_reset"]:
            print("  (the peak could not be reset here: transient figures are not valid)")
        out[tool] = dict(m, transient=transient, transient_per_cell=per_cell,
                         kept=kept, kept_per_column=per_column)
    return out


# --------------------------------------------------------------------------


# --------------------------------------------------------------------------
# Per-kind figures: karvo and the floor on columns that all hold one kind of
# value, to locate where karvo's time goes (conversion, bounds, sketch form).


def kind_columns(rng: random.Random, n: int) -> dict:
    return {
        "None": [None] * n,
        "bool": [rng.random() < 0.5 for _ in range(n)],
        "int, one value": [7] * n,
        "int, 1,000 values": [rng.randrange(1000) for _ in range(n)],
        "int, unique": rng.sample(range(10**12), n),
        "float, 1,000 values": [round(rng.randrange(1000) * 0.25, 2) for _ in range(n)],
        "float, unique": [rng.random() for _ in range(n)],
        "str, 1,000 values": [f"value{rng.randrange(1000):04d}xx" for _ in range(n)],
        "str, unique": [random_text(rng, 20, 20) for _ in range(n)],
        "str, unique non-ASCII": [random_text(rng, 20, 20, accented=1.0) for _ in range(n)],
    }


def run_kinds(tools: dict, repeat: int, scale: float) -> dict:
    cells = max(10, int(400_000 * scale))
    columns = 10
    print(f"\n== per kind: {cells // columns:,} rows x {columns} columns, every cell of one kind "
          "(ns per cell)")
    chosen = {name: tools[name] for name in ("floor", "karvo") if name in tools}
    print(f"{'kind':<24}" + "".join(f"{name:>10}" for name in chosen) + f"{'x floor':>10}")
    out = {}
    for kind, values in kind_columns(random.Random(f"{SEED}:kinds"), cells).items():
        rows = [{f"c{j}": values[i * columns + j] for j in range(columns)}
                for i in range(cells // columns)]
        text = json.dumps(rows, ensure_ascii=False)
        best = {name: min(time_call(fn, json.loads(text))[0] for _ in range(repeat))
                for name, fn in chosen.items()}
        ratio = (f"{best['karvo'] / best['floor']:.2f}"
                 if "karvo" in best and "floor" in best else "-")
        print(f"{kind:<24}" + "".join(f"{t * 1e9 / cells:>10.1f}" for t in best.values())
              + f"{ratio:>10}")
        out[kind] = {name: t * 1e9 / cells for name, t in best.items()}
    return out


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="a tenth of the rows and best of 3 (for a fast look)")
    parser.add_argument("--only", default=",".join(ALL_TOOLS),
                        help=f"comma-separated tools (default: all of {','.join(ALL_TOOLS)})")
    parser.add_argument("--workloads", default=",".join(ALL_WORKLOADS),
                        help=f"comma-separated workloads (default: {','.join(ALL_WORKLOADS)})")
    parser.add_argument("--repeat", type=int, default=None,
                        help="timed rounds per tool, best taken (default 5, 3 with --quick)")
    parser.add_argument("--scale", type=float, default=None,
                        help="fraction of the nominal rows (default 1, 0.1 with --quick)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="wall",
                        help="what ranks the tools: elapsed time (default) or process CPU time")
    parser.add_argument("--kinds", action="store_true",
                        help="instead of the workloads: karvo and the floor on columns of one "
                             "kind of value each (where karvo's time goes)")
    parser.add_argument("--no-check", action="store_true", help="skip the exactness check")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory figures")
    parser.add_argument("--json", metavar="PATH", help="also write all figures as JSON")
    parser.add_argument("--baseline", metavar="PATH",
                        help="a JSON file written by --json earlier: "
                             "print before/after ns per cell")
    parser.add_argument("--karvo-build", action="append", default=[], metavar="NAME=PATH",
                        help="also time the karvo extension module at PATH (say, a build of an "
                             "earlier commit) as tool karvo@NAME (and karvo@NAME-row when karvo-row is "
                             "timed), in the same rounds; repeatable")
    parser.add_argument("--memory-child", nargs=2, metavar=("TOOL", "FILE"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.repeat = args.repeat or (3 if args.quick else 5)
    args.scale = args.scale or (0.1 if args.quick else 1.0)
    args.only = [t.strip() for t in args.only.split(",") if t.strip()]
    args.workloads = [w.strip() for w in args.workloads.split(",") if w.strip()]
    for tool in args.only:
        if tool not in ALL_TOOLS:
            parser.error(f"unknown tool {tool!r}; choose from {', '.join(ALL_TOOLS)}")
    builds = {}
    for given in args.karvo_build:
        name, sep, path = given.partition("=")
        if not sep or not name or not path:
            parser.error(f"--karvo-build wants NAME=PATH, not {given!r}")
        builds[f"karvo@{name}"] = path
    args.karvo_build = builds
    for name in args.workloads:
        if name not in WORKLOADS:
            parser.error(f"unknown workload {name!r}; choose from {', '.join(ALL_WORKLOADS)}")
    return args


def print_summary(results: dict, memory: dict) -> bool:
    print(f"\n== summary (targets: karvo at most {TARGET_FLOOR_RATIO:g}x the floor; at least "
          f"{TARGET_PEER_SPEEDUP:g}x faster than polars with its defaults; one observe_dict "
          f"per row at most {TARGET_ROW_CALL_RATIO:g}x the per-cell cost of one call on "
          f"{' and '.join(ROW_CALL_WORKLOADS)}; at most {TARGET_TRANSIENT_BYTES_PER_CELL:g} B "
          f"per cell transient and {TARGET_PERSISTENT_BYTES_PER_COLUMN // 1024} KiB per column "
          "kept)")
    all_met = True

    def verdict(ok: bool) -> str:
        nonlocal all_met
        all_met &= ok
        return "ok" if ok else "MISSED"

    for name, rows in results.items():
        karvo = rows.get("karvo")
        if not karvo:
            continue
        parts = []
        if karvo["x_floor"] is not None:
            paired = karvo.get("x_floor_paired")
            parts.append(f"{karvo['x_floor']:.2f}x floor "
                         f"{verdict(karvo['x_floor'] <= TARGET_FLOOR_RATIO)}"
                         + (f" (per-round median {paired:.2f}x)" if paired else ""))
        polars = rows.get("polars")
        if polars:
            speedup = polars["peer_over_karvo"]
            parts.append(f"{speedup:.1f}x faster than polars "
                         f"{verdict(speedup >= TARGET_PEER_SPEEDUP)}")
        peers = {tool: r["peer_over_karvo"] for tool, r in rows.items()
                 if r.get("peer_over_karvo") is not None}
        if peers:
            tool = min(peers, key=peers.get)
            if tool != "polars":
                parts.append(f"{peers[tool]:.1f}x faster than the fastest peer ({tool})")
        ratio = karvo.get("row_call_ratio")
        if ratio is not None:
            text = f"per-row calls {ratio:.2f}x one call"
            if name in ROW_CALL_WORKLOADS:
                text += " " + verdict(ratio <= TARGET_ROW_CALL_RATIO)
            parts.append(text)
        print(f"{name:<15}karvo {karvo['ns_per_cell']:.1f} ns/cell: " + "; ".join(parts))
    for name, tools in memory.items():
        m = tools.get("karvo")
        if m:
            per_cell, per_column = m["transient_per_cell"], m["kept_per_column"]
            print(f"{name:<15}karvo memory: {per_cell:.1f} B/cell transient "
                  f"{verdict(per_cell <= TARGET_TRANSIENT_BYTES_PER_CELL)}, "
                  f"{per_column:,.0f} B/column kept "
                  f"{verdict(per_column <= TARGET_PERSISTENT_BYTES_PER_COLUMN)}")
    return all_met


def print_baseline(path: str, scale: float, results: dict, memory: dict) -> None:
    """Before/after figures against a run saved with --json."""
    before = json.loads(Path(path).read_text())
    print(f"\n== against {path} (ns per cell before -> after, and the speed-up)")
    old_scale = before.get("args", {}).get("scale")
    if old_scale != scale:
        print(f"warning: that run had scale {old_scale}, this one {scale}: "
              "per-cell figures of different sizes are not comparable")
    for name, rows in results.items():
        old_rows = before.get("times", {}).get(name, {})
        parts = []
        for tool, row in rows.items():
            old = old_rows.get(tool)
            if old:
                parts.append(f"{tool} {old['ns_per_cell']:.1f} -> {row['ns_per_cell']:.1f} "
                             f"({old['ns_per_cell'] / row['ns_per_cell']:.2f}x)")
        if parts:
            print(f"{name:<15}" + "; ".join(parts))
    for name, tools in memory.items():
        old = before.get("memory", {}).get(name, {}).get("karvo")
        new = tools.get("karvo")
        if old and new:
            print(f"{name:<15}karvo transient {old['transient_per_cell']:.1f} -> "
                  f"{new['transient_per_cell']:.1f} B/cell, kept {old['kept_per_column']:.0f} -> "
                  f"{new['kept_per_column']:.0f} B/column")


def run_checks(workload: Workload, tools: dict) -> bool:
    """Checks karvo (both ways of calling it) against the exact profile, and shows what the
    polars peers computed against it. Returns False when karvo's report is wrong."""
    checked = [tool for tool in ("karvo", "karvo-row", "polars", "polars-scan") if tool in tools]
    if not checked:
        return True
    exact = exact_profile(workload.load())
    ok = True
    for tool in checked:
        if tool.startswith("polars"):
            print("\n".join(check_polars(workload, tool, tools[tool], exact)))
            continue
        try:
            good, lines = check_karvo(workload, tool, tools[tool], exact)
        except Exception as error:
            good, lines = False, [f"check {workload.name}, {tool}: failed: "
                                  f"{type(error).__name__}: {error}"]
        ok &= good
        print("\n".join(lines))
    return ok


def main() -> int:
    args = parse_args()
    global clock_ns, clock_name
    clock_name = args.clock
    clock_ns = CLOCKS[args.clock]
    if args.memory_child:
        memory_child(*args.memory_child)
        return 0

    notes = []
    floor_module = None
    if "floor" in args.only or "karvo" in args.only:
        try:
            floor_module = build_floor()
        except (subprocess.CalledProcessError, OSError, ImportError) as error:
            notes.append(f"floor: could not be built ({error})")
    tools, skipped = make_tools(floor_module)
    tools = {name: fn for name, fn in tools.items() if name in args.only}
    for name, reason in skipped.items():
        if name in args.only:
            notes.append(f"{name}: skipped, {reason}")
    for name, path in args.karvo_build.items():
        try:
            one_call, per_row = load_karvo_build(path)
            tools[name] = one_call
            if "karvo-row" in args.only:
                tools[f"{name}-row"] = per_row
        except (ImportError, OSError) as error:
            notes.append(f"{name}: skipped, {path} could not be loaded ({error})")

    print(f"karvo benchmark: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
          f"best of {args.repeat} on the {args.clock} clock, scale {args.scale:g}, "
          f"tools {', '.join(tools)}")
    for note in notes:
        print("note: " + note)
    if "polars-scan" in tools:
        print("note: polars-scan is polars NOT as its defaults run it: types inferred from "
              "every row (infer_schema_length=None) and strict=False")

    if args.kinds:
        kinds = run_kinds(tools, args.repeat, args.scale)
        if args.json:
            Path(args.json).write_text(json.dumps({"kinds": kinds}, indent=2))
        return 0

    results: dict = {}
    memory: dict = {}
    checks_ok = True
    errors: dict = {}
    for name in args.workloads:
        started = time.perf_counter()
        workload = Workload(name, args.scale)
        print(f"\n(generated {name} in {time.perf_counter() - started:.1f} s)")
        if not args.no_check:
            checks_ok &= run_checks(workload, tools)
        failed = errors.setdefault(name, {})
        times, others = measure(workload, tools, args.repeat, failed)
        results[name] = print_table(workload, times, others)
        for tool, error in failed.items():
            print(f"  {tool}: failed on this workload and was dropped: {error}")
        if not args.no_memory and "karvo" in tools and name in MEMORY_WORKLOADS:
            figures = {tool: m for tool in ("floor", "karvo")
                       if (tool == "karvo" or floor_module is not None)
                       and (m := measure_memory(workload, tool)) is not None}
            memory[name] = print_memory(workload, figures)
        del workload
        gc.collect()
    targets_met = print_summary(results, memory)
    if args.baseline:
        print_baseline(args.baseline, args.scale, results, memory)
    if args.json:
        Path(args.json).write_text(json.dumps(
            {"args": {k: v for k, v in vars(args).items() if k != "memory_child"},
             "times": results, "memory": memory, "checks_ok": checks_ok,
             "targets_met": targets_met, "notes": notes, "errors": errors}, indent=2))
    return 0 if checks_ok else 1


if __name__ == "__main__":
    sys.exit(main())
