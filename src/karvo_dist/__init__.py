"""Column profiles that can be stored, sent between processes and merged.

A :class:`Profile` profiles rows (dicts of column name to value) by exactly the rules of
``karvo.Profiler`` and reports them in the same JSON form. Unlike ``karvo.Profiler`` it
hashes values under keys derived from a seed, so profiles made with the same seed, in any
process or on any machine, can be merged; and it has a versioned binary form
(:meth:`Profile.to_bytes`, :meth:`Profile.from_bytes`), through which it also pickles.

    >>> from karvo_dist import Profile
    >>> a, b = Profile(), Profile()
    >>> a.observe_dicts([{"x": 1}, {"x": 2}]); b.observe_dict({"x": 2, "y": "t"})
    >>> a.merge(b)
    >>> a
    <karvo_dist.Profile seed=0 columns=2: x, y>

The default seed is fixed, so profiles from different processes merge without set-up.
Anyone who knows the seed can choose values that collide in the distinct-count sketch;
for inputs chosen by an adversary, use a secret seed.
"""

from __future__ import annotations

from typing import Iterable

from . import _native

__all__ = ["Profile", "FORMAT_VERSION"]

FORMAT_VERSION: int = _native.FORMAT_VERSION

# Column names shown by repr before it abbreviates.
_REPR_COLUMNS = 8


class Profile(_native.Profile):
    """A mergeable column profile; see the module documentation.

    ``Profile(seed=0)``: the seed is an int from 0 to 2**64 - 1. Profiles merge only with
    profiles of the same seed.
    """

    __slots__ = ()

    @property
    def columns(self) -> list[str]:
        """The column names, in report order."""
        return self.column_names()

    def __repr__(self) -> str:
        names = self.column_names()
        shown = ", ".join(names[:_REPR_COLUMNS])
        if len(names) > _REPR_COLUMNS:
            shown += f", ... ({len(names) - _REPR_COLUMNS} more)"
        tail = f": {shown}" if names else ""
        return f"<karvo_dist.Profile seed={self.seed} columns={len(names)}{tail}>"

    def merge(self, *others: _native.Profile) -> None:
        """Adds other profiles of the same seed to this one, in place, in order.

        The result is what one profile would hold after observing this profile's rows and
        then each other's, in order: counts add, bounds keep this profile's value on ties,
        distinct estimates come from the union of the sketches, and columns new to this
        profile come after its own. Raises TypeError for anything but a Profile and
        ValueError for a different seed, before merging anything. Merging a profile into
        itself doubles its counts and leaves its estimates.
        """
        for other in others:
            if not isinstance(other, _native.Profile):
                raise TypeError(
                    "Profile.merge() argument must be a karvo_dist Profile, not "
                    f"'{type(other).__qualname__}'")
            if other.seed != self.seed:
                raise ValueError("cannot merge profiles made with different seeds")
        for other in others:
            super().merge(other)

    @classmethod
    def merged(cls, profiles: Iterable[_native.Profile], seed: int | None = None) -> Profile:
        """A new profile holding the merge of the given ones, in order.

        The seed is the profiles' (they must share one), or ``seed`` when given, which an
        empty iterable needs to be other than 0.
        """
        profiles = list(profiles)
        if seed is None:
            seed = profiles[0].seed if profiles else 0
        result = cls(seed)
        result.merge(*profiles)
        return result

    def copy(self) -> Profile:
        """An independent copy."""
        return type(self).from_bytes(self.to_bytes(), self.seed)

    def __copy__(self) -> Profile:
        return self.copy()

    def __deepcopy__(self, memo: dict) -> Profile:
        return self.copy()

    def __reduce__(self):
        # The stored form needs its seed to be read, so a pickle carries the seed: do not
        # hand pickles of a secret-seeded profile to whoever must not know the seed.
        return (_restore, (type(self), self.to_bytes(), self.seed))

    def __eq__(self, other: object) -> bool:
        """Equal seeds and equal stored forms: the same columns in the same order with the
        same counts, bounds and sketches."""
        if not isinstance(other, _native.Profile):
            return NotImplemented
        return self.seed == other.seed and self.to_bytes() == other.to_bytes()

    __hash__ = None  # type: ignore[assignment]  # mutable


def _restore(cls: type, data: bytes, seed: int) -> Profile:
    return cls.from_bytes(data, seed)
