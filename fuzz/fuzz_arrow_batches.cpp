// Fuzz entry point for the Arrow batch consumer. The input describes a stream of batches: per
// batch a length and offset, and per column validity bitmaps, offsets (well-formed or raw, so
// malformed ones occur), characters, dictionary indices and numbers. Every buffer is allocated at
// exactly the size its array declares, so a read past it is a sanitizer report. The consumer's
// rows (or its first fault's row) are checked against a plain reference decoder of the same
// arrays.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "table/arrow_abi.h"
#include "table/arrow_reader.hpp"
#include "table/utf8.hpp"

namespace {

using annotrove::table::RowCells;
using annotrove::table::RowConsumer;

class Input {
  public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::int32_t int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= std::uint32_t{byte()} << (8 * i);
        }
        return static_cast<std::int32_t>(v);
    }
    std::int64_t int64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) {
            v |= std::uint64_t{byte()} << (8 * i);
        }
        return static_cast<std::int64_t>(v);
    }

  private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// Heap blocks of exactly the requested size (none for zero bytes), owned by the test.
struct Buffers {
    std::vector<std::unique_ptr<char[]>> blocks;
    const void *make(const void *source, std::size_t size) {
        if (size == 0) {
            return nullptr;
        }
        blocks.push_back(std::make_unique<char[]>(size));
        std::memcpy(blocks.back().get(), source, size);
        return blocks.back().get();
    }
};

// One leaf array as built, with what the reference decoder needs.
struct Leaf {
    ArrowArray array{};
    std::vector<const void *> buffers;
    std::vector<bool> valid; // per element from 0 (offset included)
    std::vector<std::int32_t> offsets;
    std::string chars;
    std::vector<std::int64_t> values;
    bool malformed = false; // raw offsets
};

void noop_release(ArrowArray *array) {
    array->release = nullptr;
}

// A string column of `elements` elements, or an int64 / float64 column.
void build_validity(Input &in, Leaf &leaf, std::int64_t elements, Buffers &memory) {
    const bool has_bitmap = (in.byte() & 1) != 0;
    std::vector<std::uint8_t> bits(static_cast<std::size_t>((elements + 7) / 8));
    leaf.valid.assign(static_cast<std::size_t>(elements), true);
    if (has_bitmap) {
        for (auto &b : bits) {
            b = in.byte() | in.byte(); // mostly valid
        }
        for (std::int64_t i = 0; i < elements; ++i) {
            leaf.valid[static_cast<std::size_t>(i)] =
                ((bits[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1) != 0;
        }
        leaf.buffers.push_back(memory.make(bits.data(), bits.size()));
        leaf.array.null_count = -1;
    } else {
        leaf.buffers.push_back(nullptr);
        leaf.array.null_count = 0;
    }
}

void build_strings(Input &in, Leaf &leaf, std::int64_t elements, Buffers &memory) {
    build_validity(in, leaf, elements, memory);
    leaf.malformed = (in.byte() % 8) == 0;
    leaf.offsets.push_back(leaf.malformed ? in.byte() % 8 : 0);
    for (std::int64_t i = 0; i < elements; ++i) {
        const std::int32_t step =
            leaf.malformed ? static_cast<std::int8_t>(in.byte()) : in.byte() % 6;
        leaf.offsets.push_back(leaf.offsets.back() + step);
    }
    const std::int32_t size = std::max(leaf.offsets.back(), 0);
    for (std::int32_t i = 0; i < size; ++i) {
        const std::uint8_t b = in.byte();
        leaf.chars.push_back(static_cast<char>(b % 4 == 0 ? b : 'a' + b % 26));
    }
    leaf.buffers.push_back(memory.make(leaf.offsets.data(), leaf.offsets.size() * 4));
    leaf.buffers.push_back(memory.make(leaf.chars.data(), leaf.chars.size()));
    leaf.array.n_buffers = 3;
}

void build_numbers(Input &in, Leaf &leaf, std::int64_t elements, Buffers &memory, bool small) {
    build_validity(in, leaf, elements, memory);
    for (std::int64_t i = 0; i < elements; ++i) {
        leaf.values.push_back(small ? static_cast<std::int8_t>(in.byte()) : in.int64());
    }
    leaf.buffers.push_back(memory.make(leaf.values.data(), leaf.values.size() * 8));
    leaf.array.n_buffers = 2;
}

void finish(Leaf &leaf, std::int64_t length, std::int64_t offset) {
    leaf.array.length = length;
    leaf.array.offset = offset;
    leaf.array.buffers = leaf.buffers.data();
    leaf.array.release = noop_release;
}

struct Batch {
    ArrowArray array{};
    Leaf query_id, dictionary, candidate_id, rank, score;
    std::vector<ArrowArray *> children;
    std::int64_t rows = 0;
    std::int64_t offset = 0; // the column offset
};

// Reference decoding of one text cell; nullopt for a fault (malformed offsets or bad UTF-8).
enum class Cell { ok, null, fault };
Cell reference_text(const Leaf &leaf, std::int64_t base, std::int64_t element, std::string &out) {
    if (!leaf.valid[static_cast<std::size_t>(element)]) {
        return Cell::null;
    }
    const std::int32_t first = leaf.offsets[static_cast<std::size_t>(element)];
    const std::int32_t last = leaf.offsets[static_cast<std::size_t>(element) + 1];
    // A cell must lie inside the characters its readable elements declare.
    if (last < first || first < leaf.offsets[static_cast<std::size_t>(base)] ||
        last > leaf.offsets.back()) {
        return Cell::fault;
    }
    out.assign(leaf.chars, static_cast<std::size_t>(first), static_cast<std::size_t>(last - first));
    return annotrove::table::is_valid_utf8(out.data(), out.data() + out.size()) ? Cell::ok
                                                                                : Cell::fault;
}

struct Row {
    std::string query_id;
    std::string candidate_id;
    std::uint64_t rank;
    double score;
};

class Collector final : public RowConsumer {
  public:
    void expect_rows(std::size_t) override {}
    void add(const RowCells &row) override {
        rows.push_back(
            {std::string(row.query_id), std::string(row.candidate_id), row.rank, row.score});
    }
    std::vector<Row> rows;
};

struct Stream {
    std::vector<std::unique_ptr<Batch>> batches;
    std::size_t next = 0;
};

int schema_of(ArrowArrayStream *, ArrowSchema *out);
int next_of(ArrowArrayStream *stream, ArrowArray *out) {
    auto *state = static_cast<Stream *>(stream->private_data);
    if (state->next == state->batches.size()) {
        out->release = nullptr;
        return 0;
    }
    *out = state->batches[state->next++]->array;
    return 0;
}
const char *error_of(ArrowArrayStream *) {
    return nullptr;
}
void release_of(ArrowArrayStream *stream) {
    stream->release = nullptr;
}

// The schema: query_id string, candidate_id dictionary<int64... as int32 indices> of strings
// (the indices are int64 here), rank int64, score float64.
struct Schema {
    ArrowSchema top{}, query_id{}, candidate_id{}, dictionary{}, rank{}, score{};
    ArrowSchema *children[4] = {&query_id, &candidate_id, &rank, &score};
};
void schema_release(ArrowSchema *schema) {
    schema->release = nullptr;
}
Schema schema_storage;
int schema_of(ArrowArrayStream *, ArrowSchema *out) {
    Schema &s = schema_storage;
    const auto field = [](ArrowSchema &f, const char *format, const char *name) {
        f = ArrowSchema{};
        f.format = format;
        f.name = name;
        f.release = schema_release;
    };
    field(s.query_id, "u", "query_id");
    field(s.candidate_id, "l", "candidate_id");
    field(s.dictionary, "u", "");
    s.candidate_id.dictionary = &s.dictionary;
    field(s.rank, "l", "rank");
    field(s.score, "g", "score");
    field(s.top, "+s", "");
    s.top.n_children = 4;
    s.top.children = s.children;
    *out = s.top;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    Buffers memory;
    Stream state;
    const int batch_count = in.byte() % 4;
    std::vector<Row> expected;
    std::optional<std::int64_t> fault_row; // 1-based over the stream
    std::int64_t rows_before = 0;
    for (int b = 0; b < batch_count; ++b) {
        auto batch = std::make_unique<Batch>();
        batch->rows = in.byte() % 12;
        batch->offset = in.byte() % 3;
        const std::int64_t elements = batch->rows + batch->offset;
        build_strings(in, batch->query_id, elements, memory);
        build_strings(in, batch->dictionary, 1 + in.byte() % 4, memory);
        build_numbers(in, batch->candidate_id, elements, memory, true);
        build_numbers(in, batch->rank, elements, memory, (in.byte() & 1) != 0);
        build_numbers(in, batch->score, elements, memory, false);
        finish(batch->query_id, elements, 0);
        finish(batch->dictionary, static_cast<std::int64_t>(batch->dictionary.offsets.size()) - 1,
               0);
        finish(batch->candidate_id, elements, 0);
        batch->candidate_id.array.dictionary = &batch->dictionary.array;
        finish(batch->rank, elements, 0);
        finish(batch->score, elements, 0);
        batch->children = {&batch->query_id.array, &batch->candidate_id.array, &batch->rank.array,
                           &batch->score.array};
        batch->array.length = batch->rows;
        batch->array.offset = batch->offset; // the struct's offset applies to every column
        batch->array.n_buffers = 1;
        static const void *no_validity[1] = {nullptr};
        batch->array.buffers = no_validity;
        batch->array.n_children = 4;
        batch->array.children = batch->children.data();
        batch->array.release = noop_release;

        // Reference, row by row, stopping at the first fault. A string column with malformed
        // offsets whose first or last offset is out of order faults at the batch's first row.
        const auto bad_bounds = [&](const Leaf &leaf, std::int64_t base, std::int64_t count) {
            if (count == 0) {
                return false;
            }
            const std::int32_t first = leaf.offsets[static_cast<std::size_t>(base)];
            const std::int32_t last = leaf.offsets[static_cast<std::size_t>(base + count)];
            return first < 0 || last < first;
        };
        if (!fault_row &&
            (bad_bounds(batch->query_id, batch->offset, batch->rows) ||
             bad_bounds(batch->dictionary, 0,
                        static_cast<std::int64_t>(batch->dictionary.offsets.size()) - 1))) {
            fault_row = rows_before + 1;
        }
        for (std::int64_t r = 0; r < batch->rows && !fault_row; ++r) {
            const std::int64_t e = batch->offset + r;
            Row row;
            const auto text_ok = [&](const Leaf &leaf, std::int64_t base, std::int64_t element,
                                     std::string &out) {
                return reference_text(leaf, base, element, out) == Cell::ok;
            };
            bool ok = text_ok(batch->query_id, batch->offset, e, row.query_id);
            if (ok) {
                const std::int64_t index = batch->candidate_id.values[static_cast<std::size_t>(e)];
                ok = batch->candidate_id.valid[static_cast<std::size_t>(e)] && index >= 0 &&
                     index < batch->dictionary.array.length &&
                     text_ok(batch->dictionary, 0, index, row.candidate_id);
            }
            if (ok) {
                const std::int64_t rank = batch->rank.values[static_cast<std::size_t>(e)];
                ok = batch->rank.valid[static_cast<std::size_t>(e)] && rank >= 0;
                row.rank = static_cast<std::uint64_t>(rank);
            }
            if (ok) {
                ok = batch->score.valid[static_cast<std::size_t>(e)];
                std::memcpy(&row.score, &batch->score.values[static_cast<std::size_t>(e)], 8);
            }
            if (!ok) {
                fault_row = rows_before + r + 1;
                break;
            }
            expected.push_back(row);
        }
        rows_before += batch->rows;
        state.batches.push_back(std::move(batch));
    }

    ArrowArrayStream stream{schema_of, next_of, error_of, release_of, &state};
    Collector collector;
    const annotrove::Result<void> read = annotrove::table::read_arrow_stream(stream, collector);
    if (fault_row) {
        if (read) {
            std::abort();
        }
        const std::string message = read.error().message();
        if (message.find("row " + std::to_string(*fault_row) + ":") == std::string::npos) {
            std::abort();
        }
        return 0;
    }
    if (!read || collector.rows.size() != expected.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Row &a = collector.rows[i];
        const Row &e = expected[i];
        if (a.query_id != e.query_id || a.candidate_id != e.candidate_id || a.rank != e.rank ||
            std::memcmp(&a.score, &e.score, 8) != 0) {
            std::abort();
        }
    }
    return 0;
}
