// Page access and the RC4 codec, on real files.
#include <gtest/gtest.h>

#include <cstring>
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

}  // namespace
