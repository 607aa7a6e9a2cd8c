#include "read_ahead_source.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace annotrove::table {

namespace {

class ReadAheadSource final : public ByteSource {
  public:
    ReadAheadSource(std::unique_ptr<ByteSource> inner, std::size_t chunk)
        : inner_(std::move(inner)), chunk_(std::max<std::size_t>(chunk, 1)),
          size_(inner_->size()) {
        for (Slot &slot : slots_) {
            slot.bytes = std::make_unique_for_overwrite<char[]>(chunk_);
        }
    }

    ReadAheadSource(const ReadAheadSource &) = delete;
    ReadAheadSource &operator=(const ReadAheadSource &) = delete;

    ~ReadAheadSource() override {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (producer_.joinable()) {
            producer_.join();
        }
    }

    // False when no thread could be started.
    bool start() {
        try {
            producer_ = std::thread([this] { produce(); });
            return true;
        } catch (const std::system_error &) {
            return false;
        }
    }

    // Only after a failed start(): the inner source, untouched.
    std::unique_ptr<ByteSource> release() { return std::move(inner_); }

    std::size_t read(char *destination, std::size_t capacity) override;

    std::optional<CoreError> failure() const override {
        const std::lock_guard lock(mutex_);
        return failure_;
    }

    std::uint64_t size() const override { return size_; }
    bool damage_shows_late() const override { return inner_->damage_shows_late(); }

  private:
    // One buffer: full once the producer has filled it, until the reader has emptied it. The
    // last one to be filled is marked, with whatever it holds (possibly nothing).
    struct Slot {
        std::unique_ptr<char[]> bytes;
        std::size_t length = 0;
        bool full = false;
        bool last = false;
    };

    void produce();

    std::unique_ptr<ByteSource> inner_; // used by the producer thread alone while it runs
    std::size_t chunk_;
    std::uint64_t size_;
    std::array<Slot, 2> slots_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::optional<CoreError> failure_;
    std::thread producer_;

    // The reader's side, touched by the reader's thread only.
    std::size_t reading_ = 0; // the slot being emptied
    std::size_t offset_ = 0;  // bytes of it already handed out
    bool ended_ = false;
};

void ReadAheadSource::produce() {
    std::size_t filling = 0;
    for (;;) {
        Slot &slot = slots_[filling];
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !slot.full || stopping_; });
            if (stopping_) {
                return;
            }
        }
        // The slot is this thread's until it is marked full.
        std::size_t length = 0;
        bool last = false;
        while (length < chunk_) {
            const std::size_t count = inner_->read(slot.bytes.get() + length, chunk_ - length);
            if (count == 0) {
                last = true;
                break;
            }
            length += count;
        }
        {
            const std::lock_guard lock(mutex_);
            slot.length = length;
            slot.last = last;
            slot.full = true;
            if (last) {
                failure_ = inner_->failure();
            }
        }
        changed_.notify_all();
        if (last) {
            return;
        }
        filling ^= 1U;
    }
}

std::size_t ReadAheadSource::read(char *destination, std::size_t capacity) {
    while (!ended_) {
        Slot &slot = slots_[reading_];
        if (offset_ == 0) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return slot.full; });
        }
        if (offset_ < slot.length) {
            const std::size_t count = std::min(capacity, slot.length - offset_);
            std::memcpy(destination, slot.bytes.get() + offset_, count);
            offset_ += count;
            return count;
        }
        if (slot.last) {
            ended_ = true;
            break;
        }
        {
            const std::lock_guard lock(mutex_);
            slot.full = false;
        }
        changed_.notify_all();
        reading_ ^= 1U;
        offset_ = 0;
    }
    return 0;
}

} // namespace

std::unique_ptr<ByteSource> read_ahead_source(std::unique_ptr<ByteSource> inner,
                                              std::size_t chunk) {
    auto source = std::make_unique<ReadAheadSource>(std::move(inner), chunk);
    if (!source->start()) {
        return source->release();
    }
    return source;
}

} // namespace annotrove::table
