// Gathering candidate rows into one group per query, in byte-wise query_id order.
#include "query_groups.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace annotrove::io {

namespace {

// Consecutive rows of one query: the unit of grouping. Tables usually list a query's rows
// together, so there are far fewer runs than rows.
struct Run {
    std::size_t first_row;
    std::size_t length;
    std::string_view id;
};

// The first eight bytes of an id as a big-endian number (zero-padded): comparing these orders ids
// byte-wise, as unsigned bytes, except that a tie leaves the rest undecided.
std::uint64_t order_prefix(std::string_view id) {
    std::uint64_t prefix = 0;
    const std::size_t count = std::min<std::size_t>(id.size(), 8);
    for (std::size_t i = 0; i < count; ++i) {
        prefix |= std::uint64_t{static_cast<unsigned char>(id[i])} << (56 - 8 * i);
    }
    return prefix;
}

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

    // Step 2: order the runs by id. Tables are often written in query order already, and then
    // nothing needs sorting; otherwise a stable sort keeps the runs of one query in file order.
    if (ascending) {
        // Every query is one run, in id order: its rows are already contiguous and in file order,
        // so the groups are slices of the table's own row vector and no row moves at all.
        result.candidates = std::move(rows);
        result.groups.reserve(runs.size());
        for (const Run &run : runs) {
            result.groups.push_back(QueryGroup{
                run.id,
                std::span<const Candidate>(result.candidates.data() + run.first_row, run.length)});
        }
        return result;
    }
    struct Keyed {
        std::uint64_t prefix;
        std::size_t run;
    };
    std::vector<Keyed> order(runs.size());
    for (std::size_t run = 0; run < runs.size(); ++run) {
        order[run] = Keyed{order_prefix(runs[run].id), run};
    }
    std::sort(order.begin(), order.end(), [&runs](const Keyed &a, const Keyed &b) {
        if (a.prefix != b.prefix) {
            return a.prefix < b.prefix;
        }
        const int byte_order = runs[a.run].id.compare(runs[b.run].id);
        return byte_order != 0 ? byte_order < 0 : a.run < b.run;
    });

    // Step 3: runs of one id are now adjacent in `order`; each group gets a contiguous slice and
    // its runs are moved there one after another, so each slice keeps file order.
    result.candidates.resize(rows.size());
    Candidate *slot = result.candidates.data();
    for (std::size_t first = 0; first < order.size();) {
        const std::string_view id = runs[order[first].run].id;
        Candidate *const group_begin = slot;
        std::size_t next = first;
        for (; next < order.size() && runs[order[next].run].id == id; ++next) {
            const Run &run = runs[order[next].run];
            const auto begin = rows.begin() + static_cast<std::ptrdiff_t>(run.first_row);
            slot = std::move(begin, begin + static_cast<std::ptrdiff_t>(run.length), slot);
        }
        result.groups.push_back(QueryGroup{
            id,
            std::span<const Candidate>(group_begin, static_cast<std::size_t>(slot - group_begin))});
        first = next;
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
