#include "csv_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <filesystem>

#include "cell_parsers.hpp"
#include "csv_reader_settings.hpp"
#include "csv_scanner.hpp"
#include "utf8.hpp"

namespace annotrove::table {

namespace {

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
constexpr std::size_t member_count = 10;
constexpr std::array<std::string_view, member_count> member_columns = {
    "query_id", "candidate_id", "rank",    "score",           "probability",
    "smiles",   "inchikey",     "formula", "target_inchikey", "is_correct"};
constexpr std::size_t no_column = std::numeric_limits<std::size_t>::max();

// Where the bytes come from: an open file, or memory already holding the whole table.
class ByteSource {
  public:
    ByteSource(std::FILE *file, std::uint64_t size, std::size_t chunk)
        : file_(file), size_(size), chunk_(chunk) {}
    ByteSource(std::string_view memory, std::size_t chunk)
        : memory_(memory), size_(memory.size()), chunk_(chunk) {}

    // The input's length when known beforehand, else zero; only used to size allocations.
    std::uint64_t size() const { return size_; }

    // Up to `capacity` bytes into `destination`; zero at the end of the input or on failure.
    std::size_t read(char *destination, std::size_t capacity) {
        const std::size_t wanted = std::min(capacity, chunk_);
        if (file_ == nullptr) {
            const std::size_t count = std::min(wanted, memory_.size());
            std::memcpy(destination, memory_.data(), count);
            memory_.remove_prefix(count);
            return count;
        }
        errno = 0;
        const std::size_t count = std::fread(destination, 1, wanted, file_);
        if (count < wanted && std::ferror(file_) != 0) {
            error_ = errno != 0 ? errno : EIO;
        }
        return count;
    }

    int error() const { return error_; }

  private:
    std::FILE *file_ = nullptr;
    std::string_view memory_;
    std::uint64_t size_;
    std::size_t chunk_;
    int error_ = 0;
};

// One field of the current record: its raw bytes until the record is complete, then (once a
// quoted field has been unescaped in place) its value.
struct Field {
    char *begin;
    char *end;
    bool quoted;

    std::string_view text() const { return {begin, static_cast<std::size_t>(end - begin)}; }
};

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

// Equality of two texts, inlined for the short ones: comparing each row's ids with the previous
// row's is frequent enough that a library call per comparison shows up in profiles.
bool same_bytes(std::string_view a, std::string_view b) {
    const std::size_t size = a.size();
    if (size != b.size()) {
        return false;
    }
    const auto load = [](const char *p) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    };
    const auto load4 = [](const char *p) {
        std::uint32_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    };
    const char *x = a.data();
    const char *y = b.data();
    if (size >= 4 && size < 8) {
        return load4(x) == load4(y) && load4(x + size - 4) == load4(y + size - 4);
    }
    if (size >= 8 && size <= 32) {
        // Words at both ends (overlapping when shorter than 16), then the middle when longer.
        bool same = load(x) == load(y) && load(x + size - 8) == load(y + size - 8);
        if (size > 16) {
            same = same && load(x + 8) == load(y + 8) && load(x + size - 16) == load(y + size - 16);
        }
        return same;
    }
    return size == 0 || std::memcmp(x, y, size) == 0;
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

class TableReader {
  public:
    TableReader(ByteSource &source, std::string_view path, const CsvReaderSettings &settings)
        : source_(source), path_(path), kernel_(structural_mask_kernel(settings.isa)),
          capacity_(std::max<std::size_t>(settings.block_size, 1)),
          buffer_(std::make_unique_for_overwrite<char[]>(capacity_ + padding)),
          scanner_(kernel_, buffer_.get(), buffer_.get()) {
        std::memset(buffer_.get(), 0, padding);
    }

    Result<CandidateTable> run();

  private:
    enum class Scan { record, need_more, end, too_many_fields, read_failed };
    // The scanner reads whole 64-byte windows, so one may start at the last byte held.
    static constexpr std::size_t padding = StructuralScanner::window_size;

    Scan scan_record(std::size_t max_fields);
    Scan read_record(std::size_t max_fields);
    bool refill();
    void unescape_fields();
    Result<void> read_header();
    Result<void> add_row();
    void reserve_rows();

    std::string where() const {
        return " at line " + std::to_string(record_line_) + " (byte " +
               std::to_string(record_offset_) + ")";
    }
    CoreError read_error() const {
        return CoreError::csv("cannot read \"" + std::string(path_) +
                              "\": " + std::generic_category().message(source_.error()));
    }
    CoreError cell_error(std::string_view what, Member member, std::string_view cell) const {
        return CoreError::csv(
            "invalid " + std::string(what) + " " + quoted_excerpt(cell) + " in column \"" +
            std::string(member_columns[static_cast<std::size_t>(member)]) + "\"" + where());
    }
    std::string_view cell(Member member) const {
        return fields_[column_of_[static_cast<std::size_t>(member)]].text();
    }
    TextRef optional_text(Member member) {
        const std::string_view text = cell(member);
        return text.empty() ? TextRef{} : table_.texts.store(text);
    }

    ByteSource &source_;
    std::string_view path_;
    StructuralMaskFn kernel_;
    std::size_t capacity_; // bytes the buffer holds, not counting the padding
    std::unique_ptr<char[]> buffer_;
    std::size_t length_ = 0;        // bytes held
    std::size_t position_ = 0;      // start of the first record not yet consumed
    std::uint64_t file_offset_ = 0; // offset in the input of buffer_[0]
    bool at_end_ = false;           // no more bytes to come after length_
    StructuralScanner scanner_;

    std::uint64_t line_ = 1; // line of the next unconsumed byte
    bool after_cr_ = false;  // the last line break consumed was a CR (so an LF joins it)
    std::uint64_t record_line_ = 0;
    std::uint64_t record_offset_ = 0;
    std::vector<Field> fields_;
    bool record_has_quotes_ = false;

    std::vector<std::string> header_;
    std::array<std::size_t, member_count> column_of_{};
    std::size_t duplicate_member_ = no_column;
    CandidateTable table_;
};

// Splits the next record into fields_. Fields end at an unquoted comma; the record ends at an
// unquoted CR or LF or at the end of the input. Nothing is committed when the buffer runs out
// first, so the record is scanned again from its start once more bytes are in.
TableReader::Scan TableReader::scan_record(std::size_t max_fields) {
    char *const base = buffer_.get();
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
    fields_.clear();
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
        if (fields_.size() == max_fields) {
            return Scan::too_many_fields;
        }
        char *const field_end = base + (s - base);
        fields_.push_back({field_begin, field_end, quoted});
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

TableReader::Scan TableReader::read_record(std::size_t max_fields) {
    for (;;) {
        const Scan scan = scan_record(max_fields);
        if (scan != Scan::need_more) {
            return scan;
        }
        if (!refill()) {
            if (source_.error() != 0) {
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
    // Fill the whole free space, not one chunk: an unfinished record is scanned again from its
    // start after each refill, so the buffer must double between scans for a single huge record
    // to cost linear time.
    std::size_t added = 0;
    while (length_ < capacity_) {
        const std::size_t count = source_.read(buffer_.get() + length_, capacity_ - length_);
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
    return added > 0;
}

void TableReader::unescape_fields() {
    if (!record_has_quotes_) {
        return;
    }
    for (Field &field : fields_) {
        if (field.quoted) {
            field.end = unescape_quoted(field.begin, field.end);
            field.quoted = false;
        }
    }
}

Result<void> TableReader::read_header() {
    // A byte-order mark is skipped only at the very start of the input.
    while (length_ < 3 && !at_end_) {
        if (!refill()) {
            if (source_.error() != 0) {
                return std::unexpected(read_error());
            }
            at_end_ = true;
        }
    }
    if (length_ >= 3 && std::memcmp(buffer_.get(), "\xEF\xBB\xBF", 3) == 0) {
        position_ = 3;
    }
    const Scan scan = read_record(no_column);
    if (scan == Scan::read_failed) {
        return std::unexpected(read_error());
    }
    if (scan == Scan::record) {
        // Header names are compared as bytes, but must still be text.
        unescape_fields();
        for (const Field &field : fields_) {
            if (!is_valid_utf8(field.begin, field.end)) {
                return std::unexpected(CoreError::csv("invalid UTF-8 in the header" + where()));
            }
            header_.emplace_back(field.text());
        }
    }

    column_of_.fill(no_column);
    for (std::size_t index = 0; index < header_.size(); ++index) {
        for (std::size_t member = 0; member < member_count; ++member) {
            if (header_[index] != member_columns[member]) {
                continue;
            }
            if (column_of_[member] == no_column) {
                column_of_[member] = index;
            } else if (duplicate_member_ == no_column) {
                duplicate_member_ = member;
            }
        }
    }
    for (std::string_view required : REQUIRED_COLUMNS) {
        const auto found = std::find(member_columns.begin(), member_columns.end(), required);
        if (column_of_[static_cast<std::size_t>(found - member_columns.begin())] == no_column) {
            return std::unexpected(CoreError::missing_column(std::string(required)));
        }
    }
    return {};
}

Result<void> TableReader::add_row() {
    if (fields_.size() != header_.size()) {
        return std::unexpected(CoreError::csv("found " + std::to_string(fields_.size()) +
                                              " fields where the header has " +
                                              std::to_string(header_.size()) + where()));
    }
    // Delimiters and quotes are ASCII, so an all-ASCII record needs no further UTF-8 check;
    // otherwise each value is checked on its own, after unescaping.
    const bool ascii = is_ascii(fields_.front().begin, fields_.back().end);
    unescape_fields();
    if (!ascii) {
        for (std::size_t index = 0; index < fields_.size(); ++index) {
            if (!is_valid_utf8(fields_[index].begin, fields_[index].end)) {
                return std::unexpected(
                    CoreError::csv("invalid UTF-8 in column \"" + header_[index] + "\"" + where()));
            }
        }
    }
    if (duplicate_member_ != no_column) {
        return std::unexpected(CoreError::csv("duplicate column \"" +
                                              std::string(member_columns[duplicate_member_]) +
                                              "\" in the header, reading the row" + where()));
    }

    Candidate row;
    // A query's rows usually follow one another: its id (and often its target) is then stored
    // once and shared, which saves memory and lets grouping compare handles.
    const Candidate *previous = table_.rows.empty() ? nullptr : &table_.rows.back();
    const std::string_view query_id = cell(Member::query_id);
    if (previous != nullptr && same_bytes(table_.texts.view(previous->query_id), query_id)) {
        row.query_id = previous->query_id;
    } else {
        // A new run. The previous id was written moments ago, so checking the order here is
        // cheaper than a pass over the ids later.
        table_.runs_ascending =
            previous == nullptr ||
            (table_.runs_ascending && table_.texts.view(previous->query_id) < query_id);
        table_.run_starts.push_back(table_.rows.size());
        row.query_id = table_.texts.store(query_id);
    }
    row.candidate_id = table_.texts.store(cell(Member::candidate_id));
    const std::string_view rank = cell(Member::rank);
    if (const auto value = parse_rank(rank)) {
        row.rank = *value;
    } else {
        return std::unexpected(cell_error("rank", Member::rank, rank));
    }
    const std::string_view score = cell(Member::score);
    if (const auto value = parse_float(score)) {
        row.score = *value;
    } else {
        return std::unexpected(cell_error("float", Member::score, score));
    }
    if (column_of_[static_cast<std::size_t>(Member::probability)] != no_column) {
        const std::string_view text = cell(Member::probability);
        if (!text.empty()) {
            const auto value = parse_float(text);
            if (!value) {
                return std::unexpected(cell_error("float", Member::probability, text));
            }
            row.probability = *value;
        }
    }
    if (column_of_[static_cast<std::size_t>(Member::is_correct)] != no_column) {
        const std::string_view text = cell(Member::is_correct);
        if (!text.empty()) {
            const auto value = parse_bool(text);
            if (!value) {
                return std::unexpected(cell_error("boolean", Member::is_correct, text));
            }
            row.is_correct = *value;
        }
    }
    const auto has = [this](Member member) {
        return column_of_[static_cast<std::size_t>(member)] != no_column;
    };
    if (has(Member::smiles)) {
        row.smiles = optional_text(Member::smiles);
    }
    if (has(Member::inchikey)) {
        row.inchikey = optional_text(Member::inchikey);
    }
    if (has(Member::formula)) {
        row.formula = optional_text(Member::formula);
    }
    if (has(Member::target_inchikey)) {
        const std::string_view target = cell(Member::target_inchikey);
        if (previous != nullptr && previous->target_inchikey.has_value() && !target.empty() &&
            same_bytes(table_.texts.view(previous->target_inchikey), target)) {
            row.target_inchikey = previous->target_inchikey;
        } else {
            row.target_inchikey = optional_text(Member::target_inchikey);
        }
    }
    table_.rows.push_back(row);
    return {};
}

// Most of the reading time of a large table went to the kernel handing out fresh pages while the
// row vector doubled; once the first rows show the typical row length, the vector is sized for
// the whole input at once. Pages reserved but never filled are never touched.
void TableReader::reserve_rows() {
    constexpr std::size_t sample_rows = 1024;
    constexpr std::uint64_t shortest_row = 8; // "q,c,1,2" and its line break
    if (table_.rows.size() != sample_rows || source_.size() == 0) {
        return;
    }
    const std::uint64_t consumed = file_offset_ + position_;
    const std::uint64_t row_length = std::max<std::uint64_t>(consumed / sample_rows, 1);
    const std::uint64_t estimate = source_.size() / row_length;
    const std::uint64_t bound = source_.size() / shortest_row;
    table_.rows.reserve(static_cast<std::size_t>(std::min(estimate + estimate / 16, bound)));
}

Result<CandidateTable> TableReader::run() {
    if (auto header = read_header(); !header) {
        return std::unexpected(std::move(header.error()));
    }
    fields_.reserve(header_.size());
    // Stored texts are never longer than the bytes they came from.
    table_.texts.reserve(static_cast<std::size_t>(source_.size()));
    for (;;) {
        reserve_rows();
        switch (read_record(header_.size())) {
        case Scan::end:
            return std::move(table_);
        case Scan::read_failed:
            return std::unexpected(read_error());
        case Scan::too_many_fields:
            return std::unexpected(CoreError::csv(
                "found more than " + std::to_string(header_.size()) +
                " fields where the header has " + std::to_string(header_.size()) + where()));
        case Scan::record:
        case Scan::need_more:
            break;
        }
        if (auto added = add_row(); !added) {
            return std::unexpected(std::move(added.error()));
        }
    }
}

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

// Paths arrive as UTF-8 on every platform; Windows needs them as wide characters.
std::filesystem::path native_path(std::string_view path) {
    return std::filesystem::path(
        std::u8string_view(reinterpret_cast<const char8_t *>(path.data()), path.size()));
}

std::unique_ptr<std::FILE, FileCloser> open_for_reading(const std::filesystem::path &native,
                                                        int &error) {
    std::FILE *file = nullptr;
    error = 0;
#ifdef _WIN32
    error = _wfopen_s(&file, native.c_str(), L"rb");
#else
    errno = 0;
    file = std::fopen(native.c_str(), "rb");
    if (file == nullptr) {
        error = errno != 0 ? errno : ENOENT;
    }
#endif
    return std::unique_ptr<std::FILE, FileCloser>(file);
}

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

Result<CandidateTable> read_candidates(std::string_view path, const CsvReaderSettings &settings) {
    if (is_parquet_path(path)) {
        return std::unexpected(CoreError::parquet_not_enabled());
    }
    int error = path.find('\0') != std::string_view::npos ? EINVAL : 0;
    const std::filesystem::path native = native_path(path);
    const auto file = error != 0 ? nullptr : open_for_reading(native, error);
    if (file == nullptr) {
        return std::unexpected(CoreError::csv("cannot open \"" + std::string(path) +
                                              "\": " + std::generic_category().message(error)));
    }
    // The reader asks for large blocks itself; stdio's own buffer would only add a copy.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::error_code size_error;
    const std::uintmax_t size = std::filesystem::file_size(native, size_error);
    ByteSource source(file.get(), size_error ? 0 : static_cast<std::uint64_t>(size),
                      settings.block_size);
    return TableReader(source, path, settings).run();
}

Result<CandidateTable> read_candidates_from_bytes(std::string_view bytes,
                                                  const CsvReaderSettings &settings) {
    ByteSource source(bytes, settings.block_size);
    return TableReader(source, "<bytes>", settings).run();
}

Result<CandidateTable> read_candidates(std::string_view path) {
    return read_candidates(path, CsvReaderSettings{});
}

Result<CandidateTable> read_candidates_from_bytes(std::string_view bytes) {
    return read_candidates_from_bytes(bytes, CsvReaderSettings{});
}

} // namespace annotrove::table
