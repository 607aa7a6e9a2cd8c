// Reading a candidate table (CSV with a header row) into Candidate rows.
#pragma once

#include <array>
#include <string_view>

#include "../candidate.hpp"
#include "../error.hpp"

namespace annotrove::table {

inline constexpr std::array<std::string_view, 4> REQUIRED_COLUMNS = {"query_id", "candidate_id",
                                                                     "rank", "score"};

// True when the extension of the path's last component is exactly "parquet".
bool is_parquet_path(std::string_view path);

// Every data row of the table at `path`, in file order, or the first failure.
Result<CandidateTable> read_candidates(std::string_view path);

// The same, reading from bytes already in memory (the fuzzers' and tests' entry).
Result<CandidateTable> read_candidates_from_bytes(std::string_view bytes);

} // namespace annotrove::table
