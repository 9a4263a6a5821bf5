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
// engine's reader instead (expect_calculated_memos_alike).
using Blind = std::map<std::string, std::set<std::string>>;

Blind calculated_memos(const std::filesystem::path& file);
bool blind_to(const Blind& blind, const std::string& table, const std::string& column);

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
