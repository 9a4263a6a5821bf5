// Damaged copies of real databases: bytes changed at random (fixed seeds, so
// a failure repeats) must end in a jet::Error that names the damage, or in a
// successful read - never in a crash, a hang, another exception or a read
// out of bounds (run under the asan preset to see the last).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

#include "jet/check/checker.h"
#include "jet/check/findings.h"
#include "jet/compact/compact.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/format.h"
#include "testsupport/corpus.h"

namespace {

std::vector<char> read_all(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// The page size of a database's bytes, by its version byte.
std::size_t page_size_of(const std::vector<char>& bytes) {
    return jet::format_for_version(static_cast<std::uint8_t>(bytes.at(0x14))).page_size;
}

// A damaged copy of `name`: a few bytes changed on one page (never page 0:
// its checks have their own tests). Returns the page.
std::size_t damage(std::vector<char>& bytes, std::mt19937& rng) {
    const std::size_t page_size = page_size_of(bytes);
    const std::size_t pages = bytes.size() / page_size;
    const std::size_t page = 1 + rng() % (pages - 1);
    const int flips = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < flips; ++k) {
        // Page headers and slot tables are where pointers live: favour them.
        const std::size_t off = (rng() % 2 ? rng() % 64 : rng() % page_size);
        bytes[page * page_size + off] = static_cast<char>(rng());
    }
    return page;
}

void write_all(const std::filesystem::path& path, const std::vector<char>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int rounds_from_environment(int fallback) {
    // JET_CORRUPTION_ROUNDS raises the count for a longer hunt (e.g. under asan).
    const char* env = std::getenv("JET_CORRUPTION_ROUNDS");
    return env != nullptr ? std::max(1, std::atoi(env)) : fallback;
}

// Everything a reader does with a file: open, every table's rows, a check
// that lists who owns each page.
void read_everything(const std::filesystem::path& path) {
    const jet::Database db(path, jet::OpenOptions{std::nullopt, false});
    for (const jet::CatalogObject* o : db.catalog().tables(true)) {
        try {
            (void)db.read_rows(db.table_def(o->table_page()));
        } catch (const jet::Error& e) {
            if (e.kind() != jet::ErrorKind::damaged) {
                throw;
            }
        }
    }
    jet::CheckOptions owners;
    owners.page_owners = true;
    (void)jet::check(db, owners);
}

TEST(Corruption, RandomDamageEndsInADescribedErrorOrARead) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "corpus not available";
    }
    // Jet 4 and Access 97 files, plain and with encoded pages.
    const std::vector<std::string> names = {
        "jackcess/overflowTestV2003.mdb", "tika/testAccess2_2000.mdb", "jackcessencrypt/db-enc.mdb",
        "jackcess/testIndexCodesV1997.mdb", "jackcessencrypt/db97-enc.mdb"};
    const int rounds = rounds_from_environment(60);
    testsupport::ScratchDir dir;
    int errors = 0;
    int reads = 0;
    for (const std::string& name : names) {
        const std::filesystem::path source = *testsupport::corpus_dir() / name;
        const std::vector<char> original = read_all(source);
        ASSERT_GT(original.size(), 3 * page_size_of(original)) << name;
        std::mt19937 rng(12345);
        for (int round = 0; round < rounds; ++round) {
            std::vector<char> bytes = original;
            const std::size_t page = damage(bytes, rng);
            const auto path = dir.path() / "damaged.mdb";
            write_all(path, bytes);
            SCOPED_TRACE(name + " round " + std::to_string(round) + " page " +
                         std::to_string(page));
            try {
                read_everything(path);
                ++reads;
            } catch (const jet::Error& e) {
                ++errors;
                EXPECT_EQ(e.kind(), jet::ErrorKind::damaged) << e.what();
                EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
            }
        }
    }
    // Both outcomes occur: the damage is found where it matters.
    EXPECT_GT(errors, 0);
    EXPECT_GT(reads, 0);
}

TEST(Corruption, CompactingADamagedFileFailsDescribedOrGivesACleanCopy) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "corpus not available";
    }
    // Files with moved rows, memo chains, several indexes and page
    // encoding, Jet 4 and Access 97.
    const std::vector<std::string> names = {
        "jackcess/overflowTestV2003.mdb", "tika/testAccess2_2000.mdb", "jackcessencrypt/db-enc.mdb",
        "jackcess/test2V1997.mdb", "jackcessencrypt/db97-enc.mdb"};
    const int rounds = rounds_from_environment(40);
    testsupport::ScratchDir dir;
    int refused = 0;
    int compacted = 0;
    for (const std::string& name : names) {
        const std::vector<char> original = read_all(*testsupport::corpus_dir() / name);
        std::mt19937 rng(54321);
        for (int round = 0; round < rounds; ++round) {
            std::vector<char> bytes = original;
            const std::size_t page = damage(bytes, rng);
            const auto source = dir.path() / "damaged.mdb";
            const auto dest = dir.path() / "compacted.mdb";
            write_all(source, bytes);
            std::filesystem::remove(dest);
            SCOPED_TRACE(name + " round " + std::to_string(round) + " page " +
                         std::to_string(page));
            try {
                (void)jet::compact(source, dest, {});
                ++compacted;
                // What comes out is a sound database in its own right.
                const jet::Database out(dest, jet::OpenOptions{std::nullopt, false});
                jet::CheckOptions strict;
                strict.strict = true;
                for (const auto& f : jet::check(out, strict).findings) {
                    EXPECT_EQ(f.code, "stale-id") << f.description;
                }
            } catch (const jet::Error& e) {
                ++refused;
                EXPECT_FALSE(std::string(e.what()).empty());
                EXPECT_EQ(std::string(e.what()).find("in Access"), std::string::npos)
                    << "a refusal sends the user to a program Linux lacks: " << e.what();
                EXPECT_FALSE(std::filesystem::exists(dest)) << "a refused copy was left behind";
            }
            EXPECT_EQ(read_all(source), bytes) << "the source was changed";
            // Every finding the damage gives is one the finding table knows.
            try {
                for (const auto& f : jet::check_file(source).findings) {
                    EXPECT_NE(jet::finding_kind(f.code), nullptr) << f.code;
                }
            } catch (const jet::Error&) {
                // refused before any finding: no Jet 4 database any more
            }
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(compacted, 0);
}

}  // namespace
