#include "compressed_input.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "gzip_source.hpp"
#include "read_ahead_source.hpp"
#include "zstd_source.hpp"

namespace annotrove::table {

namespace {

bool starts_with(std::string_view head, std::string_view signature) {
    return head.substr(0, signature.size()) == signature;
}

// Hands out the bytes already taken from the input to look at them, then the rest of it.
class ReplaySource final : public ByteSource {
  public:
    ReplaySource(std::unique_ptr<ByteSource> rest, std::string head)
        : rest_(std::move(rest)), head_(std::move(head)) {}

    std::size_t read(char *destination, std::size_t capacity) override {
        if (given_ < head_.size()) {
            const std::size_t count = std::min(capacity, head_.size() - given_);
            std::memcpy(destination, head_.data() + given_, count);
            given_ += count;
            return count;
        }
        return rest_->read(destination, capacity);
    }
    std::optional<CoreError> failure() const override { return rest_->failure(); }
    std::uint64_t size() const override { return rest_->size(); }

  private:
    std::unique_ptr<ByteSource> rest_;
    std::string head_;
    std::size_t given_ = 0;
};

// What the reader is told about a compressed input's length: the compressed length times a
// typical ratio for text tables. It only sizes storage, and a wrong guess costs reallocations
// or address space that is never touched, not results.
constexpr std::uint64_t typical_ratio = 3;

CoreError refusal(Compression compression, std::string_view name) {
    return CoreError::csv(std::string(name) + " is compressed with " +
                          std::string(compression_name(compression)) +
                          ", which annotrove does not read; decompress it first");
}

CoreError missing_support(Compression compression, std::string_view name) {
    const std::string format(compression_name(compression));
    const std::string_view libraries =
        compression == Compression::gzip ? "ISA-L or zlib" : "libzstd";
    return CoreError::csv(std::string(name) + " is compressed with " + format +
                          ", but this build of annotrove cannot read " + format +
                          " (it was built without " + std::string(libraries) +
                          "); decompress it first");
}

} // namespace

Compression detect_compression(std::string_view head) {
    using namespace std::string_view_literals;
    if (starts_with(head, "\x1F\x8B"sv)) {
        return Compression::gzip;
    }
    // A zstd frame, or a skippable frame (magic 0x184D2A50 to 0x184D2A5F) that some writers put
    // before the first one.
    if (starts_with(head, "\x28\xB5\x2F\xFD"sv) ||
        (head.size() >= 4 && (static_cast<unsigned char>(head[0]) & 0xF0U) == 0x50U &&
         starts_with(head.substr(1), "\x2A\x4D\x18"sv))) {
        return Compression::zstd;
    }
    if (starts_with(head, "\xFD\x37\x7A\x58\x5A\x00"sv)) {
        return Compression::xz;
    }
    // "BZh", the block size digit, then the magic of the first block or of the stream's end.
    if (head.size() >= 10 && starts_with(head, "BZh"sv) && head[3] >= '1' && head[3] <= '9' &&
        (head.substr(4, 6) == "\x31\x41\x59\x26\x53\x59"sv ||
         head.substr(4, 6) == "\x17\x72\x45\x38\x50\x90"sv)) {
        return Compression::bzip2;
    }
    if (starts_with(head, "PK\x03\x04"sv)) {
        return Compression::zip;
    }
    return Compression::none;
}

std::string_view compression_name(Compression compression) {
    switch (compression) {
    case Compression::none:
        return "no compression";
    case Compression::gzip:
        return "gzip";
    case Compression::zstd:
        return "zstd";
    case Compression::bzip2:
        return "bzip2";
    case Compression::xz:
        return "xz";
    case Compression::zip:
        return "zip";
    }
    return "an unknown compression";
}

bool can_decompress(Compression compression) {
    switch (compression) {
    case Compression::none:
        return true;
    case Compression::gzip:
        return gzip_supported();
    case Compression::zstd:
        return zstd_supported();
    case Compression::bzip2:
    case Compression::xz:
    case Compression::zip:
        return false;
    }
    return false;
}

Result<std::unique_ptr<ByteSource>> decompressed_source(std::unique_ptr<ByteSource> raw,
                                                        std::string_view name,
                                                        const CsvReaderSettings &settings) {
    std::string head(compression_magic_length, '\0');
    std::size_t held = 0;
    while (held < head.size()) {
        const std::size_t count = raw->read(head.data() + held, head.size() - held);
        if (count == 0) {
            break; // a read failure shows when the reader asks for these bytes
        }
        held += count;
    }
    head.resize(held);
    const Compression compression = detect_compression(head);
    std::unique_ptr<ByteSource> bytes = std::make_unique<ReplaySource>(std::move(raw), head);
    if (compression == Compression::none) {
        return bytes;
    }
    if (compression == Compression::bzip2 || compression == Compression::xz ||
        compression == Compression::zip) {
        return std::unexpected(refusal(compression, name));
    }
    if (!can_decompress(compression)) {
        return std::unexpected(missing_support(compression, name));
    }
    const std::size_t block = std::max<std::size_t>(settings.block_size, 1);
    const std::uint64_t size_hint = bytes->size() * typical_ratio;
    std::unique_ptr<ByteSource> text =
        compression == Compression::gzip
            ? gzip_source(std::move(bytes), std::string(name), block, size_hint)
            : zstd_source(std::move(bytes), std::string(name), block, size_hint);
    if (settings.decompress_in_background) {
        text = read_ahead_source(std::move(text), block);
    }
    return text;
}

Result<std::unique_ptr<ByteSource>> open_table_source(std::string_view path,
                                                      const CsvReaderSettings &settings) {
    Result<std::unique_ptr<ByteSource>> file = open_file_source(path, settings.block_size);
    if (!file) {
        return file;
    }
    return decompressed_source(std::move(*file), "\"" + std::string(path) + "\"", settings);
}

Result<std::unique_ptr<ByteSource>> table_source_from_bytes(std::string_view bytes,
                                                            const CsvReaderSettings &settings) {
    return decompressed_source(memory_source(bytes, settings.block_size), "the input", settings);
}

Result<void> prefer_damage(ByteSource &source, Result<void> outcome) {
    if (outcome || !source.damage_shows_late()) {
        return outcome;
    }
    // The source may have failed already, after the last bytes the reader took from it.
    if (!source.failure()) {
        std::vector<char> scratch(std::size_t{1} << 16);
        while (source.read(scratch.data(), scratch.size()) > 0) {
        }
    }
    if (std::optional<CoreError> damage = source.failure()) {
        return std::unexpected(std::move(*damage));
    }
    return outcome;
}

} // namespace annotrove::table
