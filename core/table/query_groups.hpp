// Gathering candidate rows into one group per query, in byte-wise query_id order.
#pragma once

#include "../candidate.hpp"

namespace annotrove::table {

// Consumes the table: rows are moved into their groups, texts stay where they are.
QueryGroups group_by_query(CandidateTable table);

// The candidate with the smallest rank, the first in file order on ties; null for an empty group.
const Candidate *top_candidate(const QueryGroup &group);

} // namespace annotrove::table
