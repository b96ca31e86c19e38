"""Column names that all share one FxHash value, for hostile-input tests and bench/.

FxHash over a 16-byte text is two steps on 8-byte little-endian words and the closing
step on 0xFF:

    h1 = w1 * K
    h2 = (rotl(h1, 5) ^ w2) * K
    fx = (rotl(h2, 5) ^ 0xFF) * K

Every name built here ends with h2 == 0, so they all hash to 0xFF * K: the second word is
forced to w2 = rotl(w1 * K, 5). The first word is picked freely among printable ASCII bytes,
so the names are distinct. For the names to be text (valid UTF-8), every byte of w2 must
be ASCII; we ask for bytes in 0x40..0x7F, that is bit 6 set and bit 7 clear. Bit 8j+6 and
8j+7 of w2 are bits 8j+1 and 8j+2 of u = w1 * K, and the low bits of a product depend only
on the low bits of its factors, so w1 is chosen one byte at a time from the low end: each
new byte fixes the two product bits of its own byte without disturbing those below.
"""

import random

MASK = (1 << 64) - 1
K = 0x517CC1B727220A95


def rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & MASK


def fx_step(h, w):
    return ((rotl(h, 5) ^ w) * K) & MASK


def fx_hash(data: bytes) -> int:
    """FxHash of a byte string (the same function as src/hash/fxhash.h)."""
    h, i, n = 0, 0, len(data)
    while n - i >= 8:
        h = fx_step(h, int.from_bytes(data[i:i + 8], "little"))
        i += 8
    for width in (4, 2, 1):
        if n - i >= width:
            h = fx_step(h, int.from_bytes(data[i:i + width], "little"))
            i += width
    return fx_step(h, 0xFF)


COLLIDING_HASH = fx_step(0, 0xFF)  # the hash of every name below: the state before 0xFF is 0

_PRINTABLE = list(range(0x20, 0x7F))


def _first_word(rng):
    """A printable 8-byte word w1 whose product w1 * K has bit 8j+1 set and 8j+2 clear."""
    w1 = 0
    for j in range(8):
        while True:
            cand = w1 | (rng.choice(_PRINTABLE) << (8 * j))
            u = (cand * K) & MASK
            if (u >> (8 * j + 1)) & 1 == 1 and (u >> (8 * j + 2)) & 1 == 0:
                w1 = cand
                break
    return w1


def colliding_name(w1):
    w2 = rotl((w1 * K) & MASK, 5)
    return (w1.to_bytes(8, "little") + w2.to_bytes(8, "little")).decode("ascii")


def colliding_names(count, seed=0):
    """`count` distinct 16-character ASCII names, all with FxHash COLLIDING_HASH."""
    rng = random.Random(seed)
    seen = set()
    names = []
    while len(names) < count:
        w1 = _first_word(rng)
        if w1 not in seen:
            seen.add(w1)
            names.append(colliding_name(w1))
    return names


def ordinary_names(count, seed=0):
    """`count` distinct 16-character names with unrelated hashes, the control group."""
    rng = random.Random(seed)
    names = set()
    while len(names) < count:
        names.add("".join(chr(rng.choice(_PRINTABLE)) for _ in range(16)))
    return sorted(names)
