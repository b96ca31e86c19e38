// sort_values: sorts a compactor's items ascending, the result std::sort gives, in about
// half its time on the sizes the sketch sorts (tens to hundreds of values).
//
// Why the result is std::sort's, bit for bit: the values are never NaN, and values that
// compare equal have equal bits (the sketch turns -0.0 into +0.0 before storing it). `<` is
// then a strict total order on the bit patterns present, and a multiset has one ascending
// sequence under it: any correct sort writes the same bytes. So the sketch's states, and
// its stored forms, do not depend on which sort ran.
//
// How: a range already ascending is left as it is; otherwise blocks of 8 sorted by a 19-comparator network of branch-free min/max, then
// bottom-up merges without branches in the loop (which run supplies the next item is a coin
// flip on random input: a branch there is mispredicted half the time, which is where
// std::sort's time goes at these sizes). Scratch space is a stack buffer of kSortScratch
// values; a longer range goes to std::sort. Nothing allocates, nothing throws.
//
// Thread safety: a pure function of its range.
#pragma once

#include <cstddef>
#include <span>

namespace quantiles {

// Ranges up to this many values are merge-sorted in a stack buffer (8 KiB).
inline constexpr std::size_t kSortScratch = 1024;

// Sorts ascending. Precondition: no NaN, and values equal under == have equal bits.
void sort_values(std::span<double> values);

}  // namespace quantiles
