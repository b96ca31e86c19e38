#include "sketch/dif_int_vec.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "hash/load_le.h"

namespace sketch {
namespace {

// Writes the difference in 7-bit groups, least significant first; returns the byte after.
std::uint8_t* write_difference(std::uint8_t* out, std::uint32_t difference) {
    while (difference >= 0x80) {
        *out++ = static_cast<std::uint8_t>(difference | 0x80);
        difference >>= 7;
    }
    *out++ = static_cast<std::uint8_t>(difference);
    return out;
}

// The value of one difference whose bytes stand alone in `bytes`, least significant byte
// first: the 7-bit groups gathered with fixed shifts (bit 7 of the last byte is clear).
std::uint32_t gather_groups(std::uint64_t bytes) {
    const std::uint64_t groups =
        (bytes & 0x7f) | ((bytes >> 1) & (0x7fULL << 7)) | ((bytes >> 2) & (0x7fULL << 14)) |
        ((bytes >> 3) & (0x7fULL << 21)) | ((bytes >> 4) & (0x7fULL << 28));
    return static_cast<std::uint32_t>(groups);
}

// One merge of sorted fresh codes into a list. Old codes whose predecessor stays the same
// keep their bytes, which are copied in runs; only an old code that follows a fresh code
// is written anew, as its difference from that fresh code. So a merge decodes the old list
// once and encodes little more than the fresh codes.
class ListMerge {
  public:
    ListMerge(const std::vector<std::uint8_t>& old, std::uint8_t* out, std::size_t room)
        : at_(old.data()), end_(old.data() + old.size()), run_(at_), out_(out), room_(room) {}

    // Places a fresh code larger than every fresh code before it; false if out of room.
    bool place_fresh(std::uint32_t code) {
        if (look_ && look_value_ < code && !place_lookahead()) {
            return false;
        }
        if (!look_) {
            scan_below(code);
        }
        if (look_ && look_value_ == code) {
            return true;  // in the list already: the old code stands for both
        }
        if (!copy_run(look_ ? look_start_ : at_) || !write(code - previous_)) {
            return false;
        }
        previous_ = code;
        ++added_;
        after_fresh_ = true;
        return true;
    }

    // Places the rest of the old list; false if out of room.
    bool finish() {
        if (after_fresh_ && (look_ || read_lookahead()) && !place_lookahead()) {
            return false;
        }
        return copy_run(end_);
    }

    std::size_t written() const { return written_; }
    std::uint64_t added() const { return added_; }

  private:
    // Decodes the next old code, not yet placed; false at the end of the old list.
    bool read_lookahead() {
        if (at_ == end_) {
            return false;
        }
        look_start_ = at_;
        old_total_ += DifIntVec::read_difference(at_);
        look_value_ = old_total_;
        look_ = true;
        return true;
    }

    // Decodes old codes up to the first one at or above `code`, which becomes the
    // lookahead; the codes below it keep their bytes in the run. Called with no lookahead,
    // which means the last code placed was old, or the old list is used up.
    //
    // A merge decodes the whole old list, so this loop sets its pace. It loads eight bytes
    // at a time and walks their difference ends (bytes with bit 7 clear) with bit
    // operations, instead of a dependent load and branch per byte.
    void scan_below(std::uint32_t code) {
        const std::uint8_t* at = at_;
        const std::uint32_t entry_total = old_total_;
        std::uint32_t total = entry_total;
        bool found = false;
        while (!found && end_ - at >= 8) {
            const std::uint64_t word = hash::load_le64(at);
            std::uint64_t ends = ~word & 0x8080808080808080ULL;  // differences take <= 5 bytes
            unsigned start = 0;                                  // bit where this one starts
            while (ends != 0) {
                const unsigned stop = static_cast<unsigned>(std::countr_zero(ends)) + 1;
                const std::uint64_t bytes =
                    (word >> start) & ((std::uint64_t{1} << (stop - start)) - 1);
                const std::uint32_t value = total + gather_groups(bytes);
                if (value >= code) {
                    set_lookahead(at + start / 8, at + stop / 8, value);
                    found = true;
                    break;
                }
                total = value;
                start = stop;
                ends &= ends - 1;
            }
            if (!found) {
                at += start / 8;
            }
        }
        if (!found) {
            while (at != end_) {
                const std::uint8_t* begin = at;
                const std::uint32_t value = total + DifIntVec::read_difference(at);
                if (value >= code) {
                    set_lookahead(begin, at, value);
                    found = true;
                    break;
                }
                total = value;
            }
        }
        if (!found) {
            at_ = at;
            old_total_ = total;
        }
        if (total != entry_total) {
            previous_ = total;  // the last old code placed, when this scan placed any
        }
    }

    void set_lookahead(const std::uint8_t* begin, const std::uint8_t* after, std::uint32_t value) {
        look_start_ = begin;
        at_ = after;
        old_total_ = value;
        look_value_ = value;
        look_ = true;
    }

    // Places the decoded old code: after a fresh code it is written anew, else its bytes
    // join the run to copy.
    bool place_lookahead() {
        if (after_fresh_) {
            if (!write(look_value_ - previous_)) {
                return false;
            }
            run_ = at_;
            after_fresh_ = false;
        }
        previous_ = look_value_;
        look_ = false;
        return true;
    }

    bool copy_run(const std::uint8_t* upto) {
        const auto n = static_cast<std::size_t>(upto - run_);
        if (n > room_ - written_) {
            return false;
        }
        if (n > 0) {
            std::memcpy(out_ + written_, run_, n);
        }
        written_ += n;
        run_ = upto;
        return true;
    }

    bool write(std::uint32_t difference) {
        if (DifIntVec::encoded_length(difference) > room_ - written_) {
            return false;
        }
        written_ = static_cast<std::size_t>(write_difference(out_ + written_, difference) - out_);
        return true;
    }

    const std::uint8_t* at_;   // next old byte to decode
    const std::uint8_t* end_;  // end of the old list
    const std::uint8_t* run_;  // first old byte not yet copied or rewritten
    const std::uint8_t* look_start_ = nullptr;
    std::uint32_t old_total_ = 0;   // value of the last old code decoded
    std::uint32_t look_value_ = 0;  // the decoded old code not yet placed, if look_
    bool look_ = false;
    bool after_fresh_ = false;    // the last code placed was fresh
    std::uint32_t previous_ = 0;  // the last code placed
    std::uint8_t* out_;
    std::size_t room_;
    std::size_t written_ = 0;
    std::uint64_t added_ = 0;
};

}  // namespace

DifIntVec DifIntVec::with_capacity(std::size_t bytes) {
    DifIntVec list;
    list.bytes_.reserve(bytes);
    return list;
}

void DifIntVec::push(std::uint32_t code) {
    std::uint8_t group[5];
    std::uint8_t* end = write_difference(group, code - last_value_);
    bytes_.insert(bytes_.end(), group, end);
    ++entry_count_;
    last_value_ = code;
}

std::size_t DifIntVec::encoded_size(std::span<const std::uint32_t> codes) {
    std::size_t size = 0;
    std::uint32_t previous = 0;
    for (std::uint32_t code : codes) {
        size += encoded_length(code - previous);
        previous = code;
    }
    return size;
}

// A fresh code adds at most five bytes: it splits one difference into a part of at most
// five bytes and a part no longer than the whole. So the buffer is sized once, to that
// bound or the limit, whichever is less, and a merge that runs out of room has passed the
// limit.
std::optional<DifIntVec> DifIntVec::merge(const DifIntVec& list,
                                          std::span<const std::uint32_t> fresh,
                                          std::size_t byte_limit) {
    DifIntVec merged;
    if (!merge_into(list, fresh, byte_limit, merged)) {
        return std::nullopt;
    }
    return merged;
}

namespace {

// The fresh codes of a merge, from a span or read from another list.
class SpanCodes {
  public:
    explicit SpanCodes(std::span<const std::uint32_t> codes) : codes_(codes) {}
    std::size_t count() const { return codes_.size(); }
    std::uint32_t last() const { return codes_.back(); }
    template <class F>
    bool each(F&& f) const {
        for (std::uint32_t code : codes_) {
            if (!f(code)) {
                return false;
            }
        }
        return true;
    }

  private:
    std::span<const std::uint32_t> codes_;
};

class ListCodes {
  public:
    explicit ListCodes(const DifIntVec& list) : list_(list) {}
    std::size_t count() const { return static_cast<std::size_t>(list_.entry_count()); }
    std::uint32_t last() const { return list_.last_value(); }
    template <class F>
    bool each(F&& f) const {
        DifIntVec::Cursor cursor(list_);
        std::uint32_t code;
        while (cursor.next(code)) {
            if (!f(code)) {
                return false;
            }
        }
        return true;
    }

  private:
    const DifIntVec& list_;
};

// Bytes of a list holding exactly the fresh codes, counted only up to `limit` + 1.
template <class Codes>
std::size_t encoded_size_up_to(const Codes& fresh, std::size_t limit) {
    std::size_t size = 0;
    std::uint32_t previous = 0;
    fresh.each([&](std::uint32_t code) {
        size += DifIntVec::encoded_length(code - previous);
        previous = code;
        return size <= limit;
    });
    return size;
}

}  // namespace

template <class Codes>
bool DifIntVec::merge_codes(const DifIntVec& list, const Codes& fresh, std::size_t byte_limit,
                            DifIntVec& out) {
    if (list.bytes_.empty() && encoded_size_up_to(fresh, byte_limit) > byte_limit) {
        return false;  // a fresh column of many values: no need to write it out
    }
    // Counted without overflow: a list's own size is at most the limit in practice, but
    // the fresh count comes from the caller.
    const std::size_t fresh_room =
        fresh.count() > byte_limit / 5 ? byte_limit : 5 * fresh.count();
    const std::size_t room = std::min(list.bytes_.size() + fresh_room, byte_limit);
    out.bytes_.resize(room);
    ListMerge merge(list.bytes_, out.bytes_.data(), room);
    if (!fresh.each([&merge](std::uint32_t code) { return merge.place_fresh(code); }) ||
        !merge.finish()) {
        out.clear();
        return false;
    }
    out.bytes_.resize(merge.written());
    out.entry_count_ = list.entry_count_ + merge.added();
    out.last_value_ = fresh.count() == 0 ? list.last_value_ : std::max(list.last_value_, fresh.last());
    return true;
}

bool DifIntVec::merge_into(const DifIntVec& list, std::span<const std::uint32_t> fresh,
                           std::size_t byte_limit, DifIntVec& out) {
    return merge_codes(list, SpanCodes(fresh), byte_limit, out);
}

bool DifIntVec::merge_into(const DifIntVec& list, const DifIntVec& fresh, std::size_t byte_limit,
                           DifIntVec& out) {
    return merge_codes(list, ListCodes(fresh), byte_limit, out);
}

}  // namespace sketch
