#pragma once
// The structural checker: walks every structure of a Jet 4 database from the
// catalog down and reports what it finds.
//
// Findings are errors (damage: a page owned twice, an index out of order, a
// row that does not decode, a pointer to nothing ...) or notes (what files
// made by Access carry and Access tolerates: leaked pages, stale row counts
// and index statistics, a stale free map, catalog rows naming tables that no
// longer exist). The checker never stops at the first finding and never
// throws for damage inside the file: a structure that does not decode
// becomes an error finding and the walk goes on with the next one.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace jet {

class Database;
class PageFile;
struct RowPointer;
struct TableDef;

// Takes in the rows a check walks, in the same pass: for each table it walks,
// table() first, then row() for every live row it reaches, in the order of
// its pages and their slots (a moved row's bytes at its slot). A table may
// be walked again (a later pass of the check): table() then starts it anew.
// Called on the thread that runs the check; the references hold until the
// next table() call.
class RowObserver {
  public:
    virtual ~RowObserver() = default;
    virtual void table(std::uint32_t page, const std::string& name, const TableDef& def,
                       const PageFile& file) = 0;
    virtual void row(RowPointer at, std::span<const std::uint8_t> data) = 0;
};

enum class Severity { note, error };

const char* severity_name(Severity s);

// What the checker's walk finds a page used as.
enum class PageRole {
    header,        // page 0
    global_map,    // page 1
    table_def,     // a page of a TDEF chain
    map_holder,    // a data page holding usage-map rows
    usage_bitmap,  // a 0x05 page of a reference map
    table_data,    // a data page in a table's owned map
    long_value,    // an LVAL page (through an LV map or a descriptor)
    index,         // a page of a sound index tree
    // An LVAL page a long-value map lists that no value of the table uses:
    // what a map says, not what the table's data needs.
    long_value_listed,
};

const char* page_role_name(PageRole role);

// One claim on a page: what the walk reached it as, and for which table.
struct PageOwner {
    std::uint32_t page = 0;
    PageRole role = PageRole::header;
    std::uint32_t table = 0;  // the owning table's TDEF page; 0 for page 0, page 1 and its bitmaps
    bool operator==(const PageOwner&) const = default;
};

// What a salvage gives up to get past a finding that loses data: a table
// whose definition or page list cannot be read, a data page that cannot be
// read, one row, one long value of a row (which the salvaged copy holds
// empty), or a relationship whose half in a table's definition is broken
// (the copy keeps that index, without the relationship).
struct Loss {
    enum class Kind { table, page, row, long_value, relationship };
    Kind kind = Kind::row;
    std::uint32_t table_page = 0;  // the table's definition page
    std::uint32_t page = 0;        // the page; for a row or long value, the row's page
    std::uint8_t row = 0;          // a row or long value: its slot (the header of a moved row)
    // A long value: the column's number; a relationship: the place of its
    // index among the table's logical indexes.
    std::uint16_t column = 0;
    bool operator==(const Loss&) const = default;
    auto operator<=>(const Loss&) const = default;
};

struct Finding {
    Severity severity = Severity::error;
    std::string code;         // stable name, e.g. "index-out-of-order"
    std::uint32_t page = 0;   // the page concerned (0 when the finding is about the file)
    std::string table;        // the table concerned, when there is one
    std::string description;  // for a person: what is wrong and what it means
    // The table definition page and real index a finding about one index
    // concerns.
    std::uint32_t table_page = 0;
    std::optional<std::uint32_t> index;
    // Damage a salvage gets past by giving up what CheckReport::losses
    // names for it (a summary line: every finding it stands for).
    bool salvageable = false;
};

struct CheckOptions {
    // Checks the output of a compaction: what an input may carry as a note
    // (leaked pages, stale counts, statistics and free map) becomes an error,
    // and a compacted file must also have no free page inside the file.
    bool strict = false;
    // Also expects rows written densely: no deleted and no overflow row slots
    // (what a compaction that repacks rows produces).
    bool packed = false;
    // Compares every index entry with the key computed from the row it
    // points to (which costs decoding the indexed columns of every row).
    bool index_keys = true;
    // Checks each index entry against the live rows: that it names one, only
    // once, in key order, and that every live row has one. Without it the
    // trees are still walked for their pages and their shape.
    bool index_entries = true;
    // Also lists in CheckReport::owners who uses each page the walk reached
    // (12 bytes for each page it reached).
    bool page_owners = false;
    // Shown the live rows as the walk reaches them (may be null).
    RowObserver* rows = nullptr;
    // Tables walked at once (each further one on a thread of its own, over a
    // Database of its own reading through the same handle and page cache).
    // The report is the same as one thread's: the walks are merged in the
    // catalog's order, and a table whose walk found anything is walked again
    // in its turn. Not with `rows` (one thread walks then).
    unsigned threads = 1;
    // With threads above one, a table with at least this many pages of rows
    // has them walked in ranges, one per thread, the same way: merged in
    // page order, a range whose walk found anything walked again in its
    // turn. (Lowered by the tests, so that small files are split too.)
    std::uint32_t split_pages = 4096;
};

struct CheckReport {
    std::filesystem::path file;
    std::uint32_t pages = 0;
    std::size_t page_size = 0;  // bytes per page (the format's)
    std::size_t tables = 0;
    std::size_t indexes = 0;
    std::size_t rows = 0;
    std::vector<Finding> findings;
    // Every (table definition page, real index) with an error that
    // rebuilding the index from the rows mends, listed findings or not.
    std::set<std::pair<std::uint32_t, std::uint32_t>> damaged_indexes;
    // Those of damaged_indexes with an error besides entries that name no
    // live row ("index-dangling-entry"): dropping entries does not mend them.
    std::set<std::pair<std::uint32_t, std::uint32_t>> damaged_beyond_dangling;
    // Every (table definition page, real index) whose keys this program
    // cannot compute from the rows (an unknown sort order), and why.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> uncomputable_indexes;
    // What a salvage gives up for the salvageable findings, listed or not,
    // in the order they were found (one entry per thing, however many
    // findings concern it).
    std::vector<Loss> losses;
    // Pages of rows that a table's owned-pages map leaves out but its
    // indexes name, by table definition page: the check walked them as the
    // table's, and a compaction reads them so (OpenOptions::unlisted_pages).
    std::map<std::uint32_t, std::vector<std::uint32_t>> unlisted_pages;
    // With CheckOptions::page_owners: every claim the walk made, ascending by
    // page, a page's claims in the order they were made. A page not listed
    // is used by nothing the walk reached (free or leaked). A page listed
    // more than once is a usage-map holder several tables share, or damage
    // ("page-owned-twice"); one at or past `pages` is named by damage
    // ("dangling-pointer").
    std::vector<PageOwner> owners;

    std::size_t error_count() const;
    std::size_t note_count() const;
    bool has_errors() const { return error_count() != 0; }
    // True when there is nothing at all to report.
    bool clean() const { return findings.empty(); }
    // Whether a finding with this code is present.
    bool has(const std::string& code) const;
};

// Checks an open database.
CheckReport check(const Database& db, const CheckOptions& options = {});

// Opens `path` and checks it. The password is verified only when one is
// given (a Jet 4 password does not protect the data, and a checker inspects).
// Refusals (no database, Jet 3, ACE, truncated, wrong password) throw
// jet::Error as opening would; damage found while opening — a catalog that
// does not decode — is reported as an error finding instead.
CheckReport check_file(const std::filesystem::path& path, const CheckOptions& options = {},
                       const std::optional<std::string>& password = std::nullopt);
// The same for a file already open: it is read through `file`'s handle and
// cache (PageFile::share), from this thread while others read it too, with
// the keys `file` decrypts with, if any.
CheckReport check_file(const PageFile& file, const CheckOptions& options = {},
                       const std::optional<std::string>& password = std::nullopt);

}  // namespace jet
