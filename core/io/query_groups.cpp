// Gathering candidate rows into one group per query, in byte-wise query_id order.
#include "query_groups.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace annotrove::io {

QueryGroups group_by_query(CandidateTable table) {
    QueryGroups result;
    result.texts = std::move(table.texts);
    std::vector<Candidate> &rows = table.rows;
    if (rows.empty()) {
        return result;
    }

    // Step 1: one hash lookup per row, keyed by the exact bytes of query_id. Groups are numbered
    // by first occurrence; the views point into the arena, which outlives the map.
    std::unordered_map<std::string_view, std::size_t> index_of;
    std::vector<std::size_t> group_of_row(rows.size());
    std::vector<std::size_t> group_size;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        auto [entry, inserted] = index_of.try_emplace(rows[row].query_id, group_size.size());
        if (inserted) {
            group_size.push_back(0);
        }
        group_of_row[row] = entry->second;
        ++group_size[entry->second];
    }
    const std::size_t group_count = group_size.size();
    std::vector<std::string_view> first_id(group_count);
    for (const auto &[id, group] : index_of) {
        first_id[group] = id;
    }

    // Step 2: sort the distinct ids only. string_view ordering goes through
    // char_traits<char>::compare, which the standard defines on unsigned char values, so bytes
    // above 0x7F sort after ASCII on every platform and a prefix sorts before its extensions.
    std::vector<std::size_t> order(group_count);
    for (std::size_t group = 0; group < group_count; ++group) {
        order[group] = group;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return first_id[a] < first_id[b]; });

    // Step 3: counting-sort placement. Each group gets a contiguous slice at the offset given by
    // the sorted order; rows are placed in file order, so each slice keeps file order.
    std::vector<std::size_t> next_slot(group_count);
    std::size_t offset = 0;
    for (std::size_t group : order) {
        next_slot[group] = offset;
        offset += group_size[group];
    }
    result.candidates.resize(rows.size());
    for (std::size_t row = 0; row < rows.size(); ++row) {
        result.candidates[next_slot[group_of_row[row]]++] = std::move(rows[row]);
    }

    result.groups.reserve(group_count);
    std::size_t start = 0;
    for (std::size_t group : order) {
        std::span<const Candidate> slice(result.candidates.data() + start, group_size[group]);
        result.groups.push_back(QueryGroup{slice.front().query_id, slice});
        start += group_size[group];
    }
    return result;
}

const Candidate *top_candidate(const QueryGroup &group) {
    const Candidate *best = nullptr;
    for (const Candidate &candidate : group.candidates) {
        if (best == nullptr || candidate.rank < best->rank) {
            best = &candidate;
        }
    }
    return best;
}

} // namespace annotrove::io
