// The reader on real corpus files: the refusals that run before anything
// else, the password, and whole-file walks (catalog, rows).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/export.h"
#include "jet/format/header.h"
#include "jet/format/row.h"
#include "testsupport/corpus.h"

namespace {

using testsupport::CorpusFile;

std::optional<CorpusFile> corpus_file(const std::string& name) {
    for (const CorpusFile& f : testsupport::corpus_files()) {
        if (f.name == name) {
            return f;
        }
    }
    return std::nullopt;
}

// Opens `path` and returns the error it is refused with.
jet::Error refusal(const std::filesystem::path& path,
                   std::optional<std::string> password = std::nullopt) {
    try {
        jet::Database db(path, jet::OpenOptions{std::move(password), true});
    } catch (const jet::Error& e) {
        return e;
    }
    ADD_FAILURE() << path << " opened but should have been refused";
    return jet::Error(jet::ErrorKind::io, "");
}

#define REQUIRE_CORPUS()                        \
    if (!testsupport::corpus_dir()) {           \
        GTEST_SKIP() << "corpus not available"; \
    }

TEST(Header, Access97FilesOpenInTheirOwnFormat) {
    REQUIRE_CORPUS();
    const auto files = testsupport::corpus_files("jet3");
    ASSERT_FALSE(files.empty());
    for (const CorpusFile& f : files) {
        SCOPED_TRACE(f.name);
        const jet::Database db(f.path);
        const jet::Header& h = db.header();
        EXPECT_TRUE(h.format().is_jet3());
        EXPECT_EQ(db.file().page_size(), 2048u);
        EXPECT_EQ(db.page_count() * std::uint64_t{2048}, db.file().size_bytes());
        EXPECT_EQ(h.code_page, 1252);
        EXPECT_EQ(h.sort_order.lcid, 0x0409);
        EXPECT_EQ(jet::decode_password(h), "");
        // Only the encoded file carries a key; its pages decode like the others.
        EXPECT_EQ(h.encoding_key != 0, f.name == "jackcessencrypt/db97-enc.mdb");
        EXPECT_FALSE(db.catalog().tables(false).empty());
    }
    // A Jet 3 page size is not a Jet 4 one: a 2 KB file that is not a whole
    // number of 4 KB pages opens, and one cut inside a page is refused.
    testsupport::ScratchDir dir;
    const std::filesystem::path cut = testsupport::copy_to_scratch(files.front().path, dir.path());
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 100);
    EXPECT_EQ(refusal(cut).kind(), jet::ErrorKind::truncated);
    EXPECT_NE(std::string(refusal(cut).what()).find("2048-byte pages"), std::string::npos);
}

TEST(Refusal, AccdbFilesOpenAndEncryptedOnesOnlyWithTheirPassword) {
    REQUIRE_CORPUS();
    int plain = 0;
    int encrypted = 0;
    for (const std::string format : {"ace12", "ace14", "ace17"}) {
        for (const CorpusFile& f : testsupport::corpus_files(format)) {
            SCOPED_TRACE(f.name);
            // The encrypted ones are exactly those with a password in the manifest.
            if (f.password.empty()) {
                const jet::Database db(f.path);
                EXPECT_TRUE(db.header().is_ace());
                EXPECT_FALSE(db.header().office_encrypted());
                EXPECT_FALSE(db.catalog().tables(true).empty());
                ++plain;
                continue;
            }
            // Without it, or with another, nothing can be read: Jet's own words.
            for (const std::optional<std::string>& wrong :
                 {std::optional<std::string>(), std::optional(f.password + "x"),
                  std::optional(std::string())}) {
                const jet::Error e = refusal(f.path, wrong);
                EXPECT_EQ(e.kind(), jet::ErrorKind::bad_password) << e.what();
                EXPECT_STREQ(e.what(), jet::kNotAValidPassword);
            }
            // Inspection does not need a Jet 4 password, but it needs this one.
            EXPECT_EQ(refusal(f.path).kind(), jet::ErrorKind::bad_password);
            const jet::Database db(f.path, jet::OpenOptions{f.password, true});
            EXPECT_TRUE(db.header().office_encrypted());
            EXPECT_FALSE(db.catalog().tables(true).empty());
            ++encrypted;
        }
    }
    EXPECT_GT(plain, 0);
    EXPECT_GT(encrypted, 0);
    // A version byte no Access writes (4, between 2010 and 2016) or a newer
    // one is refused, never read as if it were known.
    const auto f = corpus_file("jackcess/ace/testV2010.accdb");
    ASSERT_TRUE(f);
    testsupport::ScratchDir dir;
    const auto copy = testsupport::copy_to_scratch(f->path, dir.path());
    for (const char version : {'\x04', '\x07'}) {
        {
            std::fstream out(copy, std::ios::in | std::ios::out | std::ios::binary);
            out.seekp(0x14);
            out.write(&version, 1);
        }
        const jet::Error e = refusal(copy);
        EXPECT_EQ(e.kind(), jet::ErrorKind::ace) << e.what();
        EXPECT_NE(std::string(e.what()).find("does not know"), std::string::npos) << e.what();
    }
}

// Encryption info that does not decode, or names a scheme this program does
// not read, is said to be so with the right password too: never taken for a
// wrong password, never read past, never a crash.
TEST(Refusal, DamagedOrUnknownEncryptionInfoIsDescribed) {
    REQUIRE_CORPUS();
    const auto agile = corpus_file("jackcessencrypt/db2007-enc.accdb");
    const auto cryptoapi = corpus_file("jackcessencrypt/db2007-oldenc.accdb");
    ASSERT_TRUE(agile && cryptoapi);
    testsupport::ScratchDir dir;
    // A change to page 0 of a copy: replace `from` (text, or bytes at an
    // offset when `at` is set) with `to`, of the same length.
    struct Case {
        const CorpusFile* file;
        std::size_t at;  // 0: find `from` in the page
        std::string from;
        std::string to;
        jet::ErrorKind kind;
    };
    const std::string info_length(2, '\xFF');
    const std::vector<Case> cases{
        {&*agile, 0x299, "", info_length, jet::ErrorKind::damaged},
        {&*agile, 0, "<keyData ", "<keyDatX ", jet::ErrorKind::damaged},
        {&*agile, 0, "</encryption>", "</encryptioX>", jet::ErrorKind::damaged},
        {&*agile, 0, "spinCount=\"100000\"", "spinCount=\"x00000\"", jet::ErrorKind::damaged},
        {&*agile, 0, "ChainingModeCBC", "ChainingModeCFB", jet::ErrorKind::encrypted_ace},
        {&*agile, 0, "keyBits=\"128\"", "keyBits=\"100\"", jet::ErrorKind::encrypted_ace},
        {&*cryptoapi, 0x29B + 2, "", std::string("\x03\x00", 2), jet::ErrorKind::encrypted_ace},
        {&*cryptoapi, 0x299, "", std::string("\x20\x00", 2), jet::ErrorKind::damaged},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from.empty() ? "offset " + std::to_string(c.at) : c.from);
        const auto copy = dir.path() / (std::to_string(n++) + ".accdb");
        std::filesystem::copy_file(c.file->path, copy);
        std::fstream io(copy, std::ios::in | std::ios::out | std::ios::binary);
        std::string page(jet::jet4_format().page_size, '\0');
        io.read(page.data(), static_cast<std::streamsize>(page.size()));
        std::size_t at = c.at;
        if (!c.from.empty()) {
            at = page.find(c.from);
            ASSERT_NE(at, std::string::npos);
        }
        page.replace(at, c.to.size(), c.to);
        io.seekp(0);
        io.write(page.data(), static_cast<std::streamsize>(page.size()));
        io.close();
        const jet::Error e = refusal(copy, c.file->password);
        EXPECT_EQ(e.kind(), c.kind) << e.what();
        EXPECT_NE(std::string(e.what()).find(copy.string()), std::string::npos) << e.what();
    }
}

TEST(Refusal, TruncatedCopiesAreRefusedAsTruncated) {
    REQUIRE_CORPUS();
    const auto f = corpus_file("jackcess/testV2003.mdb");
    ASSERT_TRUE(f);
    testsupport::ScratchDir dir;
    const auto copy = testsupport::copy_to_scratch(f->path, dir.path());
    // Cut inside a page: not a whole number of pages.
    std::filesystem::resize_file(copy, 5 * jet::jet4_format().page_size + 100);
    jet::Error e = refusal(copy);
    EXPECT_EQ(e.kind(), jet::ErrorKind::truncated);
    EXPECT_NE(std::string(e.what()).find("not a whole number"), std::string::npos) << e.what();
    // Whole pages, but fewer than the three every database has.
    std::filesystem::resize_file(copy, 2 * jet::jet4_format().page_size);
    e = refusal(copy);
    EXPECT_EQ(e.kind(), jet::ErrorKind::truncated);
    EXPECT_NE(std::string(e.what()).find("fewer than the 3"), std::string::npos) << e.what();
    // Shorter than page 0 itself.
    std::filesystem::resize_file(copy, 300);
    EXPECT_EQ(refusal(copy).kind(), jet::ErrorKind::truncated);
    // Whole pages, but the tables it names lie past the end: damage, named by page.
    std::filesystem::copy_file(f->path, copy, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(copy, 10 * jet::jet4_format().page_size);
    e = refusal(copy);
    EXPECT_EQ(e.kind(), jet::ErrorKind::damaged) << e.what();
    EXPECT_NE(std::string(e.what()).find("page"), std::string::npos) << e.what();
}

TEST(Refusal, FilesThatAreNoDatabaseAtAll) {
    testsupport::ScratchDir dir;
    const auto text = dir.path() / "notes.mdb";
    {
        std::ofstream out(text);
        for (int i = 0; i < 2000; ++i) {
            out << "This is a plain text file, line " << i << "\n";
        }
    }
    jet::Error e = refusal(text);
    EXPECT_EQ(e.kind(), jet::ErrorKind::not_a_database);
    EXPECT_NE(std::string(e.what()).find("not an Access database"), std::string::npos);

    const auto empty = dir.path() / "empty.mdb";
    std::ofstream(empty).close();
    e = refusal(empty);
    EXPECT_EQ(e.kind(), jet::ErrorKind::not_a_database);
    EXPECT_NE(std::string(e.what()).find("empty"), std::string::npos) << e.what();

    const auto missing = dir.path() / "missing.mdb";
    EXPECT_EQ(refusal(missing).kind(), jet::ErrorKind::io);

    // Access 1.x and 2.0 files (the first bytes and those at 0x406 as real
    // ones hold them, plain and encrypted) are named as what they are; a
    // file that only starts alike is no database.
    struct Early {
        std::vector<std::uint8_t> head;
        std::vector<std::uint8_t> mark;  // at 0x406, the version after it
        const char* said;
    };
    const Early early[] = {
        {{0x01, 0, 0, 0}, {'R', 'i', 'c', 'h', 0x09}, "an Access 2.0 database (Jet 2.0)"},
        {{0x01, 0, 0, 0}, {'R', 'i', 'c', 'h', 0x08}, "an Access 1.1 database (Jet 1.1)"},
        {{0x77, 0x2C, 0x53, 0x20}, {0xC8, 0xE4, 0x4D, 0xCF, 0x68}, "an Access 2.0 database"},
        {{0x01, 0, 0, 0}, {'R', 'i', 'c', 'h', 0x11}, "an Access 2.0 or earlier database"},
        {{0x01, 0, 0, 0}, {'P', 'a', 's', 'c', 0x09}, "is not an Access database"},
    };
    for (const Early& c : early) {
        std::vector<std::uint8_t> bytes(64 * 1024, 0);
        std::copy(c.head.begin(), c.head.end(), bytes.begin());
        std::copy(c.mark.begin(), c.mark.end(), bytes.begin() + 0x406);
        const auto old = dir.path() / "old.mdb";
        std::ofstream(old, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        e = refusal(old);
        EXPECT_EQ(e.kind(), jet::ErrorKind::not_a_database);
        EXPECT_NE(std::string(e.what()).find(c.said), std::string::npos) << e.what();
    }
}

TEST(Refusal, MoreThanTwoGigabytesOfPages) {
    REQUIRE_CORPUS();
    const auto f = corpus_file("jackcess/testV2003.mdb");
    ASSERT_TRUE(f);
    testsupport::ScratchDir dir;
    const auto copy = testsupport::copy_to_scratch(f->path, dir.path());
    // A sparse file: costs no disk.
    std::filesystem::resize_file(
        copy, (std::uintmax_t{jet::jet4_format().max_pages} + 1) * jet::jet4_format().page_size);
    const jet::Error e = refusal(copy);
    EXPECT_EQ(e.kind(), jet::ErrorKind::damaged);
    EXPECT_NE(std::string(e.what()).find("524288"), std::string::npos) << e.what();
}

TEST(Password, WrongOrMissingPasswordGetsJetsOwnText) {
    REQUIRE_CORPUS();
    int protected_files = 0;
    for (const CorpusFile& f : testsupport::corpus_files("jet4")) {
        if (f.password.empty()) {
            continue;
        }
        SCOPED_TRACE(f.name);
        ++protected_files;
        for (const std::optional<std::string>& wrong :
             {std::optional<std::string>{}, std::optional<std::string>{""},
              std::optional<std::string>{f.password + "x"},
              std::optional<std::string>{f.password.substr(0, f.password.size() - 1)}}) {
            const jet::Error e = refusal(f.path, wrong);
            EXPECT_EQ(e.kind(), jet::ErrorKind::bad_password);
            EXPECT_STREQ(e.what(), "Not a valid password.");
        }
        // Case matters.
        std::string upper = f.password;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        EXPECT_EQ(refusal(f.path, upper).kind(), jet::ErrorKind::bad_password);
        // The right one opens it; inspection may skip the check.
        const jet::Database db(f.path, jet::OpenOptions{f.password, true});
        EXPECT_EQ(jet::decode_password(db.header()), f.password);
        EXPECT_NO_THROW(jet::Database(f.path, jet::OpenOptions{std::nullopt, false}));
    }
    EXPECT_GE(protected_files, 3);
}

TEST(Password, DatabasesWithoutPasswordIgnoreAGivenOne) {
    REQUIRE_CORPUS();
    const auto f = corpus_file("mdb-reader/V2003_no-password.mdb");
    ASSERT_TRUE(f);
    const jet::Database db(f->path, jet::OpenOptions{std::string("anything"), true});
    EXPECT_EQ(jet::decode_password(db.header()), "");
}

TEST(Password, EncodeSetAndRemoveRoundTrip) {
    REQUIRE_CORPUS();
    const auto f = corpus_file("mdb-reader/V2003_no-password.mdb");
    ASSERT_TRUE(f);
    const jet::Database db(f->path);
    jet::PageBuf raw = db.header().raw;
    const auto parse = [&](const jet::PageBuf& page) {
        std::vector<std::uint8_t> file(page.begin(), page.end());
        return jet::parse_header(jet::Bytes(file.data(), file.size()),
                                 3 * jet::jet4_format().page_size, "x");
    };
    // Twenty characters, one outside Latin-1.
    const std::string pw = "Zwanzig Zeichen \xE2\x82\xAC!!!";
    jet::set_password(jet::MutableBytes(raw.data(), raw.size()), pw);
    jet::Header h = parse(raw);
    EXPECT_EQ(jet::decode_password(h), pw);
    EXPECT_TRUE(jet::password_matches(h, pw));
    EXPECT_FALSE(jet::password_matches(h, std::nullopt));
    // Only the password bytes changed; the rest of page 0 is kept.
    for (std::size_t i = 0; i < jet::jet4_format().page_size; ++i) {
        if (i < jet::header_offsets::kPassword ||
            i >= jet::header_offsets::kPassword + jet::jet4_format().header.password_length) {
            ASSERT_EQ(raw[i], db.header().raw[i]) << "offset " << i;
        }
    }
    // Removing writes the bare mask back: the original bytes.
    jet::set_password(jet::MutableBytes(raw.data(), raw.size()), "");
    EXPECT_EQ(raw, db.header().raw);
    // Too long: refused, page left as it was.
    EXPECT_THROW(
        jet::set_password(jet::MutableBytes(raw.data(), raw.size()), "twenty-one characters"),
        jet::Error);
    EXPECT_EQ(raw, db.header().raw);
}

TEST(Header, FieldsOfKnownFiles) {
    REQUIRE_CORPUS();
    const auto f = corpus_file("jackcessencrypt/db-enc.mdb");
    ASSERT_TRUE(f);
    const jet::Database db(f->path);
    EXPECT_EQ(db.header().version, 1);
    EXPECT_EQ(db.header().encoding_key, 0xA7B773E0u);
    EXPECT_EQ(db.header().code_page, 1252);
    // An encoded database reads like any other.
    EXPECT_FALSE(db.catalog().tables(false).empty());

    const auto g = corpus_file("mdb-reader/V2003_with-password.mdb");
    ASSERT_TRUE(g);
    const jet::Database pw(g->path, jet::OpenOptions{std::string("password"), true});
    EXPECT_EQ(pw.header().encoding_key, 0u);
    EXPECT_EQ(pw.header().sort_order.lcid, 0x0409);
    // 2022-01-07 16:26:02 per the manifest, which truncates seconds.
    EXPECT_EQ(jet::format_date(pw.header().creation_date).substr(0, 16), "2022-01-07 16:26");
}

TEST(Catalog, TablesAndCaseInsensitiveLookup) {
    REQUIRE_CORPUS();
    const auto f = corpus_file("tika/testAccess2_2000.mdb");
    ASSERT_TRUE(f);
    const jet::Database db(f->path);
    std::vector<std::string> user;
    for (const auto* o : db.catalog().tables(false)) {
        user.push_back(o->name);
    }
    EXPECT_EQ(user, (std::vector<std::string>{"Table1", "Table2"}));
    const auto all = db.catalog().tables(true);
    EXPECT_GT(all.size(), user.size());
    const auto* catalog = db.catalog().find_table("msysobjects");
    ASSERT_NE(catalog, nullptr);
    EXPECT_EQ(catalog->table_page(), 2u);
    EXPECT_TRUE(catalog->is_system());
    EXPECT_EQ(&db.table("TABLE1"), &db.table("Table1"));
    EXPECT_EQ(db.table("table1").name_hint, "Table1");
    try {
        (void)db.table("NoSuchTable");
        FAIL();
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::invalid_argument);
        EXPECT_NE(std::string(e.what()).find("NoSuchTable"), std::string::npos);
    }
}

TEST(Rows, DeletedColumnsAndOverflowRows) {
    REQUIRE_CORPUS();
    // Columns 0, 2, 3, 5 remain; rows still carry six.
    const auto f = corpus_file("jackcess/delColTestV2000.mdb");
    ASSERT_TRUE(f);
    const jet::Database db(f->path);
    const auto tables = db.catalog().tables(false);
    ASSERT_FALSE(tables.empty());
    const jet::TableDef& t = db.table_def(tables.front()->table_page());
    EXPECT_GT(t.max_columns, t.columns.size());
    const auto rows = db.read_rows(t);
    EXPECT_FALSE(rows.empty());

    // Overflow headers are followed, their targets not read twice.
    const auto o = corpus_file("jackcess/overflowTestV2003.mdb");
    ASSERT_TRUE(o);
    const jet::Database odb(o->path);
    int headers = 0;
    for (const auto* table : odb.catalog().tables(true)) {
        const jet::TableDef& td = odb.table_def(table->table_page());
        std::set<jet::RowPointer> seen;
        odb.for_each_row(td, [&](const jet::RowRef& r) {
            EXPECT_TRUE(seen.insert(r.data).second) << "row read twice";
            if (r.data != r.pointer) {
                ++headers;
            }
        });
    }
    EXPECT_GT(headers, 0);
}

// Rows stored before columns were added hold fewer columns than their table:
// widened, they hold every column, the values they had where a reader finds
// them, the new ones null, in both row layouts (Jet 3's past 256 bytes needs
// its jump table).
TEST(Rows, RowsStoredBeforeColumnsWereAddedAreWidenedWithTheirValues) {
    using jet::Column;
    using jet::ColumnType;
    auto column = [](ColumnType type, std::uint16_t number, bool fixed, std::uint16_t at,
                     std::uint16_t length) {
        Column c;
        c.type = static_cast<std::uint8_t>(type);
        c.number = number;
        c.flags = fixed ? jet::kColumnFlagFixed : 0;
        (fixed ? c.fixed_offset : c.var_index) = at;
        c.length = length;
        c.name = "c" + std::to_string(number);
        return c;
    };
    struct Case {
        bool jet3;
        std::uint16_t added_fixed;  // length of the fixed column added later
        bool var_table;             // the short row has a variable-column table
    };
    for (const Case k : {Case{false, 2, true}, Case{false, 300, true}, Case{false, 2, false},
                         Case{true, 2, true}, Case{true, 300, true}, Case{true, 300, false}}) {
        SCOPED_TRACE(std::string(k.jet3 ? "Jet 3" : "Jet 4") + ", " +
                     std::to_string(k.added_fixed) + (k.var_table ? "" : ", no variable table"));
        jet::TableDef t;
        t.format = k.jet3 ? &jet::jet3_format() : &jet::jet4_format();
        t.max_columns = 6;  // column 5 was deleted
        t.var_column_count = 2;
        t.first_var_column = 1;
        t.columns = {column(ColumnType::long_integer, 0, true, 0, 4),
                     column(ColumnType::text, 1, false, 0, 50),
                     column(ColumnType::binary, 2, true, 4, k.added_fixed),
                     column(ColumnType::text, 3, false, 1, 50),
                     column(ColumnType::boolean, 4, true, 0, 0)};
        // Long 0x11223344, then (with a variable table) "abc".
        std::vector<std::uint8_t> row;
        const std::uint8_t count = k.var_table ? 2 : 1;
        row.push_back(count);
        if (!k.jet3) {
            row.push_back(0);
        }
        row.insert(row.end(), {0x44, 0x33, 0x22, 0x11});
        std::size_t start_at = 0;  // where the first variable column's start is stored
        if (k.var_table) {
            const std::uint8_t start = static_cast<std::uint8_t>(row.size());
            row.insert(row.end(), {'a', 'b', 'c'});
            const std::uint8_t end = static_cast<std::uint8_t>(row.size());
            if (k.jet3) {
                row.insert(row.end(), {end, start, 1});
                start_at = row.size() - 2;
            } else {
                row.insert(row.end(), {end, 0, start, 0, 1, 0});
                start_at = row.size() - 4;
            }
        }
        row.push_back(count == 2 ? 0x03 : 0x01);
        if (k.var_table) {
            // Damage in the slot of a deleted column (which nothing reads,
            // so the row still parses): the variable data said to start
            // before the row's data. The row is left as it is.
            auto bad = row;
            bad[start_at] = 0;
            jet::TableDef deleted = t;
            deleted.columns.erase(deleted.columns.begin() + 1);
            EXPECT_FALSE(jet::widen_row(deleted, bad, "bad row"));
        }

        EXPECT_EQ(jet::stored_column_count(t, row), count);
        EXPECT_EQ(jet::columns_to_hold_all(t), 5);
        const auto wide = jet::widen_row(t, row, "row");
        ASSERT_TRUE(wide);
        const jet::Bytes w(wide->data(), wide->size());
        EXPECT_EQ(jet::stored_column_count(t, w), 6);
        EXPECT_EQ(k.added_fixed == 300, wide->size() > 256);
        const jet::RowLayout l = jet::parse_row_layout(t, w, "wide row");
        EXPECT_EQ(l.var_count, 2);
        auto value = [&](std::size_t c) -> std::optional<std::vector<std::uint8_t>> {
            const auto span = jet::locate_column(t.columns[c], l, w, "wide row");
            if (!span) {
                return std::nullopt;
            }
            return std::vector<std::uint8_t>(w.begin() + span->offset,
                                             w.begin() + span->offset + span->length);
        };
        EXPECT_EQ(value(0), (std::vector<std::uint8_t>{0x44, 0x33, 0x22, 0x11}));
        if (k.var_table) {
            EXPECT_EQ(value(1), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
        } else {
            EXPECT_FALSE(value(1));
        }
        EXPECT_FALSE(value(2));
        EXPECT_FALSE(value(3));
        EXPECT_FALSE(l.not_null(4));
        // The variable table's slots lie after every fixed column.
        EXPECT_GE(l.bound(0), l.fixed_start + 4 + k.added_fixed);
        EXPECT_FALSE(jet::widen_row(t, w, "wide row")) << "a full row is widened again";
    }
}

}  // namespace
