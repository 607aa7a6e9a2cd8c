#include "zstd_source.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#if defined(ANNOTROVE_HAVE_ZSTD)
#include <zstd.h>
#include <zstd_errors.h>
#endif

namespace annotrove::table {

#if defined(ANNOTROVE_HAVE_ZSTD)

namespace {

struct StreamFree {
    void operator()(ZSTD_DStream *stream) const { ZSTD_freeDStream(stream); }
};

// A zstd frame, or a skippable one (magic 0x184D2A50 to 0x184D2A5F, little-endian).
bool starts_frame(const unsigned char *bytes) {
    return (bytes[0] == 0x28 && bytes[1] == 0xB5 && bytes[2] == 0x2F && bytes[3] == 0xFD) ||
           ((bytes[0] & 0xF0U) == 0x50U && bytes[1] == 0x2A && bytes[2] == 0x4D &&
            bytes[3] == 0x18);
}

class ZstdSource final : public ByteSource {
  public:
    ZstdSource(std::unique_ptr<ByteSource> compressed, std::string name, std::size_t block,
               std::uint64_t size_hint)
        : compressed_(std::move(compressed)), name_(std::move(name)),
          stream_(ZSTD_createDStream()), input_(std::max<std::size_t>(block, 4)),
          size_hint_(size_hint) {
        if (!stream_ || ZSTD_isError(ZSTD_initDStream(stream_.get()))) {
            failure_ = CoreError::csv("cannot decompress " + name_ + ": out of memory");
        }
    }

    std::size_t read(char *destination, std::size_t capacity) override;
    std::optional<CoreError> failure() const override { return failure_; }
    std::uint64_t size() const override { return size_hint_; }
    bool damage_shows_late() const override { return true; }

  private:
    std::size_t held() const { return end_ - begin_; }
    bool take_input();
    void damaged(std::string_view detail) {
        failure_ = CoreError::csv("the zstd stream of " + name_ + " is damaged: " +
                                  std::string(detail));
    }

    std::unique_ptr<ByteSource> compressed_;
    std::string name_;
    std::unique_ptr<ZSTD_DStream, StreamFree> stream_;
    std::vector<unsigned char> input_;
    std::size_t begin_ = 0; // compressed bytes held: input_[begin_, end_)
    std::size_t end_ = 0;
    bool input_ended_ = false;
    bool between_frames_ = true; // the next compressed byte starts a frame, or nothing does
    bool finished_ = false;
    std::optional<CoreError> failure_;
    std::uint64_t size_hint_;
};

bool ZstdSource::take_input() {
    if (input_ended_) {
        return false;
    }
    const std::size_t kept = held();
    std::memmove(input_.data(), input_.data() + begin_, kept);
    begin_ = 0;
    end_ = kept;
    if (end_ == input_.size()) {
        input_.resize(input_.size() * 2);
    }
    const std::size_t count =
        compressed_->read(reinterpret_cast<char *>(input_.data() + end_), input_.size() - end_);
    end_ += count;
    if (count == 0) {
        input_ended_ = true;
        if (std::optional<CoreError> error = compressed_->failure()) {
            failure_ = std::move(error);
        }
        return false;
    }
    return true;
}

std::size_t ZstdSource::read(char *destination, std::size_t capacity) {
    std::size_t produced = 0;
    while (produced < capacity && !finished_ && !failure_) {
        if (between_frames_) {
            while (held() < 4 && take_input()) {
            }
            if (failure_) {
                break;
            }
            if (held() == 0) {
                finished_ = true;
                break;
            }
            if (held() < 4 || !starts_frame(input_.data() + begin_)) {
                damaged("trailing garbage follows its last frame");
                break;
            }
            between_frames_ = false;
        }
        ZSTD_inBuffer in{input_.data(), end_, begin_};
        ZSTD_outBuffer out{destination, capacity, produced};
        const std::size_t status = ZSTD_decompressStream(stream_.get(), &out, &in);
        const bool progress = in.pos != begin_ || out.pos != produced;
        begin_ = in.pos;
        produced = out.pos;
        if (ZSTD_isError(status)) {
            if (ZSTD_getErrorCode(status) == ZSTD_error_frameParameter_windowTooLarge) {
                // A sound file, but one whose decoder would need more memory than zstd itself
                // grants without being asked to (written with --long=28 or more).
                failure_ = CoreError::csv(
                    "the zstd stream of " + name_ +
                    " needs a window of more than 128 MiB (it was written with --long=28 or "
                    "more), which annotrove does not read; decompress it first");
            } else {
                damaged("it holds invalid compressed data or a wrong checksum");
            }
            break;
        }
        if (status == 0) {
            between_frames_ = true; // the frame is whole and all of its text handed out
            continue;
        }
        // No progress: the frame goes on past the bytes held.
        if (!progress && !take_input() && !failure_) {
            damaged("it ends in the middle of a frame (the file was cut short)");
        }
    }
    return produced;
}

} // namespace

bool zstd_supported() { return true; }

std::unique_ptr<ByteSource> zstd_source(std::unique_ptr<ByteSource> compressed, std::string name,
                                        std::size_t block_size, std::uint64_t size_hint) {
    return std::make_unique<ZstdSource>(std::move(compressed), std::move(name), block_size,
                                        size_hint);
}

#else

bool zstd_supported() { return false; }

std::unique_ptr<ByteSource> zstd_source(std::unique_ptr<ByteSource>, std::string, std::size_t,
                                        std::uint64_t) {
    return nullptr;
}

#endif

} // namespace annotrove::table
