#pragma once
// Salvage: a sound copy of what can still be read from a database whose
// damage loses data.
//
// Compaction refuses a source whose damage would lose data. A salvage gets
// past that damage by giving up what cannot be read, and nothing more:
//   - a row that does not decode, or whose moved data cannot be found, is
//     left out;
//   - a row whose long value (memo, OLE) is broken is kept, with that value
//     empty;
//   - a data page that cannot be read is given up, with the rows it held;
//   - a table whose definition or page list cannot be read is left out;
//   - a relationship whose half in a table's definition names no table, or
//     a table that does not name it back, is left out there, the index kept.
// Every other row is copied as it is, and the copy is compacted and verified
// as every compaction is: against the source with those losses applied, so
// that every row of the copy is a row of the source. Nothing is invented.
//
// The losses are applied to a scratch copy of the source beside the
// destination (rows marked deleted, long values emptied in place, unreadable
// pages emptied, the catalog rows of lost tables deleted, broken halves of
// relationships cleared); the scratch copy is checked again, so that damage a
// loss uncovers is given up the same way, and then compacted into the
// destination. The scratch copy is removed at the end, whatever happens; the
// source is only read.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "jet/compact/compact.h"

namespace jet {

// What one table lost.
struct TableLoss {
    std::string table;
    bool left_out = false;  // the whole table is not in the copy
    std::uint64_t rows_kept = 0;
    std::uint64_t rows_lost = 0;
    // False when a page given up held an unknown number of rows beyond
    // rows_lost (a page that cannot be read and that no index names rows on).
    bool rows_lost_exact = true;
    // A row kept with a long value emptied: the row by its primary key
    // ("OrderID=17"; where it was stored, for a table without one) and the
    // column emptied.
    struct Emptied {
        std::string row;
        std::string column;
    };
    std::vector<Emptied> emptied;
    // The indexes kept without the relationship they stood for, by name.
    std::vector<std::string> relationships;
    // The damage behind the losses, one description each, for a person.
    std::vector<std::string> causes;
};

struct SalvageResult {
    CompactResult compacted;
    // The tables that lost something, in catalog order; empty when the
    // source lost nothing (the salvage was a compaction).
    std::vector<TableLoss> losses;
    bool lost_anything() const { return !losses.empty(); }
};

// Salvages `source` into the new file `destination`. A source with no damage
// that loses data is compacted as compact() does it. Throws jet::Error as
// compact() does; Error(damaged) when the damage is of a kind a salvage
// cannot get past either (pages claimed by two tables, a catalog that cannot
// be read ...), naming it. Nothing appears under `destination` on failure.
SalvageResult salvage(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const CompactOptions& options);

}  // namespace jet
