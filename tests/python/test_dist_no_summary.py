"""Profile(summaries=False): a profile that keeps no column summary. Its report is the one
a profile with summaries gives, whichever reader fills it; its summary's figures are
unknown, as a version-1 stored profile's are; it stores, copies, pickles and merges
without gaining summaries it never had, and a profile with summaries that merges it has
the merged columns' figures unknown."""

import copy
import json
import pickle
import random

import pytest

from karvo_dist import Profile

SEED = 4242


def rows_of(n, rng):
    rows = []
    for i in range(n):
        value = [None, True, rng.randrange(-50, 50), 2**70, rng.uniform(-1e3, 1e3), -0.0,
                 f"t{rng.randrange(40)}", "ünï ✓" * rng.randrange(1, 9), [1], {"k": i}][i % 10]
        row = {"mixed": value, "n": rng.randrange(1000) / 8}
        if i % 3:
            row[f"c{i % 7}"] = f"w{rng.randrange(9)}"
        rows.append(row)
    return rows


ROWS = rows_of(2500, random.Random(3))
TEXT = "".join(json.dumps(row) + "\n" for row in ROWS).encode()


def by_dict(profile):
    for row in ROWS:
        profile.observe_dict(row)


def arrow_table():
    pa = pytest.importorskip("pyarrow")
    return pa.table({"n": [r["n"] for r in ROWS],
                     "t": [r.get("c1") for r in ROWS],
                     "i": [i if i % 4 else None for i in range(len(ROWS))]})


# Every reader: (name, fill a profile).
READERS = [
    ("observe_dict", by_dict),
    ("observe_dicts list", lambda p: p.observe_dicts(ROWS)),
    ("observe_dicts generator, several batches",
     lambda p: p.observe_dicts(row for row in ROWS * 5)),
    ("observe_jsonl bytes, one thread", lambda p: p.observe_jsonl(TEXT, threads=1)),
    ("observe_jsonl chunks, two threads",
     lambda p: p.observe_jsonl([TEXT[i:i + 999] for i in range(0, len(TEXT), 999)],
                               threads=2, chunk_bytes=4096)),
    ("observe_arrow", lambda p: p.observe_arrow(arrow_table())),
]


def filled(fill, summaries):
    profile = Profile(SEED, summaries=summaries)
    fill(profile)
    return profile


@pytest.mark.parametrize("fill", [f for _, f in READERS], ids=[n for n, _ in READERS])
def test_the_report_does_not_depend_on_summaries(fill, tmp_path):
    with_, without = filled(fill, True), filled(fill, False)
    assert (with_.keeps_summaries, without.keeps_summaries) == (True, False)
    assert without.report() == with_.report()
    assert without._bounds() == with_._bounds()
    # Counts, bounds and sketches are the same bytes; only the summaries differ.
    assert without.to_bytes(version=1) == with_.to_bytes(version=1)
    assert without.flush() == with_.flush()
    assert without.report() == "{}" and not without.keeps_summaries


def test_a_path_read_gives_the_same_report(tmp_path):
    path = tmp_path / "rows.jsonl"
    path.write_bytes(TEXT)
    reports = {s: Profile(SEED, summaries=s) for s in (True, False)}
    for profile in reports.values():
        profile.observe_jsonl(path, threads=2)
    assert reports[False].report() == reports[True].report()


def version_1_load(profile):
    return Profile.from_bytes(profile.to_bytes(version=1), SEED)


def test_the_summary_is_unknown_as_a_version_1_load_has_it():
    without = filled(lambda p: p.observe_dicts(ROWS), False)
    old = version_1_load(filled(lambda p: p.observe_dicts(ROWS), True))
    assert without.summary_json() == old.summary_json()
    summary = without.summary()
    assert list(summary) == without.columns
    assert {c["types"] is None and c["top_values"] is None for c in summary.values()} == {True}
    assert {tuple(v) for v in without._quantiles([0.0, 0.5, 1.0]).values()} == {(None,) * 3}
    page = without.to_html()
    assert page.startswith("<!doctype html>") and 'id="col-0"' in page


def test_an_empty_profile_without_summaries_reports_nothing():
    profile = Profile(SEED, summaries=False)
    assert (profile.report(), profile.summary(), len(profile)) == ("{}", {}, 0)


# ---------------------------------------------------------------------------------------
# The stored form.

def test_stored_and_read_back_it_still_keeps_none():
    profile = filled(lambda p: p.observe_dicts(ROWS), False)
    stored = profile.to_bytes()
    back = Profile.from_bytes(stored, SEED)
    assert not back.keeps_summaries
    assert back.to_bytes() == stored and back.report() == profile.report()
    back.observe_dict({"new": 1})  # a column made after the load has none either
    assert back.summary()["new"]["types"] is None
    # The caller may decide: with summaries, the stored columns' figures are unknown.
    forced = Profile.from_bytes(stored, SEED, summaries=True)
    assert forced.keeps_summaries and forced.summary_json() == profile.summary_json()
    forced.observe_dict({"new": 1})
    assert forced.summary()["new"]["types"]["int"] == 1


def test_reading_a_form_with_summaries_follows_the_form_or_the_caller():
    profile = filled(lambda p: p.observe_dicts(ROWS), True)
    stored = profile.to_bytes()
    assert Profile.from_bytes(stored, SEED).summary_json() == profile.summary_json()
    dropped = Profile.from_bytes(stored, SEED, summaries=False)
    assert not dropped.keeps_summaries
    assert dropped.to_bytes() == filled(lambda p: p.observe_dicts(ROWS), False).to_bytes()
    # A version-1 form loads with summaries, unknown for its columns, as it always has.
    assert version_1_load(profile).keeps_summaries


@pytest.mark.parametrize("summaries", [True, False])
@pytest.mark.parametrize("rows", [[], ROWS[:50]], ids=["empty", "rows"])
def test_copies_and_pickles_keep_the_choice(summaries, rows):
    profile = Profile(SEED, summaries=summaries)
    profile.observe_dicts(rows)
    for twin in (profile.copy(), copy.copy(profile), copy.deepcopy(profile),
                 pickle.loads(pickle.dumps(profile))):
        assert type(twin) is Profile
        assert twin.keeps_summaries == summaries
        assert twin == profile and twin.summary_json() == profile.summary_json()


def test_profiles_that_differ_in_summaries_are_not_equal_once_they_have_columns():
    # Equality is of stored forms, which hold the summaries.
    assert Profile(SEED) == Profile(SEED, summaries=False)
    with_, without = (filled(lambda p: p.observe_dicts(ROWS), s) for s in (True, False))
    assert with_ != without


@pytest.mark.parametrize("call, error, message", [
    (lambda: Profile(SEED, False), TypeError, "at most 1 positional"),
    (lambda: Profile(summaries=1), TypeError, "summaries must be a bool, not 'int'"),
    (lambda: Profile(summaries=None), TypeError, "summaries must be a bool, not 'NoneType'"),
    (lambda: Profile.from_bytes(Profile().to_bytes(), 0, False), TypeError,
     "at most 2 positional"),
    (lambda: Profile.from_bytes(Profile().to_bytes(), summaries="no"), TypeError,
     "summaries must be a bool"),
])
def test_the_keyword_is_checked(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_keeps_summaries_is_read_only():
    with pytest.raises(AttributeError):
        Profile().keeps_summaries = False


# ---------------------------------------------------------------------------------------
# Merging.

HALF = len(ROWS) // 2


@pytest.mark.parametrize("mine, theirs", [(True, True), (True, False), (False, True),
                                          (False, False)])
def test_a_merge_keeps_the_report_and_knows_only_what_both_sides_knew(mine, theirs):
    first = Profile(SEED, summaries=mine)
    first.observe_dicts(ROWS[:HALF])
    first.observe_dict({"only_mine": 1})
    second = Profile(SEED, summaries=theirs)
    second.observe_dicts(ROWS[HALF:])
    whole = Profile(SEED)
    whole.observe_dicts(ROWS[:HALF] + [{"only_mine": 1}] + ROWS[HALF:])
    first.merge(second)
    assert first.keeps_summaries == mine
    assert first.report() == whole.report()
    assert first.to_bytes(version=1) == whole.to_bytes(version=1)
    summary = first.summary()
    assert (summary["n"]["types"] is not None) == (mine and theirs)
    assert (summary["only_mine"]["types"] is not None) == mine


@pytest.mark.parametrize("flags, keeps", [
    ([], True), ([True], True), ([False], False), ([False, False], False),
    ([False, True], True), ([True, False], True),
])
def test_merged_keeps_summaries_unless_none_of_the_profiles_does(flags, keeps):
    profiles = []
    for i, summaries in enumerate(flags):
        profile = Profile(SEED, summaries=summaries)
        profile.observe_dict({"a": i})
        profiles.append(profile)
    result = Profile.merged(profiles, SEED)
    assert result.keeps_summaries == keeps
    assert result.report() == Profile.merged([p.copy() for p in profiles], SEED).report()


def test_parts_sent_as_bytes_and_merged_stay_without_summaries():
    # As the distributed helpers fold partial profiles: bytes read back with the default.
    parts = [filled(lambda p, s=s: p.observe_dicts(ROWS[s:s + 100]), False)
             for s in (0, 100)]
    back = [Profile.from_bytes(p.to_bytes(), SEED) for p in parts]
    assert [p.keeps_summaries for p in back] == [False, False]
    assert Profile.merged(back).keeps_summaries is False
