// Fuzz entry point for the candidate-table reader. Besides memory errors (caught by the
// sanitizers) it checks that the reader's tuning knobs never change a result: the same bytes read
// in tiny blocks with the scalar kernel must give the same rows or the same error message. It
// also groups the table twice, once from the query runs the reader recorded and once finding
// them afresh, and the groups must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "table/csv_reader.hpp"
#include "table/csv_reader_settings.hpp"
#include "table/query_groups.hpp"

namespace {

using annotrove::Candidate;
using annotrove::CandidateTable;
using annotrove::Result;
using annotrove::TextArena;
using annotrove::TextRef;

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

bool same_row(const Candidate &a, const Candidate &b, const Texts &texts) {
    return texts.same(a.query_id, b.query_id) && texts.same(a.candidate_id, b.candidate_id) &&
           a.rank == b.rank && same_bits(a.score, b.score) &&
           a.probability.has_value() == b.probability.has_value() &&
           (!a.probability || same_bits(*a.probability, *b.probability)) &&
           texts.same(a.smiles, b.smiles) && texts.same(a.inchikey, b.inchikey) &&
           texts.same(a.formula, b.formula) && texts.same(a.target_inchikey, b.target_inchikey) &&
           a.is_correct == b.is_correct && !a.group.has_value() && !b.group.has_value();
}

bool same_result(const Result<CandidateTable> &a, const Result<CandidateTable> &b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    if (!a) {
        return a.error().message() == b.error().message();
    }
    if (a->rows.size() != b->rows.size() || a->run_starts != b->run_starts ||
        a->runs_ascending != b->runs_ascending) {
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

bool same_groups(const annotrove::QueryGroups &a, const annotrove::QueryGroups &b) {
    if (a.groups.size() != b.groups.size()) {
        return false;
    }
    const Texts texts{a.texts, b.texts};
    for (std::size_t g = 0; g < a.groups.size(); ++g) {
        const auto &x = a.groups[g];
        const auto &y = b.groups[g];
        if (x.query_id != y.query_id || x.candidates.size() != y.candidates.size()) {
            return false;
        }
        for (std::size_t i = 0; i < x.candidates.size(); ++i) {
            if (!same_row(x.candidates[i], y.candidates[i], texts)) {
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
    if (blocked) {
        Result<CandidateTable> unrecorded = std::move(blocked);
        unrecorded->run_starts.clear();
        unrecorded->runs_ascending = false;
        Result<CandidateTable> recorded = annotrove::table::read_candidates_from_bytes(bytes);
        if (!same_groups(annotrove::table::group_by_query(std::move(*recorded)),
                         annotrove::table::group_by_query(std::move(*unrecorded)))) {
            std::abort();
        }
    }
    return 0;
}
