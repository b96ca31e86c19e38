"""Column profiles of Python rows: counts, nulls, numeric bounds and distinct estimates."""

from typing import Any, final

__all__ = ["Profiler"]

@final
class Profiler:
    """Profiles rows (dicts of column name to value) and reports them as compact JSON.

    Values are typed as they are read: None is null; bool, int and objects with
    ``__index__`` are integers (an int beyond 64 bits becomes a float, or null beyond a
    float's range); float and objects with ``__float__`` are reals (NaN is null); str is
    text, never parsed; everything else is null.
    """

    def __new__(cls) -> Profiler: ...
    def observe_dict(self, py_dict: dict[str, Any]) -> None:
        """Adds one row. A key that is not a str fails the call, and nothing is ingested."""
    def observe_dicts(self, py_list: list[Any]) -> None:
        """Adds every dict of the list as a row, in order; other elements are skipped.

        The whole list is converted before anything is ingested: a failing row fails the
        call and ingests none of the rows.
        """
    def flush(self) -> str:
        """Returns the report of every column seen since creation or the last flush, and
        starts a new profile.

        The report is a JSON object with one member per column, each holding
        "total_count", "null_count", "min_val", "max_val" (each null when it is not
        finite: no numeric value was seen, or the smallest value is -inf, or the largest
        inf) and "estimated_cardinality" (about 0.8% standard error).
        """
