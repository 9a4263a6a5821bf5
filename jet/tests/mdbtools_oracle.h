#pragma once
// Reading databases through Debian's mdbtools for the tests, and the
// normal form in which rows read by different readers are compared.

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace jettest {

// Field and record separators handed to mdb-export (values never hold them).
inline constexpr char kField = '\x1f';
inline constexpr char kRecord = '\x1e';

std::vector<std::string> split(const std::string& s, char sep);

// One table as mdb-export reads it (binary as hex).
struct Export {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    std::string err;
};

Export mdb_export(const std::filesystem::path& file, const std::string& table);

// How a file's own catalog names the values of its Id columns.
struct IdCatalog {
    std::map<std::string, std::string> table_of;  // Id text -> table name
    std::set<std::string> objects;                // every object Id text
    std::string canonical(const std::string& id) const {
        if (auto it = table_of.find(id); it != table_of.end()) {
            return "T:" + it->second;
        }
        if (id.empty() || objects.count(id) != 0) {
            return id;
        }
        return "stale";
    }
};

IdCatalog read_catalog(const std::filesystem::path& file);

// Calculated columns whose result is a memo, by table: both oracles print
// the long-value descriptor's bytes as if they were the value (the bytes
// change when the value moves), so such columns are compared through this
// engine's reader instead (expect_blind_columns_alike).
using Blind = std::map<std::string, std::set<std::string>>;

Blind calculated_memos(const std::filesystem::path& file);
bool blind_to(const Blind& blind, const std::string& table, const std::string& column);

// Columns that some live row of `file` does not hold (a row stored before
// the column was added, holding fewer columns): both oracles take such a
// row's null-mask bits past its count, or the bytes past its mask, as the
// column's, so what they show there is not the value.
// A compacted copy holds such rows with every column (widen_row): the
// copy's columns are compared with the engine's reading of the source
// instead (null_patterns_alike).
Blind read_past_short_rows(const std::filesystem::path& file);
void add_blind(Blind& to, const Blind& more);

// Whether `copy` (mdb-export's reading of a copy of `source`) holds null in
// `columns` of `table` in the rows where the engine reads null in
// `source`, as multisets of each row's null pattern.
bool nulls_read_alike(const std::filesystem::path& source, const Export& copy,
                      const std::string& table, const std::set<std::string>& columns);

// mdbtools reads some rows whose slot is flagged deleted (0x8000, without
// the overflow flag) as live rows: the number of such slots (with bytes) on
// the pages of `table`'s owned-pages map, none of which a copy holds.
std::size_t deleted_rows_mdbtools_reads(const std::filesystem::path& file,
                                        const std::string& table);

// MSysQueries as mdb-export reads it, in the order its rows are stored: the
// rows of each saved query (its output columns, joins, sort keys ...), by the
// query's ObjectId.
std::map<std::string, std::vector<std::vector<std::string>>> query_parts(
    const std::filesystem::path& file);

// The rows of `e`, each one line, sorted: Id columns named through `cat`,
// columns of `blind` left out.
std::vector<std::string> canonical_rows(const Export& e, const std::string& table,
                                        const IdCatalog& cat, const Blind& blind = {});

}  // namespace jettest
