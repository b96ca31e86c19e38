#include "profiler/engine.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <optional>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "profiler/column_map.h"
#include "profiler/snapshot.h"
#include "profiler/write_claims.h"

namespace profiler {

namespace {

// Whether no two names are equal. A batch of one row has a handful of names, compared
// pairwise without allocating; longer lists go through a hash set.
bool names_are_distinct(const std::vector<std::string_view>& names, const NameHash& hash) {
    constexpr std::size_t kPairwiseUpTo = 32;
    if (names.size() <= kPairwiseUpTo) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            for (std::size_t j = i + 1; j < names.size(); ++j) {
                if (names[i] == names[j]) {
                    return false;
                }
            }
        }
        return true;
    }
    const NameSet distinct(names.begin(), names.end(), names.size(), hash);
    return distinct.size() == names.size();
}

// Below this many sketch keys and summary values a batch is applied on one thread: handing
// half of it over would cost more than it saves.
constexpr std::size_t kSplitFromKeys = std::size_t{1} << 16;

// The batch's work in units of a sketch key. A summary value (each non-null value of a part
// with a summary part) costs its rooms several times a key's sketch insert, so a batch
// whose keys repeat (few distinct values, listed once) may still be worth two threads.
std::size_t key_count(const ColumnBatch& batch) {
    std::size_t keys = 0;
    for (const ColumnPart& part : batch.parts) {
        keys += part.keys.size();
        if (part.summary != nullptr) {
            keys += part.summary->top_keys.size();
        }
    }
    return keys;
}

// Waits for the second thread's task when the calling thread's share ends early, since the
// task refers to the caller's frame.
class TaskJoin {
  public:
    explicit TaskJoin(SecondThread& helper) : helper_(&helper) {}
    ~TaskJoin() {
        if (helper_ != nullptr) {
            try {
                helper_->wait();
            } catch (...) {  // the caller's own failure is the one that goes on
            }
        }
    }
    TaskJoin(const TaskJoin&) = delete;
    TaskJoin& operator=(const TaskJoin&) = delete;
    void wait() { std::exchange(helper_, nullptr)->wait(); }

  private:
    SecondThread* helper_;
};

// Runs `share` here and `task` (the same work, taking parts from the same counter) on the
// second thread: each part is applied once, by whichever thread takes it, to its own
// record under its own locks, so the split changes nothing in the result. A task that
// cannot be handed over leaves every part to this thread.
template <class Share>
void apply_on_two_threads(std::function<void()> task, Share& share, SecondThread& helper) {
    try {
        helper.start(std::move(task));
    } catch (...) {
        share();
        return;
    }
    TaskJoin join(helper);
    share();
    join.wait();
}

}  // namespace

KarvoEngine::KarvoEngine() : KarvoEngine(ValueKeys::from_os()) {}

KarvoEngine::KarvoEngine(const ValueKeys& keys)
    : keys_(keys), columns(ColumnMap::with_capacity_and_hasher(0)) {}

KarvoEngine::KarvoEngine(const ValueKeys& keys, const sketch::SketchKeys& sketch_keys)
    : keys_(keys), columns(ColumnMap::with_capacity_and_hasher(0)), sketch_keys(sketch_keys) {}

namespace {
ValueKeys with_summaries(ValueKeys keys) {
    keys.summaries = true;
    return keys;
}
}  // namespace

KarvoEngine::KarvoEngine(const ValueKeys& keys, const sketch::SketchKeys& sketch_keys,
                         std::uint64_t summary_seed)
    : keys_(with_summaries(keys)),
      columns(ColumnMap::with_capacity_and_hasher(0)),
      sketch_keys(sketch_keys),
      summary_seed(summary_seed) {}

// Only a miss copies the name and takes the shard's lock exclusively. The claim is counted
// while the shard's lock is held, so that a failing write's abandon cannot take the record
// out between the lookup and the claim.
StatsRef KarvoEngine::claim(ColumnMap& map, std::string_view name) const {
    if (auto hit = map.get(name)) {
        hit->value()->claims.fetch_add(1, std::memory_order_relaxed);
        return hit->value();
    }
    const ColumnMap::WriteRef stored =
        map.entry(std::string(name)).or_insert_with([&map, this] {
            if (summary_seed) {
                return ColumnStats::create(map.take_sequence(), *sketch_keys, *summary_seed);
            }
            return sketch_keys ? ColumnStats::create(map.take_sequence(), *sketch_keys)
                               : ColumnStats::create(map.take_sequence());
        });
    stored.value()->claims.fetch_add(1, std::memory_order_relaxed);
    return stored.value();
}

// Applies a folded batch to the pinned map after checking its shape; nothing is ingested
// when the check fails. Records are claimed and their sketches' room reserved in part
// order first, where anything may fail (bad_alloc) with nothing applied; the parts are
// then applied, which cannot fail.
void KarvoEngine::apply_columns(ColumnMap& map, const ColumnBatch& batch,
                                SecondThread* helper) const {
    if (batch.names.size() != batch.parts.size()) {
        throw Panic("a column batch whose names and parts differ in number");
    }
    if (!names_are_distinct(batch.names, map.name_hash())) {
        throw Panic("a column batch that names one column twice");
    }
    WriteClaims claims(map, batch.names, [&batch](std::size_t i, ColumnStats& record) noexcept {
        record.unreserve(batch.parts[i]);
    });
    for (std::size_t i = 0; i < batch.parts.size(); ++i) {
        if (batch.parts[i].cells > 0) {
            claims.take(
                i, [&map, this](std::string_view name) { return claim(map, name); },
                [&part = batch.parts[i]](ColumnStats& record) { record.reserve(part); });
        }
    }
    std::atomic<std::size_t> next{0};
    auto share = [&claims, &batch, &next]() noexcept {
        for (std::size_t i = 0;
             (i = next.fetch_add(1, std::memory_order_relaxed)) < claims.size();) {
            if (claims[i]) {
                claims[i]->apply_claimed(batch.parts[i]);
            }
        }
    };
    // The second thread's task is made before anything is applied, since making it may
    // allocate.
    std::optional<std::function<void()>> task;
    if (helper != nullptr && key_count(batch) >= kSplitFromKeys) {
        task.emplace(share);
    }
    claims.applying();
    if (task) {
        apply_on_two_threads(std::move(*task), share, *helper);
    } else {
        share();
    }
}

// Each entry point pins the map once, first: the batch works on that map to its end, and
// its own indexes of names take that map's hash.

void KarvoEngine::process_columns(const ColumnBatch& batch, SecondThread* helper) const {
    const std::shared_lock<std::shared_mutex> writing(writing_);
    const ColumnMapRef map = columns.load();
    apply_columns(*map, batch, helper);
}

std::string KarvoEngine::flush_and_reset() const {
    // Swap before reading anything, so no cell is counted in two reports; swap only once
    // every write into the previous map has ended, so none is lost to this report.
    ColumnMapRef fresh = ColumnMap::with_capacity_and_hasher(0);
    ColumnMapRef previous;
    {
        const std::unique_lock<std::shared_mutex> drained(writing_);
        previous = columns.swap(std::move(fresh));
    }
    ReportMap report;
    previous->iter([&report](std::string_view name, const StatsRef& stats) {
        if (!is_published(*stats)) {
            return;
        }
        report.push_back(ReportEntry{std::string(name), stats->sequence, snapshot_of(*stats)});
    });
    std::sort(report.begin(), report.end(),
              [](const ReportEntry& a, const ReportEntry& b) { return a.sequence < b.sequence; });
    return write_report(report);
}

}  // namespace profiler
