// The structural checker on real files: every Jet 4 file of the corpus has no
// error, and each check finds the damage of one byte or one field changed in
// a copy of a good file, under its own code.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

#include "jet/check/checker.h"
#include "jet/check/checker_context.h"
#include "jet/check/findings.h"
#include "jet/compact/compact.h"
#include "jet/format/bytes.h"
#include "jet/format/data_page.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/index_page.h"
#include "jet/format/index_tree.h"
#include "jet/format/key_encoder.h"
#include "jet/format/long_value.h"
#include "jet/format/rc4.h"
#include "jet/format/row.h"
#include "jet/format/usage_map.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;

std::string listing(const jet::CheckReport& r) {
    std::string s;
    for (const auto& f : r.findings) {
        s += std::string(jet::severity_name(f.severity)) + " " + f.code + " p" +
             std::to_string(f.page) + ": " + f.description + "\n";
    }
    return s.empty() ? "(no findings)\n" : s;
}

std::optional<jet::Severity> severity_of(const jet::CheckReport& r, const std::string& code) {
    for (const auto& f : r.findings) {
        if (f.code == code) {
            return f.severity;
        }
    }
    return std::nullopt;
}

void expect_same_report(const jet::CheckReport& a, const jet::CheckReport& b) {
    EXPECT_EQ(listing(a), listing(b)) << a.file;
    EXPECT_EQ(a.tables, b.tables) << a.file;
    EXPECT_EQ(a.indexes, b.indexes) << a.file;
    EXPECT_EQ(a.rows, b.rows) << a.file;
    EXPECT_EQ(a.damaged_indexes, b.damaged_indexes) << a.file;
    EXPECT_EQ(a.uncomputable_indexes, b.uncomputable_indexes) << a.file;
    EXPECT_EQ(a.losses, b.losses) << a.file;
    EXPECT_EQ(a.unlisted_pages, b.unlisted_pages) << a.file;
    EXPECT_TRUE(a.owners == b.owners) << a.file;
    for (std::size_t i = 0; i < a.findings.size() && i < b.findings.size(); ++i) {
        const auto& x = a.findings[i];
        const auto& y = b.findings[i];
        EXPECT_TRUE(x.table == y.table && x.table_page == y.table_page && x.index == y.index &&
                    x.salvageable == y.salvageable)
            << a.file << ": " << x.code;
    }
}

jet::OpenOptions inspect() {
    jet::OpenOptions o;
    o.verify_password = false;
    return o;
}

// A private copy of a corpus file to damage.
class Copy {
  public:
    explicit Copy(const std::string& corpus_name) {
        const auto dir = testsupport::corpus_dir();
        if (!dir) {
            return;
        }
        path_ = testsupport::copy_to_scratch(*dir / corpus_name, scratch_.path());
    }
    bool ok() const { return !path_.empty(); }
    const fs::path& path() const { return path_; }
    jet::Database open() const { return jet::Database(path_, inspect()); }

    void poke(std::uint32_t page, std::size_t offset, const std::vector<std::uint8_t>& bytes) {
        std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(page * jet::jet4_format().page_size + offset));
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    void poke16(std::uint32_t page, std::size_t offset, std::uint16_t v) {
        poke(page, offset, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
    }
    void poke32(std::uint32_t page, std::size_t offset, std::uint32_t v) {
        std::vector<std::uint8_t> b(4);
        jet::put_le32(b, 0, v);
        poke(page, offset, b);
    }
    std::uint8_t peek(std::uint32_t page, std::size_t offset) const {
        return jet::PageFile(path_, jet::jet4_format()).read(page)[offset];
    }
    void append_zero_page() {
        std::ofstream f(path_, std::ios::app | std::ios::binary);
        const jet::PageBuf zero = jet::blank_page(jet::jet4_format());
        f.write(reinterpret_cast<const char*>(zero.data()), static_cast<long>(zero.size()));
    }
    // Checked by one thread and by several walking tables, and the pages
    // of any table of three pages or more, at once: the reports must be
    // the same, whatever the damage.
    jet::CheckReport check(bool strict = false) const {
        jet::CheckOptions o;
        o.strict = strict;
        o.page_owners = true;
        const jet::CheckReport one = jet::check_file(path_, o);
        o.threads = 3;
        o.split_pages = 3;
        expect_same_report(one, jet::check_file(path_, o));
        return one;
    }

  private:
    testsupport::ScratchDir scratch_;
    fs::path path_;
};

#define NEED(copy)                                            \
    if (!(copy).ok()) {                                       \
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)"; \
    }

// A compaction of a checked file succeeds exactly when every error found is
// one the finding table says compaction mends; a refusal leaves nothing.
// (Reports of strict checks, where notes count as errors, are left alone.)
void expect_compaction_as_the_table_says(const jet::CheckReport& r) {
    bool mendable = true;
    for (const auto& f : r.findings) {
        const jet::FindingKind* k = jet::finding_kind(f.code);
        if (k == nullptr || k->severity != f.severity) {
            return;
        }
        mendable = mendable && (f.severity == jet::Severity::note ||
                                jet::remedy_of(f, r) != jet::Remedy::refuse);
    }
    testsupport::ScratchDir dir;
    const fs::path out = dir.path() / "out.mdb";
    try {
        (void)jet::compact(r.file, out, {});
        EXPECT_TRUE(mendable) << "compaction took a file with damage it should refuse:\n"
                              << listing(r);
    } catch (const jet::Error& e) {
        EXPECT_FALSE(mendable) << "compaction refused a file it should mend: " << e.what() << "\n"
                               << listing(r);
        EXPECT_FALSE(fs::exists(out));
    }
}

// Asserts that `code` is reported with `severity`.
void expect_finding(const jet::CheckReport& r, const std::string& code,
                    jet::Severity severity = jet::Severity::error) {
    const auto s = severity_of(r, code);
    ASSERT_TRUE(s.has_value()) << "expected " << code << ", got:\n" << listing(r);
    EXPECT_NE(jet::finding_kind(code), nullptr) << code << " is missing from the finding table";
    expect_compaction_as_the_table_says(r);
    EXPECT_EQ(*s, severity) << listing(r);
}

// The first user table with live rows and at least one index.
const jet::TableDef* user_table(const jet::Database& db,
                                const std::function<bool(const jet::TableDef&)>& want = {}) {
    for (const auto* o : db.catalog().tables(false)) {
        const auto& t = db.table_def(o->table_page());
        std::size_t rows = 0;
        db.for_each_row(t, [&](const jet::RowRef&) { ++rows; });
        if (rows > 1 && !t.real_indexes.empty() && (!want || want(t))) {
            return &t;
        }
    }
    return nullptr;
}

// The leaf pages of one index, left to right.
std::vector<std::uint32_t> leaves(const jet::Database& db, const jet::RealIndex& ri) {
    const auto tree = jet::read_index_tree(db.file(), ri.root_page);
    return tree.levels.empty() ? std::vector<std::uint32_t>{} : tree.levels.back();
}

// ---------------------------------------------------------------- clean files

TEST(Checker, EveryJet4CorpusFileHasNoError) {
    const auto files = testsupport::corpus_files("jet4");
    if (files.empty()) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    std::size_t tables = 0, indexes = 0;
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        const auto r = jet::check_file(f.path);
        EXPECT_EQ(r.error_count(), 0u) << listing(r);
        EXPECT_GT(r.tables, 0u);
        for (const auto& finding : r.findings) {
            EXPECT_FALSE(finding.description.empty());
        }
        tables += r.tables;
        indexes += r.indexes;
        // Tables, and a table's pages, walked at once report as one walk,
        // page owners included.
        jet::CheckOptions one;
        one.page_owners = true;
        jet::CheckOptions several = one;
        several.threads = 3;
        several.split_pages = 3;
        expect_same_report(jet::check_file(f.path, one), jet::check_file(f.path, several));
    }
    EXPECT_GT(tables, 600u);
    EXPECT_GT(indexes, 1000u);
}

// Every page the walk claims holds what its role says, read from the page
// itself; every role is claimed somewhere in the corpus.
TEST(CheckerOwners, EveryClaimIsAPageOfItsRole) {
    const auto files = testsupport::corpus_files("jet4");
    if (files.empty()) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    using jet::PageRole;
    using Holds = bool (*)(const jet::PageBuf&, const jet::PageOwner&);
    struct Rule {
        PageRole role;
        const char* what;
        Holds holds;
    };
    static constexpr auto data_page = [](const jet::PageBuf& b, std::uint32_t owner) {
        return b[0] == jet::kPageTypeData && jet::le32(b, 4) == owner;
    };
    static const Rule rules[] = {
        {PageRole::header, "page 0", [](const auto&, const auto& o) { return o.page == 0; }},
        {PageRole::global_map, "page 1", [](const auto&, const auto& o) { return o.page == 1; }},
        {PageRole::table_def, "a TDEF page",
         [](const auto& b, const auto&) { return b[0] == jet::kPageTypeTableDef; }},
        {PageRole::map_holder, "a data page",
         [](const auto& b, const auto&) { return b[0] == jet::kPageTypeData; }},
        {PageRole::usage_bitmap, "a 0x05 page",
         [](const auto& b, const auto&) { return b[0] == jet::kPageTypeUsageBitmap; }},
        {PageRole::table_data, "a data page marked with its table",
         [](const auto& b, const auto& o) { return data_page(b, o.table); }},
        {PageRole::long_value, "an LVAL page",
         [](const auto& b, const auto&) { return data_page(b, jet::kLvalMarker); }},
        {PageRole::index, "an index page marked with its table",
         [](const auto& b, const auto& o) {
             return (b[0] == jet::kPageTypeIndexNode || b[0] == jet::kPageTypeIndexLeaf) &&
                    jet::le32(b, 4) == o.table;
         }},
    };
    std::map<PageRole, std::size_t> seen;
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        const jet::Database db(f.path, inspect());
        jet::CheckOptions o;
        o.page_owners = true;
        const auto r = jet::check(db, o);
        ASSERT_FALSE(r.owners.empty());
        EXPECT_TRUE(jet::check(db).owners.empty()) << "owners listed without being asked for";
        EXPECT_TRUE(std::is_sorted(r.owners.begin(), r.owners.end(),
                                   [](const auto& a, const auto& b) { return a.page < b.page; }));
        EXPECT_NE(
            std::find(r.owners.begin(), r.owners.end(), jet::PageOwner{2, PageRole::table_def, 2}),
            r.owners.end())
            << "page 2 is not the catalog's definition";
        for (const jet::PageOwner& owner : r.owners) {
            ASSERT_LT(owner.page, db.page_count());
            const Rule& rule = rules[static_cast<std::size_t>(owner.role)];
            ASSERT_EQ(rule.role, owner.role);
            ++seen[owner.role];
            const jet::PageBuf b = db.read_page(owner.page);
            EXPECT_TRUE(rule.holds(b, owner))
                << "page " << owner.page << " is claimed as " << jet::page_role_name(owner.role)
                << " but is not " << rule.what;
            // A table's pages name the table by its definition page.
            if (owner.table != 0) {
                EXPECT_EQ(db.read_page(owner.table)[0], jet::kPageTypeTableDef)
                    << "page " << owner.page << " is claimed for table page " << owner.table;
            }
        }
    }
    for (const Rule& rule : rules) {
        EXPECT_GT(seen[rule.role], 0u)
            << "no page is claimed as " << jet::page_role_name(rule.role);
    }
}

TEST(Checker, ThePasswordIsCheckedOnlyWhenGiven) {
    for (const auto& f : testsupport::corpus_files("jet4")) {
        if (f.password.empty()) {
            continue;
        }
        EXPECT_EQ(jet::check_file(f.path).error_count(), 0u);
        EXPECT_EQ(jet::check_file(f.path, {}, f.password).error_count(), 0u);
        try {
            jet::check_file(f.path, {}, f.password + "x");
            ADD_FAILURE() << "accepted a wrong password for " << f.name;
        } catch (const jet::Error& e) {
            EXPECT_STREQ(e.what(), jet::kNotAValidPassword);
        }
        return;
    }
    GTEST_SKIP() << "no corpus file with a password";
}

TEST(Checker, Access97FilesCheckWithoutErrors) {
    const auto files = testsupport::corpus_files("jet3");
    if (files.empty()) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    jet::CheckOptions several;
    several.threads = 3;
    several.split_pages = 3;
    for (const auto& f : files) {
        const jet::CheckReport r = jet::check_file(f.path);
        EXPECT_FALSE(r.has_errors()) << f.name;
        EXPECT_EQ(r.page_size, 2048u) << f.name;
        expect_same_report(r, jet::check_file(f.path, several));
    }
}

// ---------------------------------------------------------------- notes

TEST(CheckerNotes, AStaleRowCountIsANoteAndAnErrorInStrictMode) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t page = 0;
    {
        const auto db = c.open();
        page = user_table(db)->page;
    }
    c.poke32(page, 16, 12345);
    const auto r = c.check();
    expect_finding(r, "stale-row-count", jet::Severity::note);
    EXPECT_EQ(r.error_count(), 0u) << listing(r);
    expect_finding(c.check(true), "stale-row-count", jet::Severity::error);
}

TEST(CheckerNotes, StaleIndexStatisticsAreANote) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::size_t offset = 0;
    std::uint32_t page = 0;
    {
        const auto db = c.open();
        const auto* t = user_table(db);
        page = t->page;
        offset = t->real_indexes[0].stats.offset + 4;
    }
    c.poke32(page, offset, 999999);
    const auto r = c.check();
    expect_finding(r, "stale-index-stats", jet::Severity::note);
    EXPECT_EQ(r.error_count(), 0u) << listing(r);
}

TEST(CheckerNotes, APageNeitherUsedNorFreeIsAnOrphan) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t pages = 0;
    jet::RowPointer map;
    std::size_t start = 0;
    {
        const auto db = c.open();
        pages = db.page_count();
        const auto free = jet::read_free_map(db.file());
        ASSERT_EQ(free.map.kind, jet::UsageMap::Kind::inline_map);
        ASSERT_EQ(free.map.start_page, 0u);
        ASSERT_TRUE(free.is_free(pages));
        map = free.map.location;
        start = jet::read_data_page(db.file(), map.page).slot(map.row).start;
    }
    c.append_zero_page();
    // Mark the new page as in use: clear its bit.
    const std::size_t byte = start + 5 + pages / 8;
    c.poke(map.page, byte,
           {static_cast<std::uint8_t>(c.peek(map.page, byte) & ~(1u << (pages % 8)))});
    const auto r = c.check();
    expect_finding(r, "orphan-page", jet::Severity::note);
    EXPECT_EQ(r.error_count(), 0u) << listing(r);
}

// ---------------------------------------------------------------- errors

TEST(CheckerErrors, ALivePageMarkedFreeInTheGlobalMap) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    jet::RowPointer map;
    std::size_t start = 0;
    {
        const auto db = c.open();
        map = jet::read_free_map(db.file()).map.location;
        start = jet::read_data_page(db.file(), map.page).slot(map.row).start;
    }
    // Page 2, the catalog's definition, becomes "free".
    c.poke(map.page, start + 5, {static_cast<std::uint8_t>(c.peek(map.page, start + 5) | 0x04)});
    expect_finding(c.check(), "free-page-in-use");
}

// The page's own header says whose it is: the map that lists it besides is
// wrong, and only that table's rows there (gone) are at stake, which a
// salvage gets past. (Claimed for both, it was damage no salvage got past.)
TEST(CheckerErrors, APageOfAnotherTableListedInATablesMap) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    jet::RowPointer map;
    std::size_t start = 0;
    std::uint32_t foreign = 0, map_start = 0;
    {
        const auto db = c.open();
        const auto* t = user_table(db);
        const auto m = jet::read_usage_map(db.file(), t->owned_map, "test");
        ASSERT_EQ(m.kind, jet::UsageMap::Kind::inline_map);
        map = t->owned_map;
        map_start = m.start_page;
        start = jet::read_data_page(db.file(), map.page).slot(map.row).start;
        // A data page of the catalog.
        foreign = jet::read_usage_map(db.file(), db.table_def(2).owned_map, "test").pages.at(0);
        ASSERT_GE(foreign, map_start);
    }
    const std::size_t byte = start + 5 + (foreign - map_start) / 8;
    c.poke(
        map.page, byte,
        {static_cast<std::uint8_t>(c.peek(map.page, byte) | (1u << ((foreign - map_start) % 8)))});
    const auto r = c.check();
    expect_finding(r, "map-page-foreign");
    EXPECT_FALSE(r.has("page-owned-twice")) << listing(r);
    EXPECT_TRUE(jet::salvage_gets_past(r)) << listing(r);
}

TEST(CheckerErrors, IndexEntriesOutOfOrder) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t leaf = 0;
    {
        const auto db = c.open();
        for (const auto& ri : user_table(db)->real_indexes) {
            for (const auto l : leaves(db, ri)) {
                const auto p = jet::parse_index_page(jet::jet4_format(), db.read_page(l), l, "");
                if (p.prefix_length == 0 && p.entries.size() >= 2) {
                    leaf = l;
                }
            }
        }
        ASSERT_NE(leaf, 0u);
    }
    // The first key byte of the first entry: 0x7F (ascending) becomes 0xFE.
    c.poke(leaf, jet::jet4_format().index_page.entries_offset, {0xFE});
    expect_finding(c.check(), "index-out-of-order");
}

TEST(CheckerErrors, AnEntryMaskThatCutsAnEntryShort) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t root = 0;
    {
        const auto db = c.open();
        root = user_table(db)->real_indexes[0].root_page;
    }
    c.poke(root, jet::jet4_format().index_page.mask_offset,
           {static_cast<std::uint8_t>(c.peek(root, 27) | 0x02)});
    expect_finding(c.check(), "index-bad-mask");
}

TEST(CheckerErrors, AWrongFreeSpaceFieldOnAnIndexPage) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t root = 0;
    {
        const auto db = c.open();
        root = user_table(db)->real_indexes[0].root_page;
    }
    c.poke16(root, 2, 17);
    expect_finding(c.check(), "index-free-space");
}

TEST(CheckerErrors, AnIndexEntryPointingAtNoRow) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t leaf = 0;
    std::size_t end = 0;
    {
        const auto db = c.open();
        const auto& ri = user_table(db)->real_indexes[0];
        leaf = leaves(db, ri).back();
        end = jet::parse_index_page(jet::jet4_format(), db.read_page(leaf), leaf, "").used;
    }
    // The row byte of the last entry on the last leaf: no page has row 250.
    c.poke(leaf, jet::jet4_format().index_page.entries_offset + end - 1, {250});
    const auto r = c.check();
    expect_finding(r, "index-dangling-entry");
    expect_finding(r, "index-missing-row");
}

TEST(CheckerErrors, AnIntegerKeyThatDoesNotMatchItsRow) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t leaf = 0;
    std::size_t at = 0;
    {
        const auto db = c.open();
        const auto* t = user_table(db, [](const jet::TableDef& td) {
            const auto* col = td.column_by_number(td.real_indexes[0].columns[0].number);
            return col && col->column_type() == jet::ColumnType::long_integer;
        });
        ASSERT_NE(t, nullptr);
        leaf = leaves(db, t->real_indexes[0]).back();
        const auto p = jet::parse_index_page(jet::jet4_format(), db.read_page(leaf), leaf, "");
        ASSERT_EQ(p.entries.back().entry.key.size(), 5u);
        // The lowest key byte of the last entry (the end of the entry area
        // minus the 4-byte row pointer): raising it keeps the order.
        at = jet::jet4_format().index_page.entries_offset + p.used - 5;
        ASSERT_LT(c.peek(leaf, at), 0xFF);
    }
    c.poke(leaf, at, {static_cast<std::uint8_t>(c.peek(leaf, at) + 1)});
    const auto r = c.check();
    expect_finding(r, "index-key-mismatch");
    EXPECT_FALSE(r.has("index-out-of-order")) << listing(r);
}

// The entry-area offsets at which the entries of an index page end (each
// entry ends just before its offset).
std::vector<std::size_t> entry_ends(const jet::PageBuf& page) {
    std::vector<std::size_t> ends;
    for (std::size_t bit = 0; bit < jet::jet4_format().index_page.mask_size * 8; ++bit) {
        if ((page[jet::jet4_format().index_page.mask_offset + bit / 8] >> (bit % 8)) & 1u) {
            ends.push_back(bit);
        }
    }
    return ends;
}

// Writers of Jet 4 files store a key longer than 510 bytes whole, or cut to
// its first 508 bytes and two of their own (a memo's key in a real file):
// either is the row's key. A cut key whose first bytes differ is not.
TEST(CheckerErrors, ALongKeyStoredCutShortIsTheRowsKey) {
    for (const bool differs : {false, true}) {
        SCOPED_TRACE(differs ? "first bytes differ" : "cut as Access cuts it");
        Copy c("jackcess/testUnicodeCompV2003.mdb");
        NEED(c);
        // The first entry of a leaf, its key over 510 bytes, shortened in
        // place: the entries after it move up, the end marks and the free
        // space with them.
        std::uint32_t leaf = 0;
        jet::PageBuf page{};
        {
            const auto db = c.open();
            for (std::uint32_t p = 1; p < db.page_count() && leaf == 0; ++p) {
                page = db.read_page(p);
                if (page[0] != jet::kPageTypeIndexLeaf) {
                    continue;
                }
                const auto entries = jet::parse_index_page(jet::jet4_format(), page, p, "").entries;
                if (!entries.empty() && entries.front().entry.key.size() > jet::kCutKeyBytes) {
                    leaf = p;
                }
            }
        }
        ASSERT_NE(leaf, 0u) << "no key of the file is that long";
        const auto& f = jet::jet4_format().index_page;
        const std::vector<std::size_t> ends = entry_ends(page);
        const std::size_t cut = ends[0] - 4 - jet::kCutKeyBytes;
        std::vector<std::uint8_t> area(page.begin() + f.entries_offset, page.end());
        const std::vector<std::uint8_t> row(area.begin() + ends[0] - 4, area.begin() + ends[0]);
        area.erase(area.begin() + jet::kCutKeyPrefix, area.begin() + ends[0]);
        area.insert(area.begin() + jet::kCutKeyPrefix, {0x23, 0xB3});
        area.insert(area.begin() + jet::kCutKeyBytes, row.begin(), row.end());
        area.resize(page.size() - f.entries_offset, 0);
        if (differs) {
            area[jet::kCutKeyPrefix - 1] ^= 0x01;
        }
        std::vector<std::uint8_t> mask(f.mask_size, 0);
        for (const std::size_t e : ends) {
            const std::size_t at = e - cut;
            mask[at / 8] = static_cast<std::uint8_t>(mask[at / 8] | (1u << (at % 8)));
        }
        c.poke(leaf, f.entries_offset, area);
        c.poke(leaf, f.mask_offset, mask);
        c.poke16(leaf, 2, static_cast<std::uint16_t>(jet::le16(page, 2) + cut));
        const auto r = c.check();
        EXPECT_EQ(r.has("index-key-mismatch"), differs) << listing(r);
        EXPECT_EQ(r.error_count(), differs ? 1u : 0u) << listing(r);
    }
}

// Index entries made wrong the three ways damage leaves them, on indexes over
// the column types whose keys only the key encoder can compute: each is
// found against the table's rows.
TEST(CheckerErrors, IndexEntriesThatDisagreeWithTheRows) {
    enum class Damage { swap_rows, key_byte, drop_entry };
    struct Case {
        jet::ColumnType type;
        Damage damage;
        const char* finding;
    };
    const std::vector<Case> cases = {
        {jet::ColumnType::text, Damage::swap_rows, "index-key-mismatch"},
        {jet::ColumnType::text, Damage::key_byte, "index-key-mismatch"},
        {jet::ColumnType::text, Damage::drop_entry, "index-missing-row"},
        {jet::ColumnType::datetime, Damage::swap_rows, "index-key-mismatch"},
        {jet::ColumnType::guid, Damage::key_byte, "index-key-mismatch"},
        {jet::ColumnType::double_, Damage::swap_rows, "index-key-mismatch"},
    };
    const std::vector<std::string> files = {"jackcess/testIndexCodes@cc77d55.mdb",
                                            "jackcess/indexTestV2003.mdb",
                                            "jackcess/testIndexPropertiesV2003.mdb",
                                            "jackcess/compIndexTestV2003.mdb",
                                            "jackcess/test2V2003.mdb",
                                            "ucanaccess/functionsV2003.mdb"};
    for (const Case& k : cases) {
        SCOPED_TRACE(jet::column_type_name(static_cast<std::uint8_t>(k.type)));
        // The first leaf, in any of the files, of an index led by such a
        // column with three entries whose row pointers are stored whole.
        std::optional<Copy> c;
        std::uint32_t leaf = 0;
        std::vector<std::size_t> ends;
        for (const auto& name : files) {
            c.emplace(name);
            NEED(*c);
            const auto db = c->open();
            for (const auto* o : db.catalog().tables(false)) {
                const auto& t = db.table_def(o->table_page());
                for (const auto& ri : t.real_indexes) {
                    const auto* col = t.column_by_number(ri.columns[0].number);
                    if (leaf != 0 || col == nullptr || col->column_type() != k.type) {
                        continue;
                    }
                    for (const auto l : leaves(db, ri)) {
                        const auto buf = db.read_page(l);
                        const auto e = entry_ends(buf);
                        if (leaf == 0 && e.size() >= 3 && e[1] - e[0] > 4 && e[2] - e[1] > 4 &&
                            jet::parse_index_page(jet::jet4_format(), buf, l, "")
                                    .entries[1]
                                    .entry.key !=
                                jet::parse_index_page(jet::jet4_format(), buf, l, "")
                                    .entries[2]
                                    .entry.key) {
                            leaf = l;
                            ends = e;
                        }
                    }
                }
            }
            if (leaf != 0) {
                break;
            }
        }
        ASSERT_NE(leaf, 0u) << "no file has such an index";
        const std::size_t base = jet::jet4_format().index_page.entries_offset;
        switch (k.damage) {
            case Damage::swap_rows: {
                std::vector<std::uint8_t> a(4), b(4);
                for (std::size_t i = 0; i < 4; ++i) {
                    a[i] = c->peek(leaf, base + ends[1] - 4 + i);
                    b[i] = c->peek(leaf, base + ends[2] - 4 + i);
                }
                c->poke(leaf, base + ends[1] - 4, b);
                c->poke(leaf, base + ends[2] - 4, a);
                break;
            }
            case Damage::key_byte: {
                const std::size_t at = base + ends[1] - 5;  // the last key byte of entry 1
                c->poke(leaf, at, {static_cast<std::uint8_t>(c->peek(leaf, at) ^ 0x01)});
                break;
            }
            case Damage::drop_entry: {
                // The page forgets its last entry: its end bit and its bytes.
                const std::size_t last = ends.back();
                const std::size_t before = ends[ends.size() - 2];
                c->poke(leaf, jet::jet4_format().index_page.mask_offset + last / 8,
                        {static_cast<std::uint8_t>(
                            c->peek(leaf, jet::jet4_format().index_page.mask_offset + last / 8) &
                            ~(1u << (last % 8)))});
                c->poke16(
                    leaf, 2,
                    static_cast<std::uint16_t>(jet::jet4_format().index_entry_area() - before));
                c->poke(leaf, base + before, std::vector<std::uint8_t>(last - before, 0));
                break;
            }
        }
        expect_finding(c->check(), k.finding);
    }
}

// A table walked alone has its pages walked in ranges and its indexes
// checked side by side on the check's threads: whichever index is damaged,
// the report is one thread's (Copy::check compares them).
TEST(CheckerErrors, IndexesCheckedSideBySideReportAsOneThread) {
    for (const int damaged : {-1, 0, 1}) {
        SCOPED_TRACE(damaged);
        Copy c("jackcess/testIndexCodes@cc77d55.mdb");
        NEED(c);
        std::vector<std::uint32_t> others;
        std::uint32_t leaf = 0;
        std::vector<std::size_t> ends;
        {
            const auto db = c.open();
            for (const auto* o : db.catalog().tables(false)) {
                const auto& t = db.table_def(o->table_page());
                if (o->name != "Table1") {
                    others.push_back(t.page);
                } else if (damaged >= 0) {
                    ASSERT_GE(t.real_indexes.size(), 2u);
                    leaf = leaves(db, t.real_indexes[static_cast<std::size_t>(damaged)]).front();
                    ends = entry_ends(db.read_page(leaf));
                }
            }
        }
        // The other tables count no rows: Table1 outweighs the rest and is
        // walked alone.
        ASSERT_FALSE(others.empty());
        for (const auto page : others) {
            c.poke32(page, 16, 0);
        }
        if (damaged >= 0) {
            ASSERT_GE(ends.size(), 2u);
            ASSERT_GT(ends[1] - ends[0], 4u);
            const std::size_t at = jet::jet4_format().index_page.entries_offset + ends[1] - 5;
            c.poke(leaf, at, {static_cast<std::uint8_t>(c.peek(leaf, at) ^ 0x01)});
        }
        const auto r = c.check(true);
        expect_finding(r, "stale-row-count");
        EXPECT_EQ(r.has("index-key-mismatch"), damaged >= 0) << listing(r);
    }
}

std::size_t position_of(const jet::CheckReport& r, const std::string& code) {
    for (std::size_t i = 0; i < r.findings.size(); ++i) {
        if (r.findings[i].code == code) {
            return i;
        }
    }
    return r.findings.size();
}

TEST(CheckerErrors, AnIndexListingOneRowTwiceAndAnotherNever) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t leaf = 0;
    std::size_t from = 0, to = 0;
    jet::RowPointer twice, never;
    {
        const auto db = c.open();
        const auto& ri = user_table(db)->real_indexes[0];
        leaf = leaves(db, ri).back();
        const auto buf = db.read_page(leaf);
        const auto page = jet::parse_index_page(jet::jet4_format(), buf, leaf, "");
        const auto ends = entry_ends(buf);
        ASSERT_GE(ends.size(), 2u);
        ASSERT_EQ(ends.size(), page.entries.size());
        // The last entry takes the row pointer of the one before it.
        from = jet::jet4_format().index_page.entries_offset + ends[ends.size() - 2] - 4;
        to = jet::jet4_format().index_page.entries_offset + ends.back() - 4;
        twice = page.entries[page.entries.size() - 2].entry.row;
        never = page.entries.back().entry.row;
    }
    std::vector<std::uint8_t> pointer;
    for (std::size_t k = 0; k < 4; ++k) {
        pointer.push_back(c.peek(leaf, from + k));
    }
    c.poke(leaf, to, pointer);
    {
        const auto db = c.open();
        const auto page = jet::parse_index_page(jet::jet4_format(), db.read_page(leaf), leaf, "");
        ASSERT_EQ(page.entries.back().entry.row, twice);
    }
    const auto r = c.check();
    const auto text = [](jet::RowPointer p) {
        return "page " + std::to_string(p.page) + " row " + std::to_string(p.row);
    };
    expect_finding(r, "index-duplicate-row");
    expect_finding(r, "index-missing-row");
    EXPECT_NE(r.findings[position_of(r, "index-duplicate-row")].description.find(text(twice)),
              std::string::npos)
        << listing(r);
    EXPECT_NE(r.findings[position_of(r, "index-missing-row")].description.find(text(never)),
              std::string::npos)
        << listing(r);
    EXPECT_FALSE(r.has("index-dangling-entry")) << listing(r);
    EXPECT_FALSE(r.has("index-out-of-order")) << listing(r);
}

TEST(CheckerErrors, WhatIsWrongWithATreeIsListedBeforeWhatIsWrongWithItsEntries) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t root = 0, leaf = 0;
    std::size_t end = 0;
    {
        const auto db = c.open();
        const auto& ri = user_table(db)->real_indexes[0];
        root = ri.root_page;
        leaf = leaves(db, ri).back();
        end = jet::parse_index_page(jet::jet4_format(), db.read_page(leaf), leaf, "").used;
    }
    // The entries are checked while the tree is walked, the tree's own
    // problems are known only at the end of the walk.
    c.poke(leaf, jet::jet4_format().index_page.entries_offset + end - 1, {250});
    c.poke16(root, 2, 17);
    const auto r = c.check();
    expect_finding(r, "index-free-space");
    expect_finding(r, "index-dangling-entry");
    EXPECT_LT(position_of(r, "index-free-space"), position_of(r, "index-dangling-entry"))
        << listing(r);
    EXPECT_LT(position_of(r, "index-dangling-entry"), position_of(r, "index-missing-row"))
        << listing(r);
}

TEST(CheckerErrors, APageWithMoreRowSlotsThanRowNumbers) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    // The data page with the most rows of a table whose first index starts
    // with a Long column, every row plain; it is given 300 slots, all but the
    // first empty rows. Slots from 256 on carry the numbers of slots 0 to 43
    // again.
    std::uint32_t page = 0;
    std::size_t rows = 0;
    std::uint16_t first = 0;
    const jet::TableDef* table = nullptr;
    std::uint32_t leaf = 0;
    std::size_t key_byte = 0;
    {
        const auto db = c.open();
        for (const auto* o : db.catalog().tables(true)) {
            const auto& t = db.table_def(o->table_page());
            if (t.real_indexes.empty()) {
                continue;
            }
            const auto* col = t.column_by_number(t.real_indexes[0].columns[0].number);
            if (col == nullptr || col->column_type() != jet::ColumnType::long_integer) {
                continue;
            }
            for (const auto p : jet::read_usage_map(db.file(), t.owned_map, "t").pages) {
                const auto dp = jet::read_data_page(db.file(), p);
                const bool plain =
                    std::none_of(dp.slots().begin(), dp.slots().end(),
                                 [](const jet::RowSlot& s) { return s.deleted() || s.overflow(); });
                if (plain && dp.slot_count() > rows && dp.slot(0).start > 14 + 2 * 300) {
                    page = p;
                    rows = dp.slot_count();
                    first = dp.slot(0).raw;
                    table = &t;
                }
            }
        }
        ASSERT_NE(page, 0u);
        // The last key byte of the index entry for row 0 of the page.
        for (const auto l : leaves(db, table->real_indexes[0])) {
            const auto buf = db.read_page(l);
            const auto entries = jet::parse_index_page(jet::jet4_format(), buf, l, "").entries;
            const auto ends = entry_ends(buf);
            for (std::size_t i = 0; i < entries.size() && i < ends.size(); ++i) {
                if (entries[i].entry.row == jet::RowPointer{page, 0}) {
                    leaf = l;
                    key_byte = jet::jet4_format().index_page.entries_offset + ends[i] - 5;
                }
            }
        }
        ASSERT_NE(leaf, 0u);
    }
    const auto before = c.check();
    c.poke16(page, 12, 300);
    for (std::size_t i = 1; i < 300; ++i) {
        c.poke16(page, jet::jet4_format().data_page.header_size + 2 * i, first);
    }
    EXPECT_FALSE(c.check().has("index-key-mismatch"));
    // Row 0 keeps the values it decoded to when its empty twin (slot 256)
    // comes along, so a wrong key for it is still found.
    c.poke(leaf, key_byte, {static_cast<std::uint8_t>(c.peek(leaf, key_byte) ^ 0x01)});
    const auto r = c.check();
    expect_finding(r, "too-many-rows");
    expect_finding(r, "index-key-mismatch");
    // A row number met twice is one row: 256 on the page.
    EXPECT_EQ(r.rows, before.rows - rows + 256) << listing(r);
    EXPECT_FALSE(r.has("index-dangling-entry")) << listing(r);
    EXPECT_FALSE(r.has("index-duplicate-row")) << listing(r);
}

// On the table's first page and on its last, which a walk split into page
// ranges meets in another range than the first. (Its stated row count is
// raised, a note: the table then outweighs the others, and only such a
// table is split.)
TEST(CheckerErrors, AWrongFreeSpaceFieldOnADataPage) {
    Copy c("node-adodb/node-adodb@8603041.mdb");
    NEED(c);
    std::vector<std::uint32_t> pages;
    {
        const auto db = c.open();
        const auto* t = user_table(db, [&](const jet::TableDef& d) {
            return jet::read_usage_map(db.file(), d.owned_map, "t").pages.size() >= 3;
        });
        ASSERT_NE(t, nullptr);
        pages = jet::read_usage_map(db.file(), t->owned_map, "t").pages;
        c.poke32(t->page, 16, 1000000);
    }
    for (const std::uint32_t page : {pages.front(), pages.back()}) {
        c.poke16(page, 2,
                 static_cast<std::uint16_t>(
                     jet::le16(jet::PageFile(c.path(), jet::jet4_format()).read(page), 2) + 8));
    }
    const auto r = c.check();
    EXPECT_EQ(std::count_if(r.findings.begin(), r.findings.end(),
                            [](const jet::Finding& f) { return f.code == "data-free-space"; }),
              2)
        << listing(r);
}

TEST(CheckerErrors, ARowWhoseVariableTableRunsOutOfTheRow) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t page = 0;
    std::size_t at = 0;
    {
        const auto db = c.open();
        const auto* t =
            user_table(db, [](const jet::TableDef& td) { return td.var_column_count > 0; });
        ASSERT_NE(t, nullptr);
        std::optional<jet::RowPointer> first;
        db.for_each_row(*t, [&](const jet::RowRef& r) {
            if (!first && r.pointer == r.data) {
                first = r.pointer;
            }
        });
        ASSERT_TRUE(first);
        const auto dp = jet::read_data_page(db.file(), first->page);
        const auto& slot = dp.slot(first->row);
        const auto row = dp.row(first->row);
        const std::size_t mask = (jet::le16(row, 0) + 7u) / 8u;
        page = first->page;
        at = slot.end - mask - 2;  // the row's count of variable columns
    }
    c.poke16(page, at, 0x7FFF);
    const auto r = c.check();
    expect_finding(r, "row-undecodable");
    // The description names the row, though rows are read without one.
    const auto f = std::find_if(r.findings.begin(), r.findings.end(),
                                [](const jet::Finding& x) { return x.code == "row-undecodable"; });
    EXPECT_NE(f->description.find("row at page " + std::to_string(page) + " row "),
              std::string::npos)
        << listing(r);
    EXPECT_NE(f->description.find("of table \""), std::string::npos) << listing(r);
}

// The table's rows are found through its index all the same: the list of its
// pages is rebuilt, and the compaction mends it.
TEST(CheckerErrors, AMapPointerPastTheEndOfTheFile) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t page = 0;
    {
        const auto db = c.open();
        page = user_table(db)->page;
    }
    c.poke(page, 56, {0xF0, 0xFF, 0x00});  // owned-pages map at page 0xFFF0
    expect_finding(c.check(), "owned-map-rebuilt");
}

// A stated length short of the definition's end, or past it over bytes that
// are not zeros, is damage; past it over zeros alone is how a writer leaves a
// table it made without columns (page size - 8): read to its end, and the
// copy states its true length.
TEST(CheckerErrors, ADefinitionStatingAnotherLength) {
    struct Case {
        const char* what;
        bool catalog;
        std::uint32_t length;  // 0: page size - 8
        bool stray_byte;       // a byte past the end that is not zero
        const char* code;
        jet::Severity severity;
    };
    const Case cases[] = {
        {"shorter than the catalog's", true, 100, false, "tdef-length", jet::Severity::error},
        {"zeros to the page's end", false, 0, false, "tdef-length-padded", jet::Severity::note},
        {"a byte past the end", false, 0, true, "tdef-length", jet::Severity::error},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        Copy c("access_parser/test.mdb");
        NEED(c);
        std::uint32_t page = 2;
        std::size_t end = 0;
        if (!k.catalog) {
            const auto db = c.open();
            const auto* t = user_table(db);
            ASSERT_NE(t, nullptr);
            ASSERT_EQ(t->pages.size(), 1u);
            page = t->page;
            end = t->end_offset;
        }
        const std::size_t page_size = jet::jet4_format().page_size;
        if (end != 0) {
            c.poke(page, end, std::vector<std::uint8_t>(page_size - end, 0));
        }
        if (k.stray_byte) {
            c.poke(page, page_size - 100, {0x01});
        }
        c.poke32(page, 8, k.length != 0 ? k.length : static_cast<std::uint32_t>(page_size - 8));
        const auto r = c.check();
        expect_finding(r, k.code, k.severity);
        if (k.severity != jet::Severity::note) {
            continue;
        }
        EXPECT_EQ(severity_of(r, "tdef-free-space"), std::nullopt) << listing(r);
        testsupport::ScratchDir dir;
        const fs::path out = dir.path() / "out.mdb";
        (void)jet::compact(c.path(), out, {});
        const jet::Database copy(out, inspect());
        const auto* def = user_table(copy);
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->declared_length, def->end_offset);
    }
}

TEST(CheckerErrors, AWrongFreeSpaceFieldOnATableDefinition) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    c.poke16(2, 2, 7);
    expect_finding(c.check(), "tdef-free-space");
}

TEST(CheckerErrors, AnAutonumberCounterBehindItsValues) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t page = 0;
    {
        const auto db = c.open();
        const auto* t = user_table(db, [](const jet::TableDef& td) {
            for (const auto& col : td.columns) {
                if (col.flags & jet::kColumnFlagAutoLong) {
                    return true;
                }
            }
            return false;
        });
        if (t == nullptr) {
            GTEST_SKIP() << "no table with an autonumber";
        }
        page = t->page;
    }
    c.poke32(page, 20, 0);
    expect_finding(c.check(), "autonumber-behind");
}

TEST(CheckerErrors, ARelationshipThatIsNotNamedBack) {
    Copy c("format-corpus/database-msaccess-relational.mdb");
    NEED(c);
    std::uint32_t page = 0;
    std::size_t at = 0;
    {
        const auto db = c.open();
        for (const auto* o : db.catalog().tables(false)) {
            const auto& t = db.table_def(o->table_page());
            for (const auto& li : t.logical_indexes) {
                if (li.is_foreign_key() && t.pages.size() == 1) {
                    page = t.page;
                    at = li.block_offset + 13;
                }
            }
        }
        ASSERT_NE(page, 0u) << "no relationship found";
    }
    c.poke32(page, at, 77);
    expect_finding(c.check(), "fk-not-reciprocal");
}

TEST(CheckerErrors, ABrokenSiblingLinkInATwoLevelTree) {
    Copy c("jackcess/testIndexCodes@cc77d55.mdb");
    NEED(c);
    std::uint32_t leaf = 0;
    {
        const auto db = c.open();
        for (const auto* o : db.catalog().tables(false)) {
            for (const auto& ri : db.table_def(o->table_page()).real_indexes) {
                const auto l = leaves(db, ri);
                if (l.size() >= 2) {
                    leaf = l.front();
                }
            }
        }
        ASSERT_NE(leaf, 0u) << "no index with two leaves";
    }
    c.poke32(leaf, 16, 0);  // the first leaf no longer names the next
    expect_finding(c.check(), "index-sibling-link");
}

TEST(CheckerErrors, AnIndexMapThatIsNotItsTree) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t page = 0;
    std::size_t at = 0;
    std::uint32_t owned = 0;
    {
        const auto db = c.open();
        const auto* t = user_table(db);
        page = t->page;
        at = t->real_indexes[0].map_offset();
        owned = t->owned_map.encode();
        ASSERT_EQ(t->pages.size(), 1u);
    }
    c.poke32(page, at, owned);  // the index's map is now the table's owned map
    const auto r = c.check();
    // The map only mirrors the tree, and compaction writes it afresh: the
    // pages it lists are not the index's, nor claimed twice.
    expect_finding(r, "index-map-mismatch");
    EXPECT_FALSE(r.has("page-owned-twice")) << listing(r);
}

TEST(CheckerErrors, TwoColumnsWithOneNumber) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t page = 0;
    std::size_t at = 0;
    std::uint16_t number = 0;
    {
        const auto db = c.open();
        const auto* t = user_table(db);
        ASSERT_GE(t->columns.size(), 2u);
        page = t->page;
        at = t->columns[1].block_offset + 5;
        number = t->columns[0].number;
    }
    c.poke16(page, at, number);
    expect_finding(c.check(), "tdef-columns");
}

TEST(CheckerErrors, AMovedRowPointingAtNothing) {
    Copy c("jackcess/overflowTestV2000.mdb");
    NEED(c);
    std::optional<jet::RowPointer> header;
    std::size_t start = 0;
    {
        const auto db = c.open();
        for (const auto* o : db.catalog().tables(false)) {
            db.for_each_row(db.table_def(o->table_page()), [&](const jet::RowRef& r) {
                if (!header && !(r.pointer == r.data)) {
                    header = r.pointer;
                }
            });
        }
        ASSERT_TRUE(header) << "no moved row";
        start = jet::read_data_page(db.file(), header->page).slot(header->row).start;
    }
    c.poke(header->page, start, {250});  // the target's row number
    expect_finding(c.check(), "overflow-bad-target");
}

TEST(CheckerErrors, TwoCatalogRowsNamingOneTable) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    jet::RowPointer row;
    std::size_t at = 0;
    std::uint32_t other = 0;
    {
        const auto db = c.open();
        const auto& cat = db.table_def(2);
        const auto* id = cat.find_column("Id");
        ASSERT_NE(id, nullptr);
        ASSERT_TRUE(id->is_fixed());
        const auto tables = db.catalog().tables(false);
        ASSERT_FALSE(tables.empty());
        row = tables.front()->row;
        other = 2;  // the catalog's own page
        const auto dp = jet::read_data_page(db.file(), row.page);
        ASSERT_FALSE(dp.slot(row.row).overflow());
        at = dp.slot(row.row).start + 2 + id->fixed_offset;
    }
    c.poke32(row.page, at, other);
    expect_finding(c.check(), "table-named-twice");
}

TEST(CheckerNotes, FreePagesInsideTheFileOnlyMatterInStrictMode) {
    Copy c("format-corpus/database-msaccess-flat.mdb");
    NEED(c);
    EXPECT_FALSE(c.check().has("free-page-inside-file"));
    expect_finding(c.check(true), "free-page-inside-file");
}

TEST(CheckerNotes, PagesPastTheEndMarkedInUseAreAStaleFreeMap) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    jet::RowPointer map;
    std::size_t start = 0;
    std::uint32_t pages = 0;
    {
        const auto db = c.open();
        pages = db.page_count();
        const auto free = jet::read_free_map(db.file());
        ASSERT_GT(free.map.range_end(), pages + 8u);
        map = free.map.location;
        start = jet::read_data_page(db.file(), map.page).slot(map.row).start;
    }
    const std::size_t byte = start + 5 + pages / 8 + 1;  // 8 pages past the end or more
    c.poke(map.page, byte, {0x00});
    const auto r = c.check();
    expect_finding(r, "stale-free-map", jet::Severity::note);
    EXPECT_EQ(r.error_count(), 0u) << listing(r);
}

TEST(CheckerErrors, APageOneThatIsNotTheGlobalMapHolder) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    c.poke32(1, 4, 0);
    expect_finding(c.check(), "global-map-layout");
}

// An inline map may start at any page (other writers than Access do so):
// only the compactor's own output must start at a multiple of 8. A start
// moved without its bitmap names other pages, and that is still found.
TEST(CheckerErrors, AnInlineMapStartingAnywhereReadsTheSame) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    jet::RowPointer map;
    std::size_t at = 0;
    std::vector<std::uint32_t> pages;
    std::size_t capacity = 0;
    std::uint32_t start = 0;
    {
        const auto db = c.open();
        map = user_table(db)->owned_map;
        const auto m = jet::read_usage_map(db.file(), map, "t");
        ASSERT_EQ(m.kind, jet::UsageMap::Kind::inline_map);
        ASSERT_FALSE(m.pages.empty());
        at = jet::read_data_page(db.file(), map.page).slot(map.row).start;
        pages = m.pages;
        capacity = (m.row_length - 5) * 8;
        start = m.start_page;
    }
    // A start that is no multiple of 8 and still covers every page.
    std::uint32_t moved = 0;
    for (std::uint32_t s : {start + 1, start + 3, start > 5 ? start - 5 : 0}) {
        if (s % 8 != 0 && s <= pages.front() && pages.back() - s < capacity) {
            moved = s;
            break;
        }
    }
    ASSERT_NE(moved, 0u);
    std::vector<std::uint8_t> row(capacity / 8 + 5, 0);
    jet::put_le32(row, 1, moved);
    for (const auto p : pages) {
        row[5 + (p - moved) / 8] |= static_cast<std::uint8_t>(1u << ((p - moved) % 8));
    }
    c.poke(map.page, at, row);
    EXPECT_FALSE(c.check().has_errors()) << listing(c.check());
    expect_finding(c.check(true), "map-bad-start");
    // The start moved by one page, its bitmap left as it was.
    jet::put_le32(row, 1, moved + 1);
    c.poke(map.page, at, row);
    EXPECT_TRUE(c.check().has_errors());
}

TEST(CheckerErrors, TheSameKeyTwiceInAUniqueIndex) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t leaf = 0;
    std::size_t at = 0;
    std::vector<std::uint8_t> key;
    {
        const auto db = c.open();
        const auto* t = user_table(db, [](const jet::TableDef& td) {
            for (const auto& ri : td.real_indexes) {
                if (ri.unique()) {
                    return true;
                }
            }
            return false;
        });
        ASSERT_NE(t, nullptr);
        for (const auto& ri : t->real_indexes) {
            if (!ri.unique() || leaf != 0) {
                continue;
            }
            for (const auto l : leaves(db, ri)) {
                const auto p = jet::parse_index_page(jet::jet4_format(), db.read_page(l), l, "");
                if (p.prefix_length != 0) {
                    continue;
                }
                // Two neighbours whose rows are in ascending order and whose
                // keys have one length: copying the first key over the second
                // keeps the order and makes the keys equal.
                std::size_t offset = 0;
                for (std::size_t i = 0; i + 1 < p.entries.size() && leaf == 0; ++i) {
                    const auto& a = p.entries[i].entry;
                    const auto& b = p.entries[i + 1].entry;
                    const std::size_t a_len = a.key.size() + 4;
                    if (a.key.size() == b.key.size() && a.row < b.row) {
                        leaf = l;
                        at = jet::jet4_format().index_page.entries_offset + offset + a_len;
                        key = a.key;
                    }
                    offset += a_len;
                }
            }
        }
        if (leaf == 0) {
            GTEST_SKIP() << "no two neighbouring entries in row order";
        }
    }
    c.poke(leaf, at, key);
    expect_finding(c.check(), "index-unique-violation");
}

TEST(CheckerErrors, AnEncodedPageThatDecodesToNoKnownType) {
    Copy c("jackcessencrypt/db-enc.mdb");
    NEED(c);
    std::uint32_t key = 0, pages = 0;
    jet::RowPointer map;
    std::size_t start = 0;
    {
        const auto db = c.open();
        key = db.header().encoding_key;
        ASSERT_NE(key, 0u);
        pages = db.page_count();
        map = jet::read_free_map(db.file()).map.location;
        ASSERT_EQ(map.page, 1u);
        start = jet::read_data_page(db.file(), 1).slot(map.row).start;
    }
    // A new last page whose type byte decodes to 0x77, marked in use.
    jet::PageBuf page = jet::blank_page(jet::jet4_format());
    page[0] = 0x77;
    jet::apply_page_codec(key, pages, page);
    c.append_zero_page();
    c.poke(pages, 0, std::vector<std::uint8_t>(page.begin(), page.end()));
    jet::PageBuf one = jet::PageFile(c.path(), jet::jet4_format()).read(1);
    jet::apply_page_codec(key, 1, one);  // decoded
    const std::size_t byte = start + 5 + pages / 8;
    one[byte] = static_cast<std::uint8_t>(one[byte] & ~(1u << (pages % 8)));
    jet::apply_page_codec(key, 1, one);  // encoded again
    c.poke(1, 0, std::vector<std::uint8_t>(one.begin(), one.end()));
    const auto r = c.check();
    expect_finding(r, "page-unknown-type");
    expect_finding(r, "orphan-page", jet::Severity::note);
}

TEST(CheckerErrors, ManyFindingsOfOneKindAreSummedUp) {
    Copy c("jackcess/testIndexCodes@cc77d55.mdb");
    NEED(c);
    std::vector<std::uint32_t> pages;
    {
        const auto db = c.open();
        for (const auto* o : db.catalog().tables(true)) {
            for (const auto& ri : db.table_def(o->table_page()).real_indexes) {
                for (const auto l : leaves(db, ri)) {
                    pages.push_back(l);
                }
            }
        }
    }
    ASSERT_GT(pages.size(), 50u);
    for (const auto p : pages) {
        c.poke16(p, 2, 1);
    }
    const auto r = c.check();
    std::size_t listed = 0;
    bool summary = false;
    for (const auto& f : r.findings) {
        if (f.code == "index-free-space") {
            ++listed;
            summary = summary || f.description.find("further findings") != std::string::npos;
        }
    }
    EXPECT_EQ(listed, 41u);  // 40 listed, one line for the rest
    EXPECT_TRUE(summary) << listing(r);
}

TEST(CheckerErrors, ACatalogThatCannotBeReadIsReportedNotThrown) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    c.poke(2, 0, {0x01});  // page 2 must define the catalog
    const auto r = c.check();
    expect_finding(r, "catalog-undecodable");
    EXPECT_NE(r.findings.front().description.find("page 2"), std::string::npos) << listing(r);
}

// A table whose definition page holds something else while its rows are
// still on pages in use: the definition was lost, not the table dropped.
TEST(CheckerErrors, AUserTableWhoseDefinitionIsGoneWhileItsRowsAreNotIsLost) {
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t page = 0;
    {
        const auto db = c.open();
        page = user_table(db)->page;
    }
    c.poke(page, 0, {0x09});
    const auto r = c.check();
    expect_finding(r, "tdef-lost");
    EXPECT_FALSE(r.has("stale-id")) << listing(r);
}

// A catalog row naming a page that holds no table definition is a stale Id:
// the page is claimed by nothing, not by the table the row once named, and
// reading the table names the page.
TEST(CheckerErrors, ACatalogIdNamingNoDefinitionIsAStaleIdThatOwnsNothing) {
    struct Case {
        const char* what;
        // Damages `c` so that the catalog row of `t` names a page of no
        // definition; returns that page.
        std::uint32_t (*damage)(Copy& c, const jet::Database& db, const jet::TableDef& t);
        // Whether the table's rows are left on pages in use, naming a
        // definition nothing names now.
        bool rows_left;
    };
    static const Case cases[] = {
        {"the definition page overwritten, its rows gone",
         [](Copy& c, const jet::Database& db, const jet::TableDef& t) {
             c.poke(t.page, 0, {0x09});
             for (const auto p : jet::read_usage_map(db.file(), t.owned_map, "").pages) {
                 c.poke(p, 0, std::vector<std::uint8_t>(jet::jet4_format().page_size));
             }
             return t.page;
         },
         false},
        {"the Id changed to one of the table's data pages",
         [](Copy& c, const jet::Database& db, const jet::TableDef& t) {
             const std::uint32_t data = jet::read_usage_map(db.file(), t.owned_map, "").pages[0];
             const jet::CatalogObject* row = db.catalog().find_table(t.name_hint);
             const jet::Column* id = db.table_def(jet::kCatalogPage).find_column("Id");
             const jet::DataPage page = jet::read_data_page(db.file(), row->row.page);
             c.poke32(row->row.page, page.slot(row->row.row).start + 2 + id->fixed_offset, data);
             return data;
         },
         true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Copy c("access_parser/test.mdb");
        NEED(c);
        std::string name;
        std::uint32_t stale = 0;
        {
            const auto db = c.open();
            const jet::TableDef* t = user_table(db);
            ASSERT_NE(t, nullptr);
            name = t->name_hint;
            stale = k.damage(c, db, *t);
        }
        const auto db = c.open();
        jet::CheckOptions o;
        o.page_owners = true;
        const auto r = jet::check(db, o);
        expect_finding(r, "stale-id", jet::Severity::note);
        EXPECT_FALSE(r.has("page-owned-twice")) << listing(r);
        EXPECT_EQ(r.has("table-unnamed"), k.rows_left) << listing(r);
        for (const auto& owner : r.owners) {
            EXPECT_NE(owner.page, stale) << "claimed as " << jet::page_role_name(owner.role);
        }
        try {
            (void)db.table(name);
            ADD_FAILURE() << "a page of no definition read as one";
        } catch (const jet::Error& e) {
            EXPECT_EQ(e.kind(), jet::ErrorKind::damaged);
            EXPECT_NE(std::string(e.what()).find("page " + std::to_string(stale)),
                      std::string::npos)
                << e.what();
        }
    }
}

// An .accdb whose complex column names a flat table that is not there: the
// tie is noted as a stale Id, as Ids left in the other system tables are.
TEST(CheckerErrors, AComplexColumnNamingNoTableIsAStaleId) {
    Copy c("jackcess/ace/complexDataTestV2010.accdb");
    NEED(c);
    jet::RowPointer at;
    std::size_t offset = 0;
    {
        const auto db = c.open();
        const auto& t = db.table("MSysComplexColumns");
        const jet::Column* flat = t.find_column("FlatTableID");
        ASSERT_NE(flat, nullptr);
        db.for_each_row(t, [&](const jet::RowRef& r) { at = r.data; });
        const jet::DataPage page(jet::jet4_format(), db.read_page(at.page), at.page, "");
        offset = page.slot(at.row).start + 2 + flat->fixed_offset;
    }
    EXPECT_EQ(listing(c.check()).find("MSysComplexColumns"), std::string::npos);
    c.poke32(at.page, offset, 0x00FFFF00u);  // names no page of the file
    const auto r = c.check();
    expect_finding(r, "stale-id", jet::Severity::note);
    EXPECT_NE(listing(r).find("MSysComplexColumns.FlatTableID"), std::string::npos) << listing(r);
}

// Long values: the corpus file with the most chained memo values.
struct LongValueSite {
    std::uint32_t page = 0;      // the row's page
    std::size_t descriptor = 0;  // in-page offset of the descriptor
    jet::LongValueDescriptor d;
};

std::optional<LongValueSite> find_long_value(const jet::Database& db, std::uint8_t kind,
                                             std::size_t min_rows = 1) {
    for (const auto* o : db.catalog().tables(true)) {
        const auto& t = db.table_def(o->table_page());
        std::optional<LongValueSite> found;
        db.for_each_row(t, [&](const jet::RowRef& r) {
            if (found || !(r.pointer == r.data)) {
                return;
            }
            const auto layout = jet::parse_row_layout(t, r.bytes, "test");
            for (const auto& col : t.columns) {
                if (!col.is_long_value()) {
                    continue;
                }
                const auto span = jet::locate_column(col, layout, r.bytes, "test");
                if (!span) {
                    continue;
                }
                const auto d = jet::LongValueDescriptor::parse(r.bytes.subspan(span->offset), "t");
                if (d.kind != kind) {
                    continue;
                }
                if (jet::long_value_rows(db.file(), d, "t").size() < min_rows) {
                    continue;
                }
                const auto dp = jet::read_data_page(db.file(), r.pointer.page);
                found =
                    LongValueSite{r.pointer.page, dp.slot(r.pointer.row).start + span->offset, d};
                return;
            }
        });
        if (found) {
            return found;
        }
    }
    return std::nullopt;
}

std::optional<std::string> file_with_long_value(std::uint8_t kind, std::size_t min_rows) {
    for (const auto& f : testsupport::corpus_files("jet4")) {
        jet::Database db(f.path, inspect());
        if (db.header().encoding_key == 0 && find_long_value(db, kind, min_rows)) {
            return f.name;
        }
    }
    return std::nullopt;
}

TEST(CheckerLongValues, AChainThatComesBackToItself) {
    const auto name = file_with_long_value(0x00, 2);
    if (!name) {
        GTEST_SKIP() << "no chained long value in the corpus";
    }
    Copy c(*name);
    std::uint32_t last_page = 0;
    std::size_t last_at = 0;
    jet::RowPointer first;
    {
        const auto db = c.open();
        const auto site = find_long_value(db, 0x00, 2);
        first = site->d.first;
        const auto rows = jet::long_value_rows(db.file(), site->d, "t");
        const auto dp = jet::read_data_page(db.file(), rows.back().page);
        last_page = rows.back().page;
        last_at = dp.slot(rows.back().row).start;
    }
    // The last chunk's link (0) now leads back to the first chunk.
    c.poke(
        last_page, last_at,
        {first.row, static_cast<std::uint8_t>(first.page),
         static_cast<std::uint8_t>(first.page >> 8), static_cast<std::uint8_t>(first.page >> 16)});
    const auto r = c.check();
    expect_finding(r, "lv-chain-loop");
}

TEST(CheckerLongValues, ASingleRowValueWithTheWrongLength) {
    const auto name = file_with_long_value(0x40, 1);
    if (!name) {
        GTEST_SKIP() << "no single-row long value in the corpus";
    }
    Copy c(*name);
    LongValueSite site;
    {
        const auto db = c.open();
        site = *find_long_value(db, 0x40);
    }
    c.poke(site.page, site.descriptor,
           {static_cast<std::uint8_t>(c.peek(site.page, site.descriptor) ^ 0x01)});
    expect_finding(c.check(), "lv-length");
}

TEST(CheckerLongValues, AnUnknownDescriptorKind) {
    const auto name = file_with_long_value(0x40, 1);
    if (!name) {
        GTEST_SKIP() << "no single-row long value in the corpus";
    }
    Copy c(*name);
    LongValueSite site;
    {
        const auto db = c.open();
        site = *find_long_value(db, 0x40);
    }
    c.poke(site.page, site.descriptor + 3, {0x11});
    expect_finding(c.check(), "lv-bad-descriptor");
}

TEST(CheckerLongValues, TwoValuesSharingOneRow) {
    const auto name = file_with_long_value(0x40, 1);
    if (!name) {
        GTEST_SKIP() << "no single-row long value in the corpus";
    }
    Copy c(*name);
    std::optional<std::pair<LongValueSite, LongValueSite>> pair;
    {
        const auto db = c.open();
        // Two single-row values: point the second at the first's row. Of
        // two tables where the file has them: the second's table does not
        // claim the first's page then, as its value is lost.
        std::vector<std::pair<LongValueSite, std::uint32_t>> sites;  // and its table
        for (const auto* o : db.catalog().tables(true)) {
            const auto& t = db.table_def(o->table_page());
            db.for_each_row(t, [&](const jet::RowRef& r) {
                if (!(r.pointer == r.data)) {
                    return;
                }
                const auto layout = jet::parse_row_layout(t, r.bytes, "t");
                for (const auto& col : t.columns) {
                    const auto span = col.is_long_value()
                                          ? jet::locate_column(col, layout, r.bytes, "t")
                                          : std::nullopt;
                    if (!span) {
                        continue;
                    }
                    const auto d =
                        jet::LongValueDescriptor::parse(r.bytes.subspan(span->offset), "t");
                    if (d.kind == 0x40) {
                        const auto dp = jet::read_data_page(db.file(), r.pointer.page);
                        sites.push_back(
                            {{r.pointer.page, dp.slot(r.pointer.row).start + span->offset, d},
                             o->table_page()});
                    }
                }
            });
        }
        for (const bool apart : {true, false}) {
            for (std::size_t i = 0; i < sites.size() && !pair; ++i) {
                for (std::size_t k = i + 1; k < sites.size() && !pair; ++k) {
                    if (!(sites[i].first.d.first == sites[k].first.d.first) &&
                        (!apart || sites[i].second != sites[k].second)) {
                        pair = std::make_pair(sites[i].first, sites[k].first);
                    }
                }
            }
        }
    }
    if (!pair) {
        GTEST_SKIP() << "no two single-row values in one file";
    }
    const auto f = pair->first.d.first;
    c.poke(pair->second.page, pair->second.descriptor + 4,
           {f.row, static_cast<std::uint8_t>(f.page), static_cast<std::uint8_t>(f.page >> 8),
            static_cast<std::uint8_t>(f.page >> 16)});
    const auto r = c.check();
    expect_finding(r, "lv-row-shared");
    EXPECT_FALSE(r.has("page-owned-twice")) << listing(r);
    EXPECT_TRUE(jet::salvage_gets_past(r)) << listing(r);
}

TEST(CheckerErrors, EveryHeaderAndMaskByteOfAnIndexPageIsChecked) {
    // Each byte of the first index root's header and entry mask set to 0xFF,
    // one at a time: the checker reports it and goes on. Bytes 8-11 and 26
    // carry nothing the format relies on.
    Copy c("access_parser/test.mdb");
    NEED(c);
    std::uint32_t root = 0;
    {
        const auto db = c.open();
        root = user_table(db)->real_indexes[0].root_page;
    }
    for (std::size_t off = 0; off < jet::jet4_format().index_page.entries_offset; off += 3) {
        const std::uint8_t old = c.peek(root, off);
        if (old == 0xFF || (off >= 8 && off < 12) || off == 26) {
            continue;
        }
        c.poke(root, off, {0xFF});
        EXPECT_TRUE(c.check().has_errors()) << "offset " << off;
        c.poke(root, off, {old});
    }
    EXPECT_EQ(c.check().error_count(), 0u);
}

// One field of a table definition or a pointer changed; each case names the
// finding it must produce.
struct Poke {
    std::uint32_t page = 0;
    std::size_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> le32_bytes(std::uint32_t v) {
    std::vector<std::uint8_t> b(4);
    jet::put_le32(b, 0, v);
    return b;
}

struct FieldCase {
    const char* code;
    const char* file;
    std::function<std::optional<Poke>(const jet::Database&)> where;
};

TEST(CheckerErrors, DefinitionFieldsAndPointersEachHaveTheirFinding) {
    const std::vector<FieldCase> cases = {
        {"tdef-magic", "access_parser/test.mdb",
         [](const jet::Database& db) -> std::optional<Poke> {
             return Poke{user_table(db)->page, 12, le32_bytes(1626)};
         }},
        {"tdef-logical-index", "access_parser/test.mdb",
         [](const jet::Database& db) -> std::optional<Poke> {
             const auto* t = user_table(db);
             return Poke{t->page, t->logical_indexes.at(0).block_offset + 8, le32_bytes(99)};
         }},
        {"tdef-index-column", "access_parser/test.mdb",
         [](const jet::Database& db) -> std::optional<Poke> {
             const auto* t = user_table(db);
             return Poke{t->page, t->real_indexes.at(0).block_offset + 4, {0x00, 0x03}};
         }},
        {"fk-dangling", "format-corpus/database-msaccess-relational.mdb",
         [](const jet::Database& db) -> std::optional<Poke> {
             for (const auto* o : db.catalog().tables(false)) {
                 const auto& t = db.table_def(o->table_page());
                 for (const auto& li : t.logical_indexes) {
                     if (li.is_foreign_key() && t.pages.size() == 1) {
                         return Poke{t.page, li.rel_table_page_offset(), le32_bytes(1)};
                     }
                 }
             }
             return std::nullopt;
         }},
        {"lv-map-mismatch", "access_parser/test.mdb",
         [](const jet::Database& db) -> std::optional<Poke> {
             for (const auto* o : db.catalog().tables(true)) {
                 const auto& t = db.table_def(o->table_page());
                 if (!t.long_value_maps.empty() && t.pages.size() == 1) {
                     // row 200 of the holder page
                     return Poke{t.page, t.long_value_maps[0].owned_offset(), {200}};
                 }
             }
             return std::nullopt;
         }},
        {"free-map-not-owned", "access_parser/test.mdb",
         [](const jet::Database& db) -> std::optional<Poke> {
             const auto* t = user_table(db);
             // The free-space map now names the index's pages.
             return Poke{t->page, 59, le32_bytes(t->real_indexes.at(0).map.encode())};
         }},
        {"lv-not-lval-page", "",
         [](const jet::Database& db) -> std::optional<Poke> {
             const auto site = find_long_value(db, 0x40);
             if (!site) {
                 return std::nullopt;
             }
             // The value's row pointer now names row 0 of page 2 (a definition).
             return Poke{site->page, site->descriptor + 4, {0, 2, 0, 0}};
         }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.code);
        std::string file = k.file;
        if (file.empty()) {
            const auto name = file_with_long_value(0x40, 1);
            if (!name) {
                continue;
            }
            file = *name;
        }
        Copy c(file);
        NEED(c);
        std::optional<Poke> poke;
        {
            const auto db = c.open();
            poke = k.where(db);
        }
        ASSERT_TRUE(poke.has_value()) << "nothing to change in " << file;
        c.poke(poke->page, poke->offset, poke->bytes);
        expect_finding(c.check(), k.code);
    }
}

// ---------------------------------------------------------------- bookkeeping

using jet::check_detail::Claim;
using jet::check_detail::PageClaims;

std::vector<std::pair<std::uint32_t, std::vector<Claim>>> all_claims(const PageClaims& c) {
    std::vector<std::pair<std::uint32_t, std::vector<Claim>>> out;
    c.for_each([&](std::uint32_t page, const std::vector<Claim>& claims) {
        out.emplace_back(page, claims);
    });
    return out;
}

TEST(CheckerBookkeeping, PageClaimsKeepEveryOwnerInOrderInsideAndPastTheFile) {
    using jet::PageRole;
    PageClaims c(10);
    const Claim data5{PageRole::table_data, 5}, index5{PageRole::index, 5},
        lv7{PageRole::long_value, 7}, global{PageRole::global_map, 0};
    c.add(3, data5);
    c.add(3, data5);
    c.add(3, index5);
    c.add(3, data5);  // a claim the page has, made again after another
    c.add(3, lv7);
    c.add(3, index5);
    c.add(1, global);
    c.add(12, index5);  // past the end: the side map holds all its claims
    c.add(12, index5);
    c.add(11, lv7);
    c.add(9, data5);
    c.add(0, Claim{PageRole::header, 0});

    using Row = std::pair<std::uint32_t, std::vector<Claim>>;
    const std::vector<Row> want{{0, {Claim{PageRole::header, 0}}},
                                {1, {global}},
                                {3, {data5, index5, lv7}},
                                {9, {data5}},
                                {11, {lv7}},
                                {12, {index5}}};
    EXPECT_EQ(all_claims(c), want);
    for (std::uint32_t p = 0; p < 14; ++p) {
        const bool claimed = p == 0 || p == 1 || p == 3 || p == 9 || p == 11 || p == 12;
        EXPECT_EQ(c.claimed(p), claimed) << "page " << p;
    }
}

TEST(CheckerBookkeeping, EachLongValueRowCountsAsUsedOnce) {
    const auto dir = testsupport::corpus_dir();
    if (!dir) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    const jet::Database db(*dir / "access_parser/test.mdb", inspect());
    jet::CheckReport report;
    jet::check_detail::Context cx(db, {}, report);
    const std::uint32_t last = db.page_count() - 1;
    // The first use of a row is fresh, every later one is not; rows are told
    // apart by page and by every bit of the row number.
    for (const int n : {0, 1, 63, 64, 127, 128, 200, 255}) {
        const jet::RowPointer row{5, static_cast<std::uint8_t>(n)};
        EXPECT_TRUE(cx.use_long_value_row(row)) << n;
        EXPECT_FALSE(cx.use_long_value_row(row)) << n;
    }
    EXPECT_TRUE(cx.use_long_value_row({last, 0}));
    EXPECT_TRUE(cx.use_long_value_row({6, 255}));
    EXPECT_TRUE(cx.use_long_value_row({5, 2}));
    EXPECT_FALSE(cx.use_long_value_row({5, 0}));
    EXPECT_FALSE(cx.use_long_value_row({last, 0}));
    EXPECT_FALSE(cx.use_long_value_row({6, 255}));
}

}  // namespace
