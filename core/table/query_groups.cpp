// Gathering the rows of a table into one group per query as they are read.
#include "query_groups.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "arrow_reader.hpp"
#include "byte_source.hpp"
#include "compressed_input.hpp"
#include "csv_reader.hpp"
#include "row_reservation.hpp"
#include "same_bytes.hpp"
#include "threaded_reader.hpp"

namespace annotrove::table {

namespace {

// 64-bit mixing of the id's bytes, eight at a time. The seed is taken from where the collector
// lives, which varies from process to process, so ids chosen to collide in one run need not in
// the next; the result never depends on it.
std::uint64_t hash_bytes(std::string_view text, std::uint64_t seed) {
    constexpr std::uint64_t multiplier = 0xbf58476d1ce4e5b9ULL;
    std::uint64_t h = seed ^ (text.size() * 0x9e3779b97f4a7c15ULL);
    const char *p = text.data();
    std::size_t left = text.size();
    while (left >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * multiplier;
        h ^= h >> 31;
        p += 8;
        left -= 8;
    }
    if (left > 0) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, left);
        h = (h ^ word) * multiplier;
        h ^= h >> 31;
    }
    h *= 0x94d049bb133111ebULL;
    return h ^ (h >> 32);
}

// One chunk's rows, read on some thread: their numbers, and the runs of rows that share a
// query_id, each with its id's hash and its top candidate so far. The collector takes the runs in
// file order as it would the rows one by one; the per-row work stays on the reading thread.
class RunBatch final : public RowBatch {
  public:
    struct Text {
        std::size_t offset = 0;
        std::size_t size = 0;
    };
    struct Run {
        Text id;
        std::uint64_t hash = 0;
        std::size_t rows = 0;
        bool has_top = false;
        std::uint64_t top_rank = 0;
        Text top_id;
    };

    RunBatch(const GroupingOptions &options, std::uint64_t seed)
        : options_(options), keep_top_ids_(options.top_candidate_ids), seed_(seed) {}

    bool wants_scores() const override { return options_.scores; }
    bool wants_probabilities() const override { return options_.probabilities; }

    void clear() override {
        texts_.clear();
        rows_.clear();
        runs_.clear();
    }

    void add(const RowCells &cells) override {
        if (runs_.empty() || !same_bytes(text(runs_.back().id), cells.query_id)) {
            Run run;
            run.id = store(cells.query_id);
            run.hash = hash_bytes(cells.query_id, seed_);
            runs_.push_back(run);
        }
        Run &run = runs_.back();
        ++run.rows;
        // The query is set when the collector takes the run.
        rows_.push_back(Candidate::make(cells.rank, cells.score, cells.probability,
                                        cells.is_correct, 0));
        // The first of equal ranks, as the collector keeps it.
        if (keep_top_ids_ && (!run.has_top || cells.rank < run.top_rank)) {
            run.has_top = true;
            run.top_rank = cells.rank;
            run.top_id = store(cells.candidate_id);
        }
    }

    std::string_view text(Text t) const { return {texts_.data() + t.offset, t.size}; }
    const std::vector<Run> &runs() const { return runs_; }
    const std::vector<Candidate> &rows() const { return rows_; }

  private:
    Text store(std::string_view s) {
        const Text stored{texts_.size(), s.size()};
        texts_.insert(texts_.end(), s.begin(), s.end());
        return stored;
    }

    GroupingOptions options_;
    bool keep_top_ids_;
    std::uint64_t seed_;
    std::vector<char> texts_;
    std::vector<Candidate> rows_;
    std::vector<Run> runs_;
};

// Keeps each row's numbers and the query it belongs to, each query's id once, and (on request)
// each query's top candidate_id.
class QueryCollector final : public BatchedConsumer {
  public:
    explicit QueryCollector(const GroupingOptions &options)
        : options_(options), keep_top_ids_(options.top_candidate_ids),
          sorted_by_id_(options.sorted_by_id),
          seed_(hash_bytes({}, reinterpret_cast<std::uintptr_t>(this))) {}

    bool wants_scores() const override { return options_.scores; }
    bool wants_probabilities() const override { return options_.probabilities; }

    void expect_rows(std::size_t rows) override {
        rows_.reserve(rows_to_reserve<Candidate>(rows));
    }

    std::unique_ptr<RowBatch> new_batch() const override {
        return std::make_unique<RunBatch>(options_, seed_);
    }

    // Each run as its rows would have come to add(), one by one.
    void take(RowBatch &batch) override {
        const auto &runs = static_cast<const RunBatch &>(batch);
        const Candidate *row = runs.rows().data();
        for (const RunBatch::Run &run : runs.runs()) {
            const std::string_view id = runs.text(run.id);
            if (current_ == none || !same_bytes(current_id_, id)) {
                finish_run();
                start_run(id, run.hash);
            }
            for (const Candidate *end = row + run.rows; row != end; ++row) {
                rows_.push_back(row->with_query(current_));
            }
            if (keep_top_ids_ && run.has_top && (!run_has_top_ || run.top_rank < run_top_rank_)) {
                run_has_top_ = true;
                run_top_rank_ = run.top_rank;
                run_top_id_.assign(runs.text(run.top_id));
            }
        }
    }

    void add(const RowCells &cells) override {
        // A query's rows usually follow one another: only a change of id needs a lookup. The
        // run's id is compared from a copy of its own, which stays in cache whatever the lookup
        // touched.
        if (current_ == none || !same_bytes(current_id_, cells.query_id)) {
            finish_run();
            start_run(cells.query_id, hash_bytes(cells.query_id, seed_));
        }
        rows_.push_back(Candidate::make(cells.rank, cells.score, cells.probability,
                                        cells.is_correct, current_));
        if (keep_top_ids_ && (!run_has_top_ || cells.rank < run_top_rank_)) {
            run_has_top_ = true;
            run_top_rank_ = cells.rank;
            run_top_id_.assign(cells.candidate_id);
        }
    }

    QueryGroups finish();

  private:
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    struct Text {
        std::size_t offset = 0;
        std::size_t size = 0;
    };
    struct Query {
        Text id;
        std::uint64_t hash = 0;
        std::size_t first_row = 0;
        std::size_t rows = 0;
        Text top_id;
        std::uint64_t top_rank = 0;
        bool has_top = false;
    };
    // One slot of the id index: its query's number plus one (zero marks a free slot) and hash,
    // and the id itself when it is short, so that a lookup of a usual id reads one cache line.
    // Scattered rows make one lookup per row, and each line missed cost as much as the row.
    static constexpr std::size_t inline_id = 15;
    static constexpr std::uint8_t long_id = 0xFF;
    struct Slot {
        std::uint64_t hash = 0;
        std::size_t query = 0;
        std::uint8_t size = 0;
        char bytes[inline_id] = {};
    };

    std::string_view text(Text t) const {
        return t.size == 0 ? std::string_view("", 0)
                           : std::string_view(texts_.data() + t.offset, t.size);
    }
    Text store(std::string_view s) {
        const Text stored{texts_.size(), s.size()};
        texts_.insert(texts_.end(), s.begin(), s.end());
        return stored;
    }
    Slot slot_of(std::size_t q) const {
        Slot slot;
        slot.hash = queries_[q].hash;
        slot.query = q + 1;
        const std::string_view id = text(queries_[q].id);
        if (id.size() <= inline_id) {
            slot.size = static_cast<std::uint8_t>(id.size());
            std::memcpy(slot.bytes, id.data(), id.size());
        } else {
            slot.size = long_id;
        }
        return slot;
    }
    bool holds(const Slot &slot, std::uint64_t hash, std::string_view id) const {
        if (slot.hash != hash) {
            return false;
        }
        if (id.size() <= inline_id) {
            return slot.size == id.size() && std::memcmp(slot.bytes, id.data(), id.size()) == 0;
        }
        return slot.size == long_id && same_bytes(text(queries_[slot.query - 1].id), id);
    }

    void start_run(std::string_view id, std::uint64_t hash);
    void finish_run();
    void sort_by_id(std::vector<std::size_t> &order) const;
    void grow_index();
    void insert(std::size_t q);

    GroupingOptions options_;
    bool keep_top_ids_;
    bool sorted_by_id_;
    std::uint64_t seed_;
    std::vector<char> texts_;
    std::vector<Candidate> rows_;
    std::vector<Query> queries_; // in order of first appearance
    std::vector<Slot> index_;    // built only once the ids stop ascending
    std::size_t current_ = none; // the query of the run being read
    std::string current_id_;
    bool contiguous_ = true; // no query's rows have been interrupted by another's
    bool ascending_ = true;  // queries first appeared in ascending id order

    // The best-ranked candidate of the current run; merged into its query when the run ends, so
    // a query's id is stored once per improvement, not once per row.
    bool run_has_top_ = false;
    std::uint64_t run_top_rank_ = 0;
    std::string run_top_id_;
};

void QueryCollector::grow_index() {
    std::vector<Slot> larger(std::max<std::size_t>(index_.size() * 2, 1024));
    const std::size_t mask = larger.size() - 1;
    for (std::size_t q = 0; q < queries_.size(); ++q) {
        std::size_t slot = queries_[q].hash & mask;
        while (larger[slot].query != 0) {
            slot = (slot + 1) & mask;
        }
        larger[slot] = slot_of(q);
    }
    index_ = std::move(larger);
}

void QueryCollector::insert(std::size_t q) {
    if (queries_.size() * 2 > index_.size()) {
        grow_index(); // places every query, this one included
        return;
    }
    const std::size_t mask = index_.size() - 1;
    std::size_t slot = queries_[q].hash & mask;
    while (index_[slot].query != 0) {
        slot = (slot + 1) & mask;
    }
    index_[slot] = slot_of(q);
}

void QueryCollector::start_run(std::string_view id, std::uint64_t hash) {
    current_id_.assign(id);
    // While the ids have ascended, an id above the last one cannot have been seen: tables in id
    // order never build the index at all.
    const bool above_all = ascending_ && (queries_.empty() || text(queries_.back().id) < id);
    if (!above_all) {
        ascending_ = false;
        if (index_.empty()) {
            grow_index();
        }
        const std::size_t mask = index_.size() - 1;
        for (std::size_t slot = hash & mask; index_[slot].query != 0; slot = (slot + 1) & mask) {
            if (holds(index_[slot], hash, id)) {
                // The query's rows were interrupted: its rows must be gathered at the end.
                contiguous_ = false;
                current_ = index_[slot].query - 1;
                return;
            }
        }
    }
    Query query;
    query.id = store(id);
    query.hash = hash;
    query.first_row = rows_.size();
    current_ = queries_.size();
    queries_.push_back(query);
    if (!index_.empty()) {
        insert(current_);
    }
}

void QueryCollector::finish_run() {
    if (current_ == none || !run_has_top_) {
        return;
    }
    Query &query = queries_[current_];
    // Runs end in file order, so a strictly smaller rank keeps the first of equal ranks.
    if (!query.has_top || run_top_rank_ < query.top_rank) {
        query.has_top = true;
        query.top_rank = run_top_rank_;
        query.top_id = store(run_top_id_);
    }
    run_has_top_ = false;
}

// The ids' first eight bytes as a big-endian number (zero-padded) order them as their bytes do,
// so most comparisons are one integer comparison on keys kept beside the numbers; only equal
// prefixes compare the ids themselves.
void QueryCollector::sort_by_id(std::vector<std::size_t> &order) const {
    struct Key {
        std::uint64_t prefix;
        std::size_t query;
    };
    std::vector<Key> keys(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::string_view id = text(queries_[order[i]].id);
        std::uint64_t prefix = 0;
        const std::size_t size = std::min<std::size_t>(id.size(), 8);
        for (std::size_t b = 0; b < size; ++b) {
            prefix |= std::uint64_t{static_cast<unsigned char>(id[b])} << (56 - 8 * b);
        }
        keys[i] = Key{prefix, order[i]};
    }
    std::sort(keys.begin(), keys.end(), [this](const Key &a, const Key &b) {
        if (a.prefix != b.prefix) {
            return a.prefix < b.prefix;
        }
        return text(queries_[a.query].id) < text(queries_[b.query].id);
    });
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = keys[i].query;
    }
}

QueryGroups QueryCollector::finish() {
    finish_run();
    index_ = {};
    // Rows per query: the gaps between first rows when every query is one run, else counted.
    if (contiguous_) {
        for (std::size_t q = 0; q < queries_.size(); ++q) {
            const std::size_t next =
                q + 1 < queries_.size() ? queries_[q + 1].first_row : rows_.size();
            queries_[q].rows = next - queries_[q].first_row;
        }
    } else {
        // Counted in a vector of their own: the query records are too large to stay in cache.
        std::vector<std::size_t> counts(queries_.size());
        for (const Candidate &row : rows_) {
            ++counts[row.query()];
        }
        for (std::size_t q = 0; q < queries_.size(); ++q) {
            queries_[q].rows = counts[q];
        }
    }
    QueryGroups result;
    // Byte-wise id order: string_view ordering goes through char_traits<char>::compare, which is
    // defined on unsigned char values, so bytes above 0x7F sort after ASCII on every platform and a
    // prefix sorts before its extensions. Ids are distinct, so the order is total.
    std::vector<std::size_t> order(queries_.size());
    for (std::size_t q = 0; q < order.size(); ++q) {
        order[q] = q;
    }
    if (!ascending_ && sorted_by_id_) {
        sort_by_id(order);
    }
    if (!contiguous_) {
        // Counting-sort placement: each query gets a slice at the offset its id's place gives,
        // and rows are placed in file order, so each slice keeps file order.
        std::vector<std::size_t> next_slot(queries_.size());
        std::size_t offset = 0;
        for (std::size_t q : order) {
            next_slot[q] = offset;
            queries_[q].first_row = offset;
            offset += queries_[q].rows;
        }
        std::vector<Candidate> placed(rows_.size());
        for (const Candidate &row : rows_) {
            placed[next_slot[row.query()]++] = row;
        }
        rows_ = std::move(placed);
    }
    // Otherwise every query is one run: its rows are contiguous and in file order, so the groups
    // are slices of the rows as read and no row moves.
    result.groups.reserve(order.size());
    for (std::size_t q : order) {
        const Query &query = queries_[q];
        result.groups.push_back(QueryGroup{
            text(query.id), std::span<const Candidate>(rows_.data() + query.first_row, query.rows),
            text(query.top_id)});
    }
    // Moving the vectors keeps their storage, and with it the views just taken.
    result.texts = std::move(texts_);
    result.rows = std::move(rows_);
    return result;
}

Result<QueryGroups> collect(Result<void> read, QueryCollector &collector) {
    if (!read) {
        return std::unexpected(std::move(read.error()));
    }
    return collector.finish();
}

} // namespace

Result<QueryGroups> read_query_groups(const TableSource &source, const GroupingOptions &options,
                                      const ReadOptions &read) {
    if (source.stream != nullptr) {
        // Batches are consumed on the calling thread, in stream order.
        QueryCollector collector(options);
        return collect(read_arrow_stream(*source.stream, collector, source.expected_rows),
                       collector);
    }
    if (is_parquet_path(source.path)) {
        return std::unexpected(CoreError::parquet_not_enabled());
    }
    // Decompressing beside the parser is a second thread reading the table.
    CsvReaderSettings csv = read.csv;
    csv.decompress_in_background = csv.decompress_in_background && read.threads > 1;
    Result<std::unique_ptr<ByteSource>> bytes = open_table_source(source.path, csv);
    if (!bytes) {
        return std::unexpected(std::move(bytes.error()));
    }
    QueryCollector collector(options);
    return collect(read_table_threaded(**bytes, collector, csv, read.threads), collector);
}

Result<QueryGroups> read_query_groups_from_bytes(std::string_view bytes,
                                                 const GroupingOptions &options,
                                                 const ReadOptions &read) {
    Result<std::unique_ptr<ByteSource>> source = table_source_from_bytes(bytes, read.csv);
    if (!source) {
        return std::unexpected(std::move(source.error()));
    }
    QueryCollector collector(options);
    return collect(read_table_threaded(**source, collector, read.csv, read.threads), collector);
}

Result<QueryGroups> read_query_groups(std::string_view path, const GroupingOptions &options,
                                      const CsvReaderSettings &settings) {
    QueryCollector collector(options);
    return collect(read_table(path, collector, settings), collector);
}

Result<QueryGroups> read_query_groups_from_bytes(std::string_view bytes,
                                                 const GroupingOptions &options,
                                                 const CsvReaderSettings &settings) {
    QueryCollector collector(options);
    return collect(read_table_from_bytes(bytes, collector, settings), collector);
}

const Candidate *top_candidate(std::span<const Candidate> candidates) {
    const Candidate *best = nullptr;
    for (const Candidate &candidate : candidates) {
        if (best == nullptr || candidate.rank < best->rank) {
            best = &candidate;
        }
    }
    return best;
}

} // namespace annotrove::table
