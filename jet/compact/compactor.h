#pragma once
// The compaction proper: reads an open database and writes a new, dense one.
//
// Which pages are live comes from the catalog: every table (MSysObjects on
// page 2 and every local table it names) is walked through its definition,
// its owned pages, its long values and its index trees. Nothing else is
// copied: free pages, pages no structure reaches, deleted rows, overflow
// indirection and unused space disappear.
//
// The new file is laid out table by table, in the order of the old table
// definition pages (so MSysObjects stays on page 2 and table Ids keep their
// relative order):
//
//   page 0     the old page 0 (password possibly changed)
//   page 1     the global free map (row 0) and an empty map (row 1)
//   page 2...  the definition of MSysObjects, then the map-holder pages: the
//              usage-map rows of every table, packed densely
//   per table  definition pages (MSysObjects' already placed), data pages,
//              long-value pages of each memo/OLE column, index pages of each
//              real index, then the 0x05 bitmap pages of any map too wide to
//              be inline
//   at the end the global map's 0x05 pages, when it is too large for page 1
//
// Rows are written densely in primary-key order (storage order for a table
// without a primary key, for MSysObjects, whose order is the order in which
// tools list the tables, and for MSysQueries, whose order is each query's:
// see written_in_scan_order), long values are stored afresh (inline values stay
// in the row, single-row values stay single rows, chains are cut into full
// 4072-byte chunks with an exact last one), every index is rebuilt from its
// own leaf entries through the old-to-new row map, and every usage map, row
// count and index statistic is recomputed. Stale values the rebuild replaces
// anyway are mended and reported as repairs: an autonumber counter behind the
// highest value in use is raised to it, stale sibling links of an index tree
// are written afresh.
//
// Table Ids are TDEF page numbers, so they move with their tables: the Id
// columns of MSysObjects, MSysACEs and the MSysNavPane tables, the foreign-key
// fields of the definitions and the keys of the indexes over those columns
// are rewritten. An Id that names no table in the source (left behind by a
// dropped table) is kept, unless it would come to name a live table of the
// new file: then it is given a number past the end of the file, which names
// nothing.
//
// A page 0 with another password masks the SIDs of MSysACEs and
// MSysObjects (Owner) under another key (see sid_mask.h): each is converted
// from the source's mask to the new one on the way. An index over a SID
// column is not rewritten: a password change is then refused.
//
// The result is deterministic: the same source gives the same bytes, and a
// compacted file compacts to itself.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "jet/compact/compact.h"
#include "jet/compact/id_remap.h"
#include "jet/format/page_file.h"

namespace jet {

class Database;
class OutputFile;
struct TableDef;

// True for a table whose rows the copy keeps in the order a scan reads them
// (its pages in map order, their slots in order): a table without a primary
// key, the catalog (the order tools list the tables in) and MSysQueries (a
// query's parts: readers render its output columns, joins and sort keys in
// the order of its rows). Every other table is written in primary-key order.
bool written_in_scan_order(const TableDef& def, std::string_view table);

struct CompactorStats {
    std::uint32_t source_pages = 0;
    std::uint32_t pages = 0;  // pages written
    std::uint64_t rows = 0;
    std::uint64_t long_values = 0;
    std::uint64_t index_entries = 0;
};

struct CompactorResult {
    IdRemap ids;
    // The source holds Ids that name no object of its catalog (left over
    // from deleted objects); they are kept as they are.
    bool source_has_stale_ids = false;
    CompactorStats stats;
    // What was mended on the way: stale values the compaction rebuilds.
    std::vector<Repair> repairs;
    // Autonumber counters raised to the highest value in use, by old TDEF page.
    std::map<std::uint32_t, std::uint32_t> raised_counters;
    // Tables, by old TDEF page, some of whose rows were written with columns
    // they did not hold (widen_row): their rows are the same by value only.
    std::set<std::uint32_t> widened_tables;
};

// The indexes (table definition page, real index) whose trees are not to be
// trusted: they are rebuilt from the keys of the table's live rows.
using IndexSet = std::set<std::pair<std::uint32_t, std::uint32_t>>;

// Writes the compacted form of `source` into `out`. `page0` is the page 0 to
// write (as stored: masked; password already set); when its password differs
// from the source's, every SID is masked again to match it. `progress` (may
// be empty) is called now and then with (done, total) in units of its own choosing.
// Every index keeps its entries, but those in `from_rows`, rebuilt from the
// rows (throws Error(damaged) when their keys cannot be computed). A table's
// index trees are written on a thread of their own, beside its rows, when
// they have `index_pages_for_threads` pages or more between them.
CompactorResult write_compacted(const Database& source, OutputFile& out, const PageBuf& page0,
                                const std::function<void(std::uint64_t, std::uint64_t)>& progress,
                                const IndexSet& from_rows = {},
                                std::uint32_t index_pages_for_threads = kIndexPagesForThreads);

// The number of pages the compacted copy of `source` would have, planned
// the way write_compacted writes it but nothing written. Throws what
// write_compacted would throw for damage met on the way.
std::uint32_t plan_compacted_pages(const Database& source, const IndexSet& from_rows = {});

}  // namespace jet
