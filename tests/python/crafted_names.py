"""Column names crafted against the two unseeded hashes a C++ table of names might use.

Two families, both plain ASCII text (valid str keys), for hostile-input tests and bench/:

bucket_sharing_names(n)
    Distinct FxHash values that all lie in one shard of the column map and are congruent
    modulo the bucket count that libstdc++'s hash tables reach with n entries. A table
    keyed by the FxHash value itself (std::hash of an integer is the integer) chains them
    all in one bucket. Each name is two 8-byte words (w1, w2); FxHash of 16 bytes is

        h2 = (rotl(w1 * K, 5) ^ w2) * K,    fx = (rotl(h2, 5) ^ 0xFF) * K

    so picking w2 = rotl(w1 * K, 5) ^ X makes h2 = X * K, and fx depends on X alone. X is
    solved backwards from each wanted fx value; w1 is then chosen one byte at a time, as in
    fx_collide.py, so that every byte of w2 is in 0x40..0x7F.

std_hash_names(n)
    Distinct 32-byte names with one value of libstdc++'s std::hash<std::string_view>
    (a Murmur-style hash with a fixed seed). Each 8-byte block k enters as
    h = (h ^ f(k)) * M with f invertible, so for any first block a of a pair, the second
    block b = f^-1(target ^ ((h ^ f(a)) * M)) brings the state to a fixed target; about
    one b in 256 is ASCII. Collecting c such pairs for each of two stages gives c * c names
    of one hash (every choice of first pair meets the same state before the second).
"""

import random

from fx_collide import K, MASK, fx_hash, rotl

# ---- FxHash: one shard and one bucket

# The bucket counts libstdc++'s unordered containers step through as they grow (its prime
# rehash policy, maximum load factor 1): a table holding n entries has the first count >= n.
LIBSTDCXX_BUCKET_COUNTS = (13, 29, 59, 127, 257, 541, 1109, 2357, 5087, 10273, 20753, 42043,
                           85229, 172933, 351061, 712697, 1447153)

_K_INV = pow(K, -1, 1 << 64)


def rotr(x, r):
    return rotl(x, 64 - r)


def bucket_count_for(n):
    return next(c for c in LIBSTDCXX_BUCKET_COUNTS if c >= n)


def _x_for_fx(fx):
    """The X for which a name with h2 = X * K has FxHash fx."""
    h2 = rotr(((fx * _K_INV) & MASK) ^ 0xFF, 5)
    return (h2 * _K_INV) & MASK


def _name_for_x(x, rng):
    """A 16-byte ASCII name whose h2 is X * K: w1 printable, w2 in 0x40..0x7F."""
    w1 = 0
    for j in range(8):
        # Bits 8j+6 and 8j+7 of w2 are bits 8j+1 and 8j+2 of u = w1 * K, xor those of X.
        want1 = 1 ^ ((x >> (8 * j + 6)) & 1)
        want2 = (x >> (8 * j + 7)) & 1
        while True:
            cand = w1 | (rng.randrange(0x20, 0x7F) << (8 * j))
            u = (cand * K) & MASK
            if (u >> (8 * j + 1)) & 1 == want1 and (u >> (8 * j + 2)) & 1 == want2:
                w1 = cand
                break
    w2 = rotl((w1 * K) & MASK, 5) ^ x
    return (w1.to_bytes(8, "little") + w2.to_bytes(8, "little")).decode("ascii")


def bucket_sharing_names(count, seed=0):
    """`count` distinct 16-character names with distinct FxHash values, all congruent to one
    residue modulo bucket_count_for(count) and all below 2^40, so that every shard rule
    that takes the hash's high bits puts them in one shard."""
    rng = random.Random(seed)
    modulus = bucket_count_for(count)
    residue = rng.randrange(modulus)
    names = []
    for i in range(count):
        names.append(_name_for_x(_x_for_fx(residue + (i + 1) * modulus), rng))
    return names


# ---- libstdc++ std::hash of a string

_M = (0xC6A4A793 << 32) | 0x5BD1E995
_M_INV = pow(_M, -1, 1 << 64)
_STD_SEED = 0xC70F6907


def _shift_mix(v):
    return v ^ (v >> 47)


def _f(k):
    return (_shift_mix((k * _M) & MASK) * _M) & MASK


def _f_inv(y):
    return (_shift_mix((y * _M_INV) & MASK) * _M_INV) & MASK


def std_hash(data: bytes) -> int:
    """libstdc++'s std::hash of a byte string on a 64-bit platform."""
    n = len(data)
    h = _STD_SEED ^ ((n * _M) & MASK)
    full = n & ~7
    for i in range(0, full, 8):
        h = ((h ^ _f(int.from_bytes(data[i:i + 8], "little"))) * _M) & MASK
    if n & 7:
        h = ((h ^ int.from_bytes(data[full:], "little")) * _M) & MASK
    h = (_shift_mix(h) * _M) & MASK
    return _shift_mix(h)


def _pairs(state, target, count, rng):
    """`count` distinct 16-byte ASCII block pairs that take `state` to `target`."""
    pairs = {}
    want = (target * _M_INV) & MASK
    while len(pairs) < count:
        a = int.from_bytes(bytes(rng.randrange(0x20, 0x7F) for _ in range(8)), "little")
        b = _f_inv(want ^ (((state ^ _f(a)) * _M) & MASK))
        if b & 0x8080808080808080 == 0:
            pairs[a] = a.to_bytes(8, "little") + b.to_bytes(8, "little")
    return list(pairs.values())


def std_hash_names(count, seed=0):
    """`count` distinct 32-character ASCII names (control bytes included) that all have one
    std::hash value."""
    rng = random.Random(seed)
    side = 1
    while side * side < count:
        side += 1
    start = _STD_SEED ^ ((32 * _M) & MASK)
    middle = rng.getrandbits(64)
    first = _pairs(start, middle, side, rng)
    second = _pairs(middle, rng.getrandbits(64), side, rng)
    return [(first[i // side] + second[i % side]).decode("ascii") for i in range(count)]


def ordinary_names_of_length(count, length, seed=0):
    """`count` distinct printable names of `length` characters with unrelated hashes."""
    rng = random.Random(seed)
    names = set()
    while len(names) < count:
        names.add("".join(chr(rng.randrange(0x20, 0x7F)) for _ in range(length)))
    return sorted(names)


__all__ = ["bucket_count_for", "bucket_sharing_names", "fx_hash", "ordinary_names_of_length",
           "std_hash", "std_hash_names"]
