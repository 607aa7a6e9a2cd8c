// Gathering candidate rows into one group per query, in byte-wise query_id order.
#include "query_groups.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace annotrove::table {

namespace {

// Consecutive rows of one query: the unit of grouping. Tables usually list a query's rows
// together, so there are far fewer runs than rows.
struct Run {
    std::size_t first_row;
    std::size_t length;
    std::string_view id;
};

} // namespace

QueryGroups group_by_query(CandidateTable table) {
    QueryGroups result;
    result.texts = std::move(table.texts);
    std::vector<Candidate> &rows = table.rows;
    if (rows.empty()) {
        return result;
    }

    // Step 1: the runs of equal query_id, as the reader recorded them, or else found here by
    // comparing handles first (adjacent rows of one query usually share one) and bytes second.
    const TextArena &texts = result.texts;
    std::vector<Run> runs;
    bool ascending = table.runs_ascending;
    if (!table.run_starts.empty()) {
        runs.reserve(table.run_starts.size());
        for (std::size_t run = 0; run < table.run_starts.size(); ++run) {
            const std::size_t first = table.run_starts[run];
            const std::size_t next =
                run + 1 < table.run_starts.size() ? table.run_starts[run + 1] : rows.size();
            runs.push_back(Run{first, next - first, texts.view(rows[first].query_id)});
        }
    } else {
        for (std::size_t row = 0; row < rows.size();) {
            const TextRef id_ref = rows[row].query_id;
            const std::string_view id = texts.view(id_ref);
            std::size_t next = row + 1;
            while (next < rows.size() &&
                   (rows[next].query_id == id_ref || texts.view(rows[next].query_id) == id)) {
                ++next;
            }
            runs.push_back(Run{row, next - row, id});
            row = next;
        }
        // string_view ordering goes through char_traits<char>::compare, which the standard
        // defines on unsigned char values, so bytes above 0x7F sort after ASCII on every platform
        // and a prefix sorts before its extensions.
        ascending = true;
        for (std::size_t run = 1; run < runs.size() && ascending; ++run) {
            ascending = runs[run - 1].id < runs[run].id;
        }
    }

    // Step 2: tables are often written in query order already. Then every query is one run, in
    // id order: its rows are contiguous and in file order, so the groups are slices of the
    // table's own row vector and no row moves at all.
    if (ascending) {
        result.candidates = std::move(rows);
        result.groups.reserve(runs.size());
        for (const Run &run : runs) {
            result.groups.push_back(QueryGroup{
                run.id,
                std::span<const Candidate>(result.candidates.data() + run.first_row, run.length)});
        }
        return result;
    }

    // Step 3: otherwise one hash lookup per run finds its query, numbered by first occurrence,
    // and only the distinct ids are sorted. Sorting the runs themselves would cost a byte
    // comparison of ids with long shared prefixes ("sample-000...") per step instead.
    std::unordered_map<std::string_view, std::size_t> group_of_id;
    std::vector<std::size_t> group_of_run(runs.size());
    std::vector<std::string_view> group_id;
    std::vector<std::size_t> group_size;
    for (std::size_t run = 0; run < runs.size(); ++run) {
        const auto [entry, inserted] = group_of_id.try_emplace(runs[run].id, group_id.size());
        if (inserted) {
            group_id.push_back(runs[run].id);
            group_size.push_back(0);
        }
        group_of_run[run] = entry->second;
        group_size[entry->second] += runs[run].length;
    }
    std::vector<std::size_t> order(group_id.size());
    for (std::size_t group = 0; group < order.size(); ++group) {
        order[group] = group;
    }
    std::sort(order.begin(), order.end(),
              [&group_id](std::size_t a, std::size_t b) { return group_id[a] < group_id[b]; });

    // Step 4: counting-sort placement. Each group gets a contiguous slice at the offset its id's
    // rank gives; runs are placed in file order, so each slice keeps file order.
    std::vector<std::size_t> next_slot(group_id.size());
    std::size_t offset = 0;
    for (std::size_t group : order) {
        next_slot[group] = offset;
        offset += group_size[group];
    }
    result.candidates.resize(rows.size());
    for (std::size_t run = 0; run < runs.size(); ++run) {
        const auto begin = rows.begin() + static_cast<std::ptrdiff_t>(runs[run].first_row);
        std::move(begin, begin + static_cast<std::ptrdiff_t>(runs[run].length),
                  result.candidates.begin() +
                      static_cast<std::ptrdiff_t>(next_slot[group_of_run[run]]));
        next_slot[group_of_run[run]] += runs[run].length;
    }
    result.groups.reserve(order.size());
    std::size_t start = 0;
    for (std::size_t group : order) {
        result.groups.push_back(
            QueryGroup{group_id[group], std::span<const Candidate>(result.candidates.data() + start,
                                                                   group_size[group])});
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

} // namespace annotrove::table
