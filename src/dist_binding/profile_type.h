// The folder src/dist_binding is the karvo_dist._native module: its initialisation
// (module.cpp), this class, and its readers of JSON Lines (jsonl_reading.h) and Arrow
// (arrow_reading.h) into a scratch profile (scratch_read.h). What it shares with the karvo
// module is in src/pykit; it must not know src/binding (the build refuses an include of
// it).
//
// The Profile class of karvo_dist._native, as Python sees it:
//
//     class Profile:                       # karvo_dist._native.Profile; subclassable
//         def __new__(cls, seed: int = 0) -> Profile: ...   # an empty profile
//         seed: int                                         # read-only
//         def observe_dict(self, py_dict: dict) -> None: ...
//         def observe_dicts(self, py_list: list) -> None: ...
//         def _read_jsonl_path(self, path, ...) -> tuple: ...   # jsonl_reading.h
//         def _read_jsonl_bytes(self, data, ...) -> tuple: ...
//         def _read_jsonl_chunks(self, chunks, ...) -> tuple: ...
//         def _read_arrow_stream(self, stream) -> int: ...      # arrow_reading.h
//         def _read_arrow_array(self, schema, array) -> int: ...
//         def merge(self, other: Profile) -> None: ...      # in place; equal seeds only
//         def to_bytes(self) -> bytes: ...
//         @classmethod
//         def from_bytes(cls, data, seed: int = 0) -> Profile: ...
//         def report(self) -> str: ...
//         def flush(self) -> str: ...
//         def column_names(self) -> list[str]: ...
//         def __len__(self) -> int: ...                     # number of columns
//
// karvo_dist.Profile subclasses it in Python for what costs nothing per row (repr,
// pickling, equality, copies); every per-row call is this type's own method.
//
// Each instance owns one profiler::KarvoEngine made with keys derived from its seed, so
// that instances with equal seeds, in any process, hash values alike and can merge. The
// observe methods read rows with karvo's own row reader (pykit/row_walk.h) and
// apply them through the same engine path as karvo.Profiler, so the value rules, the
// errors and the all-or-nothing rule are the same.
//
// Each instance is the kit's native profile (pykit/native_profile.h), then its seed:
// single-row observe_dict calls wait, converted, in its row buffer and reach the engine in
// batches, as for karvo.Profiler, and every other method reaches the engine through
// NativeProfile::call, which applies them first (merge does so for both profiles).
// Deallocation, observe_dict, observe_dicts and flush are the kit's slot functions.
//
// Invariants: a live instance holds its native profile from __new__ (or from_bytes) until
// deallocation; every entry point ends through the entry protocol (pykit/entry.h).
//
// Thread safety: every entry runs with the GIL held; only the JSON Lines and Arrow
// methods release it, while the reader works, and the engine is safe for that. The type is created once,
// under the GIL.
#pragma once

#include "pykit/py_ref.h"

namespace dist_binding {

// The Profile type object (a borrowed reference), created on first use; null with a
// Python exception set when it cannot be made.
PyObject* profile_type();

}  // namespace dist_binding
