// Comparing score methods on one labelled table, with a paired percentile bootstrap.
//
// Each method's labelled queries are sorted by confidence once. A resample draws n labelled
// queries with replacement (n the number of labelled queries) and is represented by how often
// each query was drawn; every method walks its own sorted order once with those counts as
// weights. So a resample costs O(n) per method rather than a sort, and every method sees the
// same draw, which pairs the differences between methods.
#include "score_comparison.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <cmath>
#include <limits>
#include <type_traits>

#if defined(__x86_64__) || defined(_M_X64)
#define ANNOTROVE_HAVE_SSE2 1
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "random_stream.hpp"
#include "table/query_groups.hpp"
#include "total_order.hpp"

namespace annotrove {

namespace {

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();
// Query numbers share a 32-bit word with the wrong-answer bit.
constexpr std::uint64_t most_labelled_queries = 0x7FFFFFFFU;

struct RankedQuery {
    std::int64_t key = 0;
    double confidence = 0.0;
    std::uint32_t query = 0;
    bool present = false;
};

// One method's view of the labelled queries, strictest confidence first.
struct MethodOrder {
    // (query number << 1) | wrong, for the queries with a confidence.
    std::vector<std::uint32_t> entries;
    // Exclusive end of each run of equal confidences within `entries`.
    std::vector<std::uint32_t> run_ends;
    std::vector<CurvePoint> curve;
};

// Descending confidence by totalOrder, absent last; false on ties, which keeps the sort stable.
bool sorts_before(const RankedQuery &a, const RankedQuery &b) {
    if (a.present != b.present) {
        return a.present;
    }
    return a.present && a.key > b.key;
}

// The sort and the walk of the risk-coverage curve, keeping each query's number: runs of
// numerically equal confidences form one point, exactly as compute_curve builds its points.
// `confidences` holds one value per query by number, NaN for none (a NaN confidence counts as
// absent, as on the curve).
MethodOrder order_method(std::span<const double> confidences,
                         std::span<const std::uint8_t> correct) {
    std::vector<RankedQuery> ranked(confidences.size());
    for (std::size_t i = 0; i < confidences.size(); ++i) {
        RankedQuery &query = ranked[i];
        query.query = static_cast<std::uint32_t>(i);
        if (!std::isnan(confidences[i])) {
            query.present = true;
            query.confidence = confidences[i];
            query.key = total_order_key(confidences[i]);
        }
    }
    std::stable_sort(ranked.begin(), ranked.end(), sorts_before);

    MethodOrder order;
    const auto total = static_cast<std::uint64_t>(ranked.size());
    std::uint64_t accepted = 0;
    std::uint64_t errors = 0;
    std::size_t i = 0;
    while (i < ranked.size() && ranked[i].present) {
        const double threshold = ranked[i].confidence;
        while (i < ranked.size() && ranked[i].present && ranked[i].confidence == threshold) {
            const bool wrong = correct[ranked[i].query] == 0;
            order.entries.push_back((ranked[i].query << 1U) | (wrong ? 1U : 0U));
            ++accepted;
            errors += wrong ? 1U : 0U;
            ++i;
        }
        order.run_ends.push_back(static_cast<std::uint32_t>(i));
        CurvePoint point;
        point.threshold = threshold;
        point.accepted = accepted;
        point.total = total;
        point.coverage = static_cast<double>(accepted) / static_cast<double>(total);
        point.errors = errors;
        point.risk = static_cast<double>(errors) / static_cast<double>(accepted);
        order.curve.push_back(point);
    }
    return order;
}

// The labelled queries, numbered, with their labels and every asked method's confidences.
struct ScoredTable {
    std::vector<std::uint8_t> correct;
    // confidences[m][q]: method m's confidence of query q, NaN when it has none.
    std::vector<std::vector<double>> confidences;
};

// Scores the labelled queries (those whose top candidate carries a label) and numbers them; the
// draws pick queries by number. Groups are scored in the order they lie in memory, all methods
// while a group's rows are at hand. The numbering is by descending max-prob confidence, queries
// without one last, ties by byte-wise query_id: any fixed numbering gives the same statistics,
// and this one depends on the table's content alone (not on its row order, nor on which methods
// are compared) and makes the resampling walks fast, since every method's sorted order then
// visits the draw counts nearly in the order they lie in memory (most methods' confidences rise
// and fall with the top probability, and within a run of equal confidences queries keep this
// numbering).
Result<ScoredTable> score_table(std::span<const QueryGroup> groups,
                                std::span<const scoring::ScoringMethod> methods) {
    std::vector<const QueryGroup *> labelled;
    std::vector<std::uint8_t> labels;
    labelled.reserve(groups.size());
    for (const QueryGroup &group : groups) {
        const Candidate *top = table::top_candidate(group.candidates);
        const std::optional<bool> label = top == nullptr ? std::nullopt : top->is_correct();
        if (label) {
            labelled.push_back(&group);
            labels.push_back(*label ? 1U : 0U);
        }
    }
    if (labelled.size() > most_labelled_queries) {
        return std::unexpected(CoreError::too_many_to_resample());
    }
    const std::size_t n = labelled.size();
    const auto confidence_of = [](const QueryGroup &group, scoring::ScoringMethod method) {
        const std::optional<double> value = scoring::score_query(group, method);
        return value.value_or(quiet_nan);
    };
    // Read order: one row per query, the numbering key first, then each asked method.
    const std::size_t width = methods.size() + 1;
    std::vector<double> scores(n * width);
    for (std::size_t q = 0; q < n; ++q) {
        double *row = scores.data() + (q * width);
        row[0] = confidence_of(*labelled[q], scoring::ScoringMethod::MaxProb);
        for (std::size_t m = 0; m < methods.size(); ++m) {
            row[m + 1] = confidence_of(*labelled[q], methods[m]);
        }
    }

    std::vector<std::uint32_t> numbering(n);
    for (std::size_t q = 0; q < n; ++q) {
        numbering[q] = static_cast<std::uint32_t>(q);
    }
    std::ranges::sort(numbering, [&](std::uint32_t a, std::uint32_t b) {
        const double x = scores[a * width];
        const double y = scores[b * width];
        if (std::isnan(x) != std::isnan(y)) {
            return !std::isnan(x);
        }
        if (!std::isnan(x)) {
            const std::int64_t kx = total_order_key(x);
            const std::int64_t ky = total_order_key(y);
            if (kx != ky) {
                return kx > ky;
            }
        }
        return labelled[a]->query_id < labelled[b]->query_id;
    });

    ScoredTable table;
    table.correct.resize(n);
    table.confidences.assign(methods.size(), std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t q = numbering[i];
        table.correct[i] = labels[q];
        for (std::size_t m = 0; m < methods.size(); ++m) {
            table.confidences[m][i] = scores[(q * width) + m + 1];
        }
    }
    return table;
}

struct Summaries {
    double aurc = quiet_nan;
    double eaurc = quiet_nan;
    double augrc = quiet_nan;
    double auroc = quiet_nan;
};

// Weighted counts of the whole resample: every query drawn, the correct ones, the wrong ones.
struct DrawTotals {
    std::uint64_t total = 0;
    std::uint64_t correct = 0;
    std::uint64_t wrong = 0;
};

// E-AURC from the area and the last point's counts, by the rule of `eaurc`.
double excess_area(double area, std::uint64_t accepted, std::uint64_t errors,
                   std::uint64_t total) {
    if (std::isnan(area) || total == 0 || accepted < total) {
        return quiet_nan;
    }
    const double q = static_cast<double>(accepted - errors) / static_cast<double>(total);
    if (q <= 0.0 || q >= 1.0) {
        return quiet_nan;
    }
    return area - ((std::log(q) * q) + (1.0 - q));
}

// The failure AUROC from the doubled count of (correct, wrong) pairs the confidence orders
// rightly, ties counting one, out of all such pairs; NaN without one of each.
double pair_share(std::uint64_t doubled_wins, const DrawTotals &totals) {
    if (totals.correct == 0 || totals.wrong == 0) {
        return quiet_nan;
    }
    return static_cast<double>(doubled_wins) /
           (2.0 * static_cast<double>(totals.correct) * static_cast<double>(totals.wrong));
}

// The four summaries of the curve of a resample in which query q was drawn weights[q] times: one
// pass over the method's sorted order. A run none of whose queries was drawn is no point of the
// resampled curve; it adds nothing below (its width is 0 and its risk repeats the previous one).
// The AURC and E-AURC are computed point by point exactly as `aurc` and `eaurc` compute them on
// the curve of the resampled table; the AUGRC, whose generalized risk errors / total has a fixed
// denominator, is summed exactly in integers; the AUROC counts pairs in integers too.
Summaries weighted_summaries(const MethodOrder &order, std::span<const std::uint32_t> weights,
                             const DrawTotals &totals) {
    std::uint64_t accepted = 0;
    std::uint64_t errors = 0;
    // Sum over points of (errors before + errors after) · run weight: twice the AUGRC · total².
    std::uint64_t doubled_generalized_area = 0;
    std::uint64_t doubled_wins = 0;
    double area = 0.0;
    double previous_coverage = 0.0;
    double previous_risk = 0.0;
    const double total = static_cast<double>(totals.total);
    std::size_t k = 0;
    for (const std::uint32_t run_end : order.run_ends) {
        std::uint64_t run_weight = 0;
        std::uint64_t run_wrong = 0;
        for (; k < run_end; ++k) {
            const std::uint32_t entry = order.entries[k];
            const std::uint64_t weight = weights[entry >> 1U];
            run_weight += weight;
            run_wrong += weight & (0U - static_cast<std::uint64_t>(entry & 1U));
        }
        if (run_weight == 0) {
            continue;
        }
        const std::uint64_t run_correct = run_weight - run_wrong;
        // Wrong answers of this run lose to every correct one above it and tie with those in it.
        doubled_wins += run_wrong * ((2 * (accepted - errors)) + run_correct);
        doubled_generalized_area += ((2 * errors) + run_wrong) * run_weight;
        accepted += run_weight;
        errors += run_wrong;
        const double coverage = static_cast<double>(accepted) / total;
        const double risk = static_cast<double>(errors) / static_cast<double>(accepted);
        area += ((previous_risk + risk) * (coverage - previous_coverage)) * 0.5;
        previous_risk = risk;
        previous_coverage = coverage;
    }
    // Queries without a confidence rank below every scored one and tie among themselves.
    const std::uint64_t unscored_correct = totals.correct - (accepted - errors);
    const std::uint64_t unscored_wrong = totals.wrong - errors;
    doubled_wins += unscored_wrong * ((2 * (accepted - errors)) + unscored_correct);

    Summaries summaries;
    summaries.auroc = pair_share(doubled_wins, totals);
    if (accepted == 0) {
        return summaries;
    }
    summaries.aurc = area;
    summaries.eaurc = excess_area(area, accepted, errors, totals.total);
    summaries.augrc = static_cast<double>(doubled_generalized_area) / (2.0 * total * total);
    return summaries;
}

// The two percentile bounds at `level` of the values, by linear interpolation between order
// statistics (position (R - 1) · p for p = (1 - level) / 2 and (1 + level) / 2); NaN bounds when
// any value is NaN. Sorts the values.
Interval percentile_bounds(std::vector<double> &values, double level) {
    if (values.empty() || std::ranges::any_of(values, [](double v) { return std::isnan(v); })) {
        return {quiet_nan, quiet_nan};
    }
    std::ranges::sort(values);
    const auto at = [&](double share) {
        const double position = static_cast<double>(values.size() - 1) * share;
        const double below = std::floor(position);
        const auto index = static_cast<std::size_t>(below);
        if (index + 1 >= values.size()) {
            return values.back();
        }
        return values[index] + ((position - below) * (values[index + 1] - values[index]));
    };
    return {at((1.0 - level) * 0.5), at((1.0 + level) * 0.5)};
}

// Resamples are drawn and walked eight at a time, each query's eight draw counts side by side:
// one load of a query's counts serves all eight, and the eight running sums are independent, so
// the processor overlaps their work.
constexpr std::size_t lanes = 8;

// Draw counts of one block of resamples, query by query, and each resample's totals.
template <typename Weight> struct DrawBlock {
    std::vector<Weight> weights;
    std::array<DrawTotals, lanes> totals{};
};

// Draws resamples first .. first + count - 1 (count <= lanes) into the block. False when some
// query was drawn more often than Weight counts; the caller then draws the block again with a
// wider count. (With one-byte counts that needs 256 draws of one query out of n; it never happens
// in practice, but the result must not depend on that.)
template <typename Weight>
bool draw_block(std::uint64_t seed, std::uint64_t first, std::size_t count,
                std::span<const std::uint8_t> correct, DrawBlock<Weight> &block) {
    const auto n = static_cast<std::uint64_t>(correct.size());
    block.weights.assign(correct.size() * lanes, Weight{0});
    bool fits = true;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        DrawTotals &totals = block.totals[lane];
        totals = DrawTotals{};
        if (lane >= count) {
            continue;
        }
        totals.total = n;
        RandomStream stream(seed, first + lane);
        // Draws are taken a batch at a time and counted afterwards, so that the memory accesses
        // of a batch overlap instead of waiting one after another.
        constexpr std::uint64_t batch = 32;
        std::array<std::size_t, batch> drawn{};
        for (std::uint64_t start = 0; start < n; start += batch) {
            const std::uint64_t size = std::min(batch, n - start);
            for (std::uint64_t d = 0; d < size; ++d) {
                drawn[d] = static_cast<std::size_t>(stream.below(n));
#if ANNOTROVE_HAVE_SSE2
                _mm_prefetch(reinterpret_cast<const char *>(&block.weights[drawn[d] * lanes]),
                             _MM_HINT_T0);
#endif
            }
            for (std::uint64_t d = 0; d < size; ++d) {
                Weight &slot = block.weights[(drawn[d] * lanes) + lane];
                slot = static_cast<Weight>(slot + 1U);
                fits = fits && slot != 0;
                totals.correct += correct[drawn[d]];
            }
        }
        totals.wrong = n - totals.correct;
    }
    return fits;
}

// The running sums of one walk, one value per resample of the block. Counts are kept in doubles,
// exact while below 2^53 (the pair counts up to about 6.7e7 labelled queries; beyond that they
// round, the same way on every platform).
struct LaneSums {
    std::array<double, lanes> accepted{};
    std::array<double, lanes> errors{};
    // Sum over points of (previous risk + risk) · run weight: 2 · T · AURC.
    std::array<double, lanes> area{};
    std::array<double, lanes> previous_risk{};
    // Sum over runs of wrong weight · (2 · correct weight above + correct weight in the run):
    // twice the pairs the confidence orders rightly, ties counting one.
    std::array<double, lanes> doubled_wins{};
    // Sum over runs of wrong weight · (2 · accepted weight above + run weight), from which the
    // generalized area follows at the end (see finish_lanes).
    std::array<double, lanes> wrong_taken{};
};

// The walk of one method's sorted order with a block's draw counts as weights, each lane by the
// same operations in the same order, so both versions below give identical bits. A run none of
// whose queries was drawn is no point of the resampled curve, and it changes nothing here: its
// weight is 0 and its risk repeats the previous one. Runs without a wrong answer leave the error
// sums alone, which spares most of the work on the well-ranked top of the order. The risk E/A
// is taken as E / max(A, 1), so that before the first drawn query (A = E = 0) it is 0 and the
// walk needs no branch on the draws.
template <typename Weight>
void walk_scalar(const MethodOrder &order, const Weight *weights, LaneSums &sums) {
    std::size_t k = 0;
    for (const std::uint32_t run_end : order.run_ends) {
        std::array<double, lanes> a{};
        std::array<double, lanes> e{};
        bool has_wrong = false;
        for (; k < run_end; ++k) {
            const std::uint32_t entry = order.entries[k];
            const Weight *drawn = weights + (static_cast<std::size_t>(entry >> 1U) * lanes);
            const bool wrong = (entry & 1U) != 0;
            has_wrong = has_wrong || wrong;
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                const auto weight = static_cast<double>(drawn[lane]);
                a[lane] += weight;
                if (wrong) {
                    e[lane] += weight;
                }
            }
        }
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            if (has_wrong) {
                sums.doubled_wins[lane] +=
                    e[lane] * ((2.0 * (sums.accepted[lane] - sums.errors[lane])) + (a[lane] - e[lane]));
                sums.wrong_taken[lane] += e[lane] * ((2.0 * sums.accepted[lane]) + a[lane]);
                sums.errors[lane] += e[lane];
            }
            sums.accepted[lane] += a[lane];
            const double risk = sums.errors[lane] / std::max(sums.accepted[lane], 1.0);
            sums.area[lane] += (sums.previous_risk[lane] + risk) * a[lane];
            sums.previous_risk[lane] = risk;
        }
    }
}

#if ANNOTROVE_HAVE_SSE2
// walk_scalar for one-byte counts, two lanes per register: the same operations on the same
// values (SSE2 arithmetic is IEEE double arithmetic, lane by lane, and nothing is fused).
void walk_sse2(const MethodOrder &order, const std::uint8_t *weights, LaneSums &sums) {
    constexpr std::size_t pairs = lanes / 2;
    __m128d accepted[pairs];
    __m128d errors[pairs];
    __m128d area[pairs];
    __m128d previous_risk[pairs];
    __m128d doubled_wins[pairs];
    __m128d wrong_taken[pairs];
    for (std::size_t i = 0; i < pairs; ++i) {
        accepted[i] = errors[i] = area[i] = previous_risk[i] = doubled_wins[i] = wrong_taken[i] =
            _mm_setzero_pd();
    }
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d two = _mm_set1_pd(2.0);
    const __m128i zero = _mm_setzero_si128();
    constexpr std::size_t prefetch_distance = 32;
    const std::size_t size = order.entries.size();
    std::size_t k = 0;
    for (const std::uint32_t run_end : order.run_ends) {
        __m128d a[pairs];
        __m128d e[pairs];
        for (std::size_t i = 0; i < pairs; ++i) {
            a[i] = e[i] = _mm_setzero_pd();
        }
        bool has_wrong = false;
        for (; k < run_end; ++k) {
            const std::uint32_t entry = order.entries[k];
            // The counts of a query further down the order are fetched ahead: the order visits
            // them almost, but not quite, in memory order, and waiting for each would dominate.
            if (k + prefetch_distance < size) {
                _mm_prefetch(reinterpret_cast<const char *>(
                                 weights + (static_cast<std::size_t>(
                                                order.entries[k + prefetch_distance] >> 1U) *
                                            lanes)),
                             _MM_HINT_T0);
            }
            const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(
                weights + (static_cast<std::size_t>(entry >> 1U) * lanes)));
            const __m128i words = _mm_unpacklo_epi8(bytes, zero);
            const __m128i low = _mm_unpacklo_epi16(words, zero);
            const __m128i high = _mm_unpackhi_epi16(words, zero);
            const __m128d weight[pairs] = {
                _mm_cvtepi32_pd(low), _mm_cvtepi32_pd(_mm_shuffle_epi32(low, 0xEE)),
                _mm_cvtepi32_pd(high), _mm_cvtepi32_pd(_mm_shuffle_epi32(high, 0xEE))};
            for (std::size_t i = 0; i < pairs; ++i) {
                a[i] = _mm_add_pd(a[i], weight[i]);
            }
            if ((entry & 1U) != 0) {
                has_wrong = true;
                for (std::size_t i = 0; i < pairs; ++i) {
                    e[i] = _mm_add_pd(e[i], weight[i]);
                }
            }
        }
        for (std::size_t i = 0; i < pairs; ++i) {
            if (has_wrong) {
                const __m128d correct_above = _mm_sub_pd(accepted[i], errors[i]);
                doubled_wins[i] = _mm_add_pd(
                    doubled_wins[i],
                    _mm_mul_pd(e[i], _mm_add_pd(_mm_mul_pd(two, correct_above),
                                                _mm_sub_pd(a[i], e[i]))));
                wrong_taken[i] = _mm_add_pd(
                    wrong_taken[i],
                    _mm_mul_pd(e[i], _mm_add_pd(_mm_mul_pd(two, accepted[i]), a[i])));
                errors[i] = _mm_add_pd(errors[i], e[i]);
            }
            accepted[i] = _mm_add_pd(accepted[i], a[i]);
            const __m128d risk = _mm_div_pd(errors[i], _mm_max_pd(accepted[i], one));
            area[i] = _mm_add_pd(area[i], _mm_mul_pd(_mm_add_pd(previous_risk[i], risk), a[i]));
            previous_risk[i] = risk;
        }
    }
    for (std::size_t i = 0; i < pairs; ++i) {
        _mm_storeu_pd(&sums.accepted[2 * i], accepted[i]);
        _mm_storeu_pd(&sums.errors[2 * i], errors[i]);
        _mm_storeu_pd(&sums.area[2 * i], area[i]);
        _mm_storeu_pd(&sums.previous_risk[2 * i], previous_risk[i]);
        _mm_storeu_pd(&sums.doubled_wins[2 * i], doubled_wins[i]);
        _mm_storeu_pd(&sums.wrong_taken[2 * i], wrong_taken[i]);
    }
}
#endif

// The four summaries of each resample from its walk's sums.
std::array<Summaries, lanes> finish_lanes(const LaneSums &sums,
                                          const std::array<DrawTotals, lanes> &totals) {
    std::array<Summaries, lanes> summaries{};
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        const double accepted = sums.accepted[lane];
        const double errors = sums.errors[lane];
        const double total = static_cast<double>(totals[lane].total);
        const double correct_above = accepted - errors;
        // Queries without a confidence rank below every scored one and tie among themselves.
        const double unscored_correct = static_cast<double>(totals[lane].correct) - correct_above;
        const double unscored_wrong = static_cast<double>(totals[lane].wrong) - errors;
        const double wins = sums.doubled_wins[lane] +
                            (unscored_wrong * ((2.0 * correct_above) + unscored_correct));
        Summaries &s = summaries[lane];
        if (totals[lane].correct > 0 && totals[lane].wrong > 0) {
            s.auroc = wins / (2.0 * static_cast<double>(totals[lane].correct) *
                              static_cast<double>(totals[lane].wrong));
        }
        if (accepted == 0.0) {
            continue;
        }
        // Each coverage step is the run's weight over T, so T · AURC = area / 2.
        s.aurc = (sums.area[lane] * 0.5) / total;
        s.eaurc = excess_area(s.aurc, static_cast<std::uint64_t>(accepted),
                              static_cast<std::uint64_t>(errors), totals[lane].total);
        // 2 T^2 AUGRC = sum over points of (errors before + errors after) · run weight, which
        // regrouped by wrong answer is 2 · accepted · errors - sum of wrong weight · (2 ·
        // accepted weight above + run weight).
        s.augrc = ((2.0 * accepted * errors) - sums.wrong_taken[lane]) / (2.0 * total * total);
    }
    return summaries;
}

template <typename Weight>
std::array<Summaries, lanes> walk_block(const MethodOrder &order, const DrawBlock<Weight> &block) {
    LaneSums sums;
#if ANNOTROVE_HAVE_SSE2
    if constexpr (std::is_same_v<Weight, std::uint8_t>) {
        walk_sse2(order, block.weights.data(), sums);
        return finish_lanes(sums, block.totals);
    }
#endif
    walk_scalar(order, block.weights.data(), sums);
    return finish_lanes(sums, block.totals);
}

enum Statistic : std::size_t { Aurc, Eaurc, Augrc, Auroc, Difference, STATISTIC_COUNT };

using ResampledValues = std::array<std::vector<double>, STATISTIC_COUNT>;

// Draws and walks the block of resamples starting at `first`, storing every method's values.
template <typename Weight>
bool resample_block(std::uint64_t seed, std::uint64_t first, std::size_t count,
                    std::span<const std::uint8_t> correct, std::span<const MethodOrder> orders,
                    std::vector<ResampledValues> &resampled) {
    DrawBlock<Weight> block;
    if (!draw_block(seed, first, count, correct, block)) {
        return false;
    }
    for (std::size_t m = 0; m < orders.size(); ++m) {
        const std::array<Summaries, lanes> summaries = walk_block(orders[m], block);
        for (std::size_t lane = 0; lane < count; ++lane) {
            const std::size_t i = static_cast<std::size_t>(first) + lane;
            resampled[m][Aurc][i] = summaries[lane].aurc;
            resampled[m][Eaurc][i] = summaries[lane].eaurc;
            resampled[m][Augrc][i] = summaries[lane].augrc;
            resampled[m][Auroc][i] = summaries[lane].auroc;
        }
    }
    return true;
}

// Every block of resamples, taken in turn by up to settings.threads workers (the calling thread
// among them). Blocks write disjoint slots, so the order in which they finish does not matter.
void resample_all(const ComparisonSettings &settings, std::span<const std::uint8_t> correct,
                  std::span<const MethodOrder> orders, std::vector<ResampledValues> &resampled) {
    const std::uint64_t resamples = settings.resamples;
    const std::uint64_t blocks = (resamples + lanes - 1) / lanes;
    std::atomic<std::uint64_t> next_block{0};
    std::mutex failure_lock;
    std::exception_ptr failure;
    const auto work = [&] {
        try {
            for (std::uint64_t block = next_block++; block < blocks; block = next_block++) {
                const std::uint64_t first = block * lanes;
                const auto count =
                    static_cast<std::size_t>(std::min<std::uint64_t>(lanes, resamples - first));
                if (!resample_block<std::uint8_t>(settings.seed, first, count, correct, orders,
                                                  resampled)) {
                    resample_block<std::uint32_t>(settings.seed, first, count, correct, orders,
                                                  resampled);
                }
            }
        } catch (const std::exception &) {
            // Stop the others at their next block and hand the failure (std::bad_alloc, or a
            // thread that could not start) to the caller. Only standard exceptions are caught: a
            // forced unwind of the calling thread must pass on.
            next_block = blocks;
            const std::scoped_lock locked(failure_lock);
            if (!failure) {
                failure = std::current_exception();
            }
        }
    };
    const auto helpers = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max<std::size_t>(settings.threads, 1) - 1, blocks));
    {
        std::vector<std::jthread> workers;
        workers.reserve(helpers);
        for (std::size_t t = 0; t < helpers; ++t) {
            workers.emplace_back(work);
        }
        work();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

bool excludes_zero(const Interval &interval) { return interval.low > 0.0 || interval.high < 0.0; }

} // namespace

Result<std::vector<ScoreComparison>>
compare_score_methods(std::span<const QueryGroup> groups,
                      std::span<const scoring::ScoringMethod> methods,
                      const ComparisonSettings &settings) {
    Result<ScoredTable> scored = score_table(groups, methods);
    if (!scored) {
        return std::unexpected(scored.error());
    }
    const std::vector<std::uint8_t> &correct = scored->correct;
    const auto n = static_cast<std::uint64_t>(correct.size());

    std::vector<MethodOrder> orders;
    orders.reserve(methods.size());
    std::vector<ScoreComparison> results(methods.size());
    const std::vector<std::uint32_t> unit_weights(correct.size(), 1U);
    DrawTotals all;
    all.total = n;
    all.correct = static_cast<std::uint64_t>(std::ranges::count(correct, std::uint8_t{1}));
    all.wrong = n - all.correct;
    for (std::size_t m = 0; m < methods.size(); ++m) {
        orders.push_back(order_method(scored->confidences[m], correct));
        scored->confidences[m] = {};
        const MethodOrder &order = orders.back();
        ScoreComparison &result = results[m];
        result.request = m;
        result.method = methods[m];
        result.aurc = aurc(order.curve);
        result.eaurc = eaurc(order.curve);
        result.augrc = augrc(order.curve);
        result.auroc = weighted_summaries(order, unit_weights, all).auroc;
        result.scored = static_cast<std::uint64_t>(order.entries.size());
        result.labelled = n;
        result.top1_error =
            order.curve.empty() ? quiet_nan : order.curve.back().risk.value_or(quiet_nan);
    }

    // Lowest AURC first, NaN last; the stable sort keeps the request order among equals.
    std::vector<std::size_t> ranking(methods.size());
    for (std::size_t m = 0; m < ranking.size(); ++m) {
        ranking[m] = m;
    }
    std::ranges::stable_sort(ranking, [&](std::size_t a, std::size_t b) {
        const double x = results[a].aurc;
        const double y = results[b].aurc;
        if (std::isnan(x) || std::isnan(y)) {
            return !std::isnan(x) && std::isnan(y);
        }
        return x < y;
    });
    const std::size_t best = ranking.empty() ? 0 : ranking.front();
    for (ScoreComparison &result : results) {
        result.aurc_difference = result.aurc - results[best].aurc;
    }

    if (settings.resamples > 0 && !methods.empty()) {
        const std::uint64_t resamples = settings.resamples;
        std::vector<ResampledValues> resampled(methods.size());
        for (ResampledValues &values : resampled) {
            for (std::vector<double> &statistic : values) {
                statistic.resize(static_cast<std::size_t>(resamples), quiet_nan);
            }
        }
        // Without labelled queries there is nothing to draw: every value stays NaN.
        if (n > 0) {
            resample_all(settings, correct, orders, resampled);
            for (ResampledValues &values : resampled) {
                for (std::size_t i = 0; i < values[Aurc].size(); ++i) {
                    values[Difference][i] = values[Aurc][i] - resampled[best][Aurc][i];
                }
            }
        }
        for (std::size_t m = 0; m < methods.size(); ++m) {
            ResampledValues &values = resampled[m];
            ScoreComparison &result = results[m];
            result.aurc_bounds = percentile_bounds(values[Aurc], settings.level);
            result.eaurc_bounds = percentile_bounds(values[Eaurc], settings.level);
            result.augrc_bounds = percentile_bounds(values[Augrc], settings.level);
            result.auroc_bounds = percentile_bounds(values[Auroc], settings.level);
            result.aurc_difference_bounds = percentile_bounds(values[Difference], settings.level);
            result.distinguishable = excludes_zero(*result.aurc_difference_bounds);
        }
    }

    std::vector<ScoreComparison> sorted;
    sorted.reserve(results.size());
    for (const std::size_t m : ranking) {
        sorted.push_back(std::move(results[m]));
        if (settings.keep_curves) {
            sorted.back().curve = std::move(orders[m].curve);
        }
    }
    return sorted;
}

} // namespace annotrove
