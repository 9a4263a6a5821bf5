#pragma once
// Internal to the checker: the state one check run shares between its parts.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "jet/check/checker.h"
#include "jet/format/bytes.h"
#include "jet/format/joined_threads.h"
#include "jet/format/page_file.h"
#include "jet/format/table_def.h"

namespace jet {

class Database;

namespace check_detail {

struct Claim {
    PageRole role = PageRole::header;
    std::uint32_t table = 0;
    bool operator==(const Claim&) const = default;
};

// Who claims each page. Almost every page has one owner, so the first claim
// of a page inside the file sits in a flat array (a few bytes per page); the
// further claims of a page, and every claim of a page past the end of the
// file, go to a side map that stays empty in a sound file.
class PageClaims {
  public:
    explicit PageClaims(std::uint32_t pages) : first_(pages) {}

    // Records `c` for `page` unless the page has that claim already.
    void add(std::uint32_t page, Claim c);
    bool claimed(std::uint32_t page) const {
        return page < first_.size() ? first_[page].claimed() : more_.count(page) != 0;
    }
    // Calls visit(page, claims) for every claimed page in ascending order,
    // with the page's claims in the order they were made.
    template <typename Visit>
    void for_each(Visit&& visit) const;

  private:
    struct First {
        std::uint32_t table = 0;
        std::uint8_t role = kUnclaimed;
        bool claimed() const { return role != kUnclaimed; }
    };
    static constexpr std::uint8_t kUnclaimed = 0xFF;

    std::vector<First> first_;
    std::map<std::uint32_t, std::vector<Claim>> more_;
};

template <typename Visit>
void PageClaims::for_each(Visit&& visit) const {
    std::vector<Claim> all;
    auto more = more_.begin();
    for (std::uint32_t p = 0; p < first_.size(); ++p) {
        if (!first_[p].claimed()) {
            continue;
        }
        all.assign(1, Claim{static_cast<PageRole>(first_[p].role), first_[p].table});
        if (more != more_.end() && more->first == p) {
            all.insert(all.end(), more->second.begin(), more->second.end());
            ++more;
        }
        visit(p, all);
    }
    for (; more != more_.end(); ++more) {
        if (more->first >= first_.size()) {
            visit(more->first, more->second);
        }
    }
}

// What one table's walk leaves for the checks across tables.
struct CheckedTable {
    std::string name;
    TableDef def;
};

class Context {
  public:
    // What a context walking tables apart from the run's own (on another
    // thread) keeps, in the order made, to be replayed into the run's.
    struct Log {
        std::vector<std::pair<std::uint32_t, Claim>> claims;
        std::vector<RowPointer> long_value_rows;
    };

    // With `log`, claims go there (the context's own `claims` stays empty).
    Context(const Database& db, const CheckOptions& options, CheckReport& report,
            Log* log = nullptr);

    const Database& db;
    const PageFile& file;
    const CheckOptions& options;
    CheckReport& report;

    // Page ownership, for "page-owned-twice" and the orphan count.
    PageClaims claims;
    // Tables whose definition decoded, by TDEF page.
    std::map<std::uint32_t, CheckedTable> tables;
    // Tables the catalog lists whose Id is no table definition, by that Id:
    // left over from dropped tables, unless pages of rows still name them.
    struct UndefinedTable {
        std::string name;
        std::string what;  // what the page holds instead
    };
    std::map<std::uint32_t, UndefinedTable> undefined_tables;
    // Pages of rows the owned-pages maps leave out that an earlier pass
    // found, by table: walked as the table's, and reported.
    std::map<std::uint32_t, std::vector<std::uint32_t>> adopted;
    // Pages outside a table's own that entries of its indexes name, by table.
    std::map<std::uint32_t, std::set<std::uint32_t>> named_outside;
    // Pages outside a table's own that its moved rows point to, by table.
    // Their rows' slots read as deleted ones: the pointer is what tells them
    // from such. (Set with a finding, which makes a walk apart of the table
    // be done again here: a shard's or a range's is not carried over.)
    std::map<std::uint32_t, std::set<std::uint32_t>> moved_outside;
    // Whether the table walked now may walk its pages in ranges on the
    // check's threads (CheckOptions::split_pages): set while nothing else
    // is walked beside it.
    bool split_table = false;

    // `index`: the (table definition page, real index) the error concerns.
    void error(const std::string& code, std::uint32_t page, const std::string& table,
               const std::string& text,
               std::optional<std::pair<std::uint32_t, std::uint32_t>> index = std::nullopt);
    // Damage that loses data, which a salvage gets past by giving up `loss`.
    void lossy(const std::string& code, std::uint32_t page, const std::string& table,
               const std::string& text, const Loss& loss);
    // A note in an input; an error in strict mode.
    void note(const std::string& code, std::uint32_t page, const std::string& table,
              const std::string& text);
    void claim(std::uint32_t page, PageRole role, std::uint32_t table);
    // Records that a long value uses the LVAL row `row` (a page inside the
    // file); false when some long value used it before, for "lv-row-shared".
    bool use_long_value_row(RowPointer row);
    // Whether a long value used the LVAL row `row` already.
    bool long_value_row_used(RowPointer row) const;
    // Puts the page claims and long-value rows of a walk made apart from
    // this context (its report `found`, its `log`) here, as if it had been
    // made here; false, and nothing put, when it must be made again here:
    // it found something (whose wording and order may hang on what was
    // found before it) or used a long-value row used here already.
    bool replay(const CheckReport& found, const Log& log);
    // The database again, for a walk on another thread: a Database of its
    // own (one is for one thread) reading through this one's file handle
    // and page cache.
    Database another_reader() const;
    // Runs `work` on up to `threads` threads: on this one over `db`, on each
    // other over another_reader(), and returns when all are done. The work
    // takes its items from a counter it shares; a helper that cannot start,
    // or throws, leaves what it did not take to the others and to the run.
    void share_out(std::size_t threads, const std::function<void(const Database&)>& work) const;
    // "table \"Name\"" for descriptions.
    static std::string table_label(const std::string& name);

    // Adds the summary lines of findings left out; call once at the end.
    void finish();

  private:
    Log* log_;
    void add(Severity s, const std::string& code, std::uint32_t page, const std::string& table,
             const std::string& text,
             std::optional<std::pair<std::uint32_t, std::uint32_t>> index = std::nullopt,
             const Loss* loss = nullptr);
    std::map<std::string, std::size_t> per_code_;
    std::map<std::string, Severity> suppressed_severity_;
    std::map<std::string, std::size_t> suppressed_;
    // Codes of which some finding left out named no loss.
    std::set<std::string> suppressed_unsalvageable_;
    std::set<Loss> lost_;
    // The LVAL rows used so far: for each page that has any, a bit per row
    // slot (lv_row_bits_[lv_page_[page] - 1]); lv_page_ is sized on first use.
    std::vector<std::uint32_t> lv_page_;
    std::vector<std::array<std::uint64_t, 4>> lv_row_bits_;
};

// "12, 13, 40" (the first twelve, then "...").
std::string page_list(const std::vector<std::uint32_t>& pages);

// Walks one table: definition, maps, data pages and rows, long values and
// indexes. `catalog_name` is the catalog's name for it.
void check_table(Context& cx, std::uint32_t tdef_page, const std::string& catalog_name);

}  // namespace check_detail
}  // namespace jet
