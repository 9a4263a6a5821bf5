// What the compactor reads of a source table: the live-row list with its
// lookups, and the page cache against plain page reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "jet/compact/source_rows.h"
#include "jet/format/data_page.h"
#include "jet/format/error.h"
#include "jet/format/page_file.h"
#include "testsupport/corpus.h"

namespace {

using jet::LiveRows;
using jet::RowPointer;

TEST(LiveRows, RowsMetOutOfOrderAreSortedWithTheirSizesAndFoundByTheirSlots) {
    LiveRows rows;
    std::vector<std::uint16_t> sizes;
    // Owned pages listed out of order, one row moved to another page.
    const RowPointer slots[] = {{40, 2}, {40, 0}, {7, 5}, {300, 1}, {7, 0}, {41, 9}};
    for (const auto& s : slots) {
        const RowPointer data = s == RowPointer{7, 5} ? RowPointer{41, 3} : s;
        rows.add(s, data);
        sizes.push_back(static_cast<std::uint16_t>(s.page * 10 + s.row));
    }
    EXPECT_FALSE(rows.sorted());
    rows.sort(sizes);
    ASSERT_EQ(rows.size(), 6u);
    ASSERT_EQ(sizes.size(), 6u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const RowPointer p = RowPointer::decode(rows.slot(i));
        if (i > 0) {
            EXPECT_LT(rows.slot(i - 1), rows.slot(i));
        }
        EXPECT_EQ(sizes[i], p.page * 10 + p.row) << "the size must follow its row";
    }
    EXPECT_EQ(rows.find({40, 0}), LiveRows::npos) << "no lookup before the directory is built";
    rows.index();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows.find(RowPointer::decode(rows.slot(i))), i);
    }
    // Not live: another slot of a live page, a page between, before and after.
    EXPECT_EQ(rows.find({40, 1}), LiveRows::npos);
    EXPECT_EQ(rows.find({100, 0}), LiveRows::npos);
    EXPECT_EQ(rows.find({6, 0}), LiveRows::npos);
    EXPECT_EQ(rows.find({301, 0}), LiveRows::npos);
    EXPECT_EQ(rows.find({0xFFFFFF, 255}), LiveRows::npos);
    // A moved row's bytes are where its pointer said; the others are at home.
    EXPECT_EQ(rows.data(rows.find({7, 5})), (RowPointer{41, 3}));
    EXPECT_EQ(rows.data(rows.find({41, 9})), (RowPointer{41, 9}));

    rows.add({500, 0}, {500, 0});
    EXPECT_EQ(rows.find({7, 0}), LiveRows::npos) << "a change drops the directory";
    rows.clear();
    EXPECT_EQ(rows.size(), 0u);
    EXPECT_TRUE(rows.sorted());
    rows.index();
    EXPECT_EQ(rows.find({7, 0}), LiveRows::npos);
}

TEST(PageCache, GivesEveryDataPageAsAPlainReadDoesInAnyOrder) {
    const auto files = testsupport::corpus_files("jet4");
    if (files.empty()) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    // The largest unencoded file, so that pages are evicted and read again.
    const jet::PageFile* chosen = nullptr;
    std::vector<std::unique_ptr<jet::PageFile>> opened;
    for (const auto& f : files) {
        opened.push_back(std::make_unique<jet::PageFile>(f.path, jet::jet4_format()));
        if (chosen == nullptr || opened.back()->page_count() > chosen->page_count()) {
            chosen = opened.back().get();
        }
    }
    const jet::PageFile& file = *chosen;
    std::vector<std::uint32_t> data_pages;
    for (std::uint32_t n = 1; n < file.page_count(); ++n) {
        if (file.read(n)[0] == jet::kPageTypeData) {
            data_pages.push_back(n);
        }
    }
    ASSERT_FALSE(data_pages.empty());
    jet::PageCache cache(file);
    auto same = [&](std::uint32_t n) {
        const jet::DataPage want = jet::read_data_page(file, n);
        const jet::DataPage& got = cache.data_page(n);
        ASSERT_EQ(got.number(), n);
        ASSERT_EQ(got.slot_count(), want.slot_count()) << "page " << n;
        for (std::size_t i = 0; i < want.slot_count(); ++i) {
            const auto a = want.row(i);
            const auto b = got.row(i);
            EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end()))
                << "page " << n << " row " << i;
        }
    };
    for (const auto n : data_pages) {
        same(n);
    }
    for (auto it = data_pages.rbegin(); it != data_pages.rend(); ++it) {
        same(*it);
    }
    // A page that is no data page is refused as damage, not handed out.
    for (std::uint32_t n = 1; n < file.page_count(); ++n) {
        if (file.read(n)[0] != jet::kPageTypeData) {
            EXPECT_THROW((void)cache.data_page(n), jet::Error) << "page " << n;
            break;
        }
    }
    EXPECT_THROW((void)cache.data_page(file.page_count()), jet::Error);
}

}  // namespace
