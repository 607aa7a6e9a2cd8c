// Running a slow source (a decompressor) beside the reader: a thread of its own fills one buffer
// while the reader empties the other.
#pragma once

#include <cstddef>
#include <memory>

#include "byte_source.hpp"

namespace annotrove::table {

// `inner`'s bytes, produced `chunk` at a time on a thread that starts here and is stopped and
// joined when the returned source is destroyed, on every path. Where no thread can be started,
// `inner` itself.
std::unique_ptr<ByteSource> read_ahead_source(std::unique_ptr<ByteSource> inner,
                                              std::size_t chunk);

} // namespace annotrove::table
