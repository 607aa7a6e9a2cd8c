#include "gzip_source.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#if defined(ANNOTROVE_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#elif defined(ANNOTROVE_HAVE_ZLIB)
#include <zlib.h>
#endif

namespace annotrove::table {

#if defined(ANNOTROVE_HAVE_ISAL) || defined(ANNOTROVE_HAVE_ZLIB)

namespace {

// What one step of inflating did.
enum class Step { going, member_end, bad };

// Both libraries count in 32 bits.
constexpr std::size_t largest_step = std::size_t{1} << 30;

#if defined(ANNOTROVE_HAVE_ISAL)

// ISA-L's inflater: several times faster than zlib's on the same input, which is what lets
// decompression keep up with the parser.
class Inflater {
  public:
    Inflater() : state_(std::make_unique<inflate_state>()) { restart(); }

    bool ready() const { return true; }

    void restart() {
        isal_inflate_init(state_.get());
        state_->crc_flag = ISAL_GZIP; // parse the header, check the trailer's CRC and length
    }

    // Inflates from [in, in + in_length) into [out, out + out_length), advancing both.
    Step run(const unsigned char *&in, std::size_t &in_length, char *&out,
             std::size_t &out_length) {
        inflate_state &state = *state_;
        const auto in_step = static_cast<std::uint32_t>(std::min(in_length, largest_step));
        const auto out_step = static_cast<std::uint32_t>(std::min(out_length, largest_step));
        state.next_in = const_cast<std::uint8_t *>(in);
        state.avail_in = in_step;
        state.next_out = reinterpret_cast<std::uint8_t *>(out);
        state.avail_out = out_step;
        const int status = isal_inflate(&state);
        const std::size_t consumed = in_step - state.avail_in;
        const std::size_t produced = out_step - state.avail_out;
        in += consumed;
        in_length -= consumed;
        out += produced;
        out_length -= produced;
        if (status != ISAL_DECOMP_OK && status != ISAL_END_INPUT && status != ISAL_OUT_OVERFLOW) {
            return Step::bad;
        }
        return state.block_state == ISAL_BLOCK_FINISH ? Step::member_end : Step::going;
    }

  private:
    std::unique_ptr<inflate_state> state_; // about 100 KB: kept off the stack
};

#else

// zlib's inflater: on every platform, where ISA-L is not.
class Inflater {
  public:
    Inflater() { ready_ = inflateInit2(&stream_, 16 + MAX_WBITS) == Z_OK; } // gzip only

    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;
    ~Inflater() {
        if (ready_) {
            inflateEnd(&stream_);
        }
    }

    bool ready() const { return ready_; }

    void restart() { inflateReset(&stream_); }

    Step run(const unsigned char *&in, std::size_t &in_length, char *&out,
             std::size_t &out_length) {
        const auto in_step = static_cast<uInt>(std::min(in_length, largest_step));
        const auto out_step = static_cast<uInt>(std::min(out_length, largest_step));
        stream_.next_in = const_cast<Bytef *>(in);
        stream_.avail_in = in_step;
        stream_.next_out = reinterpret_cast<Bytef *>(out);
        stream_.avail_out = out_step;
        const int status = inflate(&stream_, Z_NO_FLUSH);
        const std::size_t consumed = in_step - stream_.avail_in;
        const std::size_t produced = out_step - stream_.avail_out;
        in += consumed;
        in_length -= consumed;
        out += produced;
        out_length -= produced;
        if (status == Z_STREAM_END) {
            return Step::member_end;
        }
        return status == Z_OK || status == Z_BUF_ERROR ? Step::going : Step::bad;
    }

  private:
    z_stream stream_{};
    bool ready_ = false;
};

#endif

class GzipSource final : public ByteSource {
  public:
    GzipSource(std::unique_ptr<ByteSource> compressed, std::string name, std::size_t block,
               std::uint64_t size_hint)
        : compressed_(std::move(compressed)), name_(std::move(name)),
          input_(std::max<std::size_t>(block, 2)), size_hint_(size_hint) {
        if (!inflater_.ready()) {
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
        failure_ = CoreError::csv("the gzip stream of " + name_ + " is damaged: " +
                                  std::string(detail));
    }

    std::unique_ptr<ByteSource> compressed_;
    std::string name_;
    Inflater inflater_;
    std::vector<unsigned char> input_;
    std::size_t begin_ = 0; // compressed bytes held: input_[begin_, end_)
    std::size_t end_ = 0;
    bool input_ended_ = false;
    bool between_members_ = true; // the next compressed byte starts a member, or nothing does
    bool finished_ = false;
    std::optional<CoreError> failure_;
    std::uint64_t size_hint_;
};

// Moves the bytes held to the front and appends what the compressed input gives; false when it
// gives nothing more (its end, or its failure, which becomes this source's).
bool GzipSource::take_input() {
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

std::size_t GzipSource::read(char *destination, std::size_t capacity) {
    char *out = destination;
    std::size_t room = capacity;
    while (room > 0 && !finished_ && !failure_) {
        if (between_members_) {
            // Another member, or the end; gzip's own test calls anything else trailing garbage.
            while (held() < 2 && take_input()) {
            }
            if (failure_) {
                break;
            }
            if (held() == 0) {
                finished_ = true;
                break;
            }
            if (held() < 2 || input_[begin_] != 0x1F || input_[begin_ + 1] != 0x8B) {
                damaged("trailing garbage follows its last member");
                break;
            }
            inflater_.restart();
            between_members_ = false;
        }
        const unsigned char *in = input_.data() + begin_;
        std::size_t in_length = held();
        const std::size_t room_before = room;
        const Step step = inflater_.run(in, in_length, out, room);
        const bool consumed = in_length < held();
        begin_ = end_ - in_length;
        if (step == Step::bad) {
            damaged("it holds invalid compressed data or a wrong checksum");
            break;
        }
        if (step == Step::member_end) {
            between_members_ = true;
            continue;
        }
        // No progress: the member goes on past the bytes held.
        if (!consumed && room == room_before && !take_input() && !failure_) {
            damaged("it ends in the middle of a member (the file was cut short)");
        }
    }
    return capacity - room;
}

} // namespace

bool gzip_supported() { return true; }

const char *gzip_library() {
#if defined(ANNOTROVE_HAVE_ISAL)
    return "isa-l";
#else
    return "zlib";
#endif
}

std::unique_ptr<ByteSource> gzip_source(std::unique_ptr<ByteSource> compressed, std::string name,
                                        std::size_t block_size, std::uint64_t size_hint) {
    return std::make_unique<GzipSource>(std::move(compressed), std::move(name), block_size,
                                        size_hint);
}

#else

bool gzip_supported() { return false; }

const char *gzip_library() { return ""; }

std::unique_ptr<ByteSource> gzip_source(std::unique_ptr<ByteSource>, std::string, std::size_t,
                                        std::uint64_t) {
    return nullptr;
}

#endif

} // namespace annotrove::table
