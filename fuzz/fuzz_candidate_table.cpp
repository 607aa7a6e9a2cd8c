// Fuzz entry point for the candidate-table reader. Besides memory errors (caught by the
// sanitizers) it checks that the reader's tuning knobs never change a result: the same bytes read
// in tiny blocks with the scalar kernel must give the same rows or the same error message. It
// also checks the grouped stream the computations use against the whole records grouped the
// plain way: the same groups in the same order, or the same error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "table/query_groups.hpp"
#include "table/record_reader.hpp"

namespace {

using annotrove::Candidate;
using annotrove::QueryGroup;
using annotrove::QueryGroups;
using annotrove::Result;
using annotrove::table::CandidateRecord;
using annotrove::table::CandidateTable;
using annotrove::table::TextArena;
using annotrove::table::TextRef;

// Tables read twice: each row's texts are looked up in the arena of its own table.
struct Texts {
    const TextArena &a;
    const TextArena &b;

    bool same(TextRef x, TextRef y) const { return a.optional_view(x) == b.optional_view(y); }
};

// Bitwise for floats, so a NaN read twice compares equal and -0.0 differs from 0.0.
template <typename T> bool same_bits(const T &a, const T &b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

bool same_row(const CandidateRecord &a, const CandidateRecord &b, const Texts &texts) {
    return texts.same(a.query_id, b.query_id) && texts.same(a.candidate_id, b.candidate_id) &&
           a.rank == b.rank && same_bits(a.score, b.score) &&
           a.probability.has_value() == b.probability.has_value() &&
           (!a.probability || same_bits(*a.probability, *b.probability)) &&
           texts.same(a.smiles, b.smiles) && texts.same(a.inchikey, b.inchikey) &&
           texts.same(a.formula, b.formula) && texts.same(a.target_inchikey, b.target_inchikey) &&
           a.is_correct == b.is_correct;
}

bool same_result(const Result<CandidateTable> &a, const Result<CandidateTable> &b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    if (!a) {
        return a.error().message() == b.error().message();
    }
    if (a->rows.size() != b->rows.size()) {
        return false;
    }
    const Texts texts{a->texts, b->texts};
    for (std::size_t i = 0; i < a->rows.size(); ++i) {
        if (!same_row(a->rows[i], b->rows[i], texts)) {
            return false;
        }
    }
    return true;
}

// The groups as the plain algorithm makes them from whole records: a map from id to the rows in
// file order (std::string orders bytes as unsigned values, as the groups must be ordered), or
// the ids in order of first appearance.
bool same_groups(const CandidateTable &table, const Result<QueryGroups> &stream,
                 bool top_candidate_ids, bool sorted) {
    if (!stream) {
        return false;
    }
    std::map<std::string, std::vector<const CandidateRecord *>> reference;
    std::vector<std::string> first_seen;
    for (const CandidateRecord &row : table.rows) {
        auto &rows = reference[std::string(table.texts.view(row.query_id))];
        if (rows.empty()) {
            first_seen.emplace_back(table.texts.view(row.query_id));
        }
        rows.push_back(&row);
    }
    if (reference.size() != stream->groups.size()) {
        return false;
    }
    if (sorted) {
        first_seen.clear();
        for (const auto &entry : reference) {
            first_seen.push_back(entry.first);
        }
    }
    std::size_t g = 0;
    for (const std::string &id : first_seen) {
        const std::vector<const CandidateRecord *> &rows = reference[id];
        const annotrove::QueryGroup &group = stream->groups[g++];
        if (group.query_id != id || group.candidates.size() != rows.size()) {
            return false;
        }
        const CandidateRecord *top = nullptr;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const CandidateRecord &x = *rows[i];
            const Candidate &y = group.candidates[i];
            if (x.rank != y.rank || !same_bits(x.score, y.score) ||
                x.probability.has_value() != y.probability().has_value() ||
                (x.probability && !same_bits(*x.probability, *y.probability())) ||
                x.is_correct != y.is_correct()) {
                return false;
            }
            if (top == nullptr || x.rank < top->rank) {
                top = &x;
            }
        }
        const std::string_view top_id =
            top_candidate_ids ? table.texts.view(top->candidate_id) : "";
        if (group.top_candidate_id != top_id) {
            return false;
        }
    }
    return true;
}

// Two readings of one table: the same groups, ids, top candidates and rows, bit for bit.
bool same_groups_exactly(const QueryGroups &a, const QueryGroups &b) {
    if (a.groups.size() != b.groups.size()) {
        return false;
    }
    for (std::size_t g = 0; g < a.groups.size(); ++g) {
        const QueryGroup &x = a.groups[g];
        const QueryGroup &y = b.groups[g];
        if (x.query_id != y.query_id || x.top_candidate_id != y.top_candidate_id ||
            x.candidates.size() != y.candidates.size()) {
            return false;
        }
        for (std::size_t i = 0; i < x.candidates.size(); ++i) {
            const Candidate &p = x.candidates[i];
            const Candidate &q = y.candidates[i];
            if (p.rank != q.rank || !same_bits(p.score, q.score) ||
                p.probability().has_value() != q.probability().has_value() ||
                (p.probability() && !same_bits(*p.probability(), *q.probability())) ||
                p.is_correct() != q.is_correct()) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const Result<CandidateTable> plain = annotrove::table::read_candidates_from_bytes(bytes);

    annotrove::table::CsvReaderSettings small;
    // A block size that varies with the input puts block edges at every offset over a run.
    small.block_size = 1 + (size == 0 ? 0 : data[size - 1] % 7);
    small.isa = annotrove::table::Isa::scalar;
    Result<CandidateTable> blocked = annotrove::table::read_candidates_from_bytes(bytes, small);

    if (!same_result(plain, blocked)) {
        std::abort();
    }
    // The stream, read in the other block size, against the records.
    const bool top_ids = size % 2 == 0;
    const bool sorted = size % 4 < 2;
    const Result<QueryGroups> stream = annotrove::table::read_query_groups_from_bytes(
        bytes,
        annotrove::table::GroupingOptions{.top_candidate_ids = top_ids, .sorted_by_id = sorted},
        small);
    if (plain ? !same_groups(*plain, stream, top_ids, sorted)
              : stream || stream.error().message() != plain.error().message()) {
        std::abort();
    }
    // Three threads and chunks of a few bytes, so chunk edges fall everywhere: the same groups to
    // the last bit, or the same first error, as one thread.
    annotrove::table::ReadOptions threaded;
    threaded.threads = 3;
    threaded.csv = small;
    threaded.csv.chunk_size = 1 + (size == 0 ? 0 : data[0] % 13);
    const Result<QueryGroups> parallel = annotrove::table::read_query_groups_from_bytes(
        bytes,
        annotrove::table::GroupingOptions{.top_candidate_ids = top_ids, .sorted_by_id = sorted},
        threaded);
    if (stream ? !parallel || !same_groups_exactly(*stream, *parallel)
               : parallel || parallel.error().message() != stream.error().message()) {
        std::abort();
    }
    return 0;
}
