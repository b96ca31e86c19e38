// The Arrow C data interface and C stream interface: the three structs through which
// columnar data crosses from one library to another in the same process, declared here
// as the interface's published text lays them out (it is an ABI: a consumer declares the
// structs itself and links nothing).
//
// A producer fills the structs and a consumer moves or releases them: whoever holds one
// whose `release` is not null owns it and must call `release` exactly once, which frees
// its buffers and children and sets `release` to null. A struct whose `release` is null
// is released already (or was never filled).
//
// The buffers carry no sizes: what a consumer may read of them is implied by the format
// string, `offset` and `length`, and for variable-length types by the offsets inside
// them (validate.h checks what can be checked before anything is read).
//
// Thread safety: the structs are plain memory; a stream is used by one thread at a time.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

// The type of an array: a format string ("l" for int64, "+s" for a struct, ...), its
// field name and metadata, and its children's schemas (and a dictionary's value type).
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

// The data of an array: `length` logical items starting `offset` items into the buffers;
// `null_count` -1 when the producer has not counted. buffers[0] is the validity bitmap,
// which may be null when no item is null.
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

// A stream of arrays of one schema (for a table: struct arrays, one per record batch).
// get_schema and get_next return 0 or an errno value; get_next leaves `out` released
// (release null) at the end of the stream. get_last_error describes the last failure,
// valid until the next call on the stream.
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"
