// The table reader's machinery, shared by the one-thread read (csv_reader.cpp) and the read on
// several threads (threaded_reader.cpp): one reader either streams a whole input from a source
// or reads the rows of one chunk cut out of it, against a header read before.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../error.hpp"
#include "csv_reader.hpp"
#include "csv_scanner.hpp"

namespace annotrove::table {

class ByteSource;

namespace detail {

// The members a column can fill, in the order of their columns' names below.
enum class Member : std::uint8_t {
    query_id,
    candidate_id,
    rank,
    score,
    probability,
    smiles,
    inchikey,
    formula,
    target_inchikey,
    is_correct,
};
inline constexpr std::size_t member_count = 10;
inline constexpr std::array<std::string_view, member_count> member_columns = {
    "query_id", "candidate_id", "rank",    "score",           "probability",
    "smiles",   "inchikey",     "formula", "target_inchikey", "is_correct"};
inline constexpr std::size_t no_column = std::numeric_limits<std::size_t>::max();

// One field of the current record: its raw bytes until the record is complete, then (once a
// quoted field has been unescaped) its value.
struct Field {
    char *begin = nullptr;
    char *end = nullptr;
    bool quoted = false;

    std::string_view text() const { return {begin, static_cast<std::size_t>(end - begin)}; }
};

// What the header says about the rows: its names and which column fills each member.
struct TableLayout {
    std::vector<std::string> header;
    std::array<std::size_t, member_count> column_of{};
    std::size_t duplicate_member = no_column;
};

// One piece of the input, cut just after a line break (or at the input's end), read on its own.
// Its bytes are only read, never written, so they can be read again when the piece turns out to
// have begun inside a quoted field.
struct ChunkBytes {
    const char *data; // followed by StructuralScanner::window_size readable bytes
    std::size_t length;
    std::uint64_t offset; // of data[0] in the input
    bool after_cr;        // the byte before data[0] was a CR, so an LF first joins it
    bool final;           // the input ends with this piece
};

// A row fault found in a chunk: what is wrong and where its record starts, the line counted from
// the chunk's first byte (the chunk does not know how many lines came before it).
struct RowFault {
    std::string what;
    std::uint64_t line;
    std::uint64_t offset;
};

// How reading one chunk went.
struct ChunkOutcome {
    std::size_t rows = 0;
    std::optional<RowFault> fault;
    // Where reading stopped: the chunk's end, or the start of the record the chunk ends inside.
    std::size_t stop = 0;
    // Line breaks before `stop`.
    std::uint64_t lines = 0;
};

// " at line N (byte B)", as every row fault ends.
std::string position_text(std::uint64_t line, std::uint64_t offset);

class TableReader {
  public:
    // Streams the whole input from `source`.
    TableReader(ByteSource &source, RowConsumer &consumer, const CsvReaderSettings &settings);
    // Reads the rows of one chunk against a header read before.
    TableReader(const TableLayout &layout, const ChunkBytes &chunk, RowConsumer &consumer,
                StructuralMaskFn chunk_kernel);

    // Header, then every row.
    Result<void> run();
    Result<void> read_header();
    // Every complete row of the chunk; stops at the first fault.
    ChunkOutcome run_chunk();

    // After read_header: what it found, and the bytes it read beyond the header.
    struct Rest {
        std::string_view bytes;
        std::uint64_t offset;
        std::uint64_t line;
        bool after_cr;
        bool at_end;
    };
    const TableLayout &layout() const { return layout_; }
    Rest rest() const;
    StructuralMaskFn kernel() const { return kernel_; }

  private:
    enum class Scan { record, need_more, end, too_many_fields, read_failed };
    // The scanner reads whole 64-byte windows, so one may start at the last byte held.
    static constexpr std::size_t padding = StructuralScanner::window_size;

    Scan scan_record(std::size_t max_fields);
    std::optional<Scan> scan_plain_record(char *p, std::size_t max_fields);
    void push_field(char *begin, char *end, bool quoted) {
        if (field_count_ == fields_.size()) {
            fields_.resize(std::max<std::size_t>(2 * fields_.size(), 16));
        }
        fields_[field_count_++] = Field{begin, end, quoted};
    }
    const Field &first_field() const { return fields_[0]; }
    const Field &last_field() const { return fields_[field_count_ - 1]; }
    Scan read_record(std::size_t max_fields);
    bool refill();
    void unescape_fields();
    Result<void> read_rows();
    Result<void> add_row();
    void estimate_rows();
    std::unexpected<CoreError> row_fault(std::string what);

    std::string where() const { return position_text(record_line_, record_offset_); }
    CoreError read_error() const;
    std::unexpected<CoreError> cell_error(std::string_view what, Member member,
                                          std::string_view cell);
    std::string_view cell(Member member) const {
        return fields_[layout_.column_of[static_cast<std::size_t>(member)]].text();
    }
    // Written in place: building a temporary optional and copying it stalled every row on a
    // store that a wider load then read back.
    void set_optional_text(std::optional<std::string_view> &target, Member member) const {
        if (has_cell(member)) {
            target.emplace(cell(member));
        } else {
            target.reset();
        }
    }
    // A non-empty cell in a column the header has; an empty optional cell is absent.
    bool has_cell(Member member) const {
        const std::size_t column = layout_.column_of[static_cast<std::size_t>(member)];
        return column != no_column && fields_[column].begin != fields_[column].end;
    }

    ByteSource *source_; // null when reading one chunk
    RowConsumer &consumer_;
    bool carried_texts_;
    bool scores_;
    bool probabilities_;
    StructuralMaskFn kernel_;
    std::size_t capacity_ = 0; // bytes the buffer holds, not counting the padding
    std::unique_ptr<char[]> buffer_;
    char *data_ = nullptr;          // the buffer, or the chunk being read
    std::size_t length_ = 0;        // bytes held
    std::size_t position_ = 0;      // start of the first record not yet consumed
    std::uint64_t file_offset_ = 0; // offset in the input of data_[0]
    bool at_end_ = false;           // no more bytes to come after length_
    bool all_ascii_ = false;        // every byte held is ASCII
    StructuralScanner scanner_;

    std::uint64_t line_ = 1; // line of the next unconsumed byte
    bool after_cr_ = false;  // the last line break consumed was a CR (so an LF joins it)
    std::uint64_t record_line_ = 0;
    std::uint64_t record_offset_ = 0;
    // The current record's fields are the first field_count_; the vector only grows.
    std::vector<Field> fields_;
    std::size_t field_count_ = 0;
    bool record_has_quotes_ = false;
    // A chunk's bytes stay as they came; a record with quoted fields is unescaped in a copy.
    std::vector<char> unescaped_;

    TableLayout layout_;
    std::size_t rows_read_ = 0;
    std::optional<RowFault> fault_; // a chunk's first fault
    RowCells row_;
};

} // namespace detail

} // namespace annotrove::table
