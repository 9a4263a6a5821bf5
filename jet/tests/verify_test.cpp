// Verification of compacted copies: the canonical form of a row does not
// depend on how its values are stored, and a copy whose data differ from
// the source is refused even when it is a consistent database of its own
// (the damaged copies here are compactions of deliberately changed sources,
// so the structural checker has nothing to say and only the row comparison
// can notice).

#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jet/compact/compactor.h"
#include "jet/compact/output_file.h"
#include "jet/compact/verify.h"
#include "jet/format/data_page.h"
#include "jet/format/data_page_builder.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/long_value.h"
#include "jet/format/page_file.h"
#include "jet/format/row.h"
#include "jet/format/table_def.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;
using Buf = std::vector<std::uint8_t>;

void put16(Buf& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Buf& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

Buf utf16(const std::u16string& s) {
    Buf b;
    for (const char16_t c : s) {
        put16(b, c);
    }
    return b;
}

// A row of the test table below: `id` (fixed Long, column 0), the variable
// columns (null where absent), the boolean column 3.
struct RowSpec {
    std::optional<std::int32_t> id;
    std::optional<Buf> text;  // column 1, var 0
    std::optional<Buf> memo;  // column 2, var 1: the descriptor and inline data
    bool flag = false;        // column 3
};

Buf make_row(const RowSpec& s) {
    Buf row;
    put16(row, 4);
    put32(row, static_cast<std::uint32_t>(s.id.value_or(0)));
    std::vector<std::uint32_t> offsets;
    const std::optional<Buf>* vars[] = {&s.text, &s.memo};
    for (const auto* v : vars) {
        offsets.push_back(static_cast<std::uint32_t>(row.size()));
        if (v->has_value()) {
            row.insert(row.end(), (*v)->begin(), (*v)->end());
        }
    }
    offsets.push_back(static_cast<std::uint32_t>(row.size()));
    for (std::size_t k = offsets.size(); k-- > 0;) {
        put16(row, offsets[k]);
    }
    put16(row, 2);
    const unsigned mask =
        (s.id ? 1u : 0u) | (s.text ? 2u : 0u) | (s.memo ? 4u : 0u) | (s.flag ? 8u : 0u);
    row.push_back(static_cast<std::uint8_t>(mask));
    return row;
}

Buf descriptor(std::uint32_t length, std::uint8_t kind, jet::RowPointer first,
               const Buf& inline_data = {}) {
    Buf d;
    put32(d, length | (static_cast<std::uint32_t>(kind) << 24));
    put32(d, first.encode());
    put32(d, 0);
    d.insert(d.end(), inline_data.begin(), inline_data.end());
    return d;
}

jet::TableDef test_table(const std::string& name) {
    jet::TableDef t;
    t.format = &jet::jet4_format();
    t.name_hint = name;
    t.var_column_count = 2;
    auto column = [&](const char* n, jet::ColumnType type, std::uint16_t number, bool fixed,
                      std::uint16_t var_index) {
        jet::Column c;
        c.name = n;
        c.type = static_cast<std::uint8_t>(type);
        c.number = number;
        c.flags = fixed ? jet::kColumnFlagFixed : 0;
        c.var_index = var_index;
        c.length = type == jet::ColumnType::long_integer ? 4 : 255;
        t.columns.push_back(c);
    };
    column("Id", jet::ColumnType::long_integer, 0, true, 0);
    column("Name", jet::ColumnType::text, 1, false, 0);
    column("Notes", jet::ColumnType::memo, 2, false, 1);
    column("Flag", jet::ColumnType::boolean, 3, true, 0);
    return t;
}

// A file of long-value pages for the rows above: page 1 holds the text in
// one LVAL row, pages 2 and 3 the same text as a chain cut at `cut`, and
// page 4 its compressed form as a chain cut elsewhere.
struct LongValueFile {
    fs::path path;
    Buf value;
    Buf compressed;
};

LongValueFile long_value_file(const fs::path& dir) {
    const std::u16string text = u"A memo that does not fit inline";
    LongValueFile f;
    f.path = dir / "lval.bin";
    f.value = utf16(text);
    f.compressed = {0xFF, 0xFE};
    for (const char16_t c : text) {
        f.compressed.push_back(static_cast<std::uint8_t>(c));  // ASCII only here
    }
    std::map<std::uint32_t, jet::PageBuf> pages;
    pages[1] =
        jet::build_data_page(jet::jet4_format(), std::vector<Buf>{f.value}, jet::kLvalMarker);
    const std::size_t cut = 7;
    Buf first;
    put32(first, jet::RowPointer{3, 0}.encode());
    first.insert(first.end(), f.value.begin(), f.value.begin() + cut);
    Buf second;
    put32(second, 0);
    second.insert(second.end(), f.value.begin() + cut, f.value.end());
    pages[2] = jet::build_data_page(jet::jet4_format(), std::vector<Buf>{first}, jet::kLvalMarker);
    pages[3] = jet::build_data_page(jet::jet4_format(), std::vector<Buf>{second}, jet::kLvalMarker);
    Buf c1;
    put32(c1, jet::RowPointer{4, 1}.encode());
    c1.insert(c1.end(), f.compressed.begin(), f.compressed.begin() + 3);
    Buf c2;
    put32(c2, 0);
    c2.insert(c2.end(), f.compressed.begin() + 3, f.compressed.end());
    pages[4] = jet::build_data_page(jet::jet4_format(), std::vector<Buf>{c1, c2}, jet::kLvalMarker);
    std::ofstream out(f.path, std::ios::binary);
    for (std::uint32_t k = 0; k <= 4; ++k) {
        jet::PageBuf page = jet::blank_page(jet::jet4_format());
        if (pages.count(k) != 0) {
            page = pages[k];
        }
        out.write(reinterpret_cast<const char*>(page.data()), jet::jet4_format().page_size);
    }
    return f;
}

TEST(RowDigest, TheSameValuesStoredDifferentlyGiveTheSameHash) {
    testsupport::ScratchDir dir;
    const LongValueFile lv = long_value_file(dir.path());
    const jet::PageFile file(lv.path, jet::jet4_format());
    const jet::TableDef t = test_table("Things");
    jet::RowDigester digester(file, t, "Things", nullptr);
    auto hash = [&](const RowSpec& s) {
        const Buf row = make_row(s);
        return digester.digest(jet::Bytes(row.data(), row.size()), jet::RowPointer{9, 0});
    };
    const auto n = static_cast<std::uint32_t>(lv.value.size());
    const auto nc = static_cast<std::uint32_t>(lv.compressed.size());

    // Text: plain UTF-16, compressed, compressed with a two-byte run.
    const RowSpec plain{7, utf16(u"ab\u20ACc"), std::nullopt, true};
    RowSpec compressed = plain;
    compressed.text = Buf{0xFF, 0xFE, 'a', 'b', 0x00, 0xAC, 0x20, 0x00, 'c'};
    EXPECT_EQ(hash(plain), hash(compressed));
    RowSpec odd = plain;
    odd.text->push_back(0x41);  // an odd last byte is no character
    EXPECT_EQ(hash(plain), hash(odd));

    // A memo inline, in one row, in a chain, compressed in a chain.
    const RowSpec in_row{7, std::nullopt, descriptor(n, 0x80, {}, lv.value), false};
    const RowSpec one_row{7, std::nullopt, descriptor(n, 0x40, {1, 0}), false};
    const RowSpec chain{7, std::nullopt, descriptor(n, 0x00, {2, 0}), false};
    const RowSpec compressed_chain{7, std::nullopt, descriptor(nc, 0x00, {4, 0}), false};
    const RowSpec compressed_inline{7, std::nullopt, descriptor(nc, 0x80, {}, lv.compressed),
                                    false};
    const jet::RowHash h = hash(in_row);
    EXPECT_EQ(h, hash(one_row));
    EXPECT_EQ(h, hash(chain));
    EXPECT_EQ(h, hash(compressed_chain));
    EXPECT_EQ(h, hash(compressed_inline));

    // ...but one character less is another value.
    const RowSpec shorter{7, std::nullopt, descriptor(n - 2, 0x40, {1, 0}), false};
    EXPECT_NE(h, hash(shorter));
}

TEST(RowDigest, DifferentRowsGiveDifferentHashes) {
    testsupport::ScratchDir dir;
    const LongValueFile lv = long_value_file(dir.path());
    const jet::PageFile file(lv.path, jet::jet4_format());
    const jet::TableDef t = test_table("Things");
    jet::RowDigester digester(file, t, "Things", nullptr);
    auto hash = [&](const RowSpec& s) {
        const Buf row = make_row(s);
        return digester.digest(jet::Bytes(row.data(), row.size()), jet::RowPointer{9, 0});
    };
    const std::vector<RowSpec> rows = {
        {1, utf16(u"ab"), descriptor(2, 0x80, {}, utf16(u"c")), false},
        {1, utf16(u"a"), descriptor(4, 0x80, {}, utf16(u"bc")), false},  // same bytes, moved
        {1, utf16(u"ab"), descriptor(2, 0x80, {}, utf16(u"c")), true},   // the boolean
        {2, utf16(u"ab"), descriptor(2, 0x80, {}, utf16(u"c")), false},  // the Long
        {std::nullopt, utf16(u"ab"), descriptor(2, 0x80, {}, utf16(u"c")), false},
        {0, utf16(u"ab"), descriptor(2, 0x80, {}, utf16(u"c")), false},  // 0, not null
        {1, Buf{}, std::nullopt, false},                                 // empty text
        {1, std::nullopt, std::nullopt, false},                          // null text
        {1, utf16(u"ab"), descriptor(2, 0x80, {}, utf16(u"C")), false},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = i + 1; j < rows.size(); ++j) {
            EXPECT_NE(hash(rows[i]), hash(rows[j])) << "rows " << i << " and " << j;
        }
    }
}

TEST(RowDigest, IdColumnsOfTheSourceAreTakenThroughTheIdMap) {
    testsupport::ScratchDir dir;
    const LongValueFile lv = long_value_file(dir.path());
    const jet::PageFile file(lv.path, jet::jet4_format());
    const jet::TableDef t = test_table("MSysObjects");  // its "Id" holds table Ids
    jet::IdRemap ids;
    ids.tables[5] = 9;
    jet::RowDigester source(file, t, "MSysObjects", &ids);
    jet::RowDigester output(file, t, "MSysObjects", nullptr);
    auto hash = [](jet::RowDigester& d, std::int32_t id) {
        const Buf row = make_row(RowSpec{id, utf16(u"Table1"), std::nullopt, false});
        return d.digest(jet::Bytes(row.data(), row.size()), jet::RowPointer{9, 0});
    };
    EXPECT_EQ(hash(source, 5), hash(output, 9));
    EXPECT_NE(hash(source, 5), hash(output, 5));
    // A table that is not a system table keeps its numbers as they are.
    const jet::TableDef things = test_table("Things");
    jet::RowDigester user(file, things, "Things", &ids);
    EXPECT_EQ(hash(user, 5), hash(output, 5));
}

TEST(RowDigest, ADamagedRowIsDescribedAsTheReaderDescribesIt) {
    testsupport::ScratchDir dir;
    const LongValueFile lv = long_value_file(dir.path());
    const jet::PageFile file(lv.path, jet::jet4_format());
    const jet::TableDef t = test_table("Things");
    jet::RowDigester digester(file, t, "Things", nullptr);
    Buf row = make_row(RowSpec{1, utf16(u"abc"), std::nullopt, false});
    // The first variable offset (just below the count) now points past the data.
    row[row.size() - 5] = 0xF0;
    try {
        digester.digest(jet::Bytes(row.data(), row.size()), jet::RowPointer{9, 3});
        ADD_FAILURE() << "a damaged row was digested";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::damaged);
        const std::string what = e.what();
        EXPECT_NE(what.find("variable column"), std::string::npos) << what;
        EXPECT_NE(what.find("page 9"), std::string::npos) << what;
    }
    // A memo pointing at a page that is not a long-value page.
    const Buf bad = make_row(RowSpec{1, std::nullopt, descriptor(4, 0x40, {0, 0}), false});
    EXPECT_THROW(digester.digest(jet::Bytes(bad.data(), bad.size()), jet::RowPointer{9, 4}),
                 jet::Error);
}

TEST(Hash128, GivesMurmurHash3sKnownValue) {
    // The published x64 128-bit value for this sentence (seed 0): its 43 bytes
    // take two whole blocks and both halves of the tail.
    const std::string s = "The quick brown fox jumps over the lazy dog";
    const jet::RowHash h = jet::hash128(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    EXPECT_EQ(h.lo, 0xE34BBC7BBC071B6Cull);
    EXPECT_EQ(h.hi, 0x7A433CA9C49A9347ull);
}

// {A, A} and {B, B}: a digest that cancels pairs would take one for the other.
TEST(TableDigest, CountsEveryCopyOfARow) {
    const jet::RowHash a = jet::hash128(reinterpret_cast<const std::uint8_t*>("row A"), 5);
    const jet::RowHash b = jet::hash128(reinterpret_cast<const std::uint8_t*>("row B"), 5);
    ASSERT_NE(a, b);
    jet::TableDigest aa;
    aa.add(a);
    aa.add(a);
    jet::TableDigest bb;
    bb.add(b);
    bb.add(b);
    EXPECT_EQ(aa.rows, bb.rows);
    EXPECT_NE(aa, bb);
    jet::TableDigest ab;
    ab.add(a);
    ab.add(b);
    jet::TableDigest ba;
    ba.add(b);
    ba.add(a);
    EXPECT_EQ(ab, ba);
}

TEST(DigestTask, AFailureInTheThreadReachesTheCallerWithItsDescription) {
    testsupport::ScratchDir dir;
    const fs::path path = dir.path() / "not-a-database.mdb";
    std::ofstream(path) << std::string(8192, 'x');
    const jet::PageFile file(path);
    jet::DigestTask task(file, {{2, "MSysObjects"}});
    try {
        task.take();
        ADD_FAILURE() << "a file that is no database was digested";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::not_a_database);
        EXPECT_NE(std::string(e.what()).find("not-a-database.mdb"), std::string::npos) << e.what();
    }
}

// --- Copies of real files, changed before they are compacted ---------------

#define REQUIRE_CORPUS()                                    \
    if (!testsupport::corpus_dir()) {                       \
        GTEST_SKIP() << "the corpus is not available here"; \
    }

fs::path corpus_path(const std::string& name) {
    return *testsupport::corpus_dir() / name;
}

// Where the bytes of each live row of `table` are in the file.
struct RowSite {
    std::uint64_t offset = 0;
    std::size_t length = 0;
    jet::RowPointer pointer;
    bool overflow = false;
};

std::vector<RowSite> row_sites(const fs::path& file, const std::string& table) {
    const jet::Database db(file);
    EXPECT_EQ(db.header().encoding_key, 0u) << "patching needs a file without page encoding";
    std::vector<RowSite> sites;
    db.for_each_row(db.table(table), [&](const jet::RowRef& r) {
        const jet::DataPage dp(jet::jet4_format(), db.read_page(r.data.page), r.data.page, "page");
        RowSite s;
        s.offset =
            std::uint64_t{r.data.page} * jet::jet4_format().page_size + dp.slot(r.data.row).start;
        s.length = r.bytes.size();
        s.pointer = r.data;
        s.overflow = !(r.pointer == r.data);
        sites.push_back(s);
    });
    return sites;
}

Buf read_at(const fs::path& file, std::uint64_t offset, std::size_t n) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    Buf b(n);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
    return b;
}

void write_at(const fs::path& file, std::uint64_t offset, const Buf& bytes) {
    std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
    io.seekp(static_cast<std::streamoff>(offset));
    io.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Compacts `changed` and verifies the result against `original`: the copy is
// a sound database, so only the comparison of rows can refuse it.
std::string verify_against(const fs::path& original, const fs::path& changed, const fs::path& dir) {
    const fs::path copy = dir / "copy.mdb";
    fs::remove(copy);
    jet::CompactorResult result;
    {
        const jet::Database src(changed);
        jet::OutputFile out(copy, 0);
        result = jet::write_compacted(src, out, src.header().raw, {});
        out.commit(0644, ::getuid(), ::getgid());
    }
    const jet::Database src(original);
    const jet::Database written(copy);
    try {
        jet::verify_compacted(src, written, result.ids, result.source_has_stale_ids, "copy.mdb",
                              nullptr, nullptr, &result.widened_tables);
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::verification_failed) << e.what();
        return e.what();
    }
    return "";
}

// The source's digests are taken by its check's walk: for every table taken
// in they equal a walk of the table's own (for_each_row), order included:
// moved rows, deleted slots, memo/OLE values, Access 97 and .accdb files.
TEST(SourceDigests, EqualEachTablesOwnWalk) {
    REQUIRE_CORPUS();
    for (const char* name : {"format-corpus/reviews.mdb", "jackcess/overflowTestV2000.mdb",
                             "jackcess/overflowTestV1997.mdb", "jackcess/delTestV1997.mdb",
                             "node-adodb/node-adodb@8603041.mdb", "jackcess/testV2010.accdb"}) {
        SCOPED_TRACE(name);
        const fs::path file = corpus_path(name);
        const jet::Database db(file);
        const auto jobs = jet::digest_jobs(db);
        jet::SourceDigests digests(jobs);
        jet::CheckOptions options;
        options.rows = &digests;
        (void)jet::check_file(file, options);
        const jet::TableDigests taken = digests.take();
        std::size_t user_tables = 0;
        for (const auto& [page, table] : jobs) {
            const auto it = taken.find(page);
            if (it == taken.end()) {
                continue;  // a table with Ids or SIDs: digested at verification
            }
            user_tables += table.rfind("MSys", 0) != 0;
            const jet::TableDigest own = jet::digest_table(db, db.table_def(page), table, nullptr);
            EXPECT_EQ(own, it->second) << table;
            EXPECT_EQ(own.sequence, it->second.sequence) << table;
        }
        EXPECT_GT(user_tables, 0u);
    }
}

TEST(VerifyRejects, ACharacterChangedInATextColumnOfAnOverflowRow) {
    REQUIRE_CORPUS();
    testsupport::ScratchDir dir;
    const fs::path original = corpus_path("format-corpus/reviews.mdb");
    const fs::path changed = testsupport::copy_to_scratch(original, dir.path());
    EXPECT_EQ(verify_against(original, changed, dir.path()), "") << "the unchanged copy";

    // "Composer" is text and in no index; the row sits behind an overflow pointer.
    const jet::Database db(changed);
    const jet::TableDef& t = db.table("Reviews");
    const jet::Column* composer = t.find_column("Composer");
    ASSERT_NE(composer, nullptr);
    for (const auto& ri : t.real_indexes) {
        for (const auto& ic : ri.columns) {
            ASSERT_NE(ic.number, composer->number);
        }
    }
    std::optional<std::uint64_t> where;
    for (const RowSite& s : row_sites(changed, "Reviews")) {
        if (!s.overflow || where) {
            continue;
        }
        const Buf row = read_at(changed, s.offset, s.length);
        const jet::Bytes bytes(row.data(), row.size());
        const jet::RowLayout l = jet::parse_row_layout(t, bytes, "row");
        const auto span = jet::locate_column(*composer, l, bytes, "row");
        if (span && span->length >= 4) {
            where = s.offset + span->offset + span->length - 2;
        }
    }
    ASSERT_TRUE(where) << "no overflow row with a composer";
    Buf b = read_at(changed, *where, 1);
    b[0] = static_cast<std::uint8_t>(b[0] == 'x' ? 'y' : 'x');
    write_at(changed, *where, b);
    const std::string what = verify_against(original, changed, dir.path());
    EXPECT_NE(what.find("the rows of table \"Reviews\" differ"), std::string::npos) << what;
}

// Table1 of overflowTestV2000 has no index, so duplicates are allowed; its
// rows 0 and 1 are different rows of the same length. Two copies of one row
// in place of two copies of another are refused; so are the same rows in
// another order: a table without a key keeps the order a scan reads it in
// (as MSysQueries does, whose order is each query's).
TEST(VerifyRejects, RowsOfATableWithoutAKeyDoubledOrInAnotherOrder) {
    REQUIRE_CORPUS();
    testsupport::ScratchDir dir;
    const fs::path corpus = corpus_path("jackcess/overflowTestV2000.mdb");
    for (const char* sub : {"a", "b", "swapped"}) {
        fs::create_directories(dir.path() / sub);
    }
    const fs::path aa = testsupport::copy_to_scratch(corpus, dir.path() / "a");
    const fs::path bb = testsupport::copy_to_scratch(corpus, dir.path() / "b");
    const fs::path swapped = testsupport::copy_to_scratch(corpus, dir.path() / "swapped");
    const std::vector<RowSite> sites = row_sites(aa, "Table1");
    ASSERT_GE(sites.size(), 2u);
    ASSERT_EQ(sites[0].length, sites[1].length);
    const Buf a = read_at(aa, sites[0].offset, sites[0].length);
    const Buf b = read_at(aa, sites[1].offset, sites[1].length);
    ASSERT_NE(a, b);
    write_at(aa, sites[1].offset, a);  // {A, A, ...}
    write_at(bb, sites[0].offset, b);  // {B, B, ...}
    write_at(swapped, sites[0].offset, b);
    write_at(swapped, sites[1].offset, a);
    std::string what = verify_against(aa, bb, dir.path());
    EXPECT_NE(what.find("the rows of table \"Table1\" differ"), std::string::npos) << what;
    EXPECT_EQ(verify_against(aa, aa, dir.path()), "");
    what = verify_against(corpus, swapped, dir.path());
    EXPECT_NE(what.find("the rows of table \"Table1\" come in another order"), std::string::npos)
        << what;
}

TEST(VerifyRejects, AByteChangedInTheMiddleOfAMemoChain) {
    REQUIRE_CORPUS();
    testsupport::ScratchDir dir;
    const fs::path original = corpus_path("node-adodb/node-adodb@8603041.mdb");
    const fs::path changed = testsupport::copy_to_scratch(original, dir.path());
    std::optional<std::uint64_t> where;
    {
        const jet::Database db(changed);
        ASSERT_EQ(db.header().encoding_key, 0u);
        const jet::TableDef& t = db.table("Users");
        db.for_each_row(t, [&](const jet::RowRef& r) {
            const jet::RowLayout l = jet::parse_row_layout(t, r.bytes, "row");
            for (const jet::Column& c : t.columns) {
                const auto span = jet::locate_column(c, l, r.bytes, "row");
                if (where || !c.is_long_value() || !span) {
                    continue;
                }
                const auto d = jet::LongValueDescriptor::parse(
                    r.bytes.subspan(span->offset, span->length), "memo");
                const auto rows = jet::long_value_rows(db.file(), d, "memo");
                if (rows.size() < 2) {
                    continue;
                }
                const jet::RowPointer p = rows[1];
                const jet::DataPage dp(jet::jet4_format(), db.read_page(p.page), p.page, "page");
                // Past the next-chunk pointer, a byte that is not a switch (00).
                const std::size_t start = dp.slot(p.row).start + 4u;
                for (std::size_t k = 0; k < 16 && !where; ++k) {
                    const std::uint64_t at =
                        std::uint64_t{p.page} * jet::jet4_format().page_size + start + k;
                    if (read_at(changed, at, 1)[0] > 1) {
                        where = at;
                    }
                }
            }
        });
    }
    ASSERT_TRUE(where) << "no memo chain of two chunks in Users";
    Buf b = read_at(changed, *where, 1);
    b[0] ^= 0x01;
    write_at(changed, *where, b);
    const std::string what = verify_against(original, changed, dir.path());
    EXPECT_NE(what.find("the rows of table \"Users\" differ"), std::string::npos) << what;
}

TEST(VerifyRejects, RowsSwappedBetweenTwoTablesOfTheSameShape) {
    REQUIRE_CORPUS();
    // Two tables of one definition; one row of each trades places. Every
    // row is still there, only in the other table.
    testsupport::ScratchDir dir;
    const fs::path original = corpus_path("jackcess/testIndexCodes@cc77d55.mdb");
    const fs::path changed = testsupport::copy_to_scratch(original, dir.path());
    std::string x;
    std::string y;
    std::vector<RowSite> sx;
    std::vector<RowSite> sy;
    std::optional<std::pair<std::size_t, std::size_t>> pair;
    for (const std::string n : {"2", "3", "4", "5", "6", "7", "8"}) {
        x = "Table" + n;
        y = "Table" + n + "_desc";
        const jet::Database db(changed);
        const auto rows_x = db.read_rows(db.table(x));
        const auto rows_y = db.read_rows(db.table(y));
        sx = row_sites(changed, x);
        sy = row_sites(changed, y);
        for (std::size_t i = 0; i < sx.size() && !pair; ++i) {
            for (std::size_t j = 0; j < sy.size() && !pair; ++j) {
                if (sx[i].length == sy[j].length && rows_x[i] != rows_y[j]) {
                    pair = {i, j};
                }
            }
        }
        if (pair) {
            break;
        }
    }
    ASSERT_TRUE(pair) << "no two rows of one length and different values";
    const auto& [i, j] = *pair;
    const Buf a = read_at(changed, sx[i].offset, sx[i].length);
    const Buf b = read_at(changed, sy[j].offset, sy[j].length);
    write_at(changed, sx[i].offset, b);
    write_at(changed, sy[j].offset, a);

    const jet::Database before(original);
    const jet::Database after(changed);
    auto digest = [](const jet::Database& db, const std::string& name) {
        return jet::digest_table(db, db.table(name), name, nullptr);
    };
    const jet::TableDigest bx = digest(before, x);
    const jet::TableDigest by = digest(before, y);
    const jet::TableDigest ax = digest(after, x);
    const jet::TableDigest ay = digest(after, y);
    EXPECT_NE(bx, ax);
    EXPECT_NE(by, ay);
    // Taken together the two tables hold the same rows as before.
    EXPECT_EQ(bx.sum_lo + by.sum_lo, ax.sum_lo + ay.sum_lo);
    EXPECT_EQ(bx.sum_hi + by.sum_hi, ax.sum_hi + ay.sum_hi);
}

}  // namespace

// Two losses an earlier compactor made while verification passed: a
// calculated memo's long values were copied as the raw descriptor (pointing
// at pages the copy does not have), and an ODBC-linked table's cached
// definition was dropped with its catalog row left naming it. Each is put
// back into a sound copy; verification must refuse it.
TEST(VerifyRejects, ACalculatedMemoOrALinkedDefinitionLostInTheCopy) {
    REQUIRE_CORPUS();
    struct Case {
        const char* file;
        // Undoes part of the copy as the loss did; returns false when the
        // structure it needs is not there.
        bool (*undo)(const fs::path& source, const fs::path& copy);
    };
    const Case cases[] = {
        {"jackcess/ace/calcFieldTestV2010.accdb",
         [](const fs::path& source, const fs::path& copy) {
             // The source's descriptors of AllNames written over the copy's.
             const auto descriptors = [](const fs::path& file) {
                 std::vector<std::pair<std::uint64_t, Buf>> out;
                 const jet::Database db(file);
                 const jet::TableDef& t = db.table("Table1");
                 const jet::Column* c = t.find_column("AllNames");
                 if (c == nullptr || !c->is_long_value()) {
                     return out;
                 }
                 for (const RowSite& s : row_sites(file, "Table1")) {
                     const Buf row = read_at(file, s.offset, s.length);
                     const jet::Bytes bytes(row.data(), row.size());
                     const auto span = jet::locate_column(
                         *c, jet::parse_row_layout(t, bytes, "row"), bytes, "row");
                     out.emplace_back(s.offset + span->offset,
                                      Buf(row.begin() + static_cast<std::ptrdiff_t>(span->offset),
                                          row.begin() + static_cast<std::ptrdiff_t>(span->offset +
                                                                                    span->length)));
                 }
                 return out;
             };
             const auto before = descriptors(source);
             const auto after = descriptors(copy);
             bool changed = false;
             for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
                 if (before[i].second.size() == after[i].second.size() &&
                     before[i].second != after[i].second) {
                     write_at(copy, after[i].first, before[i].second);
                     changed = true;
                 }
             }
             return changed;
         }},
        {"jackcess/ace/odbcLinkerTestV2007.accdb",
         [](const fs::path&, const fs::path& copy) {
             // The linked table's definition page emptied.
             std::uint32_t page = 0;
             {
                 const jet::Database db(copy);
                 for (const auto& o : db.catalog().objects()) {
                     if (o.is_linked_table() && o.cached_definition) {
                         page = o.table_page();
                     }
                 }
             }
             if (page != 0) {
                 write_at(copy, std::uint64_t{page} * jet::jet4_format().page_size,
                          Buf(jet::jet4_format().page_size, 0));
             }
             return page != 0;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        testsupport::ScratchDir dir;
        const fs::path source = corpus_path(c.file);
        const fs::path copy = dir.path() / "copy.accdb";
        jet::CompactorResult result;
        {
            const jet::Database src(source);
            jet::OutputFile out(copy, 0);
            result = jet::write_compacted(src, out, src.header().raw, {});
            out.commit(0644, ::getuid(), ::getgid());
        }
        auto verify = [&]() -> std::string {
            try {
                jet::verify_compacted(jet::Database(source), jet::Database(copy), result.ids,
                                      result.source_has_stale_ids, "copy.accdb");
            } catch (const jet::Error& e) {
                EXPECT_EQ(e.kind(), jet::ErrorKind::verification_failed) << e.what();
                return e.what();
            }
            return "";
        };
        EXPECT_EQ(verify(), "") << "the sound copy";
        ASSERT_TRUE(c.undo(source, copy)) << "the copy lacks the structure the loss needs";
        EXPECT_NE(verify(), "") << "a copy that lost data was verified";
    }
}
