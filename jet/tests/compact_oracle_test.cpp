// Every Jet 4 corpus file and its compacted copy, read by two independent
// readers: Debian's mdbtools (mdb-tables, mdb-export of every table with the
// system tables, mdb-schema, mdb-prop) and npm's mdb-reader (every table,
// password, creation date). Both must read the same before and after, and
// print nothing on stderr that they did not print for the source already
// (mdb-prop's stderr excepted: it is random from run to run, see below).
//
// Rows are compared as multisets. Table Ids move with their tables, so in the
// columns that hold them (MSysObjects.Id, MSysACEs.ObjectId, the MSysNavPane
// ids) a value naming a table is compared as that table's name, a value
// naming another catalog object as itself, and a value naming nothing (left
// behind by a deleted object) as "stale".

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "jet/check/checker.h"
#include "jet/compact/compact.h"
#include "jet/compact/compactor.h"
#include "jet/compact/salvage.h"
#include "jet/format/bytes.h"
#include "jet/format/data_page.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/export.h"
#include "jet/format/index_key.h"
#include "jet/format/index_page.h"
#include "jet/format/index_tree.h"
#include "jet/format/key_encoder.h"
#include "jet/format/long_value.h"
#include "jet/format/page_file.h"
#include "jet/format/rc4.h"
#include "jet/format/row.h"
#include "jet/format/table_def.h"
#include "jet/format/usage_map.h"
#include "mdbtools_oracle.h"
#include "run_process.h"
#include "testsupport/corpus.h"

namespace {

// Options that open a file with its password (if any) and give the copy the same.
jet::CompactOptions keeping_password(const std::string& password) {
    jet::CompactOptions o;
    if (!password.empty()) {
        o.source_password = password;
        o.destination_password = password;
    }
    return o;
}

namespace fs = std::filesystem;
using jettest::run_process;

// Whether two files hold the same bytes, all of them.
bool same_bytes(const fs::path& x, const fs::path& y) {
    std::ifstream a(x, std::ios::binary);
    std::ifstream b(y, std::ios::binary);
    return std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b), {});
}

using jettest::Blind;
using jettest::blind_to;
using jettest::calculated_memos;
using jettest::canonical_rows;
using jettest::Export;
using jettest::kField;
using jettest::mdb_export;
using jettest::read_catalog;
using jettest::split;
using Catalog = jettest::IdCatalog;

void expect_blind_columns_alike(const fs::path& source, const fs::path& output,
                                const Blind& blind) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database a(source, o);
    const jet::Database b(output, o);
    for (const auto& [table, columns] : blind) {
        auto values = [&](const jet::Database& db) {
            const jet::TableDef& def = db.table(table);
            std::vector<std::string> out;
            for (const auto& row : db.read_rows(def)) {
                std::string line;
                for (std::size_t i = 0; i < def.columns.size(); ++i) {
                    if (columns.count(def.columns[i].name) != 0) {
                        line += jet::format_value(row[i]) + kField;
                    }
                }
                out.push_back(line);
            }
            std::sort(out.begin(), out.end());
            return out;
        };
        EXPECT_EQ(values(a), values(b)) << "the values of " << table << " the oracles miss differ";
    }
}

// mdb-reader's rows through scripts/oracle/dump.mjs, per table.
std::map<std::string, std::vector<std::string>> mdb_reader_rows(
    const fs::path& oracle, const fs::path& file, const std::string& password, const Catalog& cat,
    std::string& err, const Blind& blind = {}) {
    std::vector<std::string> argv{"node", (oracle / "dump.mjs").string(), file.string()};
    if (!password.empty()) {
        argv.push_back(password);
    }
    const auto r = run_process(argv);
    err = r.err;
    std::map<std::string, std::vector<std::string>> tables;
    std::string table;
    std::vector<std::string> columns;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        auto f = split(line, '\t');
        if (f.empty()) {
            continue;
        }
        if (f[0] == "T") {
            table = f.size() > 1 ? f[1] : "";
            tables[table];
        } else if (f[0] == "C") {
            columns.assign(f.begin() + 1, f.end());
        } else if (f[0] == "E") {
            tables[table].push_back(line);
        } else if (f[0] == "R") {
            std::string row;
            for (std::size_t i = 1; i < f.size(); ++i) {
                const bool id = i - 1 < columns.size() && jet::is_id_column(table, columns[i - 1]);
                if (i - 1 < columns.size() && blind_to(blind, table, columns[i - 1])) {
                    row += "(not compared)\t";
                    continue;
                }
                row +=
                    id && f[i].size() > 1 && f[i][0] == 'n' ? cat.canonical(f[i].substr(1)) : f[i];
                row += '\t';
            }
            tables[table].push_back(row);
        }
    }
    for (auto& [name, rows] : tables) {
        std::sort(rows.begin(), rows.end());
    }
    return tables;
}

// The lines of `text` sorted; with `by_blank_line`, its blocks between blank
// lines (mdb-schema's tables).
std::vector<std::string> sorted_parts(const std::string& text, bool by_blank_line = false) {
    std::vector<std::string> parts;
    if (by_blank_line) {
        std::size_t at = 0;
        while (at < text.size()) {
            const auto end = text.find("\n\n", at);
            parts.push_back(text.substr(at, end == std::string::npos ? end : end - at));
            at = end == std::string::npos ? text.size() : end + 2;
        }
    } else {
        parts = split(text, '\n');
    }
    std::sort(parts.begin(), parts.end());
    return parts;
}

// Expects mdbtools and mdb-reader (where `oracle` names its folder) to read
// `output` as they read `source`, and to print nothing new on stderr.
// `catalog_order`: the tables are listed in the same order too. (The copy
// keeps the catalog's rows in their order, a moved row where the catalog
// holds it; mdbtools lists a moved row where its bytes were moved to. The
// ACE files of the corpus have such rows in their catalogs.)
void expect_read_alike(const fs::path& source, const fs::path& output, const std::string& password,
                       const fs::path& oracle, const char* source_dir, bool catalog_order = true) {
    const bool have_node = !oracle.empty();
    const fs::path& out = output;
    const auto tables_a = run_process({"mdb-tables", "-S", "-1", source.string()});
    const auto tables_b = run_process({"mdb-tables", "-S", "-1", out.string()});
    if (catalog_order) {
        EXPECT_EQ(tables_a.out, tables_b.out);
    } else {
        EXPECT_EQ(sorted_parts(tables_a.out), sorted_parts(tables_b.out));
    }
    EXPECT_EQ(tables_a.err, tables_b.err);
    const Catalog cat_a = read_catalog(source);
    const Catalog cat_b = read_catalog(out);
    Blind blind;
    Blind short_rows;
    if (password.empty()) {
        blind = calculated_memos(source);
        short_rows = jettest::read_past_short_rows(source);
        jettest::add_blind(blind, short_rows);
    }
    expect_blind_columns_alike(source, output, blind);
    for (const auto& table : split(tables_a.out, '\n')) {
        SCOPED_TRACE(table);
        const Export a = mdb_export(source, table);
        const Export b = mdb_export(out, table);
        EXPECT_EQ(a.columns, b.columns);
        EXPECT_EQ(a.err, b.err) << "mdb-export printed something new on stderr";
        EXPECT_EQ(a.rows.size(), b.rows.size());
        EXPECT_TRUE(canonical_rows(a, table, cat_a, blind) ==
                    canonical_rows(b, table, cat_b, blind))
            << "mdb-export reads different rows";
        if (const auto it = short_rows.find(table); it != short_rows.end()) {
            EXPECT_TRUE(jettest::nulls_read_alike(source, b, table, it->second))
                << "mdb-export reads values where the source's rows hold none";
        }
        if (table.rfind("MSys", 0) == 0) {
            continue;  // mdb-prop misreads system objects (stray offsets) in several files
        }
        const auto prop_a = run_process({"mdb-prop", source.string(), table});
        const auto prop_b = run_process({"mdb-prop", out.string(), table});
        EXPECT_EQ(prop_a.out, prop_b.out);
        // Its stderr is not compared: for some objects mdb-prop reads stray
        // bytes and prints "Unhandled ole field flags = <random>" or
        // "offset N is beyond EOF" at random from run to run, on the
        // untouched corpus file as well.
    }
    EXPECT_TRUE(jettest::query_parts(source) == jettest::query_parts(out))
        << "the parts of a saved query in MSysQueries come out in another order";
    const auto db_prop_a = run_process({"mdb-prop", source.string(), "MSysDb"});
    const auto db_prop_b = run_process({"mdb-prop", out.string(), "MSysDb"});
    EXPECT_EQ(db_prop_a.out, db_prop_b.out);
    const auto schema_a = run_process({"mdb-schema", source.string()});
    const auto schema_b = run_process({"mdb-schema", out.string()});
    if (catalog_order) {
        EXPECT_EQ(schema_a.out, schema_b.out);
    } else {
        EXPECT_EQ(sorted_parts(schema_a.out, true), sorted_parts(schema_b.out, true));
    }
    EXPECT_EQ(schema_a.err, schema_b.err);

    if (have_node) {
        std::string err_a;
        std::string err_b;
        auto rows_a = mdb_reader_rows(oracle, source, password, cat_a, err_a, blind);
        auto rows_b = mdb_reader_rows(oracle, out, password, cat_b, err_b, blind);
        EXPECT_EQ(err_a, err_b);
        // A table mdb-reader cannot read in the source (it follows a page
        // number off the file) but reads in the copy is left to mdbtools;
        // one it cannot read in either must fail alike.
        const auto unread = [](const std::vector<std::string>& rows) {
            return std::any_of(rows.begin(), rows.end(),
                               [](const std::string& r) { return r.rfind("E\t", 0) == 0; });
        };
        for (auto it = rows_a.begin(); it != rows_a.end();) {
            const auto copy = rows_b.find(it->first);
            if (unread(it->second) && copy != rows_b.end() && !unread(copy->second)) {
                std::cout << "mdb-reader reads table " << it->first << " in the copy only\n";
                rows_b.erase(copy);
                it = rows_a.erase(it);
            } else {
                ++it;
            }
        }
        EXPECT_TRUE(rows_a == rows_b) << "mdb-reader reads different rows";
        const fs::path meta = fs::path(source_dir) / "jet/tests/compact_meta.mjs";
        std::vector<std::string> args_a{"node", meta.string(), oracle.string(), source.string()};
        std::vector<std::string> args_b{"node", meta.string(), oracle.string(), out.string()};
        if (!password.empty()) {
            args_a.push_back(password);
            args_b.push_back(password);
        }
        const auto meta_a = run_process(args_a);
        const auto meta_b = run_process(args_b);
        EXPECT_EQ(meta_a.exit_code, 0) << meta_a.err;
        EXPECT_EQ(meta_a.out, meta_b.out) << "password or creation date changed";
        if (!password.empty()) {
            EXPECT_NE(meta_b.out.find("\"password\":\"" + password + "\""), std::string::npos)
                << meta_b.out;
        }
    }
}

// The npm oracle's folder, or nothing when node or its packages are missing.
fs::path npm_oracle() {
    const char* source_dir = std::getenv("TARNWICK_SOURCE_DIR");
    const bool have_node = source_dir != nullptr && jettest::in_path("node") &&
                           fs::exists(fs::path(source_dir) / "scripts/oracle/node_modules");
    return have_node ? fs::path(source_dir) / "scripts/oracle" : fs::path();
}

// Needs the corpus and mdbtools; mdb-reader where node and its packages are there.
class CompactOracles : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testsupport::corpus_dir()) {
            GTEST_SKIP() << "the corpus is not available here";
        }
        if (!jettest::in_path("mdb-export")) {
            GTEST_SKIP() << "mdbtools is not installed";
        }
    }
    const char* source_dir = std::getenv("TARNWICK_SOURCE_DIR");
    const fs::path oracle = npm_oracle();
};

TEST_F(CompactOracles, MdbtoolsAndMdbReaderReadTheSameBeforeAndAfter) {
    testsupport::ScratchDir dir;
    int n = 0;
    for (const auto& f : testsupport::corpus_files("jet4")) {
        SCOPED_TRACE(f.name);
        const fs::path out = dir.path() / (std::to_string(n++) + ".mdb");
        const jet::CompactOptions o = keeping_password(f.password);
        // A copy: a compaction locks its source, and other tests may be
        // compacting the same corpus file at this moment.
        const fs::path src = testsupport::copy_to_scratch(f.path, dir.path());
        ASSERT_NO_THROW(jet::compact(src, out, o));

        expect_read_alike(f.path, out, f.password, oracle, source_dir);
        fs::remove(out);
        fs::remove(src);
    }
}

// Access 2007 and later (.accdb): every unencrypted file of the corpus reads
// alike in both readers before and after (attachments, multi-valued and
// calculated columns included), never grows, and compacts to a fixed point.
TEST_F(CompactOracles, AccdbFilesReadTheSameAfterCompactionAndCompactToAFixedPoint) {
    testsupport::ScratchDir dir;
    std::size_t done = 0;
    for (const auto& f : testsupport::corpus_files()) {
        if (f.format.rfind("ace", 0) != 0 || !f.password.empty()) {
            continue;  // the ones with a password are encrypted: the test below
        }
        SCOPED_TRACE(f.name);
        const fs::path once = dir.path() / "once.accdb";
        const fs::path twice = dir.path() / "twice.accdb";
        fs::remove(once);
        fs::remove(twice);
        const fs::path src = testsupport::copy_to_scratch(f.path, dir.path());
        ASSERT_NO_THROW(jet::compact(src, once, {}));
        fs::remove(src);
        EXPECT_LE(fs::file_size(once), fs::file_size(f.path));
        expect_read_alike(f.path, once, "", oracle, source_dir, false);
        ASSERT_NO_THROW(jet::compact(once, twice, {}));
        EXPECT_TRUE(same_bytes(once, twice)) << "a second compaction changed the copy";
        ++done;
    }
    EXPECT_GE(done, 39u);
}

// Access 97 files of the corpus and the sweep: the copy, an Access 97 file
// still, reads alike in mdbtools and mdb-reader (every table, its password
// and creation date), never grows, and compacts to a fixed point. Tables are
// compared in any order: several of these catalogs hold moved rows, which
// mdbtools lists where their bytes were moved to.
TEST_F(CompactOracles, Access97FilesReadTheSameInBothReadersAfterCompaction) {
    std::vector<testsupport::CorpusFile> files = testsupport::corpus_files("jet3");
    for (const auto& f : testsupport::sweep_files()) {
        if (f.format == "jet3") {
            files.push_back(f);
        }
    }
    if (oracle.empty()) {
        std::cout << "mdb-reader is not installed: mdbtools alone compares the copies\n";
    }
    testsupport::ScratchDir dir;
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        const fs::path once = dir.path() / "once.mdb";
        const fs::path twice = dir.path() / "twice.mdb";
        fs::remove(once);
        fs::remove(twice);
        const jet::CompactOptions o = keeping_password(f.password);
        const fs::path src = testsupport::copy_to_scratch(f.path, dir.path());
        ASSERT_NO_THROW(jet::compact(src, once, o));
        fs::remove(src);
        EXPECT_TRUE(
            jet::Database(once, jet::OpenOptions{std::nullopt, false}).header().format().is_jet3());
        EXPECT_LE(fs::file_size(once), fs::file_size(f.path));
        expect_read_alike(f.path, once, f.password, oracle, source_dir, false);
        ASSERT_NO_THROW(jet::compact(once, twice, o));
        EXPECT_TRUE(same_bytes(once, twice)) << "a second compaction changed the copy";
    }
    EXPECT_GE(files.size(), 13u);
}

// The catalog's Ids as the engine reads them, for mdb-reader's rows of a
// file mdbtools cannot read (an encrypted one).
Catalog catalog_of(const jet::Database& db) {
    Catalog c;
    for (const auto& o : db.catalog().objects()) {
        c.objects.insert(std::to_string(o.id));
        if (o.is_table()) {
            c.table_of[std::to_string(o.id)] = o.name;
        }
    }
    return c;
}

// Encrypted .accdb files (Office encryption with a password, every scheme
// of the corpus): a wrong or missing password writes nothing; with it each
// compacts into a copy that checks clean, keeps page 0 (so the same password
// and keys), holds no page as its plaintext, compacts again to the same
// pages, and reads in mdb-reader as the source does (for the schemes it
// reads).
TEST_F(CompactOracles, EncryptedAccdbFilesCompactIntoCopiesEncryptedAlike) {
    testsupport::ScratchDir dir;
    std::size_t done = 0;
    std::size_t compared = 0;
    for (const auto& f : testsupport::corpus_files()) {
        if (f.format.rfind("ace", 0) != 0 || f.password.empty()) {
            continue;
        }
        SCOPED_TRACE(f.name);
        const fs::path src = testsupport::copy_to_scratch(f.path, dir.path());
        const fs::path once = dir.path() / "once.accdb";
        const fs::path twice = dir.path() / "twice.accdb";
        const auto attempt = [&](std::optional<std::string> from, std::optional<std::string> to,
                                 jet::ErrorKind kind) {
            jet::CompactOptions o;
            o.source_password = std::move(from);
            o.destination_password = std::move(to);
            try {
                jet::compact(src, once, o);
                ADD_FAILURE() << "compacted";
            } catch (const jet::Error& e) {
                EXPECT_EQ(e.kind(), kind) << e.what();
                EXPECT_EQ(std::string(e.what()).find("Zq7"), std::string::npos)
                    << "a password was printed: " << e.what();
            }
            EXPECT_FALSE(fs::exists(once));
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
        };
        attempt(std::nullopt, std::nullopt, jet::ErrorKind::bad_password);
        attempt(f.password + "Zq7", f.password + "Zq7", jet::ErrorKind::bad_password);
        // The copy keeps the keys of page 0: another password would not open it.
        attempt(f.password, std::string("another-Zq7"), jet::ErrorKind::invalid_argument);

        const jet::CompactOptions o = keeping_password(f.password);
        // (V2010_with-password holds a page of rows its table's map leaves
        // out and no index names - page 68, leftovers of MSysNavPaneObjectIDs
        // that Jet does not reach: the copy leaves them out.)
        ASSERT_NO_THROW(jet::compact(src, once, o));
        jet::CheckOptions strict;
        strict.strict = true;
        // Object Ids the source's own rows name but its catalog does not
        // (stale-id) stay as they were; nothing else may be found.
        for (const auto& finding : jet::check_file(once, strict, f.password).findings) {
            EXPECT_EQ(finding.code, "stale-id") << finding.description;
        }

        const jet::Database source(f.path, jet::OpenOptions{f.password, true});
        const jet::Database copy(once, jet::OpenOptions{f.password, true});
        EXPECT_EQ(copy.header().raw, source.header().raw);
        EXPECT_EQ(copy.file().cipher()->description(), source.file().cipher()->description());
        const jet::PageFile stored(once, jet::jet4_format());
        for (std::uint32_t n = 1; n < copy.page_count(); ++n) {
            EXPECT_NE(stored.read(n), copy.read_page(n)) << "page " << n << " is plaintext";
        }

        ASSERT_NO_THROW(jet::compact(once, twice, o));
        const jet::Database again(twice, jet::OpenOptions{f.password, true});
        ASSERT_EQ(again.page_count(), copy.page_count());
        for (std::uint32_t n = 0; n < copy.page_count(); ++n) {
            EXPECT_EQ(again.read_page(n), copy.read_page(n)) << "page " << n << " changed";
        }

        if (!oracle.empty()) {
            std::string err_a;
            std::string err_b;
            const auto rows_a =
                mdb_reader_rows(oracle, f.path, f.password, catalog_of(source), err_a);
            // mdb-reader does not read every scheme: it fails on the source
            // (40-bit RC4, CryptoAPI AES, agile with SHA-1).
            if (err_a.empty()) {
                const auto rows_b =
                    mdb_reader_rows(oracle, once, f.password, catalog_of(copy), err_b);
                EXPECT_EQ(err_a, err_b);
                EXPECT_FALSE(rows_a.empty());
                EXPECT_TRUE(rows_a == rows_b) << "mdb-reader reads different rows";
                ++compared;
            }
        }
        fs::remove(once);
        fs::remove(twice);
        fs::remove(src);
        ++done;
    }
    EXPECT_EQ(done, 7u);
    if (!oracle.empty()) {
        EXPECT_GE(compared, 4u);
    }
}

// ------------------------------------------------------------------------
// Shapes that Access and other writers leave in real files, crafted into
// copies of corpus files: each must check without damage and compact into a
// copy both readers read alike; the real fault made next to it must still be
// found.

void poke(const fs::path& file, std::uint32_t page, std::size_t offset,
          const std::vector<std::uint8_t>& bytes) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    char version = 0;  // the format's, for its page size
    f.seekg(0x14);
    f.get(version);
    const std::size_t page_size =
        jet::format_for_version(static_cast<std::uint8_t>(version)).page_size;
    f.seekp(static_cast<std::streamoff>(page) * static_cast<std::streamoff>(page_size) +
            static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> le32_bytes(std::uint32_t v) {
    std::vector<std::uint8_t> b(4);
    jet::put_le32(b, 0, v);
    return b;
}

// The entry ends a page's mask marks, in order.
std::vector<std::size_t> entry_ends(const jet::PageBuf& page) {
    std::vector<std::size_t> ends;
    for (std::size_t bit = 0; bit < jet::jet4_format().index_page.mask_size * 8; ++bit) {
        if ((page[jet::jet4_format().index_page.mask_offset + bit / 8] >> (bit % 8)) & 1u) {
            ends.push_back(bit);
        }
    }
    return ends;
}

// Calls visit(tree, file) for every sound index tree of every table until it
// returns true.
bool find_index(const fs::path& file,
                const std::function<bool(const jet::IndexTree&, const jet::PageFile&)>& visit) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    for (const auto* obj : db.catalog().tables(true)) {
        const auto& def = db.table_def(obj->table_page());
        for (std::size_t ri = 0; ri < def.real_indexes.size(); ++ri) {
            const auto tree = jet::read_index_tree(db.file(), def.real_indexes[ri].root_page);
            if (tree.problems.empty() && visit(tree, db.file())) {
                return true;
            }
        }
    }
    return false;
}

// Raises one node entry's row byte: still above its subtree's last entry and
// below the next subtree's first, as Jet leaves it after deletions. The fault
// beside it: the entry's row pointer set to 0/0, below its subtree.
bool node_entry_upper_bound(const fs::path& file, bool fault) {
    return find_index(file, [&](const jet::IndexTree& tree, const jet::PageFile& pf) {
        if (tree.levels.size() < 2) {
            return false;
        }
        const auto root = pf.read(tree.root);
        const auto page = jet::parse_index_page(
            jet::jet4_format(), jet::Bytes(root.data(), root.size()), tree.root, "");
        const auto ends = entry_ends(root);
        for (std::size_t k = 0; k < page.entries.size(); ++k) {
            const auto& e = page.entries[k].entry;
            const std::size_t begin = k == 0 ? 0 : ends[k - 1];
            if (ends[k] - begin < 9 || e.row.row == 255) {
                continue;
            }
            // The first entry after e in the whole index.
            const jet::IndexEntry* next = nullptr;
            for (const auto& x : tree.entries) {
                if (jet::compare_entries(e, x) < 0) {
                    next = &x;
                    break;
                }
            }
            jet::IndexEntry raised = e;
            raised.row.row = static_cast<std::uint8_t>(e.row.row + 1);
            if (next == nullptr || jet::compare_entries(raised, *next) >= 0) {
                continue;
            }
            const std::size_t at = jet::jet4_format().index_page.entries_offset + ends[k] - 5;
            if (fault) {
                poke(file, tree.root, at - 3, {0, 0, 0, 0});
            } else {
                poke(file, tree.root, at, {raised.row.row});
            }
            return true;
        }
        return false;
    });
}

// Rewrites a leaf whose entries share more than their shortest key with the
// longest shared prefix of whole entries, row pointer bytes included. The
// fault beside it: a prefix one byte longer than the entries share.
bool prefix_over_pointer(const fs::path& file, bool fault) {
    return find_index(file, [&](const jet::IndexTree& tree, const jet::PageFile& pf) {
        for (const auto leaf : tree.levels.back()) {
            const auto buf = pf.read(leaf);
            const auto page = jet::parse_index_page(jet::jet4_format(),
                                                    jet::Bytes(buf.data(), buf.size()), leaf, "");
            if (page.entries.size() < 2) {
                continue;
            }
            std::vector<std::vector<std::uint8_t>> whole;
            std::size_t shortest = SIZE_MAX;
            for (const auto& pe : page.entries) {
                auto w = pe.entry.key;
                w.push_back(static_cast<std::uint8_t>(pe.entry.row.page >> 16));
                w.push_back(static_cast<std::uint8_t>(pe.entry.row.page >> 8));
                w.push_back(static_cast<std::uint8_t>(pe.entry.row.page));
                w.push_back(pe.entry.row.row);
                shortest = std::min(shortest, pe.entry.key.size());
                whole.push_back(std::move(w));
            }
            std::size_t common = whole[0].size();
            for (const auto& w : whole) {
                std::size_t n = 0;
                while (n < common && n < w.size() && w[n] == whole[0][n]) {
                    ++n;
                }
                common = n;
            }
            if (common <= shortest || common >= whole[0].size()) {
                continue;
            }
            jet::PageBuf out = buf;
            std::fill(out.begin() + jet::jet4_format().index_page.mask_offset, out.end(),
                      std::uint8_t{0});
            std::size_t used = 0;
            for (std::size_t i = 0; i < whole.size(); ++i) {
                const std::size_t skip = i == 0 ? 0 : common;
                std::copy(whole[i].begin() + static_cast<std::ptrdiff_t>(skip), whole[i].end(),
                          out.begin() + static_cast<std::ptrdiff_t>(
                                            jet::jet4_format().index_page.entries_offset + used));
                used += whole[i].size() - skip;
                out[jet::jet4_format().index_page.mask_offset + used / 8] |=
                    static_cast<std::uint8_t>(1u << (used % 8));
            }
            jet::put_le16(out, 2,
                          static_cast<std::uint16_t>(jet::jet4_format().index_entry_area() - used));
            jet::put_le16(out, 24, static_cast<std::uint16_t>(common + (fault ? 1 : 0)));
            poke(file, leaf, 0, std::vector<std::uint8_t>(out.begin(), out.end()));
            return true;
        }
        return false;
    });
}

// The autonumber counter of the first user table with one, set to `value`
// (a function of the highest value in use); returns that highest value.
std::optional<std::int64_t> set_counter(const fs::path& file,
                                        const std::function<std::uint32_t(std::int64_t)>& value,
                                        std::string& table) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    for (const auto* obj : db.catalog().tables(false)) {
        const auto& def = db.table_def(obj->table_page());
        for (std::size_t c = 0; c < def.columns.size(); ++c) {
            if ((def.columns[c].flags & jet::kColumnFlagAutoLong) == 0) {
                continue;
            }
            std::int64_t top = 0;
            db.for_each_row(def, [&](const jet::RowRef& r) {
                const auto v = jet::decode_row(db.file(), def, r.bytes, "row")[c];
                if (const auto* n = std::get_if<std::int64_t>(&v)) {
                    top = std::max(top, *n);
                }
            });
            if (top < 2) {
                continue;
            }
            table = obj->name;
            poke(file, obj->table_page(), jet::jet4_format().tdef.autonumber,
                 le32_bytes(value(top)));
            return top;
        }
    }
    return std::nullopt;
}

// Gives the autonumber column of `table` random new values, as Access does
// for New Values: Random: the table's property blob, when it is one LVAL
// row, is written over with one of the same length that sets the column's
// DefaultValue to GenUniqueID() (the record's length takes up the rest).
bool make_numbers_random(const fs::path& file, const std::string& table) {
    jet::OpenOptions o;
    o.verify_password = false;
    std::string column;
    jet::RowPointer at;
    std::size_t start = 0;
    std::size_t length = 0;
    {
        const jet::Database db(file, o);
        const jet::CatalogObject* obj = db.catalog().find_table(table);
        if (obj == nullptr) {
            return false;
        }
        for (const auto& c : db.table_def(obj->table_page()).columns) {
            if ((c.flags & jet::kColumnFlagAutoLong) != 0) {
                column = c.name;
            }
        }
        const jet::TableDef& catalog = db.table_def(jet::kCatalogPage);
        const auto row = jet::read_row(db.file(), obj->data, "catalog row");
        const auto span =
            jet::locate_column(*catalog.find_column("LvProp"),
                               jet::parse_row_layout(catalog, row, "catalog row"), row, "row");
        if (!span) {
            return false;
        }
        const auto d = jet::LongValueDescriptor::parse(
            jet::Bytes(row).subspan(span->offset, span->length), "LvProp");
        if (d.kind != static_cast<std::uint8_t>(jet::LongValueKind::single_row)) {
            return false;
        }
        at = d.first;
        start = jet::read_data_page(db.file(), at.page).slot(at.row).start;
        length = d.length;
    }
    std::vector<std::uint8_t> blob = {'M', 'R', '2', 0};
    const auto add16 = [&](std::size_t v) {
        blob.push_back(static_cast<std::uint8_t>(v));
        blob.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    const auto add32 = [&](std::size_t v) {
        add16(v & 0xFFFF);
        add16(v >> 16);
    };
    const auto add_text = [&](const std::string& ascii) {
        for (const char c : ascii) {
            add16(static_cast<unsigned char>(c));
        }
    };
    add32(6 + 2 + 24);  // the name pool: DefaultValue alone
    add16(0x80);
    add16(24);
    add_text("DefaultValue");
    const std::size_t name_part = 4 + 2 + 2 * column.size();
    const std::size_t used = blob.size() + 6 + name_part;
    if (length < used + 8 + 26 || length - used > 0xFFFF) {
        return false;
    }
    add32(length - blob.size());  // the column's set, to the end
    add16(0x01);
    add32(name_part);
    add16(2 * column.size());
    add_text(column);
    add16(length - used);  // the record, padded
    blob.push_back(0);
    blob.push_back(static_cast<std::uint8_t>(jet::ColumnType::text));
    add16(0);
    add16(26);
    add_text("GenUniqueID()");
    blob.resize(length, 0);
    poke(file, at.page, start, blob);
    return true;
}

// Cuts the leaf level's first link, as a damaged page would have it (a node
// level may lack links; the leaves may not): stale, and rebuilt.
bool leaf_link_cut(const fs::path& file) {
    return find_index(file, [&](const jet::IndexTree& tree, const jet::PageFile&) {
        if (tree.levels.back().size() < 2) {
            return false;
        }
        poke(file, tree.levels.back()[0], 16, le32_bytes(0));
        return true;
    });
}

// The global free map as a writer that only appends leaves it: an inline
// window starting above page 0, saying nothing of the pages below. The fault
// beside it: a page in use (the first user table's definition) marked free.
bool global_window(const fs::path& file, bool fault) {
    std::uint32_t tdef = 0;
    jet::UsageMap map;
    std::size_t at = 0;
    {
        jet::OpenOptions o;
        o.verify_password = false;
        const jet::Database db(file, o);
        map = jet::read_free_map(db.file()).map;
        if (map.kind != jet::UsageMap::Kind::inline_map || map.start_page != 0 ||
            db.page_count() < 24) {
            return false;
        }
        at = jet::read_data_page(db.file(), 1).slot(0).start;
        for (const auto* obj : db.catalog().tables(false)) {
            tdef = std::max(tdef, obj->table_page());
        }
    }
    const std::uint32_t start = 16;
    if (tdef < start) {
        return false;
    }
    std::vector<std::uint8_t> row(map.row_length, 0);
    jet::put_le32(row, 1, start);
    const std::size_t capacity = (map.row_length - 5) * 8;
    for (std::uint32_t p = start; p < start + capacity; ++p) {
        const bool free = p >= map.range_end() || map.contains(p) || (fault && p == tdef);
        if (free) {
            row[5 + (p - start) / 8] |= static_cast<std::uint8_t>(1u << ((p - start) % 8));
        }
    }
    poke(file, 1, at, row);
    return true;
}

// A table whose memo/OLE values lie on pages of their own, its definition
// (one page) without the long-value maps, as older writers made tables:
// the trailer that lists them ends at once, ten bytes a column shorter.
bool drop_long_value_maps(const fs::path& file) {
    std::uint32_t page = 0;
    jet::PageBuf tdef;
    std::size_t columns = 0;
    {
        jet::OpenOptions o;
        o.verify_password = false;
        const jet::Database db(file, o);
        for (const auto* obj : db.catalog().tables(false)) {
            const auto& def = db.table_def(obj->table_page());
            const bool apart = std::any_of(
                def.long_value_maps.begin(), def.long_value_maps.end(), [&](const auto& m) {
                    return m.owned.page != 0 &&
                           !jet::read_usage_map(db.file(), m.owned, "").pages.empty();
                });
            if (def.pages.size() == 1 && apart) {
                page = obj->table_page();
                tdef = db.read_page(page);
                columns = def.long_value_maps.size();
                break;
            }
        }
    }
    if (page == 0) {
        return false;
    }
    const std::uint32_t length = jet::le32(tdef, 8);
    const std::size_t trailer = length - 2 - 10 * columns;
    if (jet::le16(tdef, length - 2) != 0xFFFF) {
        return false;
    }
    std::vector<std::uint8_t> ended(length - trailer, 0);
    ended[0] = ended[1] = 0xFF;
    poke(file, page, trailer, ended);
    poke(file, page, 8, le32_bytes(static_cast<std::uint32_t>(length - 10 * columns)));
    const auto free = static_cast<std::uint16_t>(jet::le16(tdef, 2) + 10 * columns);
    poke(file, page, 2, {static_cast<std::uint8_t>(free), static_cast<std::uint8_t>(free >> 8)});
    return true;
}

// The autonumber counter of table `name`.
std::uint32_t counter_of(const fs::path& file, const std::string& name) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    for (const auto* obj : db.catalog().tables(false)) {
        if (obj->name == name) {
            return db.table_def(obj->table_page()).autonumber;
        }
    }
    return 0;
}

// Copies the Jet 4 corpus files without a password or an encoding one by one
// to `copy` (writable) until `wanted(file, copy)` finds in the copy the
// structure a case needs, and usually crafts it there; returns that file.
std::optional<testsupport::CorpusFile> first_corpus_file_with(
    const fs::path& copy,
    const std::function<bool(const testsupport::CorpusFile&, const fs::path&)>& wanted) {
    for (const auto& f : testsupport::corpus_files("jet4")) {
        if (!f.password.empty()) {
            continue;
        }
        fs::remove(copy);
        fs::copy_file(f.path, copy);
        fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add);
        {
            jet::OpenOptions o;
            o.verify_password = false;
            if (jet::Database(copy, o).file().encoding_key() != 0) {
                continue;  // crafted bytes would have to be encoded
            }
        }
        if (wanted(f, copy)) {
            return f;
        }
    }
    return std::nullopt;
}

TEST_F(CompactOracles, ShapesOfRealFilesCompactAndRealFaultsBesideThemAreFound) {
    std::optional<std::int64_t> highest;
    std::string counted;
    struct Case {
        const char* name;
        std::function<bool(const fs::path&)> shape;
        const char* repair;  // the repair compaction reports, or ""
        std::function<bool(const fs::path&)> fault;
        const char* finding;  // what the checker finds in the faulty copy
    };
    const std::vector<Case> cases = {
        {"node entry above its subtree's last entry",
         [](const fs::path& f) { return node_entry_upper_bound(f, false); }, "",
         [](const fs::path& f) { return node_entry_upper_bound(f, true); }, "index-node-mismatch"},
        {"prefix covering row pointer bytes",
         [](const fs::path& f) { return prefix_over_pointer(f, false); }, "",
         [](const fs::path& f) { return prefix_over_pointer(f, true); }, ""},
        {"autonumber counter behind the highest value",
         [&](const fs::path& f) {
             highest = set_counter(
                 f, [](std::int64_t) { return 1u; }, counted);
             return highest.has_value();
         },
         "autonumber-behind", nullptr, ""},
        {"random autonumber, its counter below its values",
         [&](const fs::path& f) {
             if (!set_counter(
                     f, [](std::int64_t) { return 1u; }, counted)) {
                 return false;
             }
             highest = 1;  // kept: no counter numbers the column
             return make_numbers_random(f, counted);
         },
         "", nullptr, ""},
        {"autonumber counter ahead of the highest value",
         [&](const fs::path& f) {
             highest = set_counter(
                 f, [](std::int64_t top) { return static_cast<std::uint32_t>(top + 1000); },
                 counted);
             if (highest) {
                 *highest += 1000;
             }
             return highest.has_value();
         },
         "", nullptr, ""},
        {"leaf level link cut", leaf_link_cut, "index-sibling-link", nullptr, ""},
        {"memo/OLE columns without long-value maps", drop_long_value_maps, "", nullptr, ""},
        {"global map window above page 0",
         [](const fs::path& f) { return global_window(f, false); }, "",
         [](const fs::path& f) { return global_window(f, true); }, "free-page-in-use"},
    };
    testsupport::ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path src = dir.path() / "source.mdb";
        const fs::path out = dir.path() / "out.mdb";
        const auto f = first_corpus_file_with(
            src,
            [&](const testsupport::CorpusFile&, const fs::path& copy) { return c.shape(copy); });
        EXPECT_TRUE(f.has_value()) << "no corpus file has the structure this case needs";
        if (f) {
            SCOPED_TRACE(f->name);
            fs::remove(out);
            const auto report = jet::check_file(src);
            for (const auto& x : report.findings) {
                if (x.severity == jet::Severity::error) {
                    EXPECT_EQ(x.code, c.repair) << x.description;
                }
            }
            jet::CompactResult r;
            ASSERT_NO_THROW(r = jet::compact(src, out, {}));
            if (*c.repair != 0) {
                ASSERT_EQ(r.repairs.size(), 1u);
                EXPECT_EQ(r.repairs[0].code, c.repair);
            } else {
                EXPECT_TRUE(r.repairs.empty()) << r.repairs.front().description;
            }
            if (std::string(c.name).find("autonumber") != std::string::npos) {
                EXPECT_EQ(counter_of(out, counted), static_cast<std::uint32_t>(*highest));
            }
            expect_read_alike(src, out, "", oracle, source_dir);

            if (c.fault) {
                fs::remove(src);
                fs::copy_file(f->path, src);
                ASSERT_TRUE(c.fault(src));
                const auto bad = jet::check_file(src);
                EXPECT_TRUE(bad.has_errors());
                if (*c.finding != 0) {
                    EXPECT_TRUE(bad.has(c.finding));
                }
            }
        }
    }
}

// ------------------------------------------------------------------------
// Random damage of the kinds that leave every row readable - an index page
// zeroed or with bytes changed, an index's usage map broken, a data page
// without live rows zeroed - judged by mdbtools: of the damaged copies whose
// tables mdb-export still reads exactly as before, at least 95% must
// compact into a copy it reads the same, and none may compact with a row
// lost or changed.

// The tables of `file` (system tables too, on request) as mdb-export reads
// them, each table's rows sorted.
std::map<std::string, std::vector<std::vector<std::string>>> table_rows(const fs::path& file,
                                                                        bool system = false) {
    std::map<std::string, std::vector<std::vector<std::string>>> out;
    const auto tables =
        run_process(system ? std::vector<std::string>{"mdb-tables", "-S", "-1", file.string()}
                           : std::vector<std::string>{"mdb-tables", "-1", file.string()});
    for (const auto& t : split(tables.out, '\n')) {
        if (t.empty()) {
            continue;
        }
        auto rows = mdb_export(file, t).rows;
        std::sort(rows.begin(), rows.end());
        out[t] = std::move(rows);
    }
    return out;
}

// Damages `file` one way chosen by `rng`; returns what was done ("" when the
// file offers nothing for that kind).
std::string random_damage(const fs::path& file, std::mt19937& rng) {
    std::vector<std::uint32_t> index_pages;
    std::vector<std::uint32_t> empty_data;
    std::vector<std::pair<jet::RowPointer, std::size_t>> index_maps;  // map row, its length
    const jet::Format* format = nullptr;
    {
        jet::OpenOptions o;
        o.verify_password = false;
        const jet::Database db(file, o);
        format = &db.header().format();
        for (std::uint32_t p = 1; p < db.page_count(); ++p) {
            const auto buf = db.read_page(p);
            if (buf[0] == jet::kIndexNodePage || buf[0] == jet::kIndexLeafPage) {
                index_pages.push_back(p);
            } else if (buf[0] == jet::kPageTypeData && jet::le32(buf, 4) != 0x4C41564Cu) {
                try {
                    const jet::DataPage page(*format, buf, p, "");
                    const auto& slots = page.slots();
                    if (std::all_of(slots.begin(), slots.end(),
                                    [](const jet::RowSlot& r) { return r.deleted(); })) {
                        empty_data.push_back(p);
                    }
                } catch (const jet::Error&) {
                }
            }
        }
        for (const auto* obj : db.catalog().tables(false)) {
            for (const auto& ri : db.table_def(obj->table_page()).real_indexes) {
                if (ri.map.page != 0) {
                    const jet::DataPage page(*format, db.read_page(ri.map.page), ri.map.page, "");
                    index_maps.emplace_back(ri.map, page.slot(ri.map.row).start);
                }
            }
        }
    }
    auto pick = [&](const auto& v) { return v[rng() % v.size()]; };
    switch (rng() % 4) {
        case 0:
            if (index_pages.empty()) {
                return "";
            }
            {
                const auto p = pick(index_pages);
                poke(file, p, 0, std::vector<std::uint8_t>(format->page_size, 0));
                return "index page " + std::to_string(p) + " zeroed";
            }
        case 1:
            if (index_pages.empty()) {
                return "";
            }
            {
                const auto p = pick(index_pages);
                const int n = 1 + static_cast<int>(rng() % 3);
                for (int k = 0; k < n; ++k) {
                    poke(file, p, rng() % format->page_size, {static_cast<std::uint8_t>(rng())});
                }
                return "index page " + std::to_string(p) + ": " + std::to_string(n) +
                       " byte(s) changed";
            }
        case 2:
            if (index_maps.empty()) {
                return "";
            }
            {
                const auto [at, start] = pick(index_maps);
                poke(file, at.page, start + 1 + rng() % 8, {static_cast<std::uint8_t>(rng())});
                return "usage map of an index (page " + std::to_string(at.page) + ") changed";
            }
        default:
            if (empty_data.empty()) {
                return "";
            }
            {
                const auto p = pick(empty_data);
                poke(file, p, 0, std::vector<std::uint8_t>(format->page_size, 0));
                return "data page " + std::to_string(p) + " without live rows zeroed";
            }
    }
}

TEST_F(CompactOracles, RandomDamageThatLosesNoRowCompactsWithEqualRows) {
    const std::vector<std::string> names = {
        "jackcess/testIndexCodes@cc77d55.mdb", "jackcess/indexTestV2003.mdb",
        "jackcess/compIndexTestV2003.mdb", "jackcess/bigIndexTestV2003.mdb",
        "tika/testAccess2_2000.mdb", "format-corpus/reviews.mdb", "ucanaccess/functionsV2003.mdb",
        "jackcess/delTestV2003.mdb",
        // Access 97: text keys in its own order, 2 KB pages.
        "jackcess/testIndexCodesV1997.mdb", "jackcess/indexTestV1997.mdb",
        // Access 2007 and later: complex columns and their hidden tables.
        "jackcess/ace/complexDataTestV2010.accdb", "jackcess/ace/testV2010.accdb"};
    const char* env = std::getenv("JET_DAMAGE_ROUNDS");
    const int rounds = env != nullptr ? std::max(1, std::atoi(env)) : 10;
    testsupport::ScratchDir dir;
    std::size_t eligible = 0;
    std::size_t compacted = 0;
    std::size_t unreadable = 0;
    std::map<std::string, std::size_t> refusals;  // first words of the description
    std::mt19937 rng(20261208);
    for (const auto& name : names) {
        const fs::path original = *testsupport::corpus_dir() / name;
        const auto before = table_rows(original);
        const auto before_all = table_rows(original, true);
        for (int round = 0; round < rounds; ++round) {
            const std::string ext = fs::path(name).extension().string();
            const fs::path src = dir.path() / ("damaged" + ext);
            const fs::path out = dir.path() / ("out" + ext);
            fs::remove(src);
            fs::remove(out);
            fs::copy_file(original, src);
            fs::permissions(src, fs::perms::owner_write, fs::perm_options::add);
            const std::string what = random_damage(src, rng);
            if (what.empty()) {
                continue;
            }
            SCOPED_TRACE(name + ": " + what);
            if (table_rows(src, true) != before_all) {
                ++unreadable;  // the damage reaches rows: not this test's case
                continue;
            }
            ++eligible;
            try {
                const auto r = jet::compact(src, out, {});
                ++compacted;
                // The compaction's own verification compares the system
                // tables, whose Ids it renumbers.
                EXPECT_TRUE(table_rows(out) == before) << "compacted, but the rows differ";
            } catch (const jet::Error& e) {
                const std::string d = e.what();
                const auto open = d.find('(');
                const auto close = d.find(')', open);
                if (std::getenv("JET_DAMAGE_VERBOSE") != nullptr) {
                    std::cout << name << ": " << what << ": " << d << "\n";
                }
                ++refusals[open != std::string::npos && close != std::string::npos
                               ? d.substr(open + 1, close - open - 1)
                               : d.substr(0, 60)];
                EXPECT_FALSE(fs::exists(out));
            }
        }
    }
    std::cout << "random damage: " << eligible << " copies that mdb-export reads as before, "
              << compacted << " compacted with equal rows ("
              << (eligible != 0 ? 100 * compacted / eligible : 0) << "%); " << unreadable
              << " copies whose rows mdb-export reads otherwise were left out\n";
    for (const auto& [why, n] : refusals) {
        std::cout << "  refused " << n << "x: " << why << "\n";
    }
    ASSERT_GT(eligible, 20u);
    EXPECT_GE(compacted * 100, eligible * 95);
}

// ------------------------------------------------------------------------
// Known damage that loses nothing, each made in the first corpus file with
// the structure it needs: the copy reads as the original did in mdbtools and
// mdb-reader, checks clean, and the repair is reported. (A counter set low
// is a case of the test above.)

// Zeroes page `n` of `file`.
void zero_page(const fs::path& file, std::uint32_t n) {
    poke(file, n, 0, std::vector<std::uint8_t>(jet::jet4_format().page_size, 0));
}

bool zeroed_leaf(const fs::path& file) {
    return find_index(file, [&](const jet::IndexTree& tree, const jet::PageFile&) {
        if (tree.levels.back().size() < 2) {
            return false;
        }
        zero_page(file, tree.levels.back()[1]);
        return true;
    });
}

bool zeroed_node(const fs::path& file) {
    return find_index(file, [&](const jet::IndexTree& tree, const jet::PageFile&) {
        if (tree.levels.size() < 2) {
            return false;
        }
        zero_page(file, tree.levels[tree.levels.size() - 2].front());
        return true;
    });
}

// The row pointers of two entries with different keys, stored whole, swapped.
bool swapped_entries(const fs::path& file) {
    return find_index(file, [&](const jet::IndexTree& tree, const jet::PageFile& pages) {
        for (const auto leaf : tree.levels.back()) {
            const auto buf = pages.read(leaf);
            const auto e = entry_ends(buf);
            const auto parsed = jet::parse_index_page(jet::jet4_format(), buf, leaf, "");
            if (e.size() < 3 || e[1] - e[0] <= 4 || e[2] - e[1] <= 4 ||
                parsed.entries[1].entry.key == parsed.entries[2].entry.key) {
                continue;
            }
            const std::size_t a = jet::jet4_format().index_page.entries_offset + e[1] - 4;
            const std::size_t b = jet::jet4_format().index_page.entries_offset + e[2] - 4;
            poke(file, leaf, a, std::vector<std::uint8_t>(buf.begin() + b, buf.begin() + b + 4));
            poke(file, leaf, b, std::vector<std::uint8_t>(buf.begin() + a, buf.begin() + a + 4));
            return true;
        }
        return false;
    });
}

// The first entry of a leaf, its key unlike the next one's, made to name a
// row its page does not have (row 254): the entries stay in order.
bool dangling_entry(const fs::path& file) {
    return find_index(file, [&](const jet::IndexTree& tree, const jet::PageFile& pages) {
        for (const auto leaf : tree.levels.back()) {
            const auto buf = pages.read(leaf);
            const auto e = entry_ends(buf);
            const auto parsed = jet::parse_index_page(jet::jet4_format(), buf, leaf, "");
            if (e.size() < 2 || e[0] <= 4 ||
                parsed.entries[0].entry.key == parsed.entries[1].entry.key) {
                continue;
            }
            poke(file, leaf, jet::jet4_format().index_page.entries_offset + e[0] - 1, {0xFE});
            return true;
        }
        return false;
    });
}

// The row count of the first user table with rows, five too high.
bool stale_row_count(const fs::path& file) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    for (const auto* obj : db.catalog().tables(false)) {
        const auto& def = db.table_def(obj->table_page());
        if (def.row_count != 0) {
            poke(file, obj->table_page(), jet::jet4_format().tdef.row_count,
                 le32_bytes(def.row_count + 5));
            return true;
        }
    }
    return false;
}

// A bit of the first page an inline index map covers, turned over.
bool broken_index_map(const fs::path& file) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    for (const auto* obj : db.catalog().tables(false)) {
        for (const auto& ri : db.table_def(obj->table_page()).real_indexes) {
            if (ri.map.page == 0) {
                continue;
            }
            const auto buf = db.read_page(ri.map.page);
            const jet::DataPage holder(jet::jet4_format(), buf, ri.map.page, "");
            const std::size_t at = holder.slot(ri.map.row).start;
            if (buf[at] != 0) {
                continue;  // not inline
            }
            poke(file, ri.map.page, at + 5, {static_cast<std::uint8_t>(buf[at + 5] ^ 0x01)});
            return true;
        }
    }
    return false;
}

// The map of a table's pages with free space, or of the pages a memo
// column's values use, said to be in a row its holder page does not have:
// maps every compaction writes afresh.
bool missing_map_row(const fs::path& file, bool long_values) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    for (const auto* obj : db.catalog().tables(false)) {
        const auto& def = db.table_def(obj->table_page());
        if (def.pages.size() != 1) {
            continue;  // the offsets below are those of the first page
        }
        if (!long_values && def.free_map.page != 0) {
            poke(file, def.page, jet::jet4_format().tdef.free_map, {200});
            return true;
        }
        for (const auto& m : def.long_value_maps) {
            if (long_values && m.owned.page != 0) {
                poke(file, def.page, m.owned_offset(), {200});
                return true;
            }
        }
    }
    return false;
}
bool missing_free_space_map(const fs::path& file) {
    return missing_map_row(file, false);
}
bool missing_long_value_map(const fs::path& file) {
    return missing_map_row(file, true);
}

// What a damage loses, as the test expects it.
struct Lost {
    std::string table;
    std::uint64_t rows = 0;  // rows lost
    bool left_out = false;
    std::string emptied_row;  // the primary key of the row with an emptied value
    std::string emptied_column;
    std::uint64_t total = 0;  // the table's rows before
};

// A page of a table's rows, its bit cleared in the table's inline
// owned-pages map. The table's indexes name the rows there, unless
// `witnessed` is false: then their root pages are zeroed too, and nothing
// tells the rows are the table's. Only pages whose rows all lie on them (no
// moved rows) and a table with rows on other pages too are taken.
std::optional<Lost> page_left_out_of_its_map(const fs::path& file, bool witnessed) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    for (const auto* obj : db.catalog().tables(false)) {
        const auto& def = db.table_def(obj->table_page());
        if (def.real_indexes.empty() || def.owned_map.page == 0) {
            continue;
        }
        std::map<std::uint32_t, std::uint64_t> rows;  // per page
        std::set<std::uint32_t> moved;
        std::uint64_t total = 0;
        db.for_each_row(def, [&](const jet::RowRef& r) {
            ++total;
            ++rows[r.pointer.page];
            if (r.data.page != r.pointer.page) {
                moved.insert(r.pointer.page);
                moved.insert(r.data.page);
            }
        });
        auto buf = db.read_page(def.owned_map.page);
        const jet::DataPage holder(jet::jet4_format(), buf, def.owned_map.page, "");
        const std::size_t at = holder.slot(def.owned_map.row).start;
        if (rows.size() < 2 || buf[at] != 0) {
            continue;  // one page of rows, or not an inline map
        }
        for (const auto& [page, n] : rows) {
            const std::uint32_t bit = page - jet::le32(buf, at + 1);
            if (moved.count(page) == 0) {
                // The page is written whole, encoded as the file's pages are.
                buf[at + 5 + bit / 8] &= static_cast<std::uint8_t>(~(1u << (bit % 8)));
                if (db.file().encoding_key() != 0) {
                    jet::apply_page_codec(db.file().encoding_key(), def.owned_map.page, buf);
                }
                poke(file, def.owned_map.page, 0, {buf.begin(), buf.end()});
                for (const auto& ri : def.real_indexes) {
                    if (!witnessed) {
                        zero_page(file, ri.root_page);
                    }
                }
                return Lost{obj->name, n, false, "", "", total};
            }
        }
    }
    return std::nullopt;
}
bool indexed_page_left_out(const fs::path& file) {
    return page_left_out_of_its_map(file, true).has_value();
}

// A page holding only the data of moved rows, whose headers are on other
// pages of the table, its bit cleared in the table's inline owned-pages map:
// Jet still follows the headers there.
bool moved_rows_page_left_out(const fs::path& file) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    if (db.file().encoding_key() != 0) {
        return false;
    }
    for (const auto* obj : db.catalog().tables(false)) {
        const auto& def = db.table_def(obj->table_page());
        std::set<std::uint32_t> headers;
        std::set<std::uint32_t> targets;
        db.for_each_row(def, [&](const jet::RowRef& r) {
            headers.insert(r.pointer.page);
            if (r.data.page != r.pointer.page) {
                targets.insert(r.data.page);
            }
        });
        if (def.owned_map.page == 0) {
            continue;
        }
        auto buf = db.read_page(def.owned_map.page);
        const jet::DataPage holder(db.file().format(), buf, def.owned_map.page, "");
        const std::size_t at = holder.slot(def.owned_map.row).start;
        if (buf[at] != 0) {
            continue;  // not an inline map
        }
        for (const std::uint32_t page : targets) {
            if (headers.count(page) == 0) {
                const std::uint32_t bit = page - jet::le32(buf, at + 1);
                poke(file, def.owned_map.page, at + 5 + bit / 8,
                     {static_cast<std::uint8_t>(buf[at + 5 + bit / 8] & ~(1u << (bit % 8)))});
                return true;
            }
        }
    }
    return false;
}

// The map of the pages a memo column's values use, pointed at the map of
// another table's memo column: it lists pages holding none of its values.
bool long_value_map_of_another_table(const fs::path& file) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    std::optional<jet::RowPointer> other;
    for (const auto* obj : db.catalog().tables(false)) {
        const auto& def = db.table_def(obj->table_page());
        for (const auto& m : def.long_value_maps) {
            if (m.owned.page == 0) {
                continue;
            }
            if (!other) {
                other = m.owned;
                break;  // the next table's map is pointed at this one
            }
            if (def.pages.size() != 1) {
                continue;  // the offsets are those of the first page
            }
            const std::uint32_t to = other->encode();
            poke(file, def.page, m.owned_offset(),
                 {static_cast<std::uint8_t>(to), static_cast<std::uint8_t>(to >> 8),
                  static_cast<std::uint8_t>(to >> 16), static_cast<std::uint8_t>(to >> 24)});
            return true;
        }
    }
    return false;
}
// The two halves of a relationship, each by its table and index name.
struct Relationship {
    std::string table, index, other_table, other_index;
};

// A relationship between two tables broken: with `dropped`, both halves
// pointed at a copy of one side's definition, put on a new page at the end
// that no catalog row names (what a writer leaves that drops a table by its
// catalog row alone); else one half pointed at page 1, which holds no table.
std::optional<Relationship> broken_relationship(const fs::path& file, bool dropped) {
    const jet::Database db(file);
    const auto to = static_cast<std::uint32_t>(dropped ? db.page_count() : 1);
    for (const auto* obj : db.catalog().tables(false)) {
        const auto& def = db.table_def(obj->table_page());
        for (const auto& li : def.logical_indexes) {
            if (!li.is_foreign_key() || def.pages.size() != 1 || li.rel_table_page == def.page) {
                continue;
            }
            const auto& other = db.table_def(li.rel_table_page);
            const auto back = std::find_if(
                other.logical_indexes.begin(), other.logical_indexes.end(), [&](const auto& x) {
                    return x.rel_table_page == def.page &&
                           x.number == static_cast<std::uint32_t>(li.rel_index);
                });
            if (other.pages.size() != 1 || back == other.logical_indexes.end()) {
                continue;
            }
            if (dropped) {
                const jet::PageBuf copy = db.read_page(other.page);
                poke(file, to, 0, std::vector<std::uint8_t>(copy.begin(), copy.end()));
                poke(file, other.page, back->rel_table_page_offset(), le32_bytes(to));
            }
            poke(file, def.page, li.rel_table_page_offset(), le32_bytes(to));
            std::string other_name;
            for (const auto* o : db.catalog().tables(false)) {
                other_name = o->table_page() == other.page ? o->name : other_name;
            }
            return Relationship{obj->name, li.name, other_name, back->name};
        }
    }
    return std::nullopt;
}
bool relationship_with_a_dropped_table(const fs::path& file) {
    return broken_relationship(file, true).has_value();
}

std::optional<Lost> unwitnessed_page_left_out(const fs::path& file) {
    return page_left_out_of_its_map(file, false);
}

// A data page of a table whose rows are all deleted, zeroed.
// The page holding a table's owned-pages map, zeroed, where every table
// with a map there has rows an index lists in full: their pages are found
// through the indexes.
bool zeroed_map_holder(const fs::path& file) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    std::map<std::uint32_t, bool> holders;  // page -> every table there is indexed in full
    std::uint32_t user_holder = 0;
    for (const auto* obj : db.catalog().tables(true)) {
        const auto& def = db.table_def(obj->table_page());
        const bool full = std::any_of(def.real_indexes.begin(), def.real_indexes.end(),
                                      [](const auto& ri) { return !ri.ignore_nulls(); });
        if (def.owned_map.page == 0) {
            continue;
        }
        auto [it, first] = holders.emplace(def.owned_map.page, full);
        it->second = it->second && full;
        if (!obj->is_system() && def.row_count != 0) {
            user_holder = user_holder != 0 ? user_holder : def.owned_map.page;
        }
    }
    if (user_holder == 0 || !holders.at(user_holder)) {
        return false;
    }
    zero_page(file, user_holder);
    return true;
}

bool zeroed_empty_data_page(const fs::path& file) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    // The data of a moved row sits in a slot marked deleted: such pages are
    // not empty.
    std::set<std::uint32_t> targets;
    for (const auto* obj : db.catalog().tables(true)) {
        db.for_each_row(db.table_def(obj->table_page()),
                        [&](const jet::RowRef& r) { targets.insert(r.data.page); });
    }
    for (std::uint32_t p = 3; p < db.page_count(); ++p) {
        const auto buf = db.read_page(p);
        if (buf[0] != jet::kPageTypeData || jet::le32(buf, 4) == jet::kLvalMarker ||
            jet::le32(buf, 4) == 0 || targets.count(p) != 0) {
            continue;
        }
        try {
            const jet::DataPage page(jet::jet4_format(), buf, p, "");
            const auto& slots = page.slots();
            if (!slots.empty() && std::all_of(slots.begin(), slots.end(),
                                              [](const auto& r) { return r.deleted(); })) {
                zero_page(file, p);
                return true;
            }
        } catch (const jet::Error&) {
        }
    }
    return false;
}

TEST_F(CompactOracles, KnownDamageCompactsWithoutLossAndIsReported) {
    const struct {
        const char* name;
        bool (*damage)(const fs::path&);
        const char* repair;  // the code of the repair reported; "" for none (a note)
    } cases[] = {
        {"a zeroed index leaf", zeroed_leaf, "index-page-type"},
        {"a zeroed index node", zeroed_node, "index-page-type"},
        {"two entries' rows swapped", swapped_entries, "index-key-mismatch"},
        {"an entry naming a row its page does not have", dangling_entry, "index-dangling-entry"},
        {"a stale row count", stale_row_count, ""},
        {"a broken usage map of an index", broken_index_map, "index-map-mismatch"},
        {"a zeroed data page without live rows", zeroed_empty_data_page, "data-page-zeroed"},
        {"a missing free-space map", missing_free_space_map, "free-map-mismatch"},
        {"a missing map of a memo column's pages", missing_long_value_map, "lv-map-mismatch"},
        {"a page of rows its indexes name left out of the table's map", indexed_page_left_out,
         "map-page-missing"},
        {"the page holding a table's map of pages zeroed", zeroed_map_holder, "owned-map-rebuilt"},
        {"a page of moved rows' data left out of the table's map", moved_rows_page_left_out,
         "map-page-missing"},
        {"a memo column's map of pages pointed at another table's", long_value_map_of_another_table,
         "lv-map-mismatch"},
        {"a relationship with a table the catalog no longer names",
         relationship_with_a_dropped_table, "fk-stale"},
    };
    testsupport::ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path src = dir.path() / "source.mdb";
        const fs::path out = dir.path() / "out.mdb";
        const auto f =
            first_corpus_file_with(src, [&](const testsupport::CorpusFile&, const fs::path& copy) {
                return !jet::check_file(copy).has_errors() && c.damage(copy);
            });
        EXPECT_TRUE(f.has_value()) << "no corpus file has the structure this case needs";
        if (f) {
            SCOPED_TRACE(f->name);
            fs::remove(out);
            jet::CompactResult r;
            ASSERT_NO_THROW(r = jet::compact(src, out, {}));
            std::vector<std::string> codes;
            for (const auto& x : r.repairs) {
                codes.push_back(x.code);
            }
            if (*c.repair != 0) {
                EXPECT_NE(std::find(codes.begin(), codes.end(), c.repair), codes.end())
                    << testing::PrintToString(codes);
            } else {
                EXPECT_TRUE(codes.empty()) << testing::PrintToString(codes);
            }
            jet::CheckOptions strict;
            strict.strict = true;
            EXPECT_TRUE(jet::check_file(out, strict).clean());
            expect_read_alike(f->path, out, "", oracle, source_dir);
            // Every table's trees written on threads, beside its rows: the
            // same copy, the same repairs.
            const fs::path threaded = dir.path() / "threaded.mdb";
            fs::remove(threaded);
            jet::CompactOptions threads;
            threads.index_pages_for_threads = 0;
            jet::CompactResult t;
            ASSERT_NO_THROW(t = jet::compact(src, threaded, threads));
            EXPECT_EQ(t.repairs.size(), r.repairs.size());
            EXPECT_TRUE(same_bytes(threaded, out)) << "the threaded copy differs";
        }
    }
}

// The text column of an index of a user table put under a sort order this
// program does not know (Traditional Spanish), so that its keys cannot be
// computed, and a row of the table taken away from under the index: marked
// deleted as Jet marks it, its entries left (only they are wrong), or its
// entry in that index pointed at a row number its page does not have (the
// row has no entry then). What was done, or nothing.
struct UnknownOrderDamage {
    std::string table;
    std::size_t index = 0;
    jet::RowPointer row;
};
std::optional<UnknownOrderDamage> row_gone_under_unknown_order(const fs::path& file, bool repoint) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    const jet::Format& format = db.file().format();
    if (db.file().encoding_key() != 0 || db.file().cipher() || format.is_jet3()) {
        return std::nullopt;  // crafted bytes would have to be encoded
    }
    for (const auto* obj : db.catalog().tables(false)) {
        const auto& def = db.table_def(obj->table_page());
        const bool long_values = std::any_of(def.columns.begin(), def.columns.end(),
                                             [](const auto& c) { return c.is_long_value(); });
        if (long_values || def.pages.size() != 1) {
            continue;
        }
        for (std::size_t ri = 0; ri < def.real_indexes.size(); ++ri) {
            const auto& ic = def.real_indexes[ri].columns;
            const jet::Column* text = ic.size() == 1 ? def.column_by_number(ic[0].number) : nullptr;
            if (text == nullptr || text->column_type() != jet::ColumnType::text ||
                text->misc != jet::kSortGeneral) {
                continue;
            }
            const auto tree = jet::read_index_tree(db.file(), def.real_indexes[ri].root_page);
            for (const auto leaf : tree.levels.back()) {
                const auto buf = db.read_page(leaf);
                const auto parsed = jet::parse_index_page(format, buf, leaf, "");
                const auto ends = entry_ends(buf);
                for (std::size_t k = 0; k < parsed.entries.size() && k < ends.size(); ++k) {
                    const jet::RowPointer row = parsed.entries[k].entry.row;
                    const auto page = db.read_page(row.page);
                    const std::size_t slot = format.data_page.header_size + 2u * row.row;
                    if (row.row >= jet::le16(page, format.data_page.row_count) ||
                        (jet::le16(page, slot) & (jet::kSlotDeleted | jet::kSlotOverflow)) != 0) {
                        continue;
                    }
                    poke(file, obj->table_page(), text->block_offset + format.column.misc,
                         {0x0A, 0x04});
                    if (repoint) {
                        poke(file, leaf, format.index_page.entries_offset + ends[k] - 1, {0xFE});
                    } else {
                        poke(file, row.page, slot,
                             {page[slot], static_cast<std::uint8_t>(page[slot + 1] |
                                                                    (jet::kSlotDeleted >> 8))});
                    }
                    return UnknownOrderDamage{obj->name, ri, row};
                }
            }
        }
    }
    return std::nullopt;
}

// An index whose keys cannot be computed is rebuilt only by dropping its
// entries of rows that do not exist: its other keys are the source's. A row
// it does not name cannot be given an entry, and refuses the file.
TEST_F(CompactOracles, AnIndexUnderAnUnknownSortOrderOnlyLosesItsDanglingEntries) {
    for (const bool repoint : {false, true}) {
        SCOPED_TRACE(repoint ? "an entry pointed elsewhere" : "a row deleted under its entries");
        testsupport::ScratchDir dir;
        const fs::path src = dir.path() / "source.mdb";
        const fs::path out = dir.path() / "out.mdb";
        std::optional<UnknownOrderDamage> damage;
        const auto f =
            first_corpus_file_with(src, [&](const testsupport::CorpusFile&, const fs::path& copy) {
                if (jet::check_file(copy).has_errors()) {
                    return false;
                }
                damage = row_gone_under_unknown_order(copy, repoint);
                return damage.has_value();
            });
        ASSERT_TRUE(f.has_value()) << "no corpus file has the structure this case needs";
        SCOPED_TRACE(f->name + ", table " + damage->table);
        auto keys = [&](const fs::path& file) {
            const jet::Database db(file);
            const auto* obj = db.catalog().find_table(damage->table);
            const auto& def = db.table_def(obj->table_page());
            std::multiset<std::vector<std::uint8_t>> held;
            for (const auto& e :
                 jet::read_index_entries(db.file(), def.real_indexes[damage->index].root_page)) {
                held.insert(e.key);
            }
            return held;
        };
        if (repoint) {
            try {
                jet::compact(src, out, {});
                ADD_FAILURE() << "a row was left without an entry the index should hold";
            } catch (const jet::Error& e) {
                EXPECT_NE(std::string(e.what()).find(
                              "cannot be rebuilt from its rows: the text sort order 1034"),
                          std::string::npos)
                    << e.what();
            }
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        const auto want = keys(src);
        jet::CompactResult r;
        ASSERT_NO_THROW(r = jet::compact(src, out, {}));
        EXPECT_TRUE(std::any_of(r.repairs.begin(), r.repairs.end(), [](const jet::Repair& x) {
            return x.code == "index-dangling-entry" &&
                   x.description.find("without the entries of rows the table does not have") !=
                       std::string::npos;
        }));
        jet::CheckOptions strict;
        strict.strict = true;
        EXPECT_TRUE(jet::check_file(out, strict).clean());
        const auto copied = keys(out);
        EXPECT_EQ(copied.size() + 1, want.size());
        EXPECT_TRUE(std::includes(want.begin(), want.end(), copied.begin(), copied.end()));
        // mdbtools shows a deleted slot's row: the copy holds the others.
        const auto before = table_rows(src);
        const auto after = table_rows(out);
        EXPECT_EQ(after.at(damage->table).size() + 1, before.at(damage->table).size());
    }
}

// Rows on a page its table's owned-pages map leaves out that no index names
// are read by neither a scan nor a lookup: Jet does not see them, and a
// rewrite leaves such pages behind (in real files mostly those of
// MSysNavPaneObjectIDs). The check notes them, the copy leaves them out and
// frees their page, and says so; a salvage counts nothing lost for them.
TEST_F(CompactOracles, RowsNoPathOfJetReachesAreLeftOutAndReported) {
    testsupport::ScratchDir dir;
    const fs::path src = dir.path() / "source.mdb";
    const fs::path out = dir.path() / "out.mdb";
    std::optional<Lost> dropped;
    const auto f =
        first_corpus_file_with(src, [&](const testsupport::CorpusFile&, const fs::path& copy) {
            dropped = unwitnessed_page_left_out(copy);
            return dropped.has_value();
        });
    ASSERT_TRUE(f.has_value()) << "no corpus file has the structure this case needs";
    SCOPED_TRACE(f->name + ", table " + dropped->table);

    const jet::CheckReport checked = jet::check_file(src);
    const auto note =
        std::find_if(checked.findings.begin(), checked.findings.end(),
                     [](const jet::Finding& x) { return x.code == "rows-unreachable"; });
    ASSERT_NE(note, checked.findings.end());
    EXPECT_EQ(note->severity, jet::Severity::note);
    EXPECT_EQ(note->table, dropped->table);
    EXPECT_NE(note->description.find(std::to_string(dropped->rows) + " row(s) on 1 page(s)"),
              std::string::npos)
        << note->description;

    jet::CompactResult r;
    ASSERT_NO_THROW(r = jet::compact(src, out, {}));
    EXPECT_TRUE(std::any_of(r.repairs.begin(), r.repairs.end(), [&](const jet::Repair& x) {
        return x.code == "rows-unreachable" && x.table == dropped->table;
    }));
    jet::CheckOptions strict;
    strict.strict = true;
    EXPECT_TRUE(jet::check_file(out, strict).clean());
    // What every reader sees of the table is kept, the rows no reader sees
    // are gone, the other tables are whole.
    const auto before = table_rows(f->path);
    const auto after = table_rows(out);
    for (const auto& [table, rows] : before) {
        SCOPED_TRACE(table);
        ASSERT_EQ(after.count(table), 1u);
        if (table != dropped->table) {
            EXPECT_EQ(after.at(table), rows);
            continue;
        }
        const auto& kept = after.at(table);
        EXPECT_EQ(kept.size() + dropped->rows, rows.size());
        EXPECT_TRUE(std::includes(rows.begin(), rows.end(), kept.begin(), kept.end()));
        EXPECT_EQ(table_rows(src).at(table), kept) << "mdbtools reads the source alike";
    }

    fs::remove(out);
    jet::SalvageResult salvaged;
    ASSERT_NO_THROW(salvaged = jet::salvage(src, out, {}));
    EXPECT_FALSE(salvaged.lost_anything());
}

// ------------------------------------------------------------------------
// Salvage: copies that lose data three ways - a data page whose row table
// cannot be read, a memo chain whose link points out of the file, a table
// definition with a wrong magic number. Compaction refuses each, naming
// --salvage; a salvage writes a clean copy whose rows are rows of the
// original (the emptied value aside), and counts exactly what was lost.

// The user tables of `file` with a primary key and no relationship, and the
// Database to read them with.
template <typename Visit>
std::optional<Lost> each_plain_table(const fs::path& file, Visit&& visit) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    if (db.file().encoding_key() != 0) {
        return std::nullopt;  // crafted bytes would have to be encoded
    }
    std::set<std::uint32_t> related;
    for (const auto* obj : db.catalog().tables(true)) {
        for (const auto& li : db.table_def(obj->table_page()).logical_indexes) {
            if (li.is_foreign_key()) {
                related.insert(obj->table_page());
                related.insert(li.rel_table_page);
            }
        }
    }
    for (const auto* obj : db.catalog().tables(false)) {
        const auto& def = db.table_def(obj->table_page());
        const bool keyed = std::any_of(def.logical_indexes.begin(), def.logical_indexes.end(),
                                       [](const auto& li) { return li.is_primary_key(); });
        if (keyed && related.count(obj->table_page()) == 0) {
            if (auto lost = visit(db, *obj, def)) {
                return lost;
            }
        }
    }
    return std::nullopt;
}

// The first data page of a table with a few rows: its slot count made larger
// than the page can hold.
std::optional<Lost> unreadable_data_page(const fs::path& file) {
    return each_plain_table(file,
                            [&](const jet::Database& db, const jet::CatalogObject& obj,
                                const jet::TableDef& def) -> std::optional<Lost> {
                                std::map<std::uint32_t, std::uint64_t> per_page;
                                std::uint64_t rows = 0;
                                bool moved = false;
                                db.for_each_row(def, [&](const jet::RowRef& r) {
                                    ++per_page[r.pointer.page];
                                    ++rows;
                                    moved = moved || r.pointer != r.data;
                                });
                                if (rows < 2 || moved) {
                                    return std::nullopt;
                                }
                                const auto& [page, lost] = *per_page.begin();
                                poke(file, page, 12, {0xFF, 0x0F});
                                return Lost{obj.name, lost, false, "", "", rows};
                            });
}

// The first link of a memo stored as a chain of pages, pointed past the end
// of the file.
std::optional<Lost> broken_memo_chain(const fs::path& file) {
    return each_plain_table(
        file,
        [&](const jet::Database& db, const jet::CatalogObject& obj,
            const jet::TableDef& def) -> std::optional<Lost> {
            std::optional<Lost> found;
            std::uint64_t rows = 0;
            db.for_each_row(def, [&](const jet::RowRef& r) {
                ++rows;
                if (found || r.pointer != r.data) {
                    return;
                }
                const auto layout = jet::parse_row_layout(def, r.bytes, "row");
                for (const auto& c : def.columns) {
                    const auto span = c.is_long_value()
                                          ? jet::locate_column(c, layout, r.bytes, "row")
                                          : std::nullopt;
                    if (!span || span->length < 12 || r.bytes[span->offset + 3] != 0x00) {
                        continue;  // not a chain
                    }
                    const jet::RowPointer first{jet::le24(r.bytes, span->offset + 5),
                                                r.bytes[span->offset + 4]};
                    const jet::DataPage lv(jet::jet4_format(), db.read_page(first.page), first.page,
                                           "");
                    poke(file, first.page, lv.slot(first.row).start, {0x00, 0xFF, 0xFF, 0xFF});
                    std::string key;
                    for (const auto& li : def.logical_indexes) {
                        if (li.is_primary_key()) {
                            for (const auto& ic : def.real_indexes[li.real_index].columns) {
                                const jet::Column& k = *def.column_by_number(ic.number);
                                key += (key.empty() ? "" : ", ") + k.name + "=" +
                                       jet::format_value(jet::decode_column(db.file(), k, layout,
                                                                            r.bytes, "row"));
                            }
                        }
                    }
                    found = Lost{obj.name, 0, false, key, c.name};
                    return;
                }
            });
            if (found) {
                found->total = rows;
            }
            return found;
        });
}

// A table's definition carrying a wrong magic number, or zeroed: then only
// its pages of rows, naming it, tell that the table was there.
std::optional<Lost> damaged_definition(const fs::path& file, bool zeroed) {
    return each_plain_table(file,
                            [&](const jet::Database& db, const jet::CatalogObject& obj,
                                const jet::TableDef& def) -> std::optional<Lost> {
                                std::uint64_t rows = 0;
                                db.for_each_row(def, [&](const jet::RowRef&) { ++rows; });
                                if (rows == 0 || (zeroed && def.pages.size() != 1)) {
                                    return std::nullopt;
                                }
                                if (zeroed) {
                                    poke(file, obj.table_page(), 0,
                                         std::vector<std::uint8_t>(jet::jet4_format().page_size));
                                } else {
                                    poke(file, obj.table_page(), jet::jet4_format().tdef.magic,
                                         le32_bytes(7));
                                }
                                return Lost{obj.name, rows, true, "", "", rows};
                            });
}
std::optional<Lost> wrong_definition(const fs::path& file) {
    return damaged_definition(file, false);
}
std::optional<Lost> zeroed_definition(const fs::path& file) {
    return damaged_definition(file, true);
}

// Pages of something else, appended to the file, listed in a table's inline
// owned-pages map: more of them than a salvage makes rounds, so that all
// their bits, on the one holder page, must be cleared in the same round.
// Without `appended`, the pages listed lie past the end of the file, as in a
// file cut short: the table keeps every row on the pages it has.
std::optional<Lost> pages_listed(const fs::path& file, bool appended) {
    return each_plain_table(
        file,
        [&](const jet::Database& db, const jet::CatalogObject& obj,
            const jet::TableDef& def) -> std::optional<Lost> {
            constexpr std::uint32_t kForeign = 6;
            auto buf = db.read_page(def.owned_map.page);
            const jet::DataPage holder(jet::jet4_format(), buf, def.owned_map.page, "");
            const jet::RowSlot& slot = holder.slot(def.owned_map.row);
            const std::uint32_t first = db.page_count();
            if (buf[slot.start] != 0 || slot.overflow() ||
                first + kForeign > jet::le32(buf, slot.start + 1) + (slot.length() - 5) * 8u) {
                return std::nullopt;  // not an inline map that reaches past the file
            }
            std::uint64_t rows = 0;
            db.for_each_row(def, [&](const jet::RowRef&) { ++rows; });
            for (std::uint32_t n = first; n < first + kForeign; ++n) {
                if (appended) {
                    std::vector<std::uint8_t> page(jet::jet4_format().page_size, 0);
                    page[0] = 9;  // what no data page is
                    poke(file, n, 0, page);
                }
                const std::uint32_t bit = n - jet::le32(buf, slot.start + 1);
                buf[slot.start + 5 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
            }
            poke(file, def.owned_map.page, 0, {buf.begin(), buf.end()});
            return Lost{obj.name, 0, false, "", "", rows};
        });
}
std::optional<Lost> foreign_pages_listed(const fs::path& file) {
    return pages_listed(file, true);
}
std::optional<Lost> pages_listed_past_the_end(const fs::path& file) {
    return pages_listed(file, false);
}

TEST_F(CompactOracles, SalvageKeepsWhatCanBeReadAndCountsWhatIsLost) {
    struct Case {
        const char* name;
        std::optional<Lost> (*damage)(const fs::path&);
        const char* finding;
    };
    const Case cases[] = {
        {"a data page that cannot be read", unreadable_data_page, "data-page-undecodable"},
        {"a memo chain pointing out of the file", broken_memo_chain, "dangling-pointer"},
        {"a table definition with a wrong magic number", wrong_definition, "tdef-magic"},
        {"a zeroed table definition", zeroed_definition, "tdef-lost"},
        {"pages of something else in a table's map", foreign_pages_listed, "map-page-foreign"},
        {"pages past the end of the file in a table's map", pages_listed_past_the_end,
         "dangling-pointer"},
    };
    testsupport::ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path src = dir.path() / "source.mdb";
        const fs::path out = dir.path() / "out.mdb";
        std::optional<Lost> lost;
        decltype(table_rows(src)) before;
        const auto f = first_corpus_file_with(
            src, [&](const testsupport::CorpusFile& original, const fs::path& copy) {
                lost = c.damage(copy);
                before = lost ? table_rows(original.path) : decltype(before)();
                // mdb-export may read the table otherwise (its values hold its separators).
                return lost && before.at(lost->table).size() == lost->total;
            });
        EXPECT_TRUE(f.has_value()) << "no corpus file has the structure this case needs";
        if (f) {
            SCOPED_TRACE(f->name + ", table " + lost->table);
            fs::remove(out);
            try {
                jet::compact(src, out, {});
                ADD_FAILURE() << "a copy that loses data was compacted";
            } catch (const jet::Error& e) {
                EXPECT_NE(std::string(e.what()).find(c.finding), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find("--salvage"), std::string::npos) << e.what();
            }
            ASSERT_FALSE(fs::exists(out));

            jet::SalvageResult r;
            ASSERT_NO_THROW(r = jet::salvage(src, out, {}));
            EXPECT_FALSE(jet::check_file(out).has_errors());
            ASSERT_EQ(r.losses.size(), 1u);
            const jet::TableLoss& t = r.losses[0];
            EXPECT_EQ(t.table, lost->table);
            EXPECT_EQ(t.left_out, lost->left_out);
            EXPECT_EQ(t.rows_lost, lost->rows);
            EXPECT_TRUE(t.rows_lost_exact);
            EXPECT_FALSE(t.causes.empty());
            if (lost->emptied_column.empty()) {
                EXPECT_TRUE(t.emptied.empty());
            } else {
                ASSERT_EQ(t.emptied.size(), 1u);
                EXPECT_EQ(t.emptied[0].row, lost->emptied_row);
                EXPECT_EQ(t.emptied[0].column, lost->emptied_column);
            }

            // Every row of the copy is a row of the original; the one with
            // its memo emptied differs from its original in that value only.
            const auto after = table_rows(out);
            for (const auto& [table, rows] : before) {
                SCOPED_TRACE(table);
                if (table != lost->table) {
                    EXPECT_TRUE(after.count(table) != 0 && after.at(table) == rows);
                    continue;
                }
                if (lost->left_out) {
                    EXPECT_EQ(after.count(table), 0u);
                    continue;
                }
                const auto& kept = after.at(table);
                EXPECT_EQ(kept.size() + lost->rows, rows.size());
                EXPECT_EQ(t.rows_kept, kept.size());
                std::vector<std::vector<std::string>> changed;
                std::set_difference(kept.begin(), kept.end(), rows.begin(), rows.end(),
                                    std::back_inserter(changed));
                EXPECT_EQ(changed.size(), t.emptied.size());
            }
            if (!oracle.empty()) {
                std::string err;
                const auto rows = mdb_reader_rows(oracle, out, "", read_catalog(out), err);
                EXPECT_TRUE(err.empty()) << err;
                EXPECT_EQ(rows.count(lost->table), lost->left_out ? 0u : 1u);
            }
        }
    }
}

// A relationship whose half names no table: the compaction refuses it, the
// salvage keeps every row and both indexes, without the relationship.
TEST_F(CompactOracles, SalvageLeavesOutABrokenRelationshipAndKeepsItsIndexes) {
    testsupport::ScratchDir dir;
    const fs::path src = dir.path() / "source.mdb";
    const fs::path out = dir.path() / "out.mdb";
    std::optional<Relationship> broken;
    const auto f =
        first_corpus_file_with(src, [&](const testsupport::CorpusFile&, const fs::path& copy) {
            broken = broken_relationship(copy, false);
            return broken.has_value();
        });
    if (!f) {
        GTEST_SKIP() << "no corpus file holds a relationship";
    }
    SCOPED_TRACE(f->name);
    EXPECT_THROW(jet::compact(src, out, {}), jet::Error);
    jet::SalvageResult r;
    ASSERT_NO_THROW(r = jet::salvage(src, out, {}));
    EXPECT_FALSE(jet::check_file(out).has_errors());
    std::map<std::string, std::vector<std::string>> lost;
    for (const auto& t : r.losses) {
        EXPECT_EQ(t.rows_lost, 0u);
        EXPECT_FALSE(t.left_out);
        lost[t.table] = t.relationships;
    }
    // The other half no longer named back is left out too.
    const std::map<std::string, std::vector<std::string>> want{
        {broken->table, {broken->index}}, {broken->other_table, {broken->other_index}}};
    EXPECT_EQ(lost, want);
    EXPECT_EQ(table_rows(out), table_rows(f->path));
    const jet::Database copy(out);
    for (const auto* obj : copy.catalog().tables(false)) {
        for (const auto& li : copy.table_def(obj->table_page()).logical_indexes) {
            if (li.name == broken->index || li.name == broken->other_index) {
                EXPECT_FALSE(li.is_foreign_key()) << li.name;
            }
        }
    }
}

}  // namespace
