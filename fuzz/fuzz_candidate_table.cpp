// Fuzz entry point for the candidate-table reader. Besides memory errors (caught by the
// sanitizers) it checks that the reader's tuning knobs never change a result: the same bytes read
// in tiny blocks with the scalar kernel must give the same rows or the same error message. It
// also checks the grouped stream the computations use against the whole records grouped the
// plain way: the same groups in the same order, or the same error. Where the build can write them,
// the same bytes wrapped in gzip members or zstd frames (cut where the input says) must read as
// the bytes do, and a wrapped copy cut short must be reported damaged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "table/query_groups.hpp"
#include "table/record_reader.hpp"

#if defined(ANNOTROVE_FUZZ_GZIP)
#include <zlib.h>
#endif
#if defined(ANNOTROVE_FUZZ_ZSTD)
#include <zstd.h>
#endif

namespace {

using annotrove::Candidate;
using annotrove::QueryGroup;
using annotrove::QueryGroups;
using annotrove::Result;
using annotrove::table::CandidateRecord;
using annotrove::table::CandidateTable;
using annotrove::table::TextArena;
using annotrove::table::TextRef;

// Tables read twice: each row's texts are looked up in the arena of its own table.
struct Texts {
    const TextArena &a;
    const TextArena &b;

    bool same(TextRef x, TextRef y) const { return a.optional_view(x) == b.optional_view(y); }
};

// Bitwise for floats, so a NaN read twice compares equal and -0.0 differs from 0.0.
template <typename T> bool same_bits(const T &a, const T &b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

bool same_row(const CandidateRecord &a, const CandidateRecord &b, const Texts &texts) {
    return texts.same(a.query_id, b.query_id) && texts.same(a.candidate_id, b.candidate_id) &&
           a.rank == b.rank && same_bits(a.score, b.score) &&
           a.probability.has_value() == b.probability.has_value() &&
           (!a.probability || same_bits(*a.probability, *b.probability)) &&
           texts.same(a.smiles, b.smiles) && texts.same(a.inchikey, b.inchikey) &&
           texts.same(a.formula, b.formula) && texts.same(a.target_inchikey, b.target_inchikey) &&
           a.is_correct == b.is_correct;
}

bool same_result(const Result<CandidateTable> &a, const Result<CandidateTable> &b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    if (!a) {
        return a.error().message() == b.error().message();
    }
    if (a->rows.size() != b->rows.size()) {
        return false;
    }
    const Texts texts{a->texts, b->texts};
    for (std::size_t i = 0; i < a->rows.size(); ++i) {
        if (!same_row(a->rows[i], b->rows[i], texts)) {
            return false;
        }
    }
    return true;
}

// The groups as the plain algorithm makes them from whole records: a map from id to the rows in
// file order (std::string orders bytes as unsigned values, as the groups must be ordered), or
// the ids in order of first appearance.
bool same_groups(const CandidateTable &table, const Result<QueryGroups> &stream,
                 bool top_candidate_ids, bool sorted) {
    if (!stream) {
        return false;
    }
    std::map<std::string, std::vector<const CandidateRecord *>> reference;
    std::vector<std::string> first_seen;
    for (const CandidateRecord &row : table.rows) {
        auto &rows = reference[std::string(table.texts.view(row.query_id))];
        if (rows.empty()) {
            first_seen.emplace_back(table.texts.view(row.query_id));
        }
        rows.push_back(&row);
    }
    if (reference.size() != stream->groups.size()) {
        return false;
    }
    if (sorted) {
        first_seen.clear();
        for (const auto &entry : reference) {
            first_seen.push_back(entry.first);
        }
    }
    std::size_t g = 0;
    for (const std::string &id : first_seen) {
        const std::vector<const CandidateRecord *> &rows = reference[id];
        const annotrove::QueryGroup &group = stream->groups[g++];
        if (group.query_id != id || group.candidates.size() != rows.size()) {
            return false;
        }
        const CandidateRecord *top = nullptr;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const CandidateRecord &x = *rows[i];
            const Candidate &y = group.candidates[i];
            if (x.rank != y.rank || !same_bits(x.score, y.score) ||
                x.probability.has_value() != y.probability().has_value() ||
                (x.probability && !same_bits(*x.probability, *y.probability())) ||
                x.is_correct != y.is_correct()) {
                return false;
            }
            if (top == nullptr || x.rank < top->rank) {
                top = &x;
            }
        }
        const std::string_view top_id =
            top_candidate_ids ? table.texts.view(top->candidate_id) : "";
        if (group.top_candidate_id != top_id) {
            return false;
        }
    }
    return true;
}

// Two readings of one table: the same groups, ids, top candidates and rows, bit for bit.
bool same_groups_exactly(const QueryGroups &a, const QueryGroups &b) {
    if (a.groups.size() != b.groups.size()) {
        return false;
    }
    for (std::size_t g = 0; g < a.groups.size(); ++g) {
        const QueryGroup &x = a.groups[g];
        const QueryGroup &y = b.groups[g];
        if (x.query_id != y.query_id || x.top_candidate_id != y.top_candidate_id ||
            x.candidates.size() != y.candidates.size()) {
            return false;
        }
        for (std::size_t i = 0; i < x.candidates.size(); ++i) {
            const Candidate &p = x.candidates[i];
            const Candidate &q = y.candidates[i];
            if (p.rank != q.rank || !same_bits(p.score, q.score) ||
                p.probability().has_value() != q.probability().has_value() ||
                (p.probability() && !same_bits(*p.probability(), *q.probability())) ||
                p.is_correct() != q.is_correct()) {
                return false;
            }
        }
    }
    return true;
}

// The input split in up to three pieces at offsets the input itself chooses (an empty piece makes
// an empty member or frame).
std::vector<std::string_view> pieces(std::string_view bytes) {
    std::vector<std::size_t> edges{0};
    for (std::size_t i = 0; i < bytes.size() % 3; ++i) {
        edges.push_back(static_cast<unsigned char>(bytes[i]) * bytes.size() / 256);
    }
    edges.push_back(bytes.size());
    std::sort(edges.begin(), edges.end());
    std::vector<std::string_view> parts;
    for (std::size_t i = 1; i < edges.size(); ++i) {
        parts.push_back(bytes.substr(edges[i - 1], edges[i] - edges[i - 1]));
    }
    return parts;
}

#if defined(ANNOTROVE_FUZZ_GZIP)
std::string gzip_member(std::string_view piece, int level) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        std::abort();
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(piece.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(piece.data()));
    stream.avail_in = static_cast<uInt>(piece.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        std::abort();
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}
#endif

#if defined(ANNOTROVE_FUZZ_ZSTD)
std::string zstd_frame(std::string_view piece, int level) {
    std::string out(ZSTD_compressBound(piece.size()), '\0');
    const std::size_t size = ZSTD_compress(out.data(), out.size(), piece.data(), piece.size(), level);
    if (ZSTD_isError(size)) {
        std::abort();
    }
    out.resize(size);
    return out;
}
#endif

// The wrapped copy reads as the bytes do; cut short anywhere but between two members, it is
// damaged (a cut before the whole signature leaves bytes that are not compressed at all).
template <typename Wrap>
void check_wrapped(std::string_view bytes, const Result<CandidateTable> &plain, Wrap wrap,
                   std::size_t signature) {
    std::string wrapped;
    std::vector<std::size_t> boundaries;
    for (std::string_view piece : pieces(bytes)) {
        wrapped += wrap(piece);
        boundaries.push_back(wrapped.size());
    }
    annotrove::table::CsvReaderSettings settings;
    settings.block_size = 1 + bytes.size() % 13;
    settings.decompress_in_background = bytes.size() % 2 == 0;
    if (!same_result(plain, annotrove::table::read_candidates_from_bytes(wrapped, settings))) {
        std::abort();
    }
    const std::size_t cut = signature + bytes.size() * 7919 % (wrapped.size() - signature);
    if (std::find(boundaries.begin(), boundaries.end(), cut) != boundaries.end()) {
        return;
    }
    const Result<CandidateTable> damaged =
        annotrove::table::read_candidates_from_bytes(std::string_view(wrapped).substr(0, cut), settings);
    if (damaged || damaged.error().message().find(" is damaged: ") == std::string::npos) {
        std::abort();
    }
}

// Inputs that already start with a compression signature are compressed data themselves, not
// text to wrap.
bool looks_compressed(std::string_view bytes) {
    using namespace std::string_view_literals;
    return bytes.starts_with("\x1F\x8B"sv) || bytes.starts_with("\x28\xB5\x2F\xFD"sv) ||
           bytes.starts_with("PK\x03\x04"sv) || bytes.starts_with("\xFD\x37\x7A\x58\x5A\x00"sv) ||
           (bytes.size() >= 4 && (static_cast<unsigned char>(bytes[0]) & 0xF0U) == 0x50U &&
            bytes.substr(1, 3) == "\x2A\x4D\x18"sv) ||
           bytes.starts_with("BZh"sv);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const Result<CandidateTable> plain = annotrove::table::read_candidates_from_bytes(bytes);

    annotrove::table::CsvReaderSettings small;
    // A block size that varies with the input puts block edges at every offset over a run.
    small.block_size = 1 + (size == 0 ? 0 : data[size - 1] % 7);
    small.isa = annotrove::table::Isa::scalar;
    Result<CandidateTable> blocked = annotrove::table::read_candidates_from_bytes(bytes, small);

    if (!same_result(plain, blocked)) {
        std::abort();
    }
    // The stream, read in the other block size, against the records.
    const bool top_ids = size % 2 == 0;
    const bool sorted = size % 4 < 2;
    const Result<QueryGroups> stream = annotrove::table::read_query_groups_from_bytes(
        bytes,
        annotrove::table::GroupingOptions{.top_candidate_ids = top_ids, .sorted_by_id = sorted},
        small);
    if (plain ? !same_groups(*plain, stream, top_ids, sorted)
              : stream || stream.error().message() != plain.error().message()) {
        std::abort();
    }
    // Three threads and chunks of a few bytes, so chunk edges fall everywhere: the same groups to
    // the last bit, or the same first error, as one thread.
    annotrove::table::ReadOptions threaded;
    threaded.threads = 3;
    threaded.csv = small;
    threaded.csv.chunk_size = 1 + (size == 0 ? 0 : data[0] % 13);
    const Result<QueryGroups> parallel = annotrove::table::read_query_groups_from_bytes(
        bytes,
        annotrove::table::GroupingOptions{.top_candidate_ids = top_ids, .sorted_by_id = sorted},
        threaded);
    if (stream ? !parallel || !same_groups_exactly(*stream, *parallel)
               : parallel || parallel.error().message() != stream.error().message()) {
        std::abort();
    }
    if (looks_compressed(bytes)) {
        return 0;
    }
#if defined(ANNOTROVE_FUZZ_GZIP)
    check_wrapped(bytes, plain, [&](std::string_view piece) {
        return gzip_member(piece, 1 + static_cast<int>(size % 9));
    }, 2);
#endif
#if defined(ANNOTROVE_FUZZ_ZSTD)
    check_wrapped(bytes, plain, [&](std::string_view piece) {
        return zstd_frame(piece, 1 + static_cast<int>(size % 5));
    }, 4);
#endif
    return 0;
}
