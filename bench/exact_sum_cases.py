"""Writes tests/data/exact_sum_cases.txt: cases for the exact mean and deviation, with the
expected results computed from fractions.Fraction (exact rational arithmetic), so that the
C++ tests compare against an oracle that shares none of their code.

    python3 bench/exact_sum_cases.py > tests/data/exact_sum_cases.txt

Each case is three lines:
    case NAME
    values V V ...      hex floats; V*K stands for K copies of V
    expect N MEAN STD   the count, the mean and the std as hex floats, "none" when absent,
                        "inf" beyond the largest double
"""
import math
import random
import sys
from fractions import Fraction

MAX = sys.float_info.max
TINY = 5e-324


def round_sqrt(q: Fraction) -> float:
    """The double nearest sqrt(q), ties to even (q >= 0)."""
    if q == 0:
        return 0.0
    # Scale by 4^k until the integer root has 60+ bits and its unit lies far below
    # the smallest subnormal; a root that is not exact gets a sticky half unit.
    k = 1200
    while True:
        scaled = q * 4**k
        floor = scaled.numerator // scaled.denominator
        root = math.isqrt(floor)
        if root.bit_length() >= 60:
            break
        k += 60
    exact = root * root == scaled
    value = Fraction(2 * root + (0 if exact else 1), 2 ** (k + 1))
    try:
        return float(value)
    except OverflowError:
        return math.inf


def expected(values):
    xs = [Fraction(v) for v in values if math.isfinite(v)]
    n = len(xs)
    if n == 0:
        return n, None, None
    s1 = sum(xs)
    s2 = sum(x * x for x in xs)
    mean = float(s1 / n)  # Fraction -> float rounds correctly
    if n < 2:
        return n, mean, None
    return n, mean, round_sqrt((n * s2 - s1 * s1) / (n * (n - 1)))


def show(x):
    if x is None:
        return "none"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if math.isnan(x):
        return "nan"
    return x.hex()


def compact(values):
    """Hex floats, runs of one value as V*K."""
    out = []
    i = 0
    while i < len(values):
        j = i
        while j < len(values) and values[j].hex() == values[i].hex() if not math.isnan(values[i]) else False:
            j += 1
        if j - i > 1:
            out.append(f"{show(values[i])}*{j - i}")
            i = j
        else:
            out.append(show(values[i]))
            i += 1
    return " ".join(out)


def cases():
    rng = random.Random(20261211)
    yield "cancelling_huge", [1e16, 1.0, -1e16]
    yield "one_value", [3.25]
    yield "one_negative_subnormal", [-TINY * 3]
    yield "two_values", [1.0, 2.0]
    yield "two_equal", [0.1, 0.1]
    yield "empty", []
    yield "only_non_finite", [math.inf, math.nan, -math.inf]
    yield "non_finite_skipped", [1.0, math.inf, 2.0, math.nan, 4.0, -math.inf]
    yield "zeros_of_both_signs", [0.0, -0.0, 0.0]
    yield "tiny_beside_huge", [MAX] + [TINY] * 5000 + [-MAX]
    yield "tiny_beside_huge_mixed", [1e300, TINY] * 700 + [-1e300] * 700
    yield "subnormals", [TINY * k for k in range(1, 120)]
    yield "subnormals_signed", [TINY * k * (-1) ** k for k in range(1, 121)]
    yield "smallest_normal_edges", [2.2250738585072014e-308, -2.225073858507201e-308, TINY]
    yield "max_both_signs", [MAX, -MAX]
    yield "max_one_sign", [MAX, MAX, MAX]
    yield "max_and_neighbour", [MAX, math.nextafter(MAX, 0)]
    yield "squares_overflow", [1e200, -3e200, 2e200, 5e199]
    yield "near_max_finite_std", [1e308, 1.5e308, 1.7e308, 1.2e308]
    yield "mean_of_huge_no_overflow", [MAX] * 10 + [math.nextafter(MAX, 0)] * 7
    yield "variance_cancellation", [1e9 + rng.random() * 1e-3 for _ in range(300)]
    yield "variance_cancellation_exact", [1e9 + 1, 1e9 + 2, 1e9 + 3]
    yield "offset_1e15_small_noise", [1e15 + k * 0.125 for k in range(-40, 41)]
    yield "all_equal_nonzero_std_zero", [0.1] * 3000
    yield "tie_to_even_mean", [1.0, 2.0**-53]  # mean of a tie-ish case
    yield "mean_half_ulp", [1.0, 1.0 + 2.0**-52, 1.0 + 2.0**-52]
    yield "subnormal_mean", [TINY, 0.0, 0.0]
    yield "subnormal_std", [TINY, 0.0]
    yield "sqrt_of_exact_square", [0.0, 2.0, 4.0]
    yield "integers", [float(rng.randrange(1001)) for _ in range(300)]
    yield "uniform", [rng.random() for _ in range(300)]
    yield "wide_exponents", [
        math.ldexp(rng.random() + 0.5, rng.randrange(-1074, 1024)) * rng.choice((-1, 1))
        for _ in range(150)
    ]
    yield "wide_exponents_positive", [
        math.ldexp(rng.random() + 0.5, rng.randrange(-1074, 1024)) for _ in range(150)
    ]
    yield "lognormal", [rng.lognormvariate(0, 30) for _ in range(200)]
    for k in range(6):
        scale = rng.randrange(-1000, 1000)
        yield f"random_cluster_{k}", [
            math.ldexp(1 + rng.random() * 2.0**-rng.randrange(1, 52), scale) * rng.choice((1, -1, 1))
            for _ in range(rng.randrange(2, 60))
        ]


def main():
    print("# Exact mean and sample standard deviation cases; written by bench/exact_sum_cases.py.")
    for name, values in cases():
        n, mean, std = expected(values)
        print(f"case {name}")
        print(f"values {compact(values)}")
        print(f"expect {n} {show(mean)} {show(std)}")


if __name__ == "__main__":
    main()
