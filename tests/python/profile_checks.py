"""Comparing karvo_dist profiles that hold the same values by different routes.

A merge gives the exact figures of the profile that observed every row (counts, bounds,
sketches, and the summary's counts, mean, std and text lengths), but its quantile sketch
and top values are those of merged summaries, which need not be the streamed ones; a
value read through a hook is a number of another kind than the number itself."""

import json


def exact_part(summary):
    """A summary less its quantiles and top values, which may depend on how the values
    were split into merged parts."""
    out = {}
    for name, column in summary.items():
        column = json.loads(json.dumps(column))
        if column["numbers"] is not None:
            column["numbers"].pop("quantiles")
        column.pop("top_values")
        out[name] = column
    return out


def exact_figures(profile):
    """The profile's summary less its quantiles and top values."""
    return exact_part(json.loads(profile.summary_json()))


def assert_same_values(got, want):
    """Everything but what a merge may change: see above."""
    assert got.report() == want.report()
    assert got.to_bytes(version=1) == want.to_bytes(version=1)
    assert exact_figures(got) == exact_figures(want)
