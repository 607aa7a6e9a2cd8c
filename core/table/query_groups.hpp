// Reading a candidate table straight into one group per query, in byte-wise query_id order.
#pragma once

#include <span>
#include <string_view>

#include "../candidate.hpp"
#include "../error.hpp"
#include "csv_reader_settings.hpp"
#include "table_source.hpp"

namespace annotrove::table {

struct GroupingOptions {
    // Keep each query's top candidate_id (the decisions of a policy name it; a curve does not).
    bool top_candidate_ids = false;
    // Groups in ascending byte-wise query_id order; otherwise in the order the queries first
    // appear in the file, which spares the sort and visits the rows in memory order (for callers
    // whose result does not depend on the order of the groups).
    bool sorted_by_id = true;
    // Convert the scores, and the probabilities; otherwise their cells are only checked, and the
    // rows hold zero (see RowConsumer::wants_scores).
    bool scores = true;
    bool probabilities = true;
};

// The groups of the table `source` names, or the reader's first failure. Memory follows the number
// of rows (32 bytes each) and of queries, not the size of the input.
Result<QueryGroups> read_query_groups(const TableSource &source, const GroupingOptions &options,
                                      const ReadOptions &read = {});

// The groups of the table at `path`, or the reader's first failure. Memory follows the number of
// rows (32 bytes each) and of queries, not the size of the file.
Result<QueryGroups> read_query_groups(std::string_view path, const GroupingOptions &options,
                                      const CsvReaderSettings &settings = {});
Result<QueryGroups> read_query_groups_from_bytes(std::string_view bytes,
                                                 const GroupingOptions &options,
                                                 const CsvReaderSettings &settings = {});
// The same, on the threads `read` allows (tests and fuzzers).
Result<QueryGroups> read_query_groups_from_bytes(std::string_view bytes,
                                                 const GroupingOptions &options,
                                                 const ReadOptions &read);

// The candidate with the smallest rank, the first in file order on ties; null for no candidates.
const Candidate *top_candidate(std::span<const Candidate> candidates);

} // namespace annotrove::table
