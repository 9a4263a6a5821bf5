// Damaged copies of real databases: bytes changed at random (fixed seeds, so
// a failure repeats) must end in a jet::Error that names the damage, or in a
// successful read - never in a crash, a hang, another exception or a read
// out of bounds (run under the asan preset to see the last).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

#include "jet/database.h"
#include "jet/error.h"
#include "jet/liveness.h"
#include "testsupport/corpus.h"

namespace {

std::vector<char> read_all(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// Everything a reader does with a file: open, every table's rows, liveness.
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
    (void)jet::compute_liveness(db);
}

TEST(Corruption, RandomDamageEndsInADescribedErrorOrARead) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "corpus not available";
    }
    const std::vector<std::string> names = {"jackcess/overflowTestV2003.mdb",
                                            "tika/testAccess2_2000.mdb",
                                            "jackcessencrypt/db-enc.mdb"};
    // JET_CORRUPTION_ROUNDS raises the count for a longer hunt (e.g. under asan).
    const char* env = std::getenv("JET_CORRUPTION_ROUNDS");
    const int rounds = env != nullptr ? std::max(1, std::atoi(env)) : 60;
    testsupport::ScratchDir dir;
    int errors = 0;
    int reads = 0;
    for (const std::string& name : names) {
        const std::filesystem::path source = *testsupport::corpus_dir() / name;
        const std::vector<char> original = read_all(source);
        ASSERT_GT(original.size(), 3 * jet::kPageSize) << name;
        std::mt19937 rng(12345);
        for (int round = 0; round < rounds; ++round) {
            std::vector<char> bytes = original;
            // A few bytes on one page (never page 0: its checks have their own tests).
            const std::size_t pages = bytes.size() / jet::kPageSize;
            const std::size_t page = 1 + rng() % (pages - 1);
            const int flips = 1 + static_cast<int>(rng() % 6);
            for (int k = 0; k < flips; ++k) {
                // Page headers and slot tables are where pointers live: favour them.
                const std::size_t off = (rng() % 2 ? rng() % 64 : rng() % jet::kPageSize);
                bytes[page * jet::kPageSize + off] = static_cast<char>(rng());
            }
            const auto path = dir.path() / "damaged.mdb";
            std::ofstream(path, std::ios::binary | std::ios::trunc)
                .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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

}  // namespace
