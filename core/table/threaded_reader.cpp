// Reading one table on several threads.
//
// The input comes from a source that hands out bytes in order and never seeks, so one thread at
// a time takes the next chunk from it: about a megabyte, cut just after its last CR or LF, the
// rest kept for the next chunk. Whether that line break ends a record depends on the quoting of
// everything before it, which a thread reading the chunk does not know. It assumes it does, and
// the assumption is checked once the chunk before has been read: reading that chunk either ended
// exactly at its end (the assumption held) or inside a record, whose bytes are then read again
// with the next chunk's in one piece. Quoted line breaks are rare in these tables, so chunks are
// almost never read twice, and no thread has to pass over the quoting of the whole input first.
//
// Chunks are taken (one thread at a time, in order), read (any number at once) and handed to
// the consumer (one at a time, in order) by whichever thread is free, the calling one among
// them. The first fault in file order ends the read: a chunk stops at its first fault, and the
// chunks before it have all been handed over without one.
#include "threaded_reader.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "../forced_unwind.hpp"
#include "byte_source.hpp"
#include "compressed_input.hpp"
#include "table_reader.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif
#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

namespace annotrove::table {

namespace {

using detail::ChunkBytes;
using detail::ChunkOutcome;
using detail::TableLayout;
using detail::TableReader;

// Measured on a 2-core machine: a megabyte takes about a millisecond to read, far above what
// handing a chunk between threads costs, and a few chunks per thread in flight stay small next
// to the rows kept.
constexpr std::size_t default_chunk_size = std::size_t{1} << 20;
// Below this, starting threads costs more than it saves.
constexpr std::uint64_t parallel_threshold = std::uint64_t{4} << 20;
constexpr std::size_t padding = StructuralScanner::window_size;

// The last CR or LF in [data, data + length), or null.
const char *last_line_break(const char *data, std::size_t length) {
    for (const char *p = data + length; p != data;) {
        --p;
        if (*p == '\n' || *p == '\r') {
            return p;
        }
    }
    return nullptr;
}

struct Chunk {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;
    std::size_t length = 0;
    std::uint64_t offset = 0;
    bool after_cr = false;
    bool final = false;
    bool last = false; // nothing follows: the input ended, or failed
    bool read = false; // its rows are in `batch`, or it stopped at a fault
    std::unique_ptr<RowBatch> batch;
    ChunkOutcome outcome;

    // Room for `size` bytes and the scanner's padding, keeping the first `length` bytes.
    void reserve(std::size_t size) {
        if (size <= capacity) {
            return;
        }
        auto larger = std::make_unique_for_overwrite<char[]>(size + padding);
        if (length > 0) {
            std::memcpy(larger.get(), bytes.get(), length);
        }
        bytes = std::move(larger);
        capacity = size;
    }
    ChunkBytes view() const { return ChunkBytes{bytes.get(), length, offset, after_cr, final}; }
};

// Threads started here take no signal: the calling thread receives them, as it would with no
// thread started, and the interpreter acts on them once the call returns.
class SignalsBlocked {
  public:
    SignalsBlocked() {
#ifndef _WIN32
        sigset_t all;
        sigfillset(&all);
        blocked_ = pthread_sigmask(SIG_BLOCK, &all, &previous_) == 0;
#endif
    }
    ~SignalsBlocked() {
#ifndef _WIN32
        if (blocked_) {
            pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        }
#endif
    }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

  private:
#ifndef _WIN32
    sigset_t previous_{};
    bool blocked_ = false;
#endif
};

class ThreadedRead {
  public:
    ThreadedRead(ByteSource &source, BatchedConsumer &consumer, const TableReader &header,
                 std::size_t chunk_size, std::size_t threads)
        : source_(source), consumer_(consumer), layout_(header.layout()),
          // Two chunks per thread, one being taken and one being handed over: enough to keep
          // every thread busy while one is held up mid-chunk, and memory in flight stays a few
          // megabytes per thread.
          kernel_(header.kernel()), chunk_size_(chunk_size), chunks_(2 * threads + 2) {
        const TableReader::Rest rest = header.rest();
        pending_.assign(rest.bytes.begin(), rest.bytes.end());
        next_offset_ = rest.offset;
        next_after_cr_ = rest.after_cr;
        input_ended_ = rest.at_end;
        line_ = rest.line;
    }

    Result<void> run(std::size_t threads);

  private:
    // What taking a chunk from the source found.
    struct Taken {
        bool last = false; // nothing follows: the input ended, or failed
        std::optional<CoreError> failure;
    };

    Chunk &chunk(std::size_t index) { return chunks_[index % chunks_.size()]; }
    void work();
    Taken take_chunk(Chunk &chunk);
    void read_chunk(Chunk &chunk) const;
    bool hand_over(Chunk &chunk);
    void expect_rows(std::uint64_t end_offset);

    ByteSource &source_;
    BatchedConsumer &consumer_;
    const TableLayout &layout_;
    StructuralMaskFn kernel_;
    std::size_t chunk_size_;
    std::vector<Chunk> chunks_; // a ring: chunk i lives in slot i % size

    // Shared between the threads, under mutex_.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t taken_ = 0;      // chunks taken from the source
    std::size_t reading_ = 0;    // chunks handed to a thread to read
    std::size_t handed_ = 0;     // chunks handed over to the consumer
    bool taking_ = false;        // a thread is taking a chunk from the source
    bool handing_ = false;       // a thread is handing a chunk over
    bool source_done_ = false;   // no chunk left to take
    bool finished_ = false;      // every chunk handed over, or the read failed
    std::size_t failure_index_ = 0;
    std::optional<CoreError> source_failure_; // after the chunk before failure_index_
    std::optional<CoreError> error_;
    std::exception_ptr exception_;

    // Only the thread taking a chunk: the bytes after the last chunk's cut, and where they are.
    std::vector<char> pending_;
    std::uint64_t next_offset_ = 0;
    bool next_after_cr_ = false;
    bool input_ended_ = false;

    // Only the thread handing chunks over: the line of the next byte not yet handed over, and
    // the bytes from the start of a record the last chunk read ended inside (with any chunks
    // joined to them since), to be read again from that start.
    std::uint64_t line_ = 1;
    Chunk joined_;
    std::uint64_t carry_offset_ = 0;
    std::size_t carried_ = 0; // joined_'s length when it was last read
    std::size_t rows_ = 0;
    bool estimated_ = false;
};

ThreadedRead::Taken ThreadedRead::take_chunk(Chunk &chunk) {
    Taken taken;
    chunk.length = 0;
    chunk.reserve(std::max(chunk_size_, pending_.size() + 1));
    if (!pending_.empty()) { // an empty vector's data() may be null, which memcpy must not see
        std::memcpy(chunk.bytes.get(), pending_.data(), pending_.size());
    }
    chunk.length = pending_.size();
    pending_.clear();
    std::size_t target = std::max(chunk_size_, chunk.length + 1);
    const char *cut = nullptr;
    for (;;) {
        while (!input_ended_ && chunk.length < target) {
            const std::size_t count =
                source_.read(chunk.bytes.get() + chunk.length, target - chunk.length);
            if (count == 0) {
                input_ended_ = true;
                taken.failure = source_.failure();
            }
            chunk.length += count;
        }
        if (input_ended_) {
            break;
        }
        cut = last_line_break(chunk.bytes.get(), chunk.length);
        if (cut != nullptr) {
            break;
        }
        // A record longer than a chunk: take more of it.
        target *= 2;
        chunk.reserve(target);
    }
    if (cut != nullptr) {
        const std::size_t kept = static_cast<std::size_t>(cut - chunk.bytes.get()) + 1;
        pending_.assign(chunk.bytes.get() + kept, chunk.bytes.get() + chunk.length);
        chunk.length = kept;
    }
    std::memset(chunk.bytes.get() + chunk.length, 0, padding);
    chunk.offset = next_offset_;
    chunk.after_cr = next_after_cr_;
    // After a failure the bytes read are still read (a fault among them comes first), but
    // as a chunk the input does not end with.
    chunk.final = input_ended_ && !taken.failure;
    chunk.last = input_ended_;
    taken.last = input_ended_;
    next_offset_ += chunk.length;
    if (chunk.length > 0) {
        next_after_cr_ = chunk.bytes[chunk.length - 1] == '\r';
    }
    return taken;
}

void ThreadedRead::read_chunk(Chunk &chunk) const {
    if (!chunk.batch) {
        chunk.batch = consumer_.new_batch();
    }
    chunk.batch->clear();
    chunk.outcome = TableReader(layout_, chunk.view(), *chunk.batch, kernel_).run_chunk();
}

// The consumer's storage is sized once from the rows of the first chunks (see
// TableReader::estimate_rows).
void ThreadedRead::expect_rows(std::uint64_t end_offset) {
    constexpr std::size_t sample_rows = 1024;
    constexpr std::uint64_t shortest_row = 8;
    if (estimated_ || rows_ < sample_rows || source_.size() == 0) {
        return;
    }
    estimated_ = true;
    const std::uint64_t row_length = std::max<std::uint64_t>(end_offset / rows_, 1);
    const std::uint64_t estimate = source_.size() / row_length;
    const std::uint64_t bound = source_.size() / shortest_row;
    consumer_.expect_rows(static_cast<std::size_t>(std::min(estimate + estimate / 16, bound)));
}

// Hands the chunk's rows over when its reading began at a record's start. Otherwise the chunk
// began inside the record the last reading ended in: its bytes join that record's, to be read
// from the record's start. Reading them again each time a chunk joins would cost the square of
// a record that spans many chunks, so they are read once as many bytes have joined as there
// were at the last reading (and at the end of the input). False at a fault.
bool ThreadedRead::hand_over(Chunk &chunk) {
    Chunk *read = &chunk;
    if (joined_.length > 0) {
        joined_.reserve(joined_.length + chunk.length);
        std::memcpy(joined_.bytes.get() + joined_.length, chunk.bytes.get(), chunk.length);
        joined_.length += chunk.length;
        if (!chunk.last && joined_.length < 2 * carried_) {
            return true;
        }
        std::memset(joined_.bytes.get() + joined_.length, 0, padding);
        joined_.offset = carry_offset_;
        joined_.after_cr = false; // the carried record's first byte is no line break
        joined_.final = chunk.final;
        read_chunk(joined_);
        read = &joined_;
    }
    const ChunkOutcome &outcome = read->outcome;
    if (outcome.fault) {
        error_ = CoreError::csv(outcome.fault->what +
                                detail::position_text(line_ + outcome.fault->line,
                                                      outcome.fault->offset));
        return false;
    }
    consumer_.take(*read->batch);
    rows_ += outcome.rows;
    line_ += outcome.lines;
    carry_offset_ = read->offset + outcome.stop;
    const std::size_t rest = read->length - outcome.stop;
    if (read == &joined_) {
        std::memmove(joined_.bytes.get(), joined_.bytes.get() + outcome.stop, rest);
    } else if (rest > 0) {
        joined_.length = 0;
        joined_.reserve(rest);
        std::memcpy(joined_.bytes.get(), chunk.bytes.get() + outcome.stop, rest);
    }
    joined_.length = rest;
    carried_ = rest;
    expect_rows(carry_offset_);
    return true;
}

ANNOTROVE_PASSES_FORCED_UNWIND void ThreadedRead::work() {
    std::unique_lock lock(mutex_);
    while (!finished_) {
        Chunk &next = chunk(handed_);
        if (!handing_ && handed_ < taken_ && next.read) {
            handing_ = true;
            lock.unlock();
            bool handed = false;
            std::exception_ptr thrown;
            try {
                handed = hand_over(next);
            }
            ANNOTROVE_PASS_FORCED_UNWIND
            catch (...) {
                thrown = std::current_exception();
            }
            lock.lock();
            handing_ = false;
            next.read = false;
            ++handed_;
            if (thrown) {
                exception_ = thrown;
            }
            if (!handed || next.final) {
                finished_ = true;
            }
            changed_.notify_all();
        } else if (!handing_ && source_failure_ && handed_ == failure_index_) {
            error_ = std::move(source_failure_);
            finished_ = true;
            changed_.notify_all();
        } else if (!taking_ && !source_done_ && taken_ - handed_ < chunks_.size()) {
            taking_ = true;
            const std::size_t index = taken_;
            lock.unlock();
            Taken taken;
            std::exception_ptr thrown;
            try {
                taken = take_chunk(chunk(index));
            }
            ANNOTROVE_PASS_FORCED_UNWIND
            catch (...) {
                thrown = std::current_exception();
            }
            lock.lock();
            taking_ = false;
            if (thrown) {
                exception_ = thrown;
                finished_ = true;
            } else {
                ++taken_;
                if (taken.last) {
                    source_done_ = true;
                }
                if (taken.failure) {
                    source_failure_ = std::move(taken.failure);
                    failure_index_ = taken_;
                }
            }
            changed_.notify_all();
        } else if (reading_ < taken_) {
            Chunk &task = chunk(reading_++);
            lock.unlock();
            std::exception_ptr thrown;
            try {
                read_chunk(task);
            }
            ANNOTROVE_PASS_FORCED_UNWIND
            catch (...) {
                thrown = std::current_exception();
            }
            lock.lock();
            task.read = true;
            if (thrown) {
                exception_ = thrown;
                finished_ = true;
            }
            changed_.notify_all();
        } else {
            changed_.wait(lock);
        }
    }
}

// Every thread started here is joined before this returns, however it returns: also when the
// calling thread is unwound (cancelled) while it takes part.
ANNOTROVE_PASSES_FORCED_UNWIND Result<void> ThreadedRead::run(std::size_t threads) {
    std::vector<std::thread> helpers;
    struct Joined {
        ThreadedRead &read;
        std::vector<std::thread> &helpers;
        ~Joined() {
            {
                const std::lock_guard lock(read.mutex_);
                read.finished_ = true;
            }
            read.changed_.notify_all();
            for (std::thread &helper : helpers) {
                helper.join();
            }
        }
    } joined{*this, helpers};
    {
        const SignalsBlocked blocked;
        try {
            helpers.reserve(threads - 1);
            for (std::size_t i = 1; i < threads; ++i) {
                helpers.emplace_back([this] { work(); });
            }
        }
        ANNOTROVE_PASS_FORCED_UNWIND
        catch (const std::system_error &) {
            // Fewer threads than asked (the system refused one): the same rows, a little later.
        }
    }
    work();
    for (std::thread &helper : helpers) {
        helper.join();
    }
    helpers.clear();
    if (exception_) {
        std::rethrow_exception(exception_);
    }
    if (error_) {
        return std::unexpected(std::move(*error_));
    }
    return {};
}

} // namespace

Result<void> read_table_threaded(ByteSource &source, BatchedConsumer &consumer,
                                 const CsvReaderSettings &settings, std::size_t threads) {
    // A source that cannot tell its length (a decompressor) is taken to be large.
    const bool small =
        settings.chunk_size == 0 && source.size() != 0 && source.size() < parallel_threshold;
    if (threads <= 1 || small) {
        return read_table_from_source(source, consumer, settings);
    }
    // The header is read here, on this thread, as it always is: its faults come first.
    TableReader header(source, consumer, settings);
    Result<void> read = header.read_header();
    if (read) {
        const std::size_t chunk_size =
            settings.chunk_size != 0 ? settings.chunk_size : default_chunk_size;
        read = ThreadedRead(source, consumer, header, chunk_size, threads).run(threads);
    }
    // Every thread has ended: the source is this thread's again.
    return prefer_damage(source, std::move(read));
}

std::size_t available_cores() {
#ifdef _WIN32
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) != 0 &&
        process_mask != 0) {
        std::size_t count = 0;
        for (; process_mask != 0; process_mask &= process_mask - 1) {
            ++count;
        }
        return count;
    }
#elif defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
    }
#endif
    return std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
}

} // namespace annotrove::table
