// The text of a gzip input: every member in turn (bgzip output and files joined with `cat` are
// several members), decompressed as the reader asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "byte_source.hpp"

namespace annotrove::table {

// Whether this build reads gzip (it needs ISA-L or zlib).
bool gzip_supported();

// Which library inflates: "isa-l", "zlib", or "" without gzip support.
const char *gzip_library();

// The decompressed text of `compressed`, read `block_size` compressed bytes at a time. Anything
// but whole members to the end (a cut, corrupt data, a wrong checksum, bytes after the last
// member) ends the text with a failure naming `name` and saying the input is damaged. Without
// gzip support, null.
std::unique_ptr<ByteSource> gzip_source(std::unique_ptr<ByteSource> compressed, std::string name,
                                        std::size_t block_size, std::uint64_t size_hint);

} // namespace annotrove::table
