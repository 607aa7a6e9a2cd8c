// Batches of an Arrow stream to rows. The schema is checked once; each batch's buffers are
// checked and resolved into plain pointers once, so the row loop reads cells with one switch on
// a type known per column, and no call beyond the consumer's.
#include "arrow_reader.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "arrow_abi.h"
#include "utf8.hpp"

namespace annotrove::table {

namespace {

enum class Member : std::uint8_t {
    query_id,
    candidate_id,
    rank,
    score,
    probability,
    is_correct,
    smiles,
    inchikey,
    formula,
    target_inchikey,
};
constexpr std::size_t member_count = 10;
constexpr std::array<std::string_view, member_count> member_columns = {
    "query_id",   "candidate_id", "rank",     "score",   "probability",
    "is_correct", "smiles",       "inchikey", "formula", "target_inchikey"};
constexpr std::size_t first_carried = static_cast<std::size_t>(Member::smiles);

enum class MemberKind : std::uint8_t { id, text, rank, number, label };

MemberKind kind_of(std::size_t member) {
    switch (static_cast<Member>(member)) {
    case Member::query_id:
    case Member::candidate_id:
        return MemberKind::id;
    case Member::rank:
        return MemberKind::rank;
    case Member::score:
    case Member::probability:
        return MemberKind::number;
    case Member::is_correct:
        return MemberKind::label;
    default:
        return MemberKind::text;
    }
}

// The physical layouts a member column may have.
enum class Storage : std::uint8_t {
    unsupported,
    null,
    boolean,
    int8,
    uint8,
    int16,
    uint16,
    int32,
    uint32,
    int64,
    uint64,
    float32,
    float64,
    utf8,
    large_utf8,
    utf8_view,
};

Storage storage_of(const char *format) {
    if (format == nullptr) {
        return Storage::unsupported;
    }
    const std::string_view f(format);
    if (f.size() == 1) {
        switch (f[0]) {
        case 'n':
            return Storage::null;
        case 'b':
            return Storage::boolean;
        case 'c':
            return Storage::int8;
        case 'C':
            return Storage::uint8;
        case 's':
            return Storage::int16;
        case 'S':
            return Storage::uint16;
        case 'i':
            return Storage::int32;
        case 'I':
            return Storage::uint32;
        case 'l':
            return Storage::int64;
        case 'L':
            return Storage::uint64;
        case 'f':
            return Storage::float32;
        case 'g':
            return Storage::float64;
        case 'u':
            return Storage::utf8;
        case 'U':
            return Storage::large_utf8;
        default:
            return Storage::unsupported;
        }
    }
    return f == "vu" ? Storage::utf8_view : Storage::unsupported;
}

bool is_integer(Storage s) {
    return s >= Storage::int8 && s <= Storage::uint64;
}
bool is_text(Storage s) {
    return s == Storage::utf8 || s == Storage::large_utf8 || s == Storage::utf8_view;
}

// A readable name for a format string, for messages.
std::string format_name(const char *format) {
    if (format == nullptr) {
        return "(no format)";
    }
    const std::string_view f(format);
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 28> names = {{
        {"n", "null"},     {"b", "bool"},          {"c", "int8"},           {"C", "uint8"},
        {"s", "int16"},    {"S", "uint16"},        {"i", "int32"},          {"I", "uint32"},
        {"l", "int64"},    {"L", "uint64"},        {"e", "float16"},        {"f", "float32"},
        {"g", "float64"},  {"u", "string"},        {"U", "large_string"},   {"vu", "string_view"},
        {"z", "binary"},   {"Z", "large_binary"},  {"vz", "binary_view"},   {"tdD", "date32"},
        {"tdm", "date64"}, {"+l", "list"},         {"+L", "large_list"},    {"+s", "struct"},
        {"+m", "map"},     {"tDs", "duration[s]"}, {"tDm", "duration[ms]"}, {"tDn", "duration[ns]"},
    }};
    for (const auto &[code, name] : names) {
        if (f == code) {
            return std::string(name);
        }
    }
    if (f.starts_with("d:")) {
        return "decimal(" + std::string(f.substr(2)) + ")";
    }
    if (f.starts_with("ts")) {
        return "timestamp";
    }
    return "format \"" + std::string(f) + "\"";
}

std::string type_name(const ArrowSchema &schema) {
    if (schema.dictionary != nullptr) {
        return "dictionary<values=" + format_name(schema.dictionary->format) +
               ", indices=" + format_name(schema.format) + ">";
    }
    return format_name(schema.format);
}

// One member column's type, as the schema gives it: a plain storage, or dictionary indices
// (an integer storage) over values of a text storage.
struct ColumnType {
    Storage storage = Storage::unsupported;
    Storage values = Storage::unsupported; // of the dictionary, when there is one
    bool dictionary = false;
};

bool accepts(MemberKind kind, const ColumnType &type) {
    if (type.storage == Storage::null) {
        return true; // every row null: the null rules decide
    }
    switch (kind) {
    case MemberKind::id:
    case MemberKind::text:
        return type.dictionary ? is_integer(type.storage) && is_text(type.values)
                               : is_text(type.storage);
    case MemberKind::rank:
        return !type.dictionary && is_integer(type.storage);
    case MemberKind::number:
        return !type.dictionary && (is_integer(type.storage) || type.storage == Storage::float32 ||
                                    type.storage == Storage::float64);
    case MemberKind::label:
        return !type.dictionary && type.storage == Storage::boolean;
    }
    return false;
}

std::string fixing_cast(MemberKind kind) {
    switch (kind) {
    case MemberKind::id:
    case MemberKind::text:
        return "cast it to string (utf8)";
    case MemberKind::rank:
        return "cast it to an integer type such as int64 (a rank is never rounded)";
    case MemberKind::number:
        return "cast it to float64";
    case MemberKind::label:
        return "cast it to bool (an integer label is never guessed)";
    }
    return {};
}

// Owns a schema or an array taken from the producer and releases it once, on every way out.
template <typename T> class Released {
  public:
    Released() { std::memset(&value_, 0, sizeof value_); }
    ~Released() {
        if (value_.release != nullptr) {
            value_.release(&value_);
        }
    }
    Released(const Released &) = delete;
    Released &operator=(const Released &) = delete;
    T *get() { return &value_; }
    const T &operator*() const { return value_; }
    bool taken() const { return value_.release != nullptr; }

  private:
    T value_;
};

// A fault of one cell, turned into a message by the caller, which knows the column and row.
enum class Fault : std::uint8_t {
    none,
    null,
    negative_rank,
    invalid_utf8,
    bad_offsets,
    bad_index,
    bad_view,
};

// One array of a batch (a member column, or a dictionary's values), its buffers resolved.
// `base` is the element of the buffers that row 0 of the batch reads.
struct Leaf {
    Storage storage = Storage::unsupported;
    const std::uint8_t *validity = nullptr; // null when no element is null
    std::int64_t base = 0;
    std::int64_t length = 0;      // elements from `base` that may be read
    const void *values = nullptr; // numbers, bits, offsets or views
    const char *data = nullptr;   // the characters of utf8 and large_utf8
    // The offsets of the first and last readable element: the characters the array declares.
    std::int64_t data_first = 0;
    std::int64_t data_last = 0;
    // String views: the variadic character buffers and their sizes.
    const char *const *view_buffers = nullptr;
    const std::int64_t *view_sizes = nullptr;
    std::int64_t view_buffer_count = 0;
    bool ascii = false; // every character is known to be ASCII: no per-cell UTF-8 check

    bool is_null(std::int64_t element) const {
        return storage == Storage::null ||
               (validity != nullptr && ((validity[element >> 3] >> (element & 7)) & 1U) == 0);
    }
};

bool bit_at(const void *bits, std::int64_t element) {
    return ((static_cast<const std::uint8_t *>(bits)[element >> 3] >> (element & 7)) & 1U) != 0;
}

template <typename T> T value_at(const void *values, std::int64_t element) {
    T value;
    std::memcpy(&value,
                static_cast<const char *>(values) + element * static_cast<std::int64_t>(sizeof(T)),
                sizeof(T));
    return value;
}

// The integer at `element` of an integer leaf, as a signed 64-bit value plus whether it is an
// unsigned one above the signed range (then `big` holds it).
struct Integer {
    std::int64_t value = 0;
    std::uint64_t big = 0;
    bool is_big = false;
};

Integer integer_at(const Leaf &leaf, std::int64_t element) {
    switch (leaf.storage) {
    case Storage::int8:
        return {value_at<std::int8_t>(leaf.values, element)};
    case Storage::uint8:
        return {value_at<std::uint8_t>(leaf.values, element)};
    case Storage::int16:
        return {value_at<std::int16_t>(leaf.values, element)};
    case Storage::uint16:
        return {value_at<std::uint16_t>(leaf.values, element)};
    case Storage::int32:
        return {value_at<std::int32_t>(leaf.values, element)};
    case Storage::uint32:
        return {value_at<std::uint32_t>(leaf.values, element)};
    case Storage::int64:
        return {value_at<std::int64_t>(leaf.values, element)};
    case Storage::uint64: {
        const auto value = value_at<std::uint64_t>(leaf.values, element);
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return {0, value, true};
        }
        return {static_cast<std::int64_t>(value)};
    }
    default:
        return {};
    }
}

// The number at `element`: floats widened exactly, integers rounded to the nearest double (as a
// correctly rounded parse of their digits gives).
double number_at(const Leaf &leaf, std::int64_t element) {
    switch (leaf.storage) {
    case Storage::float64:
        return value_at<double>(leaf.values, element);
    case Storage::float32:
        return static_cast<double>(value_at<float>(leaf.values, element));
    case Storage::uint64:
        return static_cast<double>(value_at<std::uint64_t>(leaf.values, element));
    default:
        return static_cast<double>(integer_at(leaf, element).value);
    }
}

// The text at `element` of a text leaf, its offsets or view checked against what the arrays
// declare, and its UTF-8 unless the leaf is known to be ASCII.
Fault text_at(const Leaf &leaf, std::int64_t element, std::string_view &out) {
    const char *begin = nullptr;
    std::int64_t size = 0;
    switch (leaf.storage) {
    case Storage::utf8: {
        const std::int64_t first = value_at<std::int32_t>(leaf.values, element);
        const std::int64_t last = value_at<std::int32_t>(leaf.values, element + 1);
        // Inside the characters the array declares, whatever the offsets between hold.
        if (last < first || first < leaf.data_first || last > leaf.data_last) {
            return Fault::bad_offsets;
        }
        begin = leaf.data + first;
        size = last - first;
        break;
    }
    case Storage::large_utf8: {
        const std::int64_t first = value_at<std::int64_t>(leaf.values, element);
        const std::int64_t last = value_at<std::int64_t>(leaf.values, element + 1);
        // Inside the characters the array declares, whatever the offsets between hold.
        if (last < first || first < leaf.data_first || last > leaf.data_last) {
            return Fault::bad_offsets;
        }
        begin = leaf.data + first;
        size = last - first;
        break;
    }
    case Storage::utf8_view: {
        const char *view = static_cast<const char *>(leaf.values) + element * 16;
        std::int32_t length;
        std::memcpy(&length, view, 4);
        if (length < 0) {
            return Fault::bad_view;
        }
        if (length <= 12) {
            begin = view + 4;
        } else {
            std::int32_t buffer;
            std::int32_t offset;
            std::memcpy(&buffer, view + 8, 4);
            std::memcpy(&offset, view + 12, 4);
            if (buffer < 0 || buffer >= leaf.view_buffer_count || offset < 0 ||
                std::int64_t{offset} + length > leaf.view_sizes[buffer] ||
                leaf.view_buffers[buffer] == nullptr) {
                return Fault::bad_view;
            }
            begin = leaf.view_buffers[buffer] + offset;
        }
        size = length;
        break;
    }
    default:
        return Fault::null;
    }
    out = size == 0 ? std::string_view("", 0)
                    : std::string_view(begin, static_cast<std::size_t>(size));
    if (!leaf.ascii && !is_valid_utf8(out.data(), out.data() + out.size())) {
        return Fault::invalid_utf8;
    }
    return Fault::none;
}

// A member column of the current batch: its array, and for dictionary-encoded texts the values.
struct Column {
    bool present = false;
    bool dictionary = false;
    Leaf leaf; // the column itself (the indices, for a dictionary)
    Leaf values;

    // A text cell; `absent` set for a null one.
    Fault text(std::int64_t row, std::string_view &out, bool &absent, std::int64_t &detail) const {
        const std::int64_t element = leaf.base + row;
        absent = leaf.is_null(element);
        if (absent) {
            return Fault::none;
        }
        if (!dictionary) {
            return text_at(leaf, element, out);
        }
        const Integer index = integer_at(leaf, element);
        if (index.is_big || index.value < 0 || index.value >= values.length) {
            detail = index.is_big ? std::numeric_limits<std::int64_t>::max() : index.value;
            return Fault::bad_index;
        }
        const std::int64_t value_element = values.base + index.value;
        absent = values.is_null(value_element);
        return absent ? Fault::none : text_at(values, value_element, out);
    }
};

class ArrowTableReader {
  public:
    ArrowTableReader(ArrowArrayStream &stream, RowConsumer &consumer, std::size_t expected_rows)
        : stream_(stream), consumer_(consumer), expected_rows_(expected_rows),
          carried_texts_(consumer.wants_carried_texts()) {}

    Result<void> run();

  private:
    Result<void> read_schema();
    Result<void> read_batch(const ArrowArray &batch);
    Result<void> bind(std::size_t member, const ArrowArray *array, std::int64_t parent_offset,
                      std::int64_t rows);
    Result<void> read_rows(std::int64_t rows);

    std::string column_text(std::size_t member) const {
        return "column \"" + std::string(member_columns[member]) + "\"";
    }
    CoreError at_row(std::size_t member, std::int64_t row, std::string_view fault) const {
        return CoreError::arrow(column_text(member) + ", row " +
                                std::to_string(rows_before_ + row + 1) + ": " + std::string(fault));
    }
    CoreError malformed(std::size_t member, std::string_view what) const {
        return at_row(member, 0, "malformed array (" + std::string(what) + ")");
    }
    CoreError cell_fault(std::size_t member, std::int64_t row, Fault fault,
                         std::int64_t detail) const;
    Result<void> bind_leaf(std::size_t member, Leaf &leaf, const ArrowArray &array, Storage storage,
                           std::int64_t parent_offset, std::int64_t rows);

    ArrowArrayStream &stream_;
    RowConsumer &consumer_;
    std::size_t expected_rows_;
    bool carried_texts_;
    std::array<std::int64_t, member_count> child_of_{};
    std::array<ColumnType, member_count> types_{};
    std::int64_t child_count_ = 0;
    std::array<Column, member_count> columns_{};
    std::int64_t rows_before_ = 0;
    RowCells row_;
};

CoreError ArrowTableReader::cell_fault(std::size_t member, std::int64_t row, Fault fault,
                                       std::int64_t detail) const {
    switch (fault) {
    case Fault::null:
        switch (kind_of(member)) {
        case MemberKind::id:
            return at_row(member, row, "null id (an empty id is the empty string \"\")");
        case MemberKind::rank:
            return at_row(member, row, "null rank");
        default:
            return at_row(member, row, "null score");
        }
    case Fault::negative_rank:
        return at_row(member, row, "negative rank " + std::to_string(detail));
    case Fault::invalid_utf8:
        return at_row(member, row, "invalid UTF-8");
    case Fault::bad_offsets:
        return at_row(member, row, "malformed array (offsets not ascending)");
    case Fault::bad_index:
        return at_row(member, row,
                      "malformed array (dictionary index " + std::to_string(detail) +
                          " outside the dictionary of " +
                          std::to_string(columns_[member].values.length) + " values)");
    case Fault::bad_view:
        return at_row(member, row, "malformed array (a string view outside its buffers)");
    case Fault::none:
        break;
    }
    return at_row(member, row, "unknown fault");
}

Result<void> ArrowTableReader::read_schema() {
    Released<ArrowSchema> schema;
    if (const int code = stream_.get_schema(&stream_, schema.get()); code != 0) {
        const char *text =
            stream_.get_last_error != nullptr ? stream_.get_last_error(&stream_) : nullptr;
        return std::unexpected(CoreError::arrow(
            "the stream has no schema: " +
            (text != nullptr ? std::string(text) : "error code " + std::to_string(code))));
    }
    if (!schema.taken()) {
        return std::unexpected(CoreError::arrow("the stream has no schema: none was handed over"));
    }
    const ArrowSchema &top = *schema;
    if (top.format == nullptr || std::string_view(top.format) != "+s" || top.n_children < 0 ||
        (top.n_children > 0 && top.children == nullptr)) {
        return std::unexpected(
            CoreError::arrow("the stream's type is " + type_name(top) +
                             ", not a table (a struct of named columns, as a record batch has)"));
    }
    child_count_ = top.n_children;
    child_of_.fill(-1);
    std::size_t duplicate = member_count;
    for (std::int64_t child = 0; child < top.n_children; ++child) {
        const ArrowSchema *field = top.children[child];
        if (field == nullptr || field->name == nullptr) {
            continue;
        }
        const std::string_view name(field->name);
        // Carried texts are read only for a consumer that keeps them: a column no call keeps is
        // neither decoded nor checked, like any extra column.
        const std::size_t members = carried_texts_ ? member_count : first_carried;
        for (std::size_t member = 0; member < members; ++member) {
            if (name != member_columns[member]) {
                continue;
            }
            if (child_of_[member] < 0) {
                child_of_[member] = child;
            } else if (duplicate == member_count) {
                duplicate = member;
            }
        }
    }
    for (std::string_view required : REQUIRED_COLUMNS) {
        for (std::size_t member = 0; member < member_count; ++member) {
            if (member_columns[member] == required && child_of_[member] < 0) {
                return std::unexpected(CoreError::missing_column(std::string(required)));
            }
        }
    }
    if (duplicate != member_count) {
        return std::unexpected(
            CoreError::arrow(column_text(duplicate) + " appears twice in the table"));
    }
    for (std::size_t member = 0; member < member_count; ++member) {
        if (child_of_[member] < 0) {
            continue;
        }
        const ArrowSchema &field = *top.children[child_of_[member]];
        ColumnType type;
        type.storage = storage_of(field.format);
        if (field.dictionary != nullptr) {
            type.dictionary = true;
            type.values = storage_of(field.dictionary->format);
        }
        if (!accepts(kind_of(member), type)) {
            return std::unexpected(CoreError::arrow(column_text(member) + " has type " +
                                                    type_name(field) + "; " +
                                                    fixing_cast(kind_of(member))));
        }
        types_[member] = type;
    }
    return {};
}

Result<void> ArrowTableReader::bind_leaf(std::size_t member, Leaf &leaf, const ArrowArray &array,
                                         Storage storage, std::int64_t parent_offset,
                                         std::int64_t rows) {
    leaf = Leaf{};
    leaf.storage = storage;
    if (array.length < 0 || array.offset < 0 || array.n_buffers < 0 || array.n_children < 0) {
        return std::unexpected(malformed(member, "negative length, offset or count"));
    }
    if (array.length > std::numeric_limits<std::int64_t>::max() - array.offset ||
        parent_offset > array.length - rows) {
        return std::unexpected(malformed(member, "fewer elements than the batch has rows"));
    }
    leaf.base = array.offset + parent_offset;
    leaf.length = array.length - parent_offset;
    if (array.n_children != 0) {
        return std::unexpected(malformed(member, "unexpected child arrays"));
    }
    const std::int64_t buffers = storage == Storage::null                                     ? 0
                                 : storage == Storage::utf8 || storage == Storage::large_utf8 ? 3
                                                                                              : 2;
    if (storage == Storage::utf8_view ? array.n_buffers < 3 : array.n_buffers != buffers) {
        return std::unexpected(malformed(member, std::to_string(array.n_buffers) +
                                                     " buffers where the type has " +
                                                     std::to_string(buffers)));
    }
    if (buffers == 0) {
        return {};
    }
    if (array.buffers == nullptr) {
        return std::unexpected(malformed(member, "no buffer list"));
    }
    if (array.null_count != 0 && array.buffers[0] != nullptr) {
        leaf.validity = static_cast<const std::uint8_t *>(array.buffers[0]);
    }
    leaf.values = array.buffers[1];
    if (leaf.values == nullptr && leaf.length > 0) {
        return std::unexpected(malformed(member, "no value buffer"));
    }
    if (storage == Storage::utf8 || storage == Storage::large_utf8) {
        if (leaf.length == 0) {
            leaf.ascii = true;
            return {};
        }
        // The characters of the elements that may be read lie between the first and last
        // offsets; ascending offsets (checked per cell) keep every cell inside them.
        std::int64_t first;
        std::int64_t last;
        if (storage == Storage::utf8) {
            first = value_at<std::int32_t>(leaf.values, leaf.base);
            last = value_at<std::int32_t>(leaf.values, leaf.base + leaf.length);
        } else {
            first = value_at<std::int64_t>(leaf.values, leaf.base);
            last = value_at<std::int64_t>(leaf.values, leaf.base + leaf.length);
        }
        if (first < 0 || last < first) {
            return std::unexpected(malformed(member, "offsets not ascending"));
        }
        leaf.data_first = first;
        leaf.data_last = last;
        leaf.data = static_cast<const char *>(array.buffers[2]);
        if (leaf.data == nullptr) {
            if (last != first) {
                return std::unexpected(malformed(member, "no character buffer"));
            }
            leaf.data = "";
        }
        leaf.ascii = is_ascii(leaf.data + first, leaf.data + last);
    } else if (storage == Storage::utf8_view) {
        leaf.view_buffer_count = array.n_buffers - 3;
        leaf.view_buffers = reinterpret_cast<const char *const *>(array.buffers + 2);
        leaf.view_sizes = static_cast<const std::int64_t *>(array.buffers[array.n_buffers - 1]);
        if (leaf.view_sizes == nullptr && leaf.view_buffer_count > 0) {
            return std::unexpected(malformed(member, "no buffer sizes"));
        }
    }
    return {};
}

Result<void> ArrowTableReader::bind(std::size_t member, const ArrowArray *array,
                                    std::int64_t parent_offset, std::int64_t rows) {
    Column &column = columns_[member];
    column.present = true;
    if (array == nullptr) {
        return std::unexpected(malformed(member, "no array"));
    }
    const ColumnType &type = types_[member];
    column.dictionary = type.dictionary;
    if (auto bound = bind_leaf(member, column.leaf, *array, type.storage, parent_offset, rows);
        !bound) {
        return bound;
    }
    if (!type.dictionary) {
        if (array->dictionary != nullptr) {
            return std::unexpected(malformed(member, "a dictionary the type has not"));
        }
        return {};
    }
    if (array->dictionary == nullptr) {
        return std::unexpected(malformed(member, "no dictionary"));
    }
    const ArrowArray &values = *array->dictionary;
    if (auto bound = bind_leaf(member, column.values, values, type.values, 0, 0); !bound) {
        return bound;
    }
    return {};
}

Result<void> ArrowTableReader::read_batch(const ArrowArray &batch) {
    if (batch.length < 0 || batch.offset < 0 || batch.n_children != child_count_ ||
        (batch.n_children > 0 && batch.children == nullptr)) {
        return std::unexpected(
            CoreError::arrow("row " + std::to_string(rows_before_ + 1) +
                             ": malformed batch (a negative length or offset, or " +
                             std::to_string(batch.n_children) + " columns where the schema has " +
                             std::to_string(child_count_) + ")"));
    }
    if (batch.null_count != 0 && batch.n_buffers >= 1 && batch.buffers != nullptr &&
        batch.buffers[0] != nullptr) {
        // A struct array with null rows: a null row of a table has no cells to read.
        for (std::int64_t row = 0; row < batch.length; ++row) {
            if (!bit_at(batch.buffers[0], batch.offset + row)) {
                return std::unexpected(CoreError::arrow(
                    "row " + std::to_string(rows_before_ + row + 1) + ": the row is null"));
            }
        }
    }
    for (std::size_t member = 0; member < member_count; ++member) {
        columns_[member].present = false;
        if (child_of_[member] < 0) {
            continue;
        }
        if (auto bound =
                bind(member, batch.children[child_of_[member]], batch.offset, batch.length);
            !bound) {
            return bound;
        }
    }
    return read_rows(batch.length);
}

Result<void> ArrowTableReader::read_rows(std::int64_t rows) {
    RowCells &row = row_;
    const Column &query_id = columns_[static_cast<std::size_t>(Member::query_id)];
    const Column &candidate_id = columns_[static_cast<std::size_t>(Member::candidate_id)];
    const Column &rank = columns_[static_cast<std::size_t>(Member::rank)];
    const Column &score = columns_[static_cast<std::size_t>(Member::score)];
    const Column &probability = columns_[static_cast<std::size_t>(Member::probability)];
    const Column &is_correct = columns_[static_cast<std::size_t>(Member::is_correct)];
    std::array<std::optional<std::string_view> *, member_count - first_carried> carried = {
        &row.smiles, &row.inchikey, &row.formula, &row.target_inchikey};
    std::int64_t detail = 0;
    bool absent = false;
    for (std::int64_t r = 0; r < rows; ++r) {
        const auto fail = [&](Member member, Fault fault) {
            return std::unexpected(cell_fault(static_cast<std::size_t>(member), r, fault, detail));
        };
        if (Fault f = query_id.text(r, row.query_id, absent, detail); f != Fault::none || absent) {
            return fail(Member::query_id, absent ? Fault::null : f);
        }
        if (Fault f = candidate_id.text(r, row.candidate_id, absent, detail);
            f != Fault::none || absent) {
            return fail(Member::candidate_id, absent ? Fault::null : f);
        }
        const std::int64_t rank_element = rank.leaf.base + r;
        if (rank.leaf.is_null(rank_element)) {
            return fail(Member::rank, Fault::null);
        }
        const Integer rank_value = integer_at(rank.leaf, rank_element);
        if (rank_value.is_big) {
            row.rank = rank_value.big;
        } else if (rank_value.value < 0) {
            detail = rank_value.value;
            return fail(Member::rank, Fault::negative_rank);
        } else {
            row.rank = static_cast<std::uint64_t>(rank_value.value);
        }
        const std::int64_t score_element = score.leaf.base + r;
        if (score.leaf.is_null(score_element)) {
            return fail(Member::score, Fault::null);
        }
        row.score = number_at(score.leaf, score_element);
        row.probability.reset();
        if (probability.present) {
            const std::int64_t element = probability.leaf.base + r;
            if (!probability.leaf.is_null(element)) {
                row.probability = number_at(probability.leaf, element);
            }
        }
        row.is_correct.reset();
        if (is_correct.present) {
            const std::int64_t element = is_correct.leaf.base + r;
            if (!is_correct.leaf.is_null(element)) {
                row.is_correct = bit_at(is_correct.leaf.values, element);
            }
        }
        for (std::size_t c = 0; carried_texts_ && c < carried.size(); ++c) {
            const Column &column = columns_[first_carried + c];
            std::string_view text;
            if (!column.present) {
                carried[c]->reset();
            } else if (Fault f = column.text(r, text, absent, detail); f != Fault::none) {
                return std::unexpected(cell_fault(first_carried + c, r, f, detail));
            } else if (absent) {
                carried[c]->reset();
            } else {
                carried[c]->emplace(text);
            }
        }
        consumer_.add(row);
    }
    rows_before_ += rows;
    return {};
}

Result<void> ArrowTableReader::run() {
    if (auto schema = read_schema(); !schema) {
        return schema;
    }
    if (expected_rows_ > 0) {
        consumer_.expect_rows(expected_rows_);
    }
    for (;;) {
        Released<ArrowArray> batch;
        if (const int code = stream_.get_next(&stream_, batch.get()); code != 0) {
            const char *text =
                stream_.get_last_error != nullptr ? stream_.get_last_error(&stream_) : nullptr;
            return std::unexpected(CoreError::arrow(
                "reading the stream after row " + std::to_string(rows_before_) + " failed: " +
                (text != nullptr ? std::string(text) : "error code " + std::to_string(code))));
        }
        if (!batch.taken()) {
            return {};
        }
        if (auto read = read_batch(*batch); !read) {
            return read;
        }
    }
}

} // namespace

Result<void> read_arrow_stream(ArrowArrayStream &stream, RowConsumer &consumer,
                               std::size_t expected_rows) {
    if (stream.release == nullptr || stream.get_schema == nullptr || stream.get_next == nullptr) {
        return std::unexpected(CoreError::arrow("the stream was already released"));
    }
    return ArrowTableReader(stream, consumer, expected_rows).run();
}

} // namespace annotrove::table
