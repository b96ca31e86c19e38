// ColumnMapSlot: the engine's current column map, replaceable in one atomic step.
//
// This header is all of the column map that the engine's own header needs: the slot, and
// the map only as a name, so that code which merely holds an engine (the binding) sees
// none of the map's shards, locks and name hashing (column_map.h).
//
// Invariants: a slot always holds a map; a pinned map stays alive until its reference is
// dropped, whatever swaps happen meanwhile.
//
// Thread safety: load and swap may be called from any thread; the slot's mutex is never
// held together with another lock (below).
#pragma once

#include <memory>
#include <mutex>

namespace profiler {

class ColumnMap;
// A shared reference to a map; the map is freed with its last reference. Copies may be
// made and dropped from any thread.
using ColumnMapRef = std::shared_ptr<ColumnMap>;

// A shared pointer under a mutex that is held only to copy or exchange the pointer, never
// while a map is used or freed: a pinned map is used with no lock of the slot's, a swap
// never waits for the holders of the previous map, and the previous map's last release
// happens outside the mutex. A load is made once per batch, so the uncontended lock
// costs nothing measurable. (libstdc++'s std::atomic<std::shared_ptr> would do the same
// with a spin lock in a pointer bit, but ThreadSanitizer cannot see that lock and reports
// every load racing a swap.)
class ColumnMapSlot {
  public:
    // Throws Panic when given no map: the slot always holds one.
    explicit ColumnMapSlot(ColumnMapRef map);
    ColumnMapSlot(const ColumnMapSlot&) = delete;
    ColumnMapSlot& operator=(const ColumnMapSlot&) = delete;

    // The current map, pinned: it stays alive until the returned reference is dropped.
    ColumnMapRef load() const;
    // Installs map and returns the previous one; later loads see the new map. Throws
    // Panic when given no map.
    ColumnMapRef swap(ColumnMapRef map) const;

  private:
    mutable std::mutex mutex_;
    mutable ColumnMapRef map_;  // guarded by mutex_; never empty
};

}  // namespace profiler
