"""How values are told apart in the distinct count, and what reading them leaves behind.

Ints that a double holds count as that double (1, 1.0 and True are one value); wider ints
count by their exact value. Texts count by a keyed hash of all their UTF-8 bytes and their
length. Reading a text value leaves the caller's str object as it was.
"""

import json
import random
import sys

import pytest

import karvo
from karvo_dist import Profile
from fx_collide import colliding_names, fx_hash


def profile(values, observe="observe_dicts"):
    p = karvo.Profiler()
    if observe == "observe_dicts":
        p.observe_dicts([{"v": value} for value in values])
    else:
        for value in values:
            p.observe_dict({"v": value})
    return json.loads(p.flush())["v"]


def within(estimate, n, fraction):
    return abs(estimate - n) <= fraction * n


TWO_53 = 2**53


class Int(int):
    """An int subclass: read through __index__, the general rules."""

TWO_63 = 2**63

# (label, values, distinct count, min_val, max_val). Counts up to a few thousand are exact
# unless two values share one of the sketch's 2^25 positions (one short, in about 1.5% of
# runs at a thousand values).
INT_CASES = [
    ("ids_2**60+i", [2**60 + i for i in range(10_000)], 10_000, float(2**60),
     float(2**60 + 9_999)),
    ("2**53_and_next", [TWO_53, TWO_53 + 1], 2, float(TWO_53), float(TWO_53)),
    ("minus_2**53_and_next", [-TWO_53, -TWO_53 - 1], 2, float(-TWO_53), float(-TWO_53)),
    ("odd_neighbours_past_2**53", [TWO_53 + 1, TWO_53 + 3, TWO_53 + 5], 3, float(TWO_53),
     float(TWO_53 + 4)),
    ("int_float_bool_one_value", [1, 1.0, True], 1, 1.0, 1.0),
    ("zero_false_and_zero_point_zero", [0, False, 0.0], 1, 0.0, 0.0),
    ("zero_and_negative_zero", [0, -0.0], 2, 0.0, 0.0),
    ("int_and_float_of_2**63-1024", [TWO_63 - 1024, float(TWO_63 - 1024)], 1,
     float(TWO_63 - 1024), float(TWO_63 - 1024)),
    ("int_min_and_its_float", [-TWO_63, float(-TWO_63)], 1, float(-TWO_63), float(-TWO_63)),
    ("int_max_and_the_float_it_rounds_to", [TWO_63 - 1, float(TWO_63)], 2, float(TWO_63),
     float(TWO_63)),
    ("int_min_plus_one_and_int_min", [-TWO_63 + 1, -TWO_63], 2, float(-TWO_63), float(-TWO_63)),
    # Unsigned 64-bit hashes and ids: floats for the bounds, counted by their exact value.
    ("unsigned_ids_2**64-1-i", [2**64 - 1 - i for i in range(10_000)], 10_000,
     float(2**64 - 10_000), float(2**64 - 1)),
    ("unsigned_and_the_float_it_rounds_to", [2**64 - 1, float(2**64)], 2, float(2**64),
     float(2**64)),
    ("unsigned_as_int_subclass_too", [2**64 - 1, Int(2**64 - 1), Int(2**64 - 2)], 2,
     float(2**64), float(2**64)),
    ("unsigned_2**63_is_a_doubles", [TWO_63, float(TWO_63)], 1, float(TWO_63), float(TWO_63)),
    ("unsigned_not_the_signed_of_its_bits", [TWO_63 + 1, -TWO_63 + 1], 2, float(-TWO_63),
     float(TWO_63)),
]


@pytest.mark.parametrize("label,values,distinct,low,high", INT_CASES,
                         ids=[case[0] for case in INT_CASES])
def test_ints_beyond_a_double_keep_their_identity(label, values, distinct, low, high):
    column = profile(values)
    if distinct > 5_000:
        assert within(column["estimated_cardinality"], distinct, 0.03)
    else:
        assert distinct - (distinct >= 1_000) <= column["estimated_cardinality"] <= distinct
    # The bounds stay the ints' doubles.
    assert (column["min_val"], column["max_val"]) == (low, high)
    assert column["total_count"] == len(values)


NUL_TEXTS = ["", "\x00", "\x00\x00", "\x00" * 4, "\x00" * 8, "a", "a\x00", "ab", "ab\x00\x00"]
VALUE_TEXTS = [f"value {i}" for i in range(1000)]


def _colliding_texts():
    texts = colliding_names(20_000, seed=11)
    assert len({fx_hash(t.encode()) for t in texts}) == 1  # the fixture is what it claims
    return texts


TEXT_CASES = [
    pytest.param("trailing_nul_bytes", lambda: NUL_TEXTS, len(NUL_TEXTS), id="trailing_nul_bytes"),
    pytest.param("value_0_to_999", lambda: VALUE_TEXTS, 1000, id="value_0_to_999"),
    pytest.param("one_fxhash_for_20000", _colliding_texts, 20_000, id="one_fxhash_for_20000",
                 marks=pytest.mark.scale),
]


@pytest.mark.parametrize("label,texts,distinct", TEXT_CASES)
def test_distinct_texts_are_distinct_values(label, texts, distinct):
    texts = texts()
    assert len(set(texts)) == distinct
    estimate = profile(texts * 2)["estimated_cardinality"]
    if distinct > 5_000:
        assert within(estimate, distinct, 0.03)
    else:
        assert distinct - (distinct >= 1_000) <= estimate <= distinct


class Text(str):
    """A str subclass: read through another path than an exact str."""


# Texts of each storage width, and ASCII for comparison.
GROWTH_CASES = [
    ("ascii", "plain text " * 100),
    ("latin_1", "caf\u00e9 cr\u00e8me " * 100),
    ("two_byte", "\u65e5\u672c\u8a9e\u306e\u6587 " * 100),
    ("four_byte", "\U0001f600 smile " * 100),
    ("one_non_ascii_at_the_end", "x" * 999 + "\u00ff"),
    ("short_non_ascii", "\u00e9"),
]


@pytest.mark.parametrize("observe", ["observe_dicts", "observe_dict"])
@pytest.mark.parametrize("label,text", GROWTH_CASES, ids=[case[0] for case in GROWTH_CASES])
def test_text_values_are_left_as_they_were(label, text, observe):
    # A fresh object: literals are shared, and another test may have grown this one.
    value = "".join(list(text))
    before = sys.getsizeof(value)
    column = profile([value], observe)
    assert sys.getsizeof(value) == before
    assert column["estimated_cardinality"] == 1


@pytest.mark.parametrize("label,text", GROWTH_CASES, ids=[case[0] for case in GROWTH_CASES])
def test_a_text_counts_alike_however_it_is_read(label, text):
    # An exact str and a str subclass of the same text are hashed from the same UTF-8.
    column = profile(["".join(list(text)), Text(text), "".join(list(text))])
    assert column["estimated_cardinality"] == 1


def test_lone_surrogate_value_is_null_and_left_as_it_was():
    value = "".join(["a\u00e9", "\ud800"])
    before = sys.getsizeof(value)
    column = profile([value, "a\u00e9"])
    assert (column["null_count"], column["estimated_cardinality"]) == (1, 1)
    assert sys.getsizeof(value) == before


# Code points a text may hold, by the length of their UTF-8 and the runs real text has:
# ASCII (NUL included), accented Latin and combining marks, CJK and the BMP's top, and
# every supplementary plane up to U+10FFFF (emoji among them).
CODE_POINT_RANGES = [(0x00, 0x7F), (0x80, 0x7FF), (0x300, 0x36F), (0x800, 0xD7FF),
                     (0xE000, 0xFFFF), (0x10000, 0x10FFFF), (0x1F300, 0x1FAFF)]


def random_text(rng, length, surrogate=False):
    """A text of `length` code points drawn from every range above, ASCII in runs; with
    `surrogate`, one lone surrogate somewhere in it."""
    chars = []
    while len(chars) < length:
        if rng.random() < 0.4:
            chars.extend("ascii run 0123"[: rng.randrange(1, 9)])
        else:
            low, high = rng.choice(CODE_POINT_RANGES)
            chars.append(chr(rng.randint(low, high)))
    chars = chars[:length]
    if surrogate:
        chars[rng.randrange(length)] = chr(rng.randint(0xD800, 0xDFFF))
    return "".join(chars)


def profiled(rows):
    profile = Profile(5)
    profile.observe_dicts(rows)
    return profile


# (threads, chunk_cells) of karvo_dist's fold, each test in a child process (conftest.py):
# the calling thread alone, and a worker from the first row given chunks of seven cells.
FOLDS = [(1, 7), (2, 7)]


@pytest.mark.parametrize("fold", FOLDS)
def test_non_ascii_texts_key_as_the_interpreters_utf8(fold):
    # Exact str values are encoded by karvo itself; a str subclass's text is the UTF-8 the
    # interpreter's own encoder makes. Every text, short or long, must reach the sketch as
    # the same bytes.
    rng = random.Random(2024)
    lengths = [1, 2, 3, 5, 8, 13, 20, 40, 100, 255, 256, 257, 300, 1000, 5000]
    texts = [random_text(rng, rng.choice(lengths)) for _ in range(1500)]
    texts += ["\x00\u00e9", "\u00e9\x00", "e\u0301", "\U0010ffff", "\uffff\U00010000",
              "\u07ff\u0800", "\x7f\x80", "\U0001F468\u200d\U0001F469\u200d\U0001F467"]
    # Around the longest text encoded in place (16384 code points); past it the
    # interpreter's encoder is used.
    texts += [random_text(rng, length) for length in (16383, 16384, 16385, 20000)]
    texts = [t for t in texts if not t.isascii()]
    exact = [{"text": text, "n": i % 3} for i, text in enumerate(texts)]
    through_encoder = [{"text": Text(text), "n": i % 3} for i, text in enumerate(texts)]
    direct, encoded = profiled(exact), profiled(through_encoder)
    assert direct.to_bytes(version=1) == encoded.to_bytes(version=1)
    # A str subclass is another kind of object than a str, but the same text.
    for got, want in zip(direct.summary().values(), encoded.summary().values()):
        assert (got["text"], got["top_values"]) == (want["text"], want["top_values"])
    assert profiled(exact).report() == profiled(through_encoder).report()


@pytest.mark.parametrize("fold", FOLDS)
def test_texts_with_a_lone_surrogate_are_null(fold):
    rng = random.Random(7)
    bad = [random_text(rng, rng.choice([1, 6, 30, 300, 2000]), surrogate=True)
           for _ in range(200)]
    good = [random_text(rng, 12) for _ in range(5)]
    rows = [{"text": text} for text in bad + good]
    column = json.loads(profiled(rows).report())["text"]
    assert column["null_count"] == len(bad)
    assert column["estimated_cardinality"] == len(set(good))


def test_a_profiled_list_of_non_ascii_rows_keeps_its_size():
    rows = [{"name": f"r\u00e9sum\u00e9 {i}", "city": f"M\u00fcnchen {i % 50}"} for i in range(2000)]
    before = sum(sys.getsizeof(v) for row in rows for v in row.values())
    p = karvo.Profiler()
    p.observe_dicts(rows)
    report = json.loads(p.flush())
    assert sum(sys.getsizeof(v) for row in rows for v in row.values()) == before
    assert within(report["name"]["estimated_cardinality"], 2000, 0.01)
    assert report["city"]["estimated_cardinality"] == 50
