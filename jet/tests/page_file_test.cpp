// Page access and the RC4 codec, on real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/error.h"
#include "jet/format/page_file.h"
#include "jet/format/rc4.h"
#include "testsupport/corpus.h"

namespace {

TEST(Rc4, MatchesThePublishedTestVector) {
    // Key "Key", plaintext "Plaintext" -> BB F3 16 E8 D9 40 AF 0A D3.
    const std::uint8_t key[] = {'K', 'e', 'y'};
    std::uint8_t data[] = {'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
    jet::Rc4(key).apply(data);
    const std::uint8_t expected[] = {0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3};
    EXPECT_EQ(0, std::memcmp(data, expected, sizeof data));
}

TEST(PageFile, RefusesAMissingFileWithItsPath) {
    try {
        jet::PageFile f("/nonexistent/folder/db.mdb", jet::jet4_format());
        FAIL() << "opened a missing file";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::io);
        EXPECT_NE(std::string(e.what()).find("/nonexistent/folder/db.mdb"), std::string::npos);
    }
}

TEST(PageFile, ReadsPastTheEndAsDamageNamingThePage) {
    const auto files = testsupport::corpus_files("jet4");
    if (files.empty()) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    jet::PageFile f(files.front().path, jet::jet4_format());
    EXPECT_EQ(f.page_count() * jet::jet4_format().page_size, f.size_bytes());
    try {
        (void)f.read(f.page_count());
        FAIL() << "read past the end";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::damaged);
        EXPECT_NE(std::string(e.what()).find("page " + std::to_string(f.page_count())),
                  std::string::npos);
    }
}

TEST(PageFile, DecodesTheEncodedDatabaseWithTheKeyFromItsHeader) {
    const auto dir = testsupport::corpus_dir();
    if (!dir) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    jet::PageFile f(*dir / "jackcessencrypt/db-enc.mdb", jet::jet4_format());
    auto page0 = f.read(0);
    // The header region 0x18..0x97 is masked under a fixed RC4 key.
    const std::uint8_t mask_key[] = {0xC7, 0xDA, 0x39, 0x6B};
    jet::Rc4(mask_key).apply(std::span(page0).subspan(0x18, 128));
    const std::uint32_t key = jet::le32(page0, 0x3E);
    EXPECT_EQ(key, 0xA7B773E0u);
    EXPECT_NE(f.read(2)[0], 0x02) << "page 2 should look encoded without the key";
    f.set_encoding_key(key);
    const auto page2 = f.read(2);
    EXPECT_EQ(page2[0], 0x02) << "the catalog's table definition lives on page 2";
    EXPECT_EQ(page2[1], 0x01);

    // A run read at once gives what page-by-page reads give, page 0 (never
    // encoded) included.
    std::vector<jet::PageBuf> run(f.page_count());
    f.read_run(0, f.page_count(), run.data());
    for (std::uint32_t n = 0; n < f.page_count(); ++n) {
        EXPECT_TRUE(run[n] == f.read(n)) << "page " << n;
    }
}

TEST(PageFile, ARunReachingPastTheEndIsRefusedNamingTheFirstMissingPage) {
    const auto files = testsupport::corpus_files("jet4");
    if (files.empty()) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    jet::PageFile f(files.front().path, jet::jet4_format());
    std::vector<jet::PageBuf> run(4);
    f.read_run(f.page_count() - 4, 4, run.data());
    EXPECT_TRUE(run[3] == f.read(f.page_count() - 1));
    try {
        f.read_run(f.page_count() - 2, 4, run.data());
        FAIL() << "read past the end";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::damaged);
        EXPECT_NE(std::string(e.what()).find("page " + std::to_string(f.page_count())),
                  std::string::npos);
    }
}

// The largest Jet 4 file of the corpus (the most pages), or nothing.
std::optional<testsupport::CorpusFile> largest_jet4() {
    auto files = testsupport::corpus_files("jet4");
    if (files.empty()) {
        return std::nullopt;
    }
    return *std::max_element(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return std::filesystem::file_size(a.path) < std::filesystem::file_size(b.path);
    });
}

std::vector<std::uint8_t> raw_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Readers sharing one handle, in two threads walking the file from two
// places, each get every page as stored; between them the pages come in
// from the kernel in blocks, far fewer reads than pages, and a second walk
// over a file the cache holds reads nothing more.
TEST(PageFile, SharedReadersSeeThePagesAsStoredWithFewReads) {
    const auto file = largest_jet4();
    if (!file) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    const std::vector<std::uint8_t> raw = raw_bytes(file->path);
    const std::size_t size = jet::jet4_format().page_size;
    jet::PageFile first(file->path, jet::jet4_format());
    const std::uint32_t pages = first.page_count();
    ASSERT_GE(pages, 32u) << file->name;
    auto walk = [&](const jet::PageFile& f, std::uint32_t from, std::size_t& wrong) {
        for (std::uint32_t k = 0; k < pages; ++k) {
            const std::uint32_t n = (from + k) % pages;
            const jet::PageBuf page = f.read(n);
            wrong += std::memcmp(page.data(), raw.data() + std::size_t{n} * size, size) != 0;
        }
    };
    jet::PageFile second = jet::PageFile::share(first);
    second.set_format(jet::jet4_format());
    std::size_t wrong_first = 0;
    std::size_t wrong_second = 0;
    std::thread other([&] { walk(second, pages / 2, wrong_second); });
    walk(first, 0, wrong_first);
    other.join();
    EXPECT_EQ(wrong_first, 0u);
    EXPECT_EQ(wrong_second, 0u);
    const std::uint64_t reads = first.reads_for_pages();
    EXPECT_EQ(second.reads_for_pages(), reads) << "one count for the shared handle";
    EXPECT_LE(reads, pages / 4) << "pages read one call at a time";
    if (raw.size() <= std::size_t{4} << 20) {
        walk(second, 0, wrong_second);
        EXPECT_EQ(second.reads_for_pages(), reads) << "pages read again from the file";
    }
    // A dropped cache is read again, by every reader sharing it, as stored.
    first.drop_cache();
    walk(second, 0, wrong_second);
    EXPECT_EQ(wrong_second, 0u);
    EXPECT_GT(first.reads_for_pages(), reads) << "a dropped block still served";
}

// Pages read out of the way come in alone and are kept beside the blocks
// read whole; in every order, and in a sweep after jumps over the same
// blocks, each read gives the page as stored.
TEST(PageFile, PagesReadInAnyOrderAreThePagesAsStored) {
    const auto file = largest_jet4();
    if (!file) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    const std::vector<std::uint8_t> raw = raw_bytes(file->path);
    const std::size_t size = jet::jet4_format().page_size;
    const struct {
        const char* name;
        std::uint32_t stride;  // to the next page, modulo the page count
    } orders[] = {{"backwards", 0xFFFFFFFFu}, {"jumps of 37", 37}, {"jumps of 5", 5}};
    for (const auto& order : orders) {
        jet::PageFile f(file->path, jet::jet4_format());
        const std::uint32_t pages = f.page_count();
        std::uint32_t n = pages - 1;
        std::size_t wrong = 0;
        for (std::uint32_t k = 0; k < 2 * pages; ++k) {
            // The first pass in the order, the second straight through.
            n = k < pages ? static_cast<std::uint32_t>((n + order.stride) % pages) : k - pages;
            const jet::PageBuf page = f.read(n);
            wrong += std::memcmp(page.data(), raw.data() + std::size_t{n} * size, size) != 0;
        }
        EXPECT_EQ(wrong, 0u) << order.name;
    }
}

// A file that shrinks after it was opened: what the cache holds still reads,
// the pages still in the file read, and each page gone is an error naming
// it, never bytes that were not read.
TEST(PageFile, AFileTruncatedUnderneathFailsNamingEachPageGone) {
    const auto file = largest_jet4();
    if (!file) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    testsupport::ScratchDir dir;
    const auto path = testsupport::copy_to_scratch(file->path, dir.path());
    std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    const std::vector<std::uint8_t> raw = raw_bytes(path);
    const std::size_t size = jet::jet4_format().page_size;
    jet::PageFile f(path, jet::jet4_format());
    ASSERT_GE(f.page_count(), 48u) << file->name;
    (void)f.read(1);  // the first block is cached
    std::filesystem::resize_file(path, 20 * size);
    const struct {
        std::uint32_t page;
        bool readable;
    } cases[] = {{3, true}, {18, true}, {19, true}, {20, false}, {25, false}, {47, false}};
    for (const auto& c : cases) {
        try {
            const jet::PageBuf page = f.read(c.page);
            EXPECT_TRUE(c.readable) << "page " << c.page << " read from a file of 20 pages";
            EXPECT_EQ(0, std::memcmp(page.data(), raw.data() + std::size_t{c.page} * size, size))
                << "page " << c.page;
        } catch (const jet::Error& e) {
            EXPECT_FALSE(c.readable) << "page " << c.page << ": " << e.what();
            EXPECT_EQ(e.kind(), jet::ErrorKind::truncated);
            EXPECT_NE(std::string(e.what()).find("page " + std::to_string(c.page)),
                      std::string::npos)
                << e.what();
        }
    }
}

}  // namespace
