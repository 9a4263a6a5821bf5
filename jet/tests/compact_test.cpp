// The compactor on the real corpus: every Jet 4 file compacts into a clean,
// smaller, deterministic copy; passwords and encoding behave; refusals and
// failures leave nothing behind and never touch the source.

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "jet/check/checker.h"
#include "jet/compact/compact.h"
#include "jet/compact/compactor.h"
#include "jet/compact/output_file.h"
#include "jet/compact/salvage.h"
#include "jet/compact/verify.h"
#include "jet/format/data_page.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/header.h"
#include "jet/format/index_tree.h"
#include "jet/format/page_file.h"
#include "jet/format/table_def.h"
#include "jet/format/usage_map.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CorpusFile;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<std::string> password_of(const CorpusFile& f) {
    if (f.password.empty()) {
        return std::nullopt;
    }
    return f.password;
}

jet::CompactOptions keep_password(const CorpusFile& f) {
    jet::CompactOptions o;
    o.source_password = password_of(f);
    o.destination_password = password_of(f);
    return o;
}

std::vector<std::string> folder_listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

const CorpusFile* find_corpus(const std::string& name) {
    static const auto files = testsupport::corpus_files();
    for (const auto& f : files) {
        if (f.name == name) {
            return &f;
        }
    }
    return nullptr;
}

#define REQUIRE_CORPUS()                                    \
    if (!testsupport::corpus_dir()) {                       \
        GTEST_SKIP() << "the corpus is not available here"; \
    }

// Pages of a file no structure reaches (free or leaked).
std::uint32_t unreachable_pages(const fs::path& file, const std::optional<std::string>& pw) {
    jet::OpenOptions o;
    o.password = pw;
    o.verify_password = false;
    const jet::Database db(file, o);
    jet::CheckOptions owners;
    owners.index_keys = false;
    owners.page_owners = true;
    std::set<std::uint32_t> used;
    for (const jet::PageOwner& owner : jet::check(db, owners).owners) {
        used.insert(owner.page);
    }
    return db.page_count() - static_cast<std::uint32_t>(used.size());
}

TEST(CompactCorpus, EveryJet4FileCompactsCleanSmallerAndDense) {
    REQUIRE_CORPUS();
    const auto files = testsupport::corpus_files("jet4");
    ASSERT_FALSE(files.empty());
    testsupport::ScratchDir dir;
    std::uint64_t before = 0;
    std::uint64_t after = 0;
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        const std::string source_bytes = slurp(f.path);
        const fs::path out = dir.path() / (std::to_string(before) + ".mdb");
        // A copy: a compaction locks its source, and other tests may be
        // compacting the same corpus file at this moment.
        const fs::path src = testsupport::copy_to_scratch(f.path, dir.path());
        jet::CompactResult r;
        ASSERT_NO_THROW(r = jet::compact(src, out, keep_password(f)));
        EXPECT_EQ(slurp(src), source_bytes) << "the source changed";
        EXPECT_EQ(r.source_bytes, fs::file_size(f.path));
        fs::remove(src);
        EXPECT_EQ(r.destination_bytes, fs::file_size(out));
        EXPECT_LE(r.destination_bytes, r.source_bytes) << "the copy is larger";

        // Free or unreachable pages of the source are gone.
        const std::uint32_t dropped = unreachable_pages(f.path, password_of(f));
        EXPECT_LE(r.destination_bytes / jet::jet4_format().page_size,
                  r.source_bytes / jet::jet4_format().page_size - dropped);

        // The strict check finds nothing but the stale Ids the source carried.
        const auto report = jet::check_file(out, jet::CheckOptions{true}, password_of(f));
        for (const auto& finding : report.findings) {
            EXPECT_EQ(finding.code, "stale-id") << finding.description;
        }

        // No free page inside the file, no deleted or overflow slot, data
        // pages full but for each table's last one.
        jet::PageFile pf(out, jet::jet4_format());
        const jet::Database db(out, jet::OpenOptions{password_of(f), true});
        pf.set_encoding_key(db.header().encoding_key);
        const auto free = jet::read_free_map(pf);
        std::map<std::uint32_t, std::vector<std::size_t>> table_pages;
        for (std::uint32_t p = 0; p < pf.page_count(); ++p) {
            EXPECT_FALSE(free.is_free(p)) << "page " << p << " is free";
            const auto page = pf.read(p);
            if (p < 1 || page[0] != jet::kPageTypeData) {
                continue;
            }
            const jet::DataPage dp(jet::jet4_format(), page, p, pf.where(p));
            for (const auto& s : dp.slots()) {
                EXPECT_EQ(s.raw & (jet::kSlotDeleted | jet::kSlotOverflow), 0)
                    << "flagged slot on page " << p;
            }
            if (dp.owner() > 1 && !dp.is_long_value_page() && dp.slot_count() < 255) {
                table_pages[dp.owner()].push_back(dp.stored_free_space());
            }
        }
        for (const auto& [owner, frees] : table_pages) {
            for (std::size_t k = 0; k + 1 < frees.size(); ++k) {
                EXPECT_LE(frees[k], jet::jet4_format().page_size / 10)
                    << "a data page of table " << owner << " is less than 90% full";
            }
        }
        before += r.source_bytes;
        after += r.destination_bytes;
    }
    // The corpus as a whole shrinks well (7430 pages -> under 3000).
    EXPECT_LT(after, before / 2);
}

// The second run writes every table's index trees on threads.
TEST(CompactCorpus, SameInputSameBytesAndACompactedFileCompactsToItself) {
    REQUIRE_CORPUS();
    testsupport::ScratchDir dir;
    int n = 0;
    for (const auto& f : testsupport::corpus_files("jet4")) {
        SCOPED_TRACE(f.name);
        const fs::path a = dir.path() / ("a" + std::to_string(n) + ".mdb");
        const fs::path b = dir.path() / ("b" + std::to_string(n) + ".mdb");
        const fs::path c = dir.path() / ("c" + std::to_string(n) + ".mdb");
        ++n;
        const fs::path src = testsupport::copy_to_scratch(f.path, dir.path());
        ASSERT_NO_THROW(jet::compact(src, a, keep_password(f)));
        jet::CompactOptions threads = keep_password(f);
        threads.index_pages_for_threads = 0;
        ASSERT_NO_THROW(jet::compact(src, b, threads));
        fs::remove(src);
        ASSERT_NO_THROW(jet::compact(a, c, keep_password(f)));
        const std::string bytes = slurp(a);
        EXPECT_EQ(bytes, slurp(b)) << "two runs differ";
        EXPECT_EQ(bytes, slurp(c)) << "compacting the copy changed it";
        fs::remove(a);
        fs::remove(b);
        fs::remove(c);
    }
}

// The keys of real index `index` of `table`, in tree order, and its root page.
std::vector<std::vector<std::uint8_t>> index_keys(const fs::path& file, const char* table,
                                                  std::size_t index, std::uint32_t* root) {
    const jet::Database db(file);
    const jet::TableDef& def = db.table_def(db.catalog().find_table(table)->table_page());
    *root = def.real_indexes.at(index).root_page;
    std::vector<std::vector<std::uint8_t>> keys;
    for (const auto& e : jet::read_index_entries(db.file(), *root, def.page)) {
        keys.push_back(e.key);
    }
    return keys;
}

// A damaged Access 97 text index (its root page zeroed) is rebuilt from its
// rows with the keys Access 97 wrote, in their order: accented text
// ascending, a descending unique key. Under a code page no encoder is known
// for, the check says the keys were not compared, naming the format, and
// the index is not rebuilt by a guess.
TEST(CompactRebuild, AnAccess97TextIndexIsRebuiltWithTheKeysAccessWrote) {
    REQUIRE_CORPUS();
    struct Case {
        const char* table;
        std::size_t index;  // real index
        std::uint16_t code_page;
    };
    for (const Case& c :
         {Case{"Table1", 0, 1252}, Case{"Table1_desc", 1, 1252}, Case{"Table1", 0, 1251}}) {
        SCOPED_TRACE(std::string(c.table) + " " + std::to_string(c.code_page));
        testsupport::ScratchDir dir;
        const CorpusFile* f = find_corpus("jackcess/testIndexCodesV1997.mdb");
        ASSERT_NE(f, nullptr);
        const fs::path src = testsupport::copy_to_scratch(f->path, dir.path());
        std::uint32_t root = 0;
        const auto before = index_keys(src, c.table, c.index, &root);
        std::fstream io(src, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<std::uint8_t> page(2048);
        io.read(reinterpret_cast<char*>(page.data()), 2048);
        jet::toggle_header_mask(page);
        jet::put_le16(page, jet::header_offsets::kCodePage, c.code_page);
        jet::toggle_header_mask(page);
        io.seekp(0);
        io.write(reinterpret_cast<const char*>(page.data()), 2048);
        std::fill(page.begin(), page.end(), 0);
        io.seekp(static_cast<std::streamoff>(root) * 2048);
        io.write(reinterpret_cast<const char*>(page.data()), 2048);
        io.close();
        const fs::path out = dir.path() / "out.mdb";
        if (c.code_page != 1252) {
            std::size_t noted = 0;
            for (const auto& x : jet::check_file(src).findings) {
                if (x.code == "index-keys-unchecked" &&
                    x.description.rfind("The keys of", 0) == 0) {
                    noted += x.description.find("Access 97 text keys in code page 1251") !=
                                     std::string::npos
                                 ? 1
                                 : 0;
                    EXPECT_EQ(x.description.find("version"), std::string::npos) << x.description;
                }
            }
            EXPECT_GT(noted, 0u);
            try {
                jet::compact(src, out, {});
                ADD_FAILURE() << "an index was rebuilt with keys no encoder is known for";
            } catch (const jet::Error& e) {
                EXPECT_NE(std::string(e.what()).find("cannot be rebuilt from its rows: Access 97 "
                                                     "text keys in code page 1251 are not known"),
                          std::string::npos)
                    << e.what();
            }
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        const jet::CompactResult r = jet::compact(src, out, {});
        EXPECT_TRUE(std::any_of(r.repairs.begin(), r.repairs.end(),
                                [](const jet::Repair& x) { return x.code == "index-page-type"; }));
        EXPECT_GT(before.size(), 100u);
        EXPECT_TRUE(index_keys(out, c.table, c.index, &root) == before);
        jet::CheckOptions strict;
        strict.strict = true;
        EXPECT_FALSE(jet::check(jet::Database(out), strict).has_errors());
    }
}

TEST(CompactPasswords, KeptSetRemovedWrongAndMissing) {
    REQUIRE_CORPUS();
    const CorpusFile* locked = find_corpus("mdb-reader/V2003_with-password.mdb");
    const CorpusFile* open = find_corpus("mdb-reader/V2003_no-password.mdb");
    ASSERT_NE(locked, nullptr);
    ASSERT_NE(open, nullptr);
    ASSERT_FALSE(locked->password.empty());
    testsupport::ScratchDir dir;
    auto password_in = [](const fs::path& p, std::optional<std::string> pw) {
        const jet::Database db(p, jet::OpenOptions{std::move(pw), true});
        return jet::decode_password(db.header());
    };
    auto header_date = [](const fs::path& p) {
        jet::OpenOptions o;
        o.verify_password = false;
        return jet::Database(p, o).header().creation_date;
    };

    // Kept.
    jet::CompactOptions keep;
    keep.source_password = locked->password;
    keep.destination_password = locked->password;
    jet::compact(locked->path, dir.path() / "kept.mdb", keep);
    EXPECT_EQ(password_in(dir.path() / "kept.mdb", locked->password), locked->password);
    EXPECT_EQ(header_date(dir.path() / "kept.mdb"), header_date(locked->path));
    EXPECT_THROW(jet::Database(dir.path() / "kept.mdb", jet::OpenOptions{"nope", true}),
                 jet::Error);

    // Removed.
    jet::CompactOptions remove;
    remove.source_password = locked->password;
    jet::compact(locked->path, dir.path() / "removed.mdb", remove);
    EXPECT_EQ(password_in(dir.path() / "removed.mdb", std::nullopt), "");

    // Set on a file without one; a password given for it is ignored.
    jet::CompactOptions set;
    set.source_password = "ignored";
    set.destination_password = "Geheim 2";
    jet::compact(open->path, dir.path() / "set.mdb", set);
    EXPECT_EQ(password_in(dir.path() / "set.mdb", "Geheim 2"), "Geheim 2");

    // Wrong, missing, and a case difference: refused with Jet's own words.
    for (const std::optional<std::string>& given :
         {std::optional<std::string>("wrong"), std::optional<std::string>(),
          std::optional<std::string>("PASSWORD")}) {
        jet::CompactOptions o;
        o.source_password = given;
        try {
            jet::compact(locked->path, dir.path() / "refused.mdb", o);
            ADD_FAILURE() << "a wrong password was accepted";
        } catch (const jet::Error& e) {
            EXPECT_EQ(e.kind(), jet::ErrorKind::bad_password);
            EXPECT_STREQ(e.what(), jet::kNotAValidPassword);
        }
        EXPECT_FALSE(fs::exists(dir.path() / "refused.mdb"));
    }

    // A new password longer than Jet allows is refused before anything is written.
    jet::CompactOptions too_long;
    too_long.destination_password = std::string(21, 'x');
    EXPECT_THROW(jet::compact(open->path, dir.path() / "long.mdb", too_long), jet::Error);
    EXPECT_FALSE(fs::exists(dir.path() / "long.mdb"));
    EXPECT_EQ(folder_listing(dir.path()),
              (std::vector<std::string>{"kept.mdb", "removed.mdb", "set.mdb"}));
}

TEST(CompactEncoding, AnEncodedFileStaysEncodedAndReadable) {
    REQUIRE_CORPUS();
    const CorpusFile* enc = find_corpus("jackcessencrypt/db-enc.mdb");
    ASSERT_NE(enc, nullptr);
    testsupport::ScratchDir dir;
    const fs::path out = dir.path() / "enc.mdb";
    jet::compact(enc->path, out, keep_password(*enc));
    const jet::Database src(enc->path);
    const jet::Database dst(out);
    ASSERT_NE(src.header().encoding_key, 0u);
    EXPECT_EQ(dst.header().encoding_key, src.header().encoding_key);
    // Stored bytes of page 2 are not a plain table definition.
    const std::string raw = slurp(out);
    EXPECT_NE(static_cast<std::uint8_t>(raw[2 * jet::jet4_format().page_size]),
              jet::kPageTypeTableDef);
    EXPECT_EQ(dst.read_page(2)[0], jet::kPageTypeTableDef);
    for (const auto* t : src.catalog().tables(false)) {
        EXPECT_EQ(dst.read_rows(dst.table(t->name)).size(),
                  src.read_rows(src.table(t->name)).size())
            << t->name;
    }
}

TEST(CompactRefusals, UnsupportedInputsWriteNothing) {
    REQUIRE_CORPUS();
    testsupport::ScratchDir dir;
    // The file, the refusal, and words its description must hold.
    std::vector<std::tuple<fs::path, jet::ErrorKind, std::string>> cases;
    bool made_odd_one = false;
    for (const auto& f : testsupport::corpus_files()) {
        if (f.format.rfind("ace", 0) == 0 && !f.password.empty() && !made_odd_one) {
            // An encoding key without the Office encryption info beside it:
            // an encryption this program does not read.
            const fs::path odd = testsupport::copy_to_scratch(f.path, dir.path());
            std::fstream io(odd, std::ios::in | std::ios::out | std::ios::binary);
            io.seekp(static_cast<std::streamoff>(jet::header_offsets::kAceCryptInfo));
            io.write("\0\0", 2);
            io.close();
            cases.emplace_back(odd, jet::ErrorKind::encrypted_ace, "Remove the database password");
            // Its header as a file carried as text leaves it: the size says
            // it may be damaged rather than encrypted.
            const fs::path mangled = dir.path() / ("text-" + odd.filename().string());
            fs::copy_file(odd, mangled);
            fs::resize_file(mangled, fs::file_size(odd) - 1973);
            cases.emplace_back(mangled, jet::ErrorKind::encrypted_ace, "may rather be damaged");
            made_odd_one = true;
        }
    }
    // A truncated Jet 4 file and something that is no database at all.
    const CorpusFile* good = find_corpus("jackcess/testV2003.mdb");
    ASSERT_NE(good, nullptr);
    const fs::path cut = testsupport::copy_to_scratch(good->path, dir.path());
    fs::resize_file(cut, 2 * jet::jet4_format().page_size + 100);
    cases.emplace_back(cut, jet::ErrorKind::truncated, "");
    const fs::path text = dir.path() / "notes.mdb";
    std::ofstream(text) << std::string(9000, 'x');
    cases.emplace_back(text, jet::ErrorKind::not_a_database, "");
    const auto listing = folder_listing(dir.path());

    for (const auto& [path, kind, says] : cases) {
        SCOPED_TRACE(path.string());
        const std::string before = slurp(path);
        try {
            jet::compact(path, dir.path() / "out.mdb", {});
            ADD_FAILURE() << "compacted an unsupported file";
        } catch (const jet::Error& e) {
            EXPECT_EQ(e.kind(), kind) << e.what();
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(path.filename().string()), std::string::npos)
                << "the description does not name the file: " << e.what();
        }
        EXPECT_EQ(folder_listing(dir.path()), listing);
        EXPECT_EQ(slurp(path), before);
    }
}

TEST(CompactRefusals, AnExistingDestinationIsNeverOverwritten) {
    REQUIRE_CORPUS();
    const CorpusFile* good = find_corpus("jackcess/testV2003.mdb");
    ASSERT_NE(good, nullptr);
    testsupport::ScratchDir dir;
    const fs::path dest = dir.path() / "only-copy.mdb";
    std::ofstream(dest) << "the only copy of something";
    try {
        jet::compact(good->path, dest, {});
        ADD_FAILURE() << "overwrote the destination";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::destination_exists);
        EXPECT_NE(std::string(e.what()).find("Move it elsewhere or delete it"), std::string::npos);
    }
    EXPECT_EQ(slurp(dest), "the only copy of something");
    EXPECT_EQ(folder_listing(dir.path()), std::vector<std::string>{"only-copy.mdb"});
    // Compacting a file onto itself is the same refusal.
    EXPECT_THROW(jet::compact(dest, dest, {}), jet::Error);
}

TEST(CompactOutput, TheCopyGetsTheSourcesPermissionBits) {
    REQUIRE_CORPUS();
    const CorpusFile* good = find_corpus("jackcess/testV2003.mdb");
    ASSERT_NE(good, nullptr);
    testsupport::ScratchDir dir;
    const fs::path src = testsupport::copy_to_scratch(good->path, dir.path());
    ::chmod(src.c_str(), 0640);
    jet::compact(src, dir.path() / "out.mdb", {});
    struct stat st {};
    ASSERT_EQ(::stat((dir.path() / "out.mdb").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(CompactOutput, ProgressRisesSteadilyToTheEnd) {
    REQUIRE_CORPUS();
    const CorpusFile* f = find_corpus("jackcess/testV2003.mdb");
    ASSERT_NE(f, nullptr);
    testsupport::ScratchDir dir;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    jet::CompactOptions o;
    o.progress = [&](std::uint64_t done, std::uint64_t total) { calls.emplace_back(done, total); };
    jet::compact(f->path, dir.path() / "out.mdb", o);
    ASSERT_GE(calls.size(), 3u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].second, calls.front().second);
        EXPECT_LE(calls[i].first, calls[i].second);
        if (i > 0) {
            EXPECT_GE(calls[i].first, calls[i - 1].first) << "progress went back";
        }
    }
    EXPECT_EQ(calls.back().first, calls.back().second);
    EXPECT_LT(calls.front().first, calls.front().second);
}

// Verification: a copy that differs from its source in one value, or read
// through the wrong Id map, is refused with a description.
TEST(CompactVerify, ACopyThatDiffersFromItsSourceIsRejected) {
    REQUIRE_CORPUS();
    const CorpusFile* f = find_corpus("access_parser/test.mdb");
    ASSERT_NE(f, nullptr);
    testsupport::ScratchDir dir;
    const jet::Database src(f->path);
    const fs::path copy = dir.path() / "copy.mdb";
    jet::CompactorResult result;
    {
        jet::OutputFile out(copy, 0);
        result = jet::write_compacted(src, out, src.header().raw, {});
        out.commit(0644, ::getuid(), ::getgid());
    }
    auto expect_rejected = [&](const jet::IdRemap& ids, const std::string& what) {
        const jet::Database written(copy);
        try {
            jet::verify_compacted(src, written, ids, result.source_has_stale_ids, "copy.mdb");
            ADD_FAILURE() << what << " went unnoticed";
        } catch (const jet::Error& e) {
            EXPECT_EQ(e.kind(), jet::ErrorKind::verification_failed) << what;
            EXPECT_NE(std::string(e.what()).find("nothing was replaced"), std::string::npos)
                << e.what();
        }
    };
    {
        const jet::Database written(copy);
        EXPECT_NO_THROW(jet::verify_compacted(src, written, result.ids, result.source_has_stale_ids,
                                              "copy.mdb"));
    }
    // The Id map of another layout.
    jet::IdRemap shifted = result.ids;
    for (auto& [from, to] : shifted.tables) {
        if (from != 2) {
            to += 1;
        }
    }
    expect_rejected(shifted, "a wrong Id map");

    // One Long value of one row changed on disk.
    std::uint64_t offset = 0;
    {
        const jet::Database written(copy);
        const jet::TableDef& t = written.table("ClarotyTable");
        const jet::Column* id = t.find_column("ID");
        ASSERT_NE(id, nullptr);
        bool done = false;
        written.for_each_row(t, [&](const jet::RowRef& r) {
            if (!done) {
                const jet::DataPage dp(jet::jet4_format(), written.read_page(r.data.page),
                                       r.data.page, "page");
                offset = std::uint64_t{r.data.page} * jet::jet4_format().page_size +
                         dp.slot(r.data.row).start + 2 + id->fixed_offset;
                done = true;
            }
        });
        ASSERT_TRUE(done);
    }
    {
        std::fstream io(copy, std::ios::in | std::ios::out | std::ios::binary);
        io.seekg(static_cast<std::streamoff>(offset));
        char c = 0;
        io.get(c);
        io.seekp(static_cast<std::streamoff>(offset));
        io.put(static_cast<char>(c ^ 0x40));
    }
    expect_rejected(result.ids, "a changed value");
}

// The decrypted pages (1 on) of an encrypted database, as byte strings.
std::set<std::string> plaintext_pages(const fs::path& file, const std::string& password) {
    const jet::Database db(file, jet::OpenOptions{password, true});
    std::set<std::string> pages;
    for (std::uint32_t n = 1; n < db.page_count(); ++n) {
        const jet::PageBuf p = db.read_page(n);
        pages.emplace(p.begin(), p.end());
    }
    return pages;
}

// Expects no page of any file in `dir` to be one of `plain`.
void expect_no_plaintext_in(const fs::path& dir, const std::set<std::string>& plain) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string bytes = slurp(entry.path());
        for (std::size_t at = 0; at + jet::jet4_format().page_size <= bytes.size();
             at += jet::jet4_format().page_size) {
            EXPECT_EQ(plain.count(bytes.substr(at, jet::jet4_format().page_size)), 0u)
                << "a decrypted page in " << entry.path() << " at " << at;
        }
    }
}

// Kills a compaction at many moments of its work: the source never changes,
// no temporary file is left, and a destination exists only whole (a kill
// after the copy got its name); of an encrypted file, no decrypted page is
// ever found on disk.
TEST(CompactCrash, SigkillAtAnyMomentLeavesSourceIntactAndNoPartialDestination) {
    REQUIRE_CORPUS();
    // The largest Jet 4 file, the largest unencrypted .accdb, the largest
    // encrypted one and the largest Access 97 file give the widest windows.
    const CorpusFile* biggest_mdb = nullptr;
    const CorpusFile* biggest_accdb = nullptr;
    const CorpusFile* biggest_encrypted = nullptr;
    const CorpusFile* biggest_jet3 = nullptr;
    const auto all = testsupport::corpus_files();
    for (const auto& f : all) {
        const bool ace = f.format.rfind("ace", 0) == 0;
        const CorpusFile*& biggest = f.format == "jet3"   ? biggest_jet3
                                     : !ace               ? biggest_mdb
                                     : f.password.empty() ? biggest_accdb
                                                          : biggest_encrypted;
        if ((ace || f.format == "jet4" || f.format == "jet3") &&
            (biggest == nullptr || fs::file_size(f.path) > fs::file_size(biggest->path))) {
            biggest = &f;
        }
    }
    ASSERT_NE(biggest_mdb, nullptr);
    ASSERT_NE(biggest_accdb, nullptr);
    ASSERT_NE(biggest_encrypted, nullptr);
    ASSERT_NE(biggest_jet3, nullptr);
    for (const CorpusFile* biggest :
         {biggest_mdb, biggest_accdb, biggest_encrypted, biggest_jet3}) {
        SCOPED_TRACE(biggest->name);
        testsupport::ScratchDir dir;
        const fs::path src = testsupport::copy_to_scratch(biggest->path, dir.path());
        const std::string before = slurp(src);
        const fs::path dest = dir.path() / ("dest" + src.extension().string());

        // How long one run takes here.
        const auto t0 = std::chrono::steady_clock::now();
        jet::compact(src, dest, keep_password(*biggest));
        const auto full = std::chrono::steady_clock::now() - t0;
        const std::string complete = slurp(dest);
        std::set<std::string> plain;
        if (biggest == biggest_encrypted) {
            plain = plaintext_pages(dest, biggest->password);
            const auto of_source = plaintext_pages(src, biggest->password);
            plain.insert(of_source.begin(), of_source.end());
            plain.erase(
                std::string(jet::jet4_format().page_size, '\0'));  // a page of zeros tells nothing
            expect_no_plaintext_in(dir.path(), plain);
        }
        fs::remove(dest);
        const auto step = std::max<std::chrono::microseconds>(
            std::chrono::duration_cast<std::chrono::microseconds>(full) / 24,
            std::chrono::microseconds(200));

        int killed = 0;
        for (int k = 0; k < 30; ++k) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                try {
                    jet::compact(src, dest, keep_password(*biggest));
                } catch (...) {
                    ::_exit(3);
                }
                ::_exit(0);
            }
            std::this_thread::sleep_for(step * k);
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
            if (WIFSIGNALED(status)) {
                ++killed;
                // Killed after the copy got its name: it must then be whole.
                if (fs::exists(dest)) {
                    EXPECT_EQ(slurp(dest), complete)
                        << "a partial destination after a kill at " << k;
                }
            } else {
                EXPECT_EQ(WEXITSTATUS(status), 0);
                EXPECT_EQ(slurp(dest), complete);
            }
            EXPECT_EQ(slurp(src), before) << "the source changed";
            if (!plain.empty()) {
                expect_no_plaintext_in(dir.path(), plain);
            }
            fs::remove(dest);
            const auto listing = folder_listing(dir.path());
            EXPECT_EQ(listing, std::vector<std::string>{src.filename().string()})
                << "something was left behind";
        }
        EXPECT_GE(killed, 5) << "too few runs were interrupted to mean anything";
    }
}

// A salvage of an encrypted .accdb: the pages it gives up are written back
// to its scratch copy encrypted (the copy is read through the same keys), so
// the table whose definition is damaged is left out and nothing else.
TEST(CompactEncrypted, ASalvageWritesItsScratchCopyEncrypted) {
    REQUIRE_CORPUS();
    const CorpusFile* f = find_corpus("jackcessencrypt/db2013-enc.accdb");
    ASSERT_NE(f, nullptr);
    testsupport::ScratchDir dir;
    const fs::path src = testsupport::copy_to_scratch(f->path, dir.path());
    std::uint32_t tdef = 0;
    {
        // The table's definition, decrypted, its magic broken, encrypted again.
        const jet::Database db(src, jet::OpenOptions{f->password, true});
        tdef = db.table("Customers").page;
        jet::PageBuf page = db.read_page(tdef);
        page[db.file().format().tdef.magic] ^= 0x5A;
        db.file().cipher()->encrypt(tdef, page);
        std::fstream io(src, std::ios::in | std::ios::out | std::ios::binary);
        io.seekp(static_cast<std::streamoff>(tdef) *
                 static_cast<std::streamoff>(jet::jet4_format().page_size));
        io.write(reinterpret_cast<const char*>(page.data()), jet::jet4_format().page_size);
    }
    const fs::path out = dir.path() / "out.accdb";
    jet::SalvageResult r;
    ASSERT_NO_THROW(r = jet::salvage(src, out, keep_password(*f)));
    ASSERT_EQ(r.losses.size(), 1u);
    EXPECT_EQ(r.losses[0].table, "Customers");
    EXPECT_TRUE(r.losses[0].left_out);
    const jet::Database copy(out, jet::OpenOptions{f->password, true});
    EXPECT_TRUE(copy.header().office_encrypted());
    EXPECT_FALSE(jet::check(copy).has_errors());
    EXPECT_EQ(folder_listing(dir.path()),
              (std::vector<std::string>{"db2013-enc.accdb", "out.accdb"}));
}

// A disk that fills up: a small tmpfs (needs the right to mount; skipped
// otherwise).
TEST(CompactCrash, AFullDiskLeavesNothingAndSaysSo) {
    REQUIRE_CORPUS();
    const CorpusFile* good = find_corpus("jackcess/testV2003.mdb");
    ASSERT_NE(good, nullptr);
    testsupport::ScratchDir dir;
    const fs::path mnt = dir.path() / "small";
    fs::create_directories(mnt);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=16k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    }
    try {
        jet::compact(good->path, mnt / "out.mdb", {});
        ADD_FAILURE() << "a full disk went unnoticed";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::io);
        EXPECT_NE(std::string(e.what()).find("disk is full"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(folder_listing(mnt).empty());
    ::umount(mnt.c_str());
}

}  // namespace
