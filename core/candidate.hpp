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

// One row of a candidate table. Texts are handles into the arena of the table that owns the row;
// absent optional texts hold no handle.
struct Candidate {
    TextRef query_id;
    TextRef candidate_id;
    std::uint64_t rank = 0;
    double score = 0.0;
    std::optional<double> probability;
    TextRef smiles;
    TextRef inchikey;
    TextRef formula;
    TextRef target_inchikey;
    TextRef group; // no column fills it; kept for per-group thresholds
    std::optional<bool> is_correct;
};

// Every row of one table, in file order, with the storage of their texts.
struct CandidateTable {
    TextArena texts;
    std::vector<Candidate> rows;
    // The first row of each run of adjacent rows with one query_id, and whether the runs' ids
    // strictly ascend byte-wise. The reader records both as it goes (rows of a run share one id
    // handle), so grouping need not walk the rows; a table built without them has none.
    std::vector<std::size_t> run_starts;
    bool runs_ascending = false;
};

// One query's candidates in file order; a view into the QueryGroups that owns them (whose arena
// holds their texts).
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
