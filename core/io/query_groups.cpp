// Gathering candidate rows into one group per query, in byte-wise query_id order.
#include "query_groups.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace annotrove::io {

namespace {

// Consecutive rows of one query: the unit of grouping. Tables usually list a query's rows
// together, so there are far fewer runs than rows.
struct Run {
    std::size_t first_row;
    std::size_t length;
    std::size_t group;
};

} // namespace

QueryGroups group_by_query(CandidateTable table) {
    QueryGroups result;
    result.texts = std::move(table.texts);
    std::vector<Candidate> &rows = table.rows;
    if (rows.empty()) {
        return result;
    }

    // Step 1: split the rows into runs of equal query_id and find each run's group with one hash
    // lookup keyed by the exact bytes; comparing with the previous row is cheaper than hashing,
    // and gives the same groups. Groups are numbered by first occurrence; the views point into
    // the arena, which outlives the map.
    std::unordered_map<std::string_view, std::size_t> index_of;
    std::vector<Run> runs;
    std::vector<std::size_t> group_size;
    std::vector<std::size_t> first_run_of_group;
    bool scattered = false; // some query's rows are not all adjacent
    for (std::size_t row = 0; row < rows.size();) {
        const std::string_view id = rows[row].query_id;
        std::size_t next = row + 1;
        // The reader shares one copy of an id between adjacent rows, so equal pointers are the
        // common case; the byte comparison settles the rest.
        while (next < rows.size() && ((rows[next].query_id.data() == id.data() &&
                                       rows[next].query_id.size() == id.size()) ||
                                      rows[next].query_id == id)) {
            ++next;
        }
        auto [entry, inserted] = index_of.try_emplace(id, group_size.size());
        if (inserted) {
            group_size.push_back(0);
            first_run_of_group.push_back(runs.size());
        } else {
            scattered = true;
        }
        group_size[entry->second] += next - row;
        runs.push_back(Run{row, next - row, entry->second});
        row = next;
    }
    const std::size_t group_count = group_size.size();

    // Step 2: sort the distinct ids only. string_view ordering goes through
    // char_traits<char>::compare, which the standard defines on unsigned char values, so bytes
    // above 0x7F sort after ASCII on every platform and a prefix sorts before its extensions.
    std::vector<std::string_view> first_id(group_count);
    for (const auto &[id, group] : index_of) {
        first_id[group] = id;
    }
    std::vector<std::size_t> order(group_count);
    for (std::size_t group = 0; group < group_count; ++group) {
        order[group] = group;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return first_id[a] < first_id[b]; });

    result.groups.reserve(group_count);
    if (!scattered) {
        // Every query is one run: its rows are already contiguous and in file order, so the
        // groups are slices of the table's own row vector and no row moves at all.
        result.candidates = std::move(rows);
        for (std::size_t group : order) {
            const Run &run = runs[first_run_of_group[group]];
            std::span<const Candidate> slice(result.candidates.data() + run.first_row, run.length);
            result.groups.push_back(QueryGroup{slice.front().query_id, slice});
        }
        return result;
    }

    // Step 3: counting-sort placement. Each group gets a contiguous slice at the offset given by
    // the sorted order; runs are placed in file order, so each slice keeps file order.
    std::vector<std::size_t> next_slot(group_count);
    std::size_t offset = 0;
    for (std::size_t group : order) {
        next_slot[group] = offset;
        offset += group_size[group];
    }
    result.candidates.resize(rows.size());
    for (const Run &run : runs) {
        std::move(rows.begin() + static_cast<std::ptrdiff_t>(run.first_row),
                  rows.begin() + static_cast<std::ptrdiff_t>(run.first_row + run.length),
                  result.candidates.begin() + static_cast<std::ptrdiff_t>(next_slot[run.group]));
        next_slot[run.group] += run.length;
    }

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
