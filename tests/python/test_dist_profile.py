"""karvo_dist.Profile: merging equals observing, the stored form refuses bad input by name,
and a profile pickles, prints and compares as users expect."""

import copy
import json
import pickle
import subprocess
import sys

import pytest

import karvo
from karvo_dist import FORMAT_VERSION, Profile
from profile_checks import assert_same_values

# ---------------------------------------------------------------------------------------
# Merging equals observing.

MIXED = [{"a": 1, "t": "x"}, {"a": None, "t": "y"}, {"a": 2.5}, {"t": "x", "f": float("nan")},
         {"a": True, "t": "", "big": 2**70}, {"big": 2**1100, "a": -7}]
ONLY_IN_A = [{"left": i} for i in range(5)] + [{"shared": "s"}]
ONLY_IN_B = [{"shared": "s"}, {"right": 1.5, "shared": None}]
ZERO_TIES = [{"z": 0.0}, {"z": -0.0}, {"z": 0.0}, {"w": -0.0}, {"w": 0.0}]
DENSE = [{"d": i * 7919, "k": i % 3} for i in range(20000)]
MANY_TEXTS = [{"s": f"text {i}", "n": i / 7} for i in range(9000)]

# (rows, split points): A observes rows[:split], B rows[split:].
CASES = {
    "mixed values": (MIXED, [0, 1, 3, 6]),
    "a column in one side only": (ONLY_IN_A + ONLY_IN_B, [6, 3, 7]),
    "0.0 and -0.0 ties": (ZERO_TIES, [1, 2, 4]),
    "a dense column": (DENSE, [1, 6000, 19999]),
    "texts sparse on both sides, dense joined": (MANY_TEXTS, [4500, 3500]),
}


def observed(rows, seed=0):
    p = Profile(seed)
    p.observe_dicts(rows)
    return p


@pytest.mark.parametrize("name", CASES)
def test_merge_equals_observing_in_one_profile(name):
    rows, splits = CASES[name]
    whole = observed(rows)
    for split in splits:
        a, b = observed(rows[:split]), observed(rows[split:])
        a.merge(b)
        assert a.report() == whole.report(), (name, split)
        assert_same_values(a, whole)
        assert a.columns == whole.columns


@pytest.mark.parametrize("name", CASES)
def test_merge_through_the_stored_form_and_in_several_pieces(name):
    rows, _ = CASES[name]
    thirds = [rows[i * len(rows) // 3:(i + 1) * len(rows) // 3] for i in range(3)]
    stored = [observed(part).to_bytes() for part in thirds]
    restored = [Profile.from_bytes(data) for data in stored]
    merged = Profile.merged(restored)
    assert merged.report() == observed(rows).report()
    first = restored[0]
    first.merge(*restored[1:])
    assert_same_values(first, observed(rows))
    assert first == merged


def test_counts_bounds_and_order_match_karvo_profiler():
    rows = MIXED + ONLY_IN_A + ZERO_TIES
    reference = karvo.Profiler()
    reference.observe_dicts(rows)
    expected = json.loads(reference.flush())
    a, b = observed(rows[:5]), observed(rows[5:])
    a.merge(b)
    got = json.loads(a.report())
    assert list(got) == list(expected)
    for column in got.values():
        del column["estimated_cardinality"]
    for column in expected.values():
        del column["estimated_cardinality"]
    assert got == expected


def test_merging_a_profile_into_itself_doubles_counts_and_keeps_estimates():
    p = observed(MIXED)
    before = json.loads(p.report())
    p.merge(p)
    after = json.loads(p.report())
    for name, column in before.items():
        assert after[name]["total_count"] == 2 * column["total_count"]
        assert after[name]["estimated_cardinality"] == column["estimated_cardinality"]


def test_report_leaves_the_profile_and_flush_starts_afresh():
    p = observed(MIXED, seed=5)
    text = p.report()
    assert p.report() == text
    assert p.flush() == text
    assert p.report() == "{}" and len(p) == 0 and p.seed == 5
    p.observe_dicts(MIXED)
    assert p.report() == text


def test_a_fixed_seed_gives_the_same_bytes_in_another_process():
    script = ("import sys; from karvo_dist import Profile; p = Profile(seed=42); "
              "p.observe_dicts([{'x': i, 't': str(i)} for i in range(9000)]); "
              "sys.stdout.write(p.to_bytes().hex())")
    other = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           check=True, timeout=120).stdout
    here = observed([{"x": i, "t": str(i)} for i in range(9000)], seed=42)
    assert other == here.to_bytes().hex()
    assert observed(MIXED, seed=1).to_bytes() != observed(MIXED, seed=2).to_bytes()


# ---------------------------------------------------------------------------------------
# Bad input.

def _stored():
    return observed(MIXED).to_bytes()


BAD_INPUTS = [
    ("empty", lambda: b"", "truncated profile"),
    ("foreign", lambda: b'{"a": 1}' * 4, "bad magic"),
    ("newer version", lambda: _stored()[:4] + bytes([FORMAT_VERSION + 1, 0]) + _stored()[6:],
     f"unsupported profile format version {FORMAT_VERSION + 1} "
     f"(this karvo_dist reads versions 1 to {FORMAT_VERSION})"),
    ("cut short", lambda: _stored()[:-1], "truncated profile"),
    ("trailing data", lambda: _stored() + b"\0", "followed by 1 bytes"),
    ("damaged", lambda: _stored()[:30] + bytes([_stored()[30] ^ 4]) + _stored()[31:],
     "checksum mismatch"),
]


@pytest.mark.parametrize("name, make, message", BAD_INPUTS, ids=[c[0] for c in BAD_INPUTS])
def test_bad_input_is_refused_with_its_fault_named(name, make, message):
    with pytest.raises(ValueError) as info:
        Profile.from_bytes(make())
    assert message in str(info.value)


def test_from_bytes_checks_the_seed_and_the_argument_type():
    data = observed(MIXED, seed=3).to_bytes()
    with pytest.raises(ValueError, match="different seed"):
        Profile.from_bytes(data)
    assert Profile.from_bytes(bytearray(data), seed=3) == Profile.from_bytes(memoryview(data), 3)
    with pytest.raises(TypeError, match="must be bytes, bytearray or memoryview, not 'str'"):
        Profile.from_bytes("KRVP")


@pytest.mark.parametrize("seed, error", [(-1, ValueError), (2**64, ValueError),
                                         ("0", TypeError), (1.0, TypeError)])
def test_seeds_outside_64_bits_are_refused(seed, error):
    with pytest.raises(error, match="seed must be an int"):
        Profile(seed)
    assert Profile(2**64 - 1).seed == 2**64 - 1


def test_merge_refuses_other_seeds_and_types_before_merging_anything():
    p = observed(MIXED)
    before = p.to_bytes()
    with pytest.raises(ValueError, match="different seeds"):
        p.merge(observed(MIXED), observed(MIXED, seed=1))
    with pytest.raises(TypeError, match="not 'Profiler'"):
        p.merge(observed(MIXED), karvo.Profiler())
    assert p.to_bytes() == before


def test_observing_fails_as_karvo_profiler_does_and_ingests_nothing():
    p = Profile()
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyString'"):
        p.observe_dicts([{"a": 1}, {3: 1}])
    assert p.report() == "{}"


# ---------------------------------------------------------------------------------------
# Rows from any iterable: read in batches, all or nothing for the call.

BATCH = 10_000  # the batch size karvo_dist reads a non-list in
# Around and across batch ends, with values only late rows hold, and rows that are skipped.
LONG = [{"i": i, "t": f"t{i % 5000}", **({"late": -i} if i > 2 * BATCH else {})}
        for i in range(2 * BATCH + 7)]
LONG[BATCH + 3] = "not a row"


class Cursor:
    """Rows as a database cursor gives them: an object with __iter__ and nothing else."""

    def __init__(self, rows):
        self.rows = rows

    def __iter__(self):
        return iter(self.rows)


@pytest.mark.parametrize("count", [0, 1, BATCH - 1, BATCH, BATCH + 1, len(LONG)])
@pytest.mark.parametrize("form", [iter, tuple, Cursor, lambda rows: (r for r in rows),
                                  lambda rows: type("Rows", (list,), {})(rows)],
                         ids=["iterator", "tuple", "cursor", "generator", "list subclass"])
def test_any_iterable_gives_the_profile_of_its_list(count, form):
    rows = LONG[:count]
    p = observed(MIXED)
    p.observe_dicts(form(rows))
    # Iterables of more than a batch go through a profile of their own, merged at the end.
    assert_same_values(p, observed(MIXED + rows))
    assert p.columns == observed(MIXED + rows).columns


class Broken(Exception):
    pass


def failing_after(rows, count):
    yield from rows[:count]
    raise Broken("the cursor failed")


@pytest.mark.parametrize("count", [0, 5, BATCH, BATCH + 5, 2 * BATCH + 1])
@pytest.mark.parametrize("failure", ["iterator", "row"])
def test_a_failure_midway_adds_nothing(count, failure):
    p = observed(MIXED)
    before = p.to_bytes()
    if failure == "iterator":
        rows, error = failing_after(LONG, count), Broken
    else:
        rows, error = iter(LONG[:count] + [{3: "a key that is not a str"}] + LONG), TypeError
    with pytest.raises(error):
        p.observe_dicts(rows)
    assert p.to_bytes() == before
    p.observe_dicts(iter(LONG[:3]))  # and the profile goes on as before
    assert p == observed(MIXED + LONG[:3])


def test_ctrl_c_while_a_generator_is_read_adds_nothing(ctrl_c):
    import signal

    def rows():
        for i in range(3 * BATCH):
            if i == BATCH + 10:
                signal.raise_signal(signal.SIGINT)
            yield {"i": i}

    p = observed(MIXED)
    with pytest.raises(KeyboardInterrupt):
        p.observe_dicts(rows())
    assert p == observed(MIXED)


@pytest.mark.parametrize("rows, name", [({"a": 1}, "dict"), ("ab", "str"), (b"ab", "bytes"),
                                        (bytearray(b"a"), "bytearray"), (5, "int"),
                                        (None, "NoneType")])
def test_what_is_not_an_iterable_of_rows_is_refused_by_the_public_name(rows, name):
    p = observed(MIXED)
    with pytest.raises(TypeError) as info:
        p.observe_dicts(rows)
    assert str(info.value) == ("Profile.observe_dicts() argument 'rows' must be an iterable "
                               f"of dicts, not '{name}'")
    assert p == observed(MIXED)


def test_an_iterable_is_read_in_bounded_batches():
    # Each value records, as it is converted, how far the iterable has run ahead of it.
    state = {"yielded": 0, "ahead": 0}

    class Seen:
        def __init__(self, i):
            self.i = i

        def __index__(self):
            state["ahead"] = max(state["ahead"], state["yielded"] - self.i)
            return self.i

    def rows():
        for i in range(5 * BATCH + 3):
            state["yielded"] = i + 1
            yield {"v": Seen(i)}

    p = Profile()
    p.observe_dicts(rows())
    assert 0 < state["ahead"] <= BATCH
    assert json.loads(p.report())["v"]["total_count"] == 5 * BATCH + 3


def test_threads_feeding_one_profile_from_generators():
    import threading

    p = Profile()
    pieces = [LONG[i::4] for i in range(4)]
    failures = []

    def feed(piece):
        try:
            p.observe_dicts(row for row in piece)
        except BaseException as error:  # reported below, not lost in the thread
            failures.append(error)

    threads = [threading.Thread(target=feed, args=(piece,)) for piece in pieces]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads) and not failures
    # Calls may land in any order: the figures are those of one profile of all the rows.
    assert json.loads(p.report()) == json.loads(observed(LONG).report())


def test_rows_is_the_keyword():
    p = Profile()
    p.observe_dicts(rows=[{"a": 1}])
    p.observe_dicts(rows=iter([{"a": 2}]))
    assert p == observed([{"a": 1}, {"a": 2}])


# ---------------------------------------------------------------------------------------
# What users print and inspect.

def test_pickle_and_copies_round_trip():
    for p in (observed(MIXED + DENSE[:7000], seed=2**63), Profile()):
        for q in (pickle.loads(pickle.dumps(p)), copy.copy(p), copy.deepcopy(p), p.copy()):
            assert type(q) is Profile
            assert q == p and q is not p and q.seed == p.seed
            assert q.report() == p.report()
        q.observe_dict({"new": 1})
        assert q != p


def test_repr_len_and_columns():
    assert repr(Profile(seed=7)) == "<karvo_dist.Profile seed=7 columns=0>"
    p = observed([{"a": 1, "b": "x"}, {"c": None}])
    assert repr(p) == "<karvo_dist.Profile seed=0 columns=3: a, b, c>"
    assert len(p) == 3 and p.columns == ["a", "b", "c"]
    wide = observed([{f"c{i}": i for i in range(20)}])
    assert repr(wide).endswith("c6, c7, ... (12 more)>")
    assert p != object() and p != observed([{"a": 1}])
    with pytest.raises(TypeError):
        hash(p)
