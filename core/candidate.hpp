// Candidate rows and query groups: the plain records every computation starts from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "text_arena.hpp"

namespace annotrove {

// An optional text that costs no more than a view: a null data pointer means absent, so an empty
// present text (non-null pointer, zero length) stays distinct from an absent one.
class OptionalText {
  public:
    OptionalText() = default;
    explicit OptionalText(std::string_view text)
        : data_(text.data() != nullptr ? text.data() : ""), size_(text.size()) {}

    bool has_value() const { return data_ != nullptr; }
    std::string_view value() const { return {data_, size_}; }

  private:
    const char *data_ = nullptr;
    std::size_t size_ = 0;
};

// One row of a candidate table. Texts point into the arena of the table that owns the row.
struct Candidate {
    std::string_view query_id;
    std::string_view candidate_id;
    std::uint64_t rank = 0;
    double score = 0.0;
    std::optional<double> probability;
    OptionalText smiles;
    OptionalText inchikey;
    OptionalText formula;
    OptionalText target_inchikey;
    std::optional<bool> is_correct;
    OptionalText group; // no column fills it; kept for per-group thresholds
};

// Every row of one table, in file order, with the storage of their texts.
struct CandidateTable {
    TextArena texts;
    std::vector<Candidate> rows;
};

// One query's candidates in file order; a view into the QueryGroups that owns them.
struct QueryGroup {
    std::string_view query_id;
    std::span<const Candidate> candidates;
};

// Groups in ascending byte-wise query_id order. Owns the candidate rows (moved from the table,
// stored contiguously group by group) and the texts they point into.
struct QueryGroups {
    TextArena texts;
    std::vector<Candidate> candidates;
    std::vector<QueryGroup> groups;
};

} // namespace annotrove
