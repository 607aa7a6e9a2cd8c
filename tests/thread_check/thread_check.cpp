// The threaded table reader against the one-thread reader, without Python in the way, so that it
// can run under ThreadSanitizer (scripts/test.sh builds it with -DANNOTROVE_TSAN=ON).
//
//   thread_check [FILE...]
//
// Reads each file given, and tables generated here from fixed seeds (quoted fields holding line
// breaks and doubled quotes, CR LF and lone CR line ends, multi-byte characters, a byte-order
// mark, blank lines, no final line break, ties on the top rank, rows of one query scattered, and
// zero to five faults), once on one thread and then on 2, 3 and 7 threads with chunks from one
// byte to the reader's own size. Every outcome must equal the one-thread outcome: the same
// groups to the last bit, or the same error message. The same for inputs that fail to read part
// way (the first of a row fault and the read failure wins), and an exception thrown on a reading
// thread must reach the caller. Exit status 1 at the first difference.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <memory>
#include <new>
#include <optional>

#include "table/byte_source.hpp"
#include "table/query_groups.hpp"
#include "table/threaded_reader.hpp"

namespace {

using annotrove::QueryGroups;
using annotrove::Result;
using annotrove::table::GroupingOptions;
using annotrove::table::ReadOptions;

std::string describe(const Result<QueryGroups> &groups) {
    if (!groups) {
        return "error: " + groups.error().message();
    }
    std::ostringstream out;
    for (const annotrove::QueryGroup &group : groups->groups) {
        out << group.query_id.size() << ':' << group.query_id << ' ' << group.top_candidate_id
            << '\n';
        for (const annotrove::Candidate &row : group.candidates) {
            out << row.rank << ' ' << std::bit_cast<std::uint64_t>(row.score) << ' '
                << (row.probability() ? std::bit_cast<std::uint64_t>(*row.probability()) : 1)
                << ' ' << (row.is_correct() ? int(*row.is_correct()) : 2) << '\n';
        }
    }
    return out.str();
}

std::string generated_table(std::uint32_t seed) {
    std::mt19937 random(seed);
    const auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    const char *const ends[] = {"\n", "\r\n", "\r"};
    const std::string end = ends[pick(3)];
    const char *const notes[] = {"",          "x",          "\"a,b\"",  "\"line\nbreak\"",
                                 "\"x\r\ny\"", "\"\"\"q\"\"\"", "\xC3\xA9\xE2\x82\xAC",
                                 "\"\r\"",     "\xF0\x9D\x94\xAE"};
    const char *const faults[] = {"0x", "\xFF", "", "1,extra"};
    std::string table = pick(2) == 0 ? "\xEF\xBB\xBF" : "";
    table += "query_id,candidate_id,rank,score,probability,note,is_correct" + end;
    const std::uint32_t rows = 50 + pick(400);
    const std::uint32_t queries = 1 + rows / (1 + pick(8));
    const bool scattered = pick(3) == 0;
    const std::uint32_t fault_count = pick(2) == 0 ? 0 : 1 + pick(5);
    std::vector<std::uint32_t> fault_rows;
    for (std::uint32_t i = 0; i < fault_count; ++i) {
        fault_rows.push_back(pick(rows));
    }
    for (std::uint32_t r = 0; r < rows; ++r) {
        const std::uint32_t query = scattered ? pick(queries) : r * queries / rows;
        std::string rank = std::to_string(1 + pick(3));
        for (std::uint32_t fault : fault_rows) {
            if (fault == r) {
                rank = faults[pick(4)];
            }
        }
        table += "q" + std::to_string(query) + ",c" + std::to_string(r) + "," + rank + "," +
                 std::to_string(pick(1000)) + "." + std::to_string(pick(1000)) + "," +
                 (pick(5) == 0 ? "" : "0." + std::to_string(pick(100000))) + "," +
                 notes[pick(9)] + "," + (pick(3) == 0 ? "true" : "false");
        if (r + 1 < rows || pick(2) == 0) {
            table += end;
        }
        if (pick(20) == 0) {
            table += end; // a blank line
        }
    }
    return table;
}

// Hands out its bytes a few at a time, then fails after `fail_at` of them.
class FailingSource final : public annotrove::table::ByteSource {
  public:
    FailingSource(std::string_view bytes, std::size_t fail_at) : rest_(bytes), left_(fail_at) {}
    std::size_t read(char *destination, std::size_t capacity) override {
        const std::size_t count = std::min({capacity, left_, rest_.size(), std::size_t{5}});
        std::memcpy(destination, rest_.data(), count);
        rest_.remove_prefix(count);
        left_ -= count;
        failed_ = count == 0 && !rest_.empty();
        return count;
    }
    std::optional<annotrove::CoreError> failure() const override {
        return failed_ ? std::optional(annotrove::CoreError::csv("cannot read the test input"))
                       : std::nullopt;
    }
    std::uint64_t size() const override { return 0; }

  private:
    std::string_view rest_;
    std::size_t left_;
    bool failed_ = false;
};

// Counts rows, and throws bad_alloc once, from whichever thread reads row `throw_at` of the
// input's batches (zero: never).
class ThrowingConsumer final : public annotrove::table::BatchedConsumer {
    class Batch final : public annotrove::table::RowBatch {
      public:
        explicit Batch(std::atomic<std::size_t> &countdown) : countdown_(countdown) {}
        void clear() override { rows_ = 0; }
        void add(const annotrove::table::RowCells &) override {
            ++rows_;
            if (countdown_.load() > 0 && countdown_.fetch_sub(1) == 1) {
                throw std::bad_alloc();
            }
        }
        std::size_t rows_ = 0;

      private:
        std::atomic<std::size_t> &countdown_;
    };

  public:
    explicit ThrowingConsumer(std::size_t throw_at) : countdown_(throw_at) {}
    void expect_rows(std::size_t) override {}
    void add(const annotrove::table::RowCells &) override { ++rows; }
    std::unique_ptr<annotrove::table::RowBatch> new_batch() const override {
        return std::make_unique<Batch>(countdown_);
    }
    void take(annotrove::table::RowBatch &batch) override {
        rows += static_cast<Batch &>(batch).rows_;
    }
    std::size_t rows = 0;

  private:
    mutable std::atomic<std::size_t> countdown_;
};

std::string read_outcome(annotrove::table::ByteSource &source, ThrowingConsumer &consumer,
                         std::size_t threads,
                         std::size_t chunk) {
    annotrove::table::CsvReaderSettings settings;
    settings.chunk_size = chunk;
    settings.block_size = 7;
    try {
        const Result<void> read =
            annotrove::table::read_table_threaded(source, consumer, settings, threads);
        return read ? "ok, " + std::to_string(consumer.rows) + " rows" : read.error().message();
    } catch (const std::bad_alloc &) {
        return "bad_alloc";
    }
}

bool check_failures(const std::string &name, const std::string &bytes) {
    bool same = true;
    for (const std::size_t fail_at : {bytes.size() / 3, bytes.size() / 2, bytes.size() - 1}) {
        ThrowingConsumer one_consumer(0);
        FailingSource one_source(bytes, fail_at);
        const std::string expected = read_outcome(one_source, one_consumer, 1, 0);
        for (const std::size_t chunk : {1, 64, 1000}) {
            ThrowingConsumer consumer(0);
            FailingSource source(bytes, fail_at);
            if (read_outcome(source, consumer, 3, chunk) != expected) {
                std::fprintf(stderr, "%s: failing after %zu bytes, chunks of %zu: differs\n",
                             name.c_str(), fail_at, chunk);
                same = false;
            }
        }
    }
    for (const std::size_t throw_at : {1, 3, 40}) {
        ThrowingConsumer consumer(throw_at);
        FailingSource source(bytes, bytes.size());
        const std::string outcome = read_outcome(source, consumer, 3, 200);
        // Either a row fault came first, or the exception thrown on a reading thread arrived.
        if (outcome.starts_with("ok")) {
            std::fprintf(stderr, "%s: an exception on a reading thread was lost\n", name.c_str());
            same = false;
        }
    }
    return same;
}

bool check(const std::string &name, const std::string &bytes) {
    bool same = true;
    for (const bool top_ids : {true, false}) {
        const GroupingOptions options{.top_candidate_ids = top_ids, .sorted_by_id = top_ids};
        const std::string expected = describe(
            annotrove::table::read_query_groups_from_bytes(bytes, options, ReadOptions{}));
        for (const std::size_t threads : {2, 3, 7}) {
            for (const std::size_t chunk : {1, 2, 7, 64, 1000}) {
                ReadOptions read;
                read.threads = threads;
                read.csv.chunk_size = chunk;
                read.csv.block_size = chunk % 5 + 1;
                const std::string got = describe(
                    annotrove::table::read_query_groups_from_bytes(bytes, options, read));
                if (got != expected) {
                    std::fprintf(stderr, "%s: %zu threads, chunks of %zu: differs\n",
                                 name.c_str(), threads, chunk);
                    same = false;
                }
            }
        }
    }
    return same;
}

} // namespace

int main(int argc, char **argv) {
    bool all_same = true;
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
        all_same = check(argv[i], bytes) && all_same;
    }
    for (std::uint32_t seed = 0; seed < 40; ++seed) {
        const std::string name = "generated table " + std::to_string(seed);
        const std::string table = generated_table(seed);
        all_same = check(name, table) && check_failures(name, table) && all_same;
    }
    std::printf("%s\n", all_same ? "every thread count read alike" : "DIFFERENCES");
    return all_same ? 0 : 1;
}
