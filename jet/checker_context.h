#pragma once
// Internal to the checker: the state one check run shares between its parts.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "jet/bytes.h"
#include "jet/checker.h"
#include "jet/liveness.h"
#include "jet/page_file.h"
#include "jet/table_def.h"

namespace jet {

class Database;

namespace check_detail {

struct Claim {
    PageRole role = PageRole::header;
    std::uint32_t table = 0;
    bool operator==(const Claim&) const = default;
};

// What one table's walk leaves for the checks across tables.
struct CheckedTable {
    std::string name;
    TableDef def;
};

class Context {
  public:
    Context(const Database& db, const CheckOptions& options, CheckReport& report);

    const Database& db;
    const PageFile& file;
    const CheckOptions& options;
    CheckReport& report;

    // Page ownership, for "page-owned-twice" and the orphan count.
    std::map<std::uint32_t, std::vector<Claim>> claims;
    // Every LVAL row a descriptor or chain names, for "lv-row-shared".
    std::map<RowPointer, std::uint32_t> long_value_rows;  // row -> table
    // Tables whose definition decoded, by TDEF page.
    std::map<std::uint32_t, CheckedTable> tables;

    void error(const std::string& code, std::uint32_t page, const std::string& table,
               const std::string& text);
    // A note in an input; an error in strict mode.
    void note(const std::string& code, std::uint32_t page, const std::string& table,
              const std::string& text);
    void claim(std::uint32_t page, PageRole role, std::uint32_t table);
    // "table \"Name\"" for descriptions.
    static std::string table_label(const std::string& name);

    // Adds the summary lines of findings left out; call once at the end.
    void finish();

  private:
    void add(Severity s, const std::string& code, std::uint32_t page, const std::string& table,
             const std::string& text);
    std::map<std::string, std::size_t> per_code_;
    std::map<std::string, Severity> suppressed_severity_;
    std::map<std::string, std::size_t> suppressed_;
};

// Walks one table: definition, maps, data pages and rows, long values and
// indexes. `catalog_name` is the catalog's name for it.
void check_table(Context& cx, std::uint32_t tdef_page, const std::string& catalog_name);

}  // namespace check_detail
}  // namespace jet
