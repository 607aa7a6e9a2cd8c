// Where the bytes of a table come from: an open file or memory already holding the table. Each
// source hands out its bytes in order, block by block; the reader never seeks, so a source that
// produces its bytes as it goes (a decompressor, say) fits the same loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "../error.hpp"

namespace annotrove::table {

class ByteSource {
  public:
    virtual ~ByteSource() = default;

    // Up to `capacity` bytes into `destination`; zero at the end of the input or on failure
    // (failure() then tells which).
    virtual std::size_t read(char *destination, std::size_t capacity) = 0;

    // The error that ended the input early, if any.
    virtual std::optional<CoreError> failure() const = 0;

    // The input's length when known beforehand, else zero; only used to size allocations.
    virtual std::uint64_t size() const = 0;

    // Whether damage may show only after some of its bytes were handed out: a decompressor checks
    // a member's checksum at its end, after the text before it went to the reader.
    virtual bool damage_shows_late() const { return false; }
};

// The file at `path` (UTF-8 on every platform), read `block_size` bytes at a time. Failure to open
// it is the reader's "cannot open" error.
Result<std::unique_ptr<ByteSource>> open_file_source(std::string_view path,
                                                     std::size_t block_size);

// Bytes already in memory, handed out `block_size` at a time; the memory must outlive the source.
std::unique_ptr<ByteSource> memory_source(std::string_view bytes, std::size_t block_size);

} // namespace annotrove::table
