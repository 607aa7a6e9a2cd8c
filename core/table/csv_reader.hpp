// Reading a candidate table (CSV with a header row): one scan that splits, checks and converts
// every row, handing each to a consumer that keeps what its caller needs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "../error.hpp"
#include "csv_reader_settings.hpp"

namespace annotrove::table {

inline constexpr std::array<std::string_view, 4> REQUIRED_COLUMNS = {"query_id", "candidate_id",
                                                                     "rank", "score"};

// True when the extension of the path's last component is exactly "parquet".
bool is_parquet_path(std::string_view path);

// One data row, every cell checked and converted. The texts point into the reader's buffer and
// live only until the consumer returns.
struct RowCells {
    std::string_view query_id;
    std::string_view candidate_id;
    std::uint64_t rank = 0;
    double score = 0.0;
    std::optional<double> probability;
    std::optional<bool> is_correct;
    // Carried texts: absent when the column is missing or the cell is empty. Filled only for a
    // consumer that wants them (their cells are checked either way).
    std::optional<std::string_view> smiles;
    std::optional<std::string_view> inchikey;
    std::optional<std::string_view> formula;
    std::optional<std::string_view> target_inchikey;
};

// What the reader hands rows to. Only rows that passed every check arrive, in file order; when
// the read fails, the consumer's contents are to be discarded.
class RowConsumer {
  public:
    virtual ~RowConsumer() = default;
    // Called at most once, early, with an estimate of the number of data rows in the whole input
    // (from the length of the first rows), so storage can be sized once instead of doubling.
    virtual void expect_rows(std::size_t rows) = 0;
    virtual void add(const RowCells &row) = 0;
    // Whether add() reads the carried texts (smiles, inchikey, formula, target_inchikey).
    virtual bool wants_carried_texts() const { return false; }
    // Whether add() reads the values of the score and probability cells. Cells of a column it does
    // not read are checked all the same (a bad one is the same error) but not converted: its
    // value arrives as zero (a probability stays absent where its cell is empty).
    virtual bool wants_scores() const { return true; }
    virtual bool wants_probabilities() const { return true; }
};

// Streams every data row of the table at `path` to `consumer`, through a fixed-size block
// buffer; returns the first failure in file order, header faults before row faults.
Result<void> read_table(std::string_view path, RowConsumer &consumer,
                        const CsvReaderSettings &settings = {});

// The same, from any source of bytes (its failure() names the input).
class ByteSource;
Result<void> read_table_from_source(ByteSource &source, RowConsumer &consumer,
                                    const CsvReaderSettings &settings = {});

// The same, reading from bytes already in memory (the fuzzers' and tests' entry).
Result<void> read_table_from_bytes(std::string_view bytes, RowConsumer &consumer,
                                   const CsvReaderSettings &settings = {});

} // namespace annotrove::table
