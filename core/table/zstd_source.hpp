// The text of a zstd input: every frame in turn (skippable frames are passed over), decompressed
// as the reader asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "byte_source.hpp"

namespace annotrove::table {

// Whether this build reads zstd (it needs libzstd).
bool zstd_supported();

// The decompressed text of `compressed`, read `block_size` compressed bytes at a time. Anything
// but whole frames to the end (a cut, corrupt data, a wrong checksum, bytes after the last
// frame) ends the text with a failure naming `name` and saying the input is damaged. Without
// zstd support, null.
std::unique_ptr<ByteSource> zstd_source(std::unique_ptr<ByteSource> compressed, std::string name,
                                        std::size_t block_size, std::uint64_t size_hint);

} // namespace annotrove::table
