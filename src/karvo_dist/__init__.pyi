"""Column profiles that can be stored, sent between processes and merged."""

from typing import Any, Iterable

from typing_extensions import Self

__all__ = ["Profile", "FORMAT_VERSION"]

FORMAT_VERSION: int
"""The number of the binary form that to_bytes writes and from_bytes reads."""

class Profile:
    """Profiles rows (dicts of column name to value) like ``karvo.Profiler``, and merges.

    ``Profile(seed=0)``: every hashing key comes from the seed, an int from 0 to
    2**64 - 1, so profiles with equal seeds merge, in any process. The default seed is
    fixed; inputs chosen by an adversary call for a secret seed.

    Values are typed as ``karvo.Profiler`` types them: None is null; bool, int and
    objects with ``__index__`` are integers (an int beyond 64 bits becomes a float, or
    null beyond a float's range); float and objects with ``__float__`` are reals (NaN is
    null); str is text; everything else is null.

    ``len(profile)`` is the number of columns; profiles compare equal when their seeds
    and stored forms are equal; a profile pickles through its stored form, which carries
    its seed.
    """

    def __new__(cls, seed: int = 0) -> Self: ...
    @property
    def seed(self) -> int:
        """The seed the profile's hashing keys come from."""
    @property
    def columns(self) -> list[str]:
        """The column names, in report order."""
    def column_names(self) -> list[str]:
        """The column names, in report order."""
    def observe_dict(self, py_dict: dict[str, Any]) -> None:
        """Adds one row. A key that is not a str fails the call, and nothing is ingested."""
    def observe_dicts(self, py_list: list[Any]) -> None:
        """Adds every dict of the list as a row, in order; other elements are skipped.

        The whole list is converted before anything is ingested: a failing row fails the
        call and ingests none of the rows.
        """
    def merge(self, *others: Profile) -> None:
        """Adds other profiles to this one, in place, in order.

        The result equals one profile that observed this profile's rows and then each
        other's: counts add, bounds keep this profile's value on ties (0.0 against -0.0
        too), estimates come from the union of the sketches, and columns new to this
        profile follow its own. TypeError for anything but a Profile, ValueError for a
        different seed, both before anything is merged. Merging a profile into itself
        doubles its counts. Costs O(columns), whatever the number of rows.
        """
    @classmethod
    def merged(cls, profiles: Iterable[Profile], seed: int | None = None) -> Self:
        """A new profile holding the merge of the given ones (seed: theirs, or given)."""
    def to_bytes(self) -> bytes:
        """The profile in its versioned binary form: counts, bounds and sketches per
        column, a seed fingerprint (never the seed) and a checksum. A dense column takes
        about 12.3 KB; a sparse one its sketch's list and a few dozen bytes."""
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview, seed: int = 0) -> Self:
        """The profile stored by ``to_bytes`` under the same seed.

        Raises ValueError, saying what is wrong, for input that is not such a profile:
        foreign, truncated, damaged, made with another seed or a newer format version.
        """
    def report(self) -> str:
        """The JSON report of the profile, in exactly ``karvo.Profiler.flush()``'s form,
        columns in the order they were first seen; the profile is left as it is."""
    def flush(self) -> str:
        """The report, then starts a new, empty profile with the same seed."""
    def copy(self) -> Self:
        """An independent copy."""
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]
