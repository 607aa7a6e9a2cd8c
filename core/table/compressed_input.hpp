// Tables stored compressed: which compression a file holds, told by its first bytes and never by
// its name, and the source that hands out its text. The text is decompressed block by block as
// the reader asks for it, so the whole table never exists at once, in memory or on disk.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "../error.hpp"
#include "byte_source.hpp"
#include "csv_reader_settings.hpp"

namespace annotrove::table {

enum class Compression { none, gzip, zstd, bzip2, xz, zip };

// Enough leading bytes to tell every format below apart.
inline constexpr std::size_t compression_magic_length = 10;

// The compression whose signature `head` (the first bytes of the input, as many as there are up
// to compression_magic_length) starts with. Plain text is never mistaken for gzip, zstd or xz: their
// signatures are not UTF-8. bzip2 and zip signatures are ASCII, so they are matched in full.
Compression detect_compression(std::string_view head);

// The format's usual name ("gzip", "zstd", ...).
std::string_view compression_name(Compression compression);

// Whether this build decompresses the format.
bool can_decompress(Compression compression);

// The text of `raw`, whatever compression its bytes show; `name` names the input in messages
// ("\"t.csv.gz\"" or "the input"). A format annotrove does not read, or one this build lacks, is
// an error that says so.
Result<std::unique_ptr<ByteSource>> decompressed_source(std::unique_ptr<ByteSource> raw,
                                                        std::string_view name,
                                                        const CsvReaderSettings &settings);

// The file at `path` as the reader sees it: its bytes, or their decompressed text.
Result<std::unique_ptr<ByteSource>> open_table_source(std::string_view path,
                                                      const CsvReaderSettings &settings);

// Bytes in memory as the reader sees them (the fuzzers' and tests' entry).
Result<std::unique_ptr<ByteSource>> table_source_from_bytes(std::string_view bytes,
                                                            const CsvReaderSettings &settings);

// A compressed member's checksum sits at its end, so damage can surface as text the reader
// rejects before the decompressor sees it. When the read failed on such text, the rest of the
// input is decompressed (and discarded): if it is damaged, that is the error to report.
Result<void> prefer_damage(ByteSource &source, Result<void> outcome);

} // namespace annotrove::table
