#include "csv_reader.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "byte_source.hpp"
#include "cell_parsers.hpp"
#include "compressed_input.hpp"
#include "csv_scanner.hpp"
#include "table_reader.hpp"
#include "utf8.hpp"

namespace annotrove::table {

namespace {

// Turns a quoted field's raw bytes into its value, in place. Doubled quotes inside the quotes
// stand for one; whatever follows the closing quote is kept as it stands.
char *unescape_quoted(char *begin, char *end) {
    char *write = begin;
    char *read = begin + 1;
    while (read < end) {
        const auto remaining = static_cast<std::size_t>(end - read);
        auto *quote = static_cast<char *>(std::memchr(read, '"', remaining));
        if (quote == nullptr) {
            quote = end;
        }
        const auto run = static_cast<std::size_t>(quote - read);
        std::memmove(write, read, run);
        write += run;
        if (quote == end) {
            break;
        }
        if (quote + 1 < end && quote[1] == '"') {
            *write++ = '"';
            read = quote + 2;
            continue;
        }
        const auto rest = static_cast<std::size_t>(end - (quote + 1));
        std::memmove(write, quote + 1, rest);
        return write + rest;
    }
    return write;
}

// Quotes a cell for a message, cutting long ones at a character boundary.
std::string quoted_excerpt(std::string_view text) {
    constexpr std::size_t limit = 64;
    if (text.size() <= limit) {
        return "\"" + std::string(text) + "\"";
    }
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) {
        --cut;
    }
    return "\"" + std::string(text.substr(0, cut)) + "\"...";
}

} // namespace

namespace detail {

std::string position_text(std::uint64_t line, std::uint64_t offset) {
    return " at line " + std::to_string(line) + " (byte " + std::to_string(offset) + ")";
}

TableReader::TableReader(ByteSource &source, RowConsumer &consumer,
                         const CsvReaderSettings &settings)
    : source_(&source), consumer_(consumer), carried_texts_(consumer.wants_carried_texts()),
      scores_(consumer.wants_scores()), probabilities_(consumer.wants_probabilities()),
      kernel_(structural_mask_kernel(settings.isa)),
      capacity_(std::max<std::size_t>(settings.block_size, 1)),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity_ + padding)), data_(buffer_.get()),
      scanner_(kernel_, data_, data_) {
    std::memset(data_, 0, padding);
}

TableReader::TableReader(const TableLayout &layout, const ChunkBytes &chunk,
                         RowConsumer &consumer, StructuralMaskFn chunk_kernel)
    : source_(nullptr), consumer_(consumer), carried_texts_(consumer.wants_carried_texts()),
      scores_(consumer.wants_scores()), probabilities_(consumer.wants_probabilities()),
      kernel_(chunk_kernel),
      // Never written through: a chunk's records with quotes are unescaped in a copy.
      data_(const_cast<char *>(chunk.data)), length_(chunk.length), file_offset_(chunk.offset),
      at_end_(chunk.final), all_ascii_(is_ascii(chunk.data, chunk.data + chunk.length)),
      scanner_(kernel_, data_, data_ + length_), line_(0), after_cr_(chunk.after_cr),
      layout_(layout) {}

// Splits the next record into fields_. Fields end at an unquoted comma; the record ends at an
// unquoted CR or LF or at the end of the input. Nothing is committed when the buffer runs out
// first, so the record is scanned again from its start once more bytes are in.
TableReader::Scan TableReader::scan_record(std::size_t max_fields) {
    char *const base = data_;
    char *const end = base + length_;
    char *p = base + position_;
    // Blank lines are skipped; a CR, an LF or a CR LF pair each ends one line.
    while (p < end && (*p == '\n' || *p == '\r')) {
        if (*p == '\r' || !after_cr_) {
            ++line_;
        }
        after_cr_ = *p == '\r';
        ++p;
    }
    position_ = static_cast<std::size_t>(p - base);
    if (p == end) {
        return at_end_ ? Scan::end : Scan::need_more;
    }
    after_cr_ = false;
    record_line_ = line_;
    record_offset_ = file_offset_ + position_;
    field_count_ = 0;
    // A record without quotes that ends inside the buffer, as nearly every record does, is split
    // by the fast path; anything else is scanned again from its start below. After a record with
    // quotes the next one likely has them too, and goes there directly.
    if (!record_has_quotes_) {
        if (const std::optional<Scan> plain = scan_plain_record(p, max_fields)) {
            return *plain;
        }
        field_count_ = 0;
        scanner_ = StructuralScanner(kernel_, p, end);
    }
    record_has_quotes_ = false;
    std::uint64_t inner_lines = 0;

    for (;;) {
        char *const field_begin = p;
        const char *rest = p;
        const bool quoted = p < end && *p == '"';
        if (quoted) {
            record_has_quotes_ = true;
            const char *q = p + 1;
            for (;;) {
                const char *s = scanner_.next(q);
                if (s == end) {
                    if (!at_end_) {
                        return Scan::need_more;
                    }
                    q = end; // the input ends inside the quotes: so do the field and the record
                    break;
                }
                const bool last = s + 1 == end;
                if ((*s == '"' || *s == '\r') && last && !at_end_) {
                    return Scan::need_more; // the next byte decides
                }
                if (*s == '"') {
                    if (!last && s[1] == '"') {
                        q = s + 2;
                        continue;
                    }
                    q = s + 1;
                    break;
                }
                if (*s == '\n' || (*s == '\r' && (last || s[1] != '\n'))) {
                    ++inner_lines;
                }
                q = s + 1;
            }
            rest = q;
        }
        // Unquoted bytes (or those after a closing quote): a quote here is an ordinary byte.
        const char *s = scanner_.next(rest);
        while (s < end && *s == '"') {
            s = scanner_.next(s + 1);
        }
        if (field_count_ == max_fields) {
            return Scan::too_many_fields;
        }
        char *const field_end = base + (s - base);
        push_field(field_begin, field_end, quoted);
        if (s == end) {
            if (!at_end_) {
                return Scan::need_more;
            }
            position_ = length_;
            line_ += inner_lines;
            return Scan::record;
        }
        if (*s == ',') {
            p = field_end + 1;
            continue;
        }
        line_ += inner_lines + 1;
        after_cr_ = *s == '\r';
        position_ = static_cast<std::size_t>(field_end + 1 - base);
        return Scan::record;
    }
}

// The fast path of scan_record: walks the structural bytes one after the other, each a comma (the
// field ends) or a line break (so does the record). Nothing when a quote comes first or the buffer
// ends before the record does; the general scan then starts over from the record's start.
std::optional<TableReader::Scan> TableReader::scan_plain_record(char *p, std::size_t max_fields) {
    char *const base = data_;
    char *const end = base + length_;
    Field *const out = fields_.data();
    // Growing the fields is left to the general scan.
    const std::size_t limit = std::min(fields_.size(), max_fields);
    std::size_t count = 0;
    char *field_begin = p;
    const char *s = scanner_.next(p);
    StructuralScanner::Cursor cursor = scanner_.cursor();
    const StructuralMaskFn mask_of = kernel_;
    for (;;) {
        if (s == end || *s == '"') {
            record_has_quotes_ = s != end;
            return std::nullopt;
        }
        if (count == limit) {
            if (count != max_fields) {
                return std::nullopt;
            }
            field_count_ = count;
            return Scan::too_many_fields;
        }
        char *const field_end = base + (s - base);
        out[count++] = Field{field_begin, field_end, false};
        if (*s != ',') {
            field_count_ = count;
            scanner_.resume(cursor);
            ++line_;
            after_cr_ = *s == '\r';
            position_ = static_cast<std::size_t>(field_end + 1 - base);
            return Scan::record;
        }
        field_begin = field_end + 1;
        // The next structural byte: clear this one's bit, loading windows while none is left.
        cursor.mask &= cursor.mask - 1;
        while (cursor.mask == 0) {
            cursor.window += StructuralScanner::window_size;
            if (cursor.window >= end) {
                break;
            }
            cursor.mask = mask_of(cursor.window);
        }
        s = cursor.mask == 0 ? end : std::min<const char *>(cursor.window + std::countr_zero(cursor.mask), end);
    }
}

TableReader::Scan TableReader::read_record(std::size_t max_fields) {
    for (;;) {
        const Scan scan = scan_record(max_fields);
        // A chunk has no more bytes to ask for: a record it ends inside is left to the caller.
        if (scan != Scan::need_more || source_ == nullptr) {
            return scan;
        }
        if (!refill()) {
            if (source_->failure()) {
                return Scan::read_failed;
            }
            at_end_ = true;
        }
    }
}

// Moves the unfinished record to the front, growing the buffer when that record fills it, and
// appends what the source gives. False when the source has nothing more.
bool TableReader::refill() {
    const std::size_t kept = length_ - position_;
    if (position_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + position_, kept);
        file_offset_ += position_;
        position_ = 0;
        length_ = kept;
    }
    if (length_ == capacity_) {
        const std::size_t grown = capacity_ * 2;
        auto larger = std::make_unique_for_overwrite<char[]>(grown + padding);
        std::memcpy(larger.get(), buffer_.get(), length_);
        buffer_ = std::move(larger);
        capacity_ = grown;
    }
    data_ = buffer_.get();
    // Fill the whole free space, not one chunk: an unfinished record is scanned again from its
    // start after each refill, so the buffer must double between scans for a single huge record
    // to cost linear time.
    const std::size_t kept_length = length_;
    std::size_t added = 0;
    while (length_ < capacity_) {
        const std::size_t count = source_->read(buffer_.get() + length_, capacity_ - length_);
        if (count == 0) {
            break;
        }
        length_ += count;
        added += count;
    }
    // The scanner reads whole windows past the last byte held; keep those bytes defined. Only
    // this window is cleared: zero-filling the whole buffer cost more than reading a small table.
    std::memset(buffer_.get() + length_, 0, padding);
    scanner_ = StructuralScanner(kernel_, buffer_.get(), buffer_.get() + length_);
    // The kept bytes were checked with the block they came in. One pass over a whole block is
    // cheaper than one per record, and most tables are ASCII throughout.
    all_ascii_ = (all_ascii_ || kept_length == 0) &&
                 is_ascii(buffer_.get() + kept_length, buffer_.get() + length_);
    return added > 0;
}

void TableReader::unescape_fields() {
    if (!record_has_quotes_) {
        return;
    }
    if (source_ == nullptr) {
        // A chunk's bytes must stay as they came (see ChunkBytes): unescape a copy.
        const char *const first = first_field().begin;
        unescaped_.assign(first, static_cast<const char *>(last_field().end));
        for (std::size_t i = 0; i < field_count_; ++i) {
            Field &field = fields_[i];
            field.begin = unescaped_.data() + (field.begin - first);
            field.end = unescaped_.data() + (field.end - first);
        }
    }
    for (std::size_t i = 0; i < field_count_; ++i) {
        Field &field = fields_[i];
        if (field.quoted) {
            field.end = unescape_quoted(field.begin, field.end);
            field.quoted = false;
        }
    }
}

CoreError TableReader::read_error() const {
    return source_->failure().value_or(CoreError::csv("cannot read the input"));
}

// A row fault names the record's place. A chunk does not know its first line's number, so it
// keeps the fault's parts for whoever does.
std::unexpected<CoreError> TableReader::row_fault(std::string what) {
    if (source_ == nullptr) {
        fault_ = RowFault{what, record_line_, record_offset_};
        return std::unexpected(CoreError::csv(std::move(what)));
    }
    return std::unexpected(CoreError::csv(what + where()));
}

std::unexpected<CoreError> TableReader::cell_error(std::string_view what, Member member,
                                                   std::string_view cell) {
    return row_fault("invalid " + std::string(what) + " " + quoted_excerpt(cell) +
                     " in column \"" +
                     std::string(member_columns[static_cast<std::size_t>(member)]) + "\"");
}

Result<void> TableReader::read_header() {
    // A byte-order mark is skipped only at the very start of the input.
    while (length_ < 3 && !at_end_) {
        if (!refill()) {
            if (source_->failure()) {
                return std::unexpected(read_error());
            }
            at_end_ = true;
        }
    }
    if (length_ >= 3 && std::memcmp(data_, "\xEF\xBB\xBF", 3) == 0) {
        position_ = 3;
    }
    const Scan scan = read_record(no_column);
    if (scan == Scan::read_failed) {
        return std::unexpected(read_error());
    }
    std::vector<std::string> &header = layout_.header;
    if (scan == Scan::record) {
        // Header names are compared as bytes, but must still be text.
        unescape_fields();
        for (std::size_t i = 0; i < field_count_; ++i) {
            const Field &field = fields_[i];
            if (!is_valid_utf8(field.begin, field.end)) {
                return std::unexpected(CoreError::csv("invalid UTF-8 in the header" + where()));
            }
            header.emplace_back(field.text());
        }
    }

    layout_.column_of.fill(no_column);
    for (std::size_t index = 0; index < header.size(); ++index) {
        for (std::size_t member = 0; member < member_count; ++member) {
            if (header[index] != member_columns[member]) {
                continue;
            }
            if (layout_.column_of[member] == no_column) {
                layout_.column_of[member] = index;
            } else if (layout_.duplicate_member == no_column) {
                layout_.duplicate_member = member;
            }
        }
    }
    for (std::string_view required : REQUIRED_COLUMNS) {
        const auto found = std::find(member_columns.begin(), member_columns.end(), required);
        if (layout_.column_of[static_cast<std::size_t>(found - member_columns.begin())] ==
            no_column) {
            return std::unexpected(CoreError::missing_column(std::string(required)));
        }
    }
    return {};
}

TableReader::Rest TableReader::rest() const {
    return Rest{std::string_view(data_ + position_, length_ - position_),
                file_offset_ + position_, line_, after_cr_, at_end_};
}

Result<void> TableReader::add_row() {
    const std::vector<std::string> &header = layout_.header;
    if (field_count_ != header.size()) {
        return row_fault("found " + std::to_string(field_count_) +
                         " fields where the header has " + std::to_string(header.size()));
    }
    // Delimiters and quotes are ASCII, so an all-ASCII record needs no further UTF-8 check;
    // otherwise each value is checked on its own, after unescaping.
    const bool ascii = all_ascii_ || is_ascii(first_field().begin, last_field().end);
    unescape_fields();
    if (!ascii) {
        for (std::size_t index = 0; index < field_count_; ++index) {
            if (!is_valid_utf8(fields_[index].begin, fields_[index].end)) {
                return row_fault("invalid UTF-8 in column \"" + header[index] + "\"");
            }
        }
    }
    if (layout_.duplicate_member != no_column) {
        return row_fault("duplicate column \"" +
                         std::string(member_columns[layout_.duplicate_member]) +
                         "\" in the header, reading the row");
    }

    // Every member column is converted, in member order, also when the caller needs it not.
    RowCells &row = row_;
    row.query_id = cell(Member::query_id);
    row.candidate_id = cell(Member::candidate_id);
    const std::string_view rank = cell(Member::rank);
    if (const auto value = parse_rank(rank)) {
        row.rank = *value;
    } else {
        return cell_error("rank", Member::rank, rank);
    }
    const std::string_view score = cell(Member::score);
    if (!scores_) {
        if (!is_float(score)) {
            return cell_error("float", Member::score, score);
        }
        row.score = 0.0;
    } else if (const auto value = parse_float(score)) {
        row.score = *value;
    } else {
        return cell_error("float", Member::score, score);
    }
    row.probability.reset();
    if (has_cell(Member::probability)) {
        const std::string_view text = cell(Member::probability);
        if (!probabilities_) {
            if (!is_float(text)) {
                return cell_error("float", Member::probability, text);
            }
            row.probability = 0.0;
        } else {
            const auto value = parse_float(text);
            if (!value) {
                return cell_error("float", Member::probability, text);
            }
            row.probability = *value;
        }
    }
    row.is_correct.reset();
    if (has_cell(Member::is_correct)) {
        const std::string_view text = cell(Member::is_correct);
        const auto value = parse_bool(text);
        if (!value) {
            return cell_error("boolean", Member::is_correct, text);
        }
        row.is_correct = *value;
    }
    if (carried_texts_) {
        set_optional_text(row.smiles, Member::smiles);
        set_optional_text(row.inchikey, Member::inchikey);
        set_optional_text(row.formula, Member::formula);
        set_optional_text(row.target_inchikey, Member::target_inchikey);
    }
    consumer_.add(row);
    ++rows_read_;
    return {};
}

// Storage that doubles as it fills makes the kernel hand out and copy fresh pages several times
// over; once the first rows show the typical row length, the consumer learns the expected row
// count of the whole input and sizes its storage once.
void TableReader::estimate_rows() {
    constexpr std::size_t sample_rows = 1024;
    constexpr std::uint64_t shortest_row = 8; // "q,c,1,2" and its line break
    if (rows_read_ != sample_rows || source_->size() == 0) {
        return;
    }
    const std::uint64_t consumed = file_offset_ + position_;
    const std::uint64_t row_length = std::max<std::uint64_t>(consumed / sample_rows, 1);
    const std::uint64_t estimate = source_->size() / row_length;
    const std::uint64_t bound = source_->size() / shortest_row;
    consumer_.expect_rows(static_cast<std::size_t>(std::min(estimate + estimate / 16, bound)));
}

Result<void> TableReader::run() {
    if (auto header = read_header(); !header) {
        return std::unexpected(std::move(header.error()));
    }
    return read_rows();
}

Result<void> TableReader::read_rows() {
    const std::size_t columns = layout_.header.size();
    fields_.resize(std::max(fields_.size(), columns + 1));
    for (;;) {
        estimate_rows();
        switch (read_record(columns)) {
        case Scan::end:
            return {};
        case Scan::read_failed:
            return std::unexpected(read_error());
        case Scan::too_many_fields:
            return row_fault("found more than " + std::to_string(columns) +
                             " fields where the header has " + std::to_string(columns));
        case Scan::record:
        case Scan::need_more:
            break;
        }
        if (auto added = add_row(); !added) {
            return std::unexpected(std::move(added.error()));
        }
    }
}

ChunkOutcome TableReader::run_chunk() {
    const std::size_t columns = layout_.header.size();
    fields_.resize(std::max(fields_.size(), columns + 1));
    ChunkOutcome outcome;
    for (;;) {
        const Scan scan = read_record(columns);
        if (scan == Scan::end || scan == Scan::need_more) {
            outcome.stop = position_;
            outcome.lines = line_;
            break;
        }
        if (scan == Scan::too_many_fields) {
            (void)row_fault("found more than " + std::to_string(columns) +
                            " fields where the header has " + std::to_string(columns));
            break;
        }
        if (!add_row()) {
            break;
        }
    }
    outcome.rows = rows_read_;
    outcome.fault = std::move(fault_);
    return outcome;
}

} // namespace detail

namespace {

bool is_separator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

} // namespace

bool is_parquet_path(std::string_view path) {
    // The last component that names something: trailing separators and "." components do not
    // count, as with path-normalising libraries.
    std::string_view name;
    std::size_t end = path.size();
    while (end > 0) {
        while (end > 0 && is_separator(path[end - 1])) {
            --end;
        }
        std::size_t begin = end;
        while (begin > 0 && !is_separator(path[begin - 1])) {
            --begin;
        }
        name = path.substr(begin, end - begin);
        if (name != "." || begin == 0) {
            break;
        }
        end = begin;
    }
    if (name == "..") {
        return false;
    }
    const std::size_t dot = name.rfind('.');
    // A leading dot alone (a hidden file's name) starts no extension.
    if (dot == std::string_view::npos || dot == 0) {
        return false;
    }
    return name.substr(dot + 1) == "parquet";
}

Result<void> read_table(std::string_view path, RowConsumer &consumer,
                        const CsvReaderSettings &settings) {
    if (is_parquet_path(path)) {
        return std::unexpected(CoreError::parquet_not_enabled());
    }
    Result<std::unique_ptr<ByteSource>> source = open_table_source(path, settings);
    if (!source) {
        return std::unexpected(std::move(source.error()));
    }
    return read_table_from_source(**source, consumer, settings);
}

Result<void> read_table_from_source(ByteSource &source, RowConsumer &consumer,
                                    const CsvReaderSettings &settings) {
    return prefer_damage(source, detail::TableReader(source, consumer, settings).run());
}

Result<void> read_table_from_bytes(std::string_view bytes, RowConsumer &consumer,
                                   const CsvReaderSettings &settings) {
    Result<std::unique_ptr<ByteSource>> source = table_source_from_bytes(bytes, settings);
    if (!source) {
        return std::unexpected(std::move(source.error()));
    }
    return read_table_from_source(**source, consumer, settings);
}

} // namespace annotrove::table
