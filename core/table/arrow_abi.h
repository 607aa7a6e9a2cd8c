// The Arrow C data interface and C stream interface: the plain structs through which producers
// (pyarrow, polars, pandas, DuckDB, nanoarrow...) hand over columnar data without a shared
// library. Written from the published, stable ABI; the include guards are the canonical ones, so
// a translation unit that also sees another copy of these definitions keeps only one.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

// The type of an array: a format string, a name, and the schemas of its children and of its
// dictionary (for dictionary-encoded arrays, whose format is then the type of the indices).
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema **children;
    struct ArrowSchema *dictionary;
    // Releases what the producer allocated; null once released (or for a moved-from struct).
    void (*release)(struct ArrowSchema *);
    void *private_data;
};

// The data of an array: `length` elements starting at `offset` in its buffers.
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void **buffers;
    struct ArrowArray **children;
    struct ArrowArray *dictionary;
    void (*release)(struct ArrowArray *);
    void *private_data;
};

#endif // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

// A sequence of arrays of one schema. Every callback returns 0 or an errno-like code; after a
// failure get_last_error describes it (the text lives until the next call or the release).
// get_next hands over an array with release null at the end of the stream.
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream *, struct ArrowSchema *out);
    int (*get_next)(struct ArrowArrayStream *, struct ArrowArray *out);
    const char *(*get_last_error)(struct ArrowArrayStream *);
    void (*release)(struct ArrowArrayStream *);
    void *private_data;
};

#endif // ARROW_C_STREAM_INTERFACE

#ifdef __cplusplus
}
#endif
