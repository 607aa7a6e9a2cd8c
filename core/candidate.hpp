// Candidate rows and query groups: the plain records every computation starts from.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace annotrove {

// What the computations keep of one row of a candidate table: its rank, score, probability and
// label, and the query it belongs to. Its texts were checked where they stood in the read buffer
// and are not kept; a query's ids live once in its QueryGroup.
struct Candidate {
    std::uint64_t rank = 0;
    double score = 0.0;

    static Candidate make(std::uint64_t rank, double score, std::optional<double> probability,
                          std::optional<bool> is_correct, std::size_t query) {
        Candidate candidate;
        candidate.rank = rank;
        candidate.score = score;
        candidate.probability_ = probability.value_or(0.0);
        candidate.query_and_flags_ = (static_cast<std::uint64_t>(query) << flag_bits) |
                                     (probability ? has_probability : 0U) |
                                     (is_correct ? has_label : 0U) |
                                     (is_correct.value_or(false) ? label_true : 0U);
        return candidate;
    }

    // The same row, belonging to another query.
    Candidate with_query(std::size_t query) const {
        Candidate candidate = *this;
        candidate.query_and_flags_ =
            (static_cast<std::uint64_t>(query) << flag_bits) | (query_and_flags_ & flag_mask);
        return candidate;
    }

    std::optional<double> probability() const {
        return (query_and_flags_ & has_probability) != 0 ? std::optional<double>(probability_)
                                                         : std::nullopt;
    }
    std::optional<bool> is_correct() const {
        return (query_and_flags_ & has_label) != 0
                   ? std::optional<bool>((query_and_flags_ & label_true) != 0)
                   : std::nullopt;
    }
    // The number of the row's query in the order queries first appeared in the file.
    std::size_t query() const { return static_cast<std::size_t>(query_and_flags_ >> flag_bits); }

  private:
    // The query's number and the three flags share one word, so a row is 32 bytes.
    static constexpr unsigned flag_bits = 3;
    static constexpr std::uint64_t has_probability = 1;
    static constexpr std::uint64_t has_label = 2;
    static constexpr std::uint64_t label_true = 4;
    static constexpr std::uint64_t flag_mask = 7;

    double probability_ = 0.0;
    std::uint64_t query_and_flags_ = 0;
};
static_assert(sizeof(Candidate) == 32);

// One query's candidates in file order, its id and its top candidate's candidate_id (empty when
// the reader was not asked to keep them); a view into the QueryGroups that owns them.
struct QueryGroup {
    std::string_view query_id;
    std::span<const Candidate> candidates;
    std::string_view top_candidate_id;
};

// Groups in ascending byte-wise query_id order (unless read otherwise), with the storage of their
// rows (contiguous group by group) and of their ids (a vector, whose storage survives moves of the
// record).
struct QueryGroups {
    std::vector<char> texts;
    std::vector<Candidate> rows;
    std::vector<QueryGroup> groups;
};

} // namespace annotrove
