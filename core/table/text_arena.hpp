// Storage for the texts of the whole-record view of a table: one contiguous buffer addressed by
// 8-byte handles, so a row of seven texts costs 56 bytes of handles instead of 112 bytes of views
// and no heap allocation per field.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace annotrove::table {

class TextArena;

// A text stored in a TextArena, or an absent one. An empty present text is distinct from an
// absent one. Equal handles always name the same text; equal texts may have different handles.
class TextRef {
  public:
    constexpr TextRef() = default; // absent
    constexpr bool has_value() const { return bits_ != absent_bits; }
    constexpr bool operator==(const TextRef &) const = default;

  private:
    friend class TextArena;
    // Offset in the buffer in the high bits, length in the low ones. Texts that do not fit (very
    // long, or stored beyond the first terabyte) are numbered in a side table instead, marked by
    // the all-ones length.
    static constexpr unsigned length_bits = 24;
    static constexpr std::uint64_t length_mask = (std::uint64_t{1} << length_bits) - 1;
    static constexpr std::uint64_t absent_bits = std::numeric_limits<std::uint64_t>::max();

    constexpr explicit TextRef(std::uint64_t bits) : bits_(bits) {}

    std::uint64_t bits_ = absent_bits;
};

class TextArena {
  public:
    TextArena() = default;
    TextArena(TextArena &&other) noexcept
        : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)), long_texts_(std::move(other.long_texts_)) {}
    TextArena &operator=(TextArena &&other) noexcept {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        long_texts_ = std::move(other.long_texts_);
        return *this;
    }
    TextArena(const TextArena &) = delete;
    TextArena &operator=(const TextArena &) = delete;

    TextRef store(std::string_view text) {
        if (text.size() > capacity_ - size_) {
            reallocate(std::max(capacity_ * 2, size_ + std::max(text.size(), minimum_capacity)));
        }
        const std::size_t offset = size_;
        copy_bytes(data_.get() + offset, text.data(), text.size());
        size_ += text.size();
        if (text.size() < TextRef::length_mask && offset < max_inline_offset) {
            return TextRef((std::uint64_t{offset} << TextRef::length_bits) | text.size());
        }
        const std::uint64_t index = long_texts_.size();
        long_texts_.push_back({offset, text.size()});
        return TextRef((index << TextRef::length_bits) | TextRef::length_mask);
    }

    // The text of a present handle made by this arena (never a null pointer).
    std::string_view view(TextRef text) const {
        const std::uint64_t length = text.bits_ & TextRef::length_mask;
        const std::uint64_t high = text.bits_ >> TextRef::length_bits;
        if (length != TextRef::length_mask) {
            return length == 0 ? std::string_view("", 0)
                               : std::string_view(data_.get() + high, length);
        }
        const auto &[offset, size] = long_texts_[high];
        return size == 0 ? std::string_view("", 0) : std::string_view(data_.get() + offset, size);
    }

    std::optional<std::string_view> optional_view(TextRef text) const {
        if (!text.has_value()) {
            return std::nullopt;
        }
        return view(text);
    }

  private:
    // Copies `size` bytes, for size in [width, 2 * width], as two overlapping moves of `width`.
    template <std::size_t width>
    static void copy_from_both_ends(char *destination, const char *source, std::size_t size) {
        char head[width];
        char tail[width];
        std::memcpy(head, source, width);
        std::memcpy(tail, source + size - width, width);
        std::memcpy(destination, head, width);
        std::memcpy(destination + size - width, tail, width);
    }

    // Most texts of a table are short: up to 32 bytes are copied without a library call.
    static void copy_bytes(char *destination, const char *source, std::size_t size) {
        if (size >= 16 && size <= 32) {
            copy_from_both_ends<16>(destination, source, size);
        } else if (size >= 8 && size < 16) {
            copy_from_both_ends<8>(destination, source, size);
        } else if (size > 0) {
            std::memcpy(destination, source, size);
        }
    }

    static constexpr std::size_t minimum_capacity = std::size_t{1} << 16;
    static constexpr std::uint64_t max_inline_offset = std::uint64_t{1}
                                                       << (64 - TextRef::length_bits);

    void reallocate(std::size_t capacity) {
        auto larger = std::make_unique_for_overwrite<char[]>(capacity);
        if (size_ > 0) {
            std::memcpy(larger.get(), data_.get(), size_);
        }
        data_ = std::move(larger);
        capacity_ = capacity;
    }

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::vector<std::pair<std::size_t, std::size_t>> long_texts_; // offset, length
};

} // namespace annotrove::table
