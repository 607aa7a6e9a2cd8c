// The whole-record view of a candidate table, one consumer of the table scan.
#include "record_reader.hpp"

#include <utility>

#include "csv_reader.hpp"
#include "row_reservation.hpp"
#include "same_bytes.hpp"

namespace annotrove::table {

namespace {

class RecordCollector final : public RowConsumer {
  public:
    void expect_rows(std::size_t rows) override {
        table_.rows.reserve(rows_to_reserve<CandidateRecord>(rows));
    }
    bool wants_carried_texts() const override { return true; }

    void add(const RowCells &cells) override {
        CandidateRecord row;
        // A query's rows usually follow one another: its id (and often its target) is then
        // stored once and shared.
        const CandidateRecord *previous = table_.rows.empty() ? nullptr : &table_.rows.back();
        if (previous != nullptr &&
            same_bytes(table_.texts.view(previous->query_id), cells.query_id)) {
            row.query_id = previous->query_id;
        } else {
            row.query_id = table_.texts.store(cells.query_id);
        }
        row.candidate_id = table_.texts.store(cells.candidate_id);
        row.rank = cells.rank;
        row.score = cells.score;
        row.probability = cells.probability;
        row.is_correct = cells.is_correct;
        row.smiles = optional_text(cells.smiles);
        row.inchikey = optional_text(cells.inchikey);
        row.formula = optional_text(cells.formula);
        if (previous != nullptr && previous->target_inchikey.has_value() && cells.target_inchikey &&
            same_bytes(table_.texts.view(previous->target_inchikey), *cells.target_inchikey)) {
            row.target_inchikey = previous->target_inchikey;
        } else {
            row.target_inchikey = optional_text(cells.target_inchikey);
        }
        table_.rows.push_back(row);
    }

    CandidateTable take() { return std::move(table_); }

  private:
    TextRef optional_text(std::optional<std::string_view> text) {
        return text ? table_.texts.store(*text) : TextRef{};
    }

    CandidateTable table_;
};

Result<CandidateTable> collect(Result<void> read, RecordCollector &collector) {
    if (!read) {
        return std::unexpected(std::move(read.error()));
    }
    return collector.take();
}

} // namespace

Result<CandidateTable> read_candidates(std::string_view path, const CsvReaderSettings &settings) {
    RecordCollector collector;
    return collect(read_table(path, collector, settings), collector);
}

Result<CandidateTable> read_candidates_from_bytes(std::string_view bytes,
                                                  const CsvReaderSettings &settings) {
    RecordCollector collector;
    return collect(read_table_from_bytes(bytes, collector, settings), collector);
}

} // namespace annotrove::table
