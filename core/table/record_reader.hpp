// The whole-record view of a candidate table: every row with every member, as the table's
// dialect defines it. The computations keep far less (query_groups.hpp); this view serves the
// tests and fuzzers that check the dialect, through the same scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "../error.hpp"
#include "csv_reader_settings.hpp"
#include "text_arena.hpp"

namespace annotrove::table {

// One row with every member. Texts are handles into the arena of the table that owns the row;
// absent optional texts hold no handle.
struct CandidateRecord {
    TextRef query_id;
    TextRef candidate_id;
    std::uint64_t rank = 0;
    double score = 0.0;
    std::optional<double> probability;
    TextRef smiles;
    TextRef inchikey;
    TextRef formula;
    TextRef target_inchikey;
    std::optional<bool> is_correct;
};

// Every row of one table, in file order, with the storage of their texts.
struct CandidateTable {
    TextArena texts;
    std::vector<CandidateRecord> rows;
};

Result<CandidateTable> read_candidates(std::string_view path,
                                       const CsvReaderSettings &settings = {});
Result<CandidateTable> read_candidates_from_bytes(std::string_view bytes,
                                                  const CsvReaderSettings &settings = {});

} // namespace annotrove::table
