// Append-only storage for the texts of a table: one large block at a time, never moved, so views
// into it stay valid for the arena's lifetime and a row costs no heap allocation per field.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace annotrove {

class TextArena {
  public:
    TextArena() = default;
    TextArena(TextArena &&) noexcept = default;
    TextArena &operator=(TextArena &&) noexcept = default;
    TextArena(const TextArena &) = delete;
    TextArena &operator=(const TextArena &) = delete;

    // Copies text into the arena and returns a stable view of the copy (never a null pointer).
    std::string_view store(std::string_view text) {
        if (text.empty()) {
            return {"", 0}; // a present empty text still needs a non-null pointer
        }
        if (text.size() > remaining_) {
            grow(text.size());
        }
        char *destination = cursor_;
        std::memcpy(destination, text.data(), text.size());
        cursor_ += text.size();
        remaining_ -= text.size();
        return {destination, text.size()};
    }

    std::size_t bytes_reserved() const { return reserved_; }

  private:
    static constexpr std::size_t block_size = std::size_t{1} << 20;

    void grow(std::size_t at_least) {
        std::size_t size = at_least > block_size ? at_least : block_size;
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
        cursor_ = blocks_.back().get();
        remaining_ = size;
        reserved_ += size;
    }

    std::vector<std::unique_ptr<char[]>> blocks_;
    char *cursor_ = nullptr;
    std::size_t remaining_ = 0;
    std::size_t reserved_ = 0;
};

} // namespace annotrove
