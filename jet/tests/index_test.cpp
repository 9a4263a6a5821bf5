// Index pages, the entry order, integer keys and tree walks: synthetic pages
// for the shapes the corpus does not show, real corpus pages for the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <functional>
#include <random>

#include "jet/format/bytes.h"
#include "jet/format/error.h"
#include "jet/format/index_key.h"
#include "jet/format/index_page.h"
#include "jet/format/index_tree.h"
#include "jet/format/page_file.h"
#include "testsupport/corpus.h"

namespace {

using jet::IndexEntry;
using Raw = std::vector<std::uint8_t>;

Raw leaf_entry(const Raw& key, std::uint32_t page, std::uint8_t row) {
    Raw e = key;
    e.push_back(static_cast<std::uint8_t>(page >> 16));
    e.push_back(static_cast<std::uint8_t>(page >> 8));
    e.push_back(static_cast<std::uint8_t>(page));
    e.push_back(row);
    return e;
}

Raw node_entry(const Raw& key, std::uint32_t page, std::uint8_t row, std::uint32_t child) {
    Raw e = leaf_entry(key, page, row);
    for (int k = 3; k >= 0; --k) {
        e.push_back(static_cast<std::uint8_t>(child >> (8 * k)));
    }
    return e;
}

struct PageSpec {
    std::uint8_t type = jet::kIndexLeafPage;
    std::vector<Raw> entries;  // whole entries, prefix not yet removed
    std::uint16_t prefix = 0;
    std::uint32_t owner = 7, prev = 0, next = 0, tail = 0;
};

// Lays out an index page the way Access does: entry 0 whole, later entries
// without the shared prefix, one mask bit at each entry's end.
jet::PageBuf make_page(const PageSpec& s) {
    jet::PageBuf p = jet::blank_page(jet::jet4_format());
    p[0] = s.type;
    p[1] = 1;
    jet::put_le32(p, 4, s.owner);
    jet::put_le32(p, 12, s.prev);
    jet::put_le32(p, 16, s.next);
    jet::put_le32(p, 20, s.tail);
    jet::put_le16(p, 24, s.prefix);
    p[26] = s.type == jet::kIndexNodePage ? 1 : 0;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < s.entries.size(); ++i) {
        const Raw& e = s.entries[i];
        const std::size_t skip = i == 0 ? 0 : s.prefix;
        std::copy(e.begin() + static_cast<std::ptrdiff_t>(skip), e.end(),
                  p.begin() + static_cast<std::ptrdiff_t>(
                                  jet::jet4_format().index_page.entries_offset + pos));
        pos += e.size() - skip;
        p[jet::jet4_format().index_page.mask_offset + pos / 8] |=
            static_cast<std::uint8_t>(1u << (pos % 8));
    }
    jet::put_le16(p, 2, static_cast<std::uint16_t>(jet::jet4_format().index_entry_area() - pos));
    return p;
}

Raw long_key(std::int64_t v, bool asc = true) {
    Raw k;
    jet::append_integer_key(k, v, 4, asc);
    return k;
}

// A database-shaped file of the given pages (page 0 left empty).
class TreeFile {
  public:
    explicit TreeFile(std::vector<jet::PageBuf> pages) {
        path_ = dir_.path() / "tree.mdb";
        std::ofstream out(path_, std::ios::binary);
        pages.insert(pages.begin(), jet::blank_page(jet::jet4_format()));
        for (const auto& p : pages) {
            out.write(reinterpret_cast<const char*>(p.data()), static_cast<long>(p.size()));
        }
    }
    jet::PageFile open() const { return jet::PageFile(path_, jet::jet4_format()); }

  private:
    testsupport::ScratchDir dir_;
    std::filesystem::path path_;
};

std::vector<std::string> codes(const jet::IndexTree& t) {
    std::vector<std::string> out;
    for (const auto& p : t.problems) {
        out.push_back(p.code);
    }
    return out;
}

bool has_code(const jet::IndexTree& t, const std::string& code) {
    const auto c = codes(t);
    return std::find(c.begin(), c.end(), code) != c.end();
}

// ---------------------------------------------------------------- keys

TEST(IndexKey, LongValuesEncodeBigEndianWithTheSignBitFlipped) {
    EXPECT_EQ(long_key(1), (Raw{0x7F, 0x80, 0x00, 0x00, 0x01}));
    EXPECT_EQ(long_key(-1), (Raw{0x7F, 0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(long_key(0x12345678), (Raw{0x7F, 0x92, 0x34, 0x56, 0x78}));
    // Descending: flag 0x80 and every following byte inverted.
    EXPECT_EQ(long_key(1, false), (Raw{0x80, 0x7F, 0xFF, 0xFF, 0xFE}));
    Raw k;
    jet::append_integer_key(k, -2, 2, true);
    EXPECT_EQ(k, (Raw{0x7F, 0x7F, 0xFE}));
    Raw n;
    jet::append_null_key(n, true);
    jet::append_null_key(n, false);
    EXPECT_EQ(n, (Raw{0x00, 0xFF}));
    EXPECT_THROW(jet::append_integer_key(k, 1, 9, true), jet::Error);
}

TEST(IndexKey, EncodedOrderFollowsNumericOrderAndReadsBack) {
    const std::vector<std::int64_t> values = {INT32_MIN, -70000, -256, -1,    0,
                                              1,         255,    256,  70000, INT32_MAX};
    for (const bool asc : {true, false}) {
        for (std::size_t i = 0; i + 1 < values.size(); ++i) {
            const Raw a = long_key(values[i], asc), b = long_key(values[i + 1], asc);
            const auto c = jet::compare_keys(a, b);
            EXPECT_TRUE(asc ? c < 0 : c > 0) << values[i] << " vs " << values[i + 1];
        }
        for (const std::int64_t v : values) {
            for (const std::size_t width : {std::size_t{4}, std::size_t{8}}) {
                Raw k;
                jet::append_integer_key(k, v, width, asc);
                std::size_t off = 0;
                EXPECT_EQ(jet::read_integer_key(k, off, width), v);
                EXPECT_EQ(off, k.size());
            }
        }
    }
    Raw nulls{0x00, 0x7F};
    std::size_t off = 0;
    EXPECT_EQ(jet::read_integer_key(nulls, off, 4), std::nullopt);
    EXPECT_EQ(off, 1u);
    EXPECT_THROW(jet::read_integer_key(nulls, off, 4), jet::Error);  // too short
    Raw bad{0x42, 1, 2, 3, 4};
    off = 0;
    EXPECT_THROW(jet::read_integer_key(bad, off, 4), jet::Error);
}

TEST(IndexKey, EntriesOrderByKeyBytesThenPageThenRow) {
    const IndexEntry a{{0x7F, 0x01}, {900, 3}};
    const IndexEntry prefix{{0x7F}, {5000, 9}};
    const IndexEntry high_byte{{0x7F, 0x81}, {1, 0}};
    const IndexEntry same_key_lower_page{{0x7F, 0x01}, {899, 200}};
    const IndexEntry same_page_next_row{{0x7F, 0x01}, {900, 4}};
    EXPECT_TRUE(jet::entry_less(prefix, a));               // a proper prefix sorts first
    EXPECT_TRUE(jet::entry_less(a, high_byte));            // bytes compare unsigned
    EXPECT_TRUE(jet::entry_less(same_key_lower_page, a));  // page as a number
    EXPECT_TRUE(jet::entry_less(a, same_page_next_row));
    EXPECT_EQ(jet::compare_entries(a, a), std::strong_ordering::equal);
    EXPECT_TRUE(jet::key_is_all_null(Raw{0x00, 0xFF}, 2));
    EXPECT_FALSE(jet::key_is_all_null(Raw{0x00, 0x7F}, 2));
}

TEST(IndexKey, LongKeysOrderByTheirFirstDifferingByte) {
    // Keys of 20 bytes differing first at byte d, where unsigned 0x01 < 0x81
    // and every later byte says the opposite; then proper prefixes.
    constexpr std::size_t kLength = 20;
    for (std::size_t d = 0; d < kLength; ++d) {
        SCOPED_TRACE("first difference at byte " + std::to_string(d));
        Raw lo(kLength, 0x55);
        Raw hi(kLength, 0x55);
        lo[d] = 0x01;
        hi[d] = 0x81;
        for (std::size_t k = d + 1; k < kLength; ++k) {
            lo[k] = 0xFF;
            hi[k] = 0x00;
        }
        EXPECT_EQ(jet::compare_keys(lo, hi), std::strong_ordering::less);
        EXPECT_EQ(jet::compare_keys(hi, lo), std::strong_ordering::greater);
        EXPECT_EQ(jet::compare_keys(hi, hi), std::strong_ordering::equal);
        const Raw prefix(lo.begin(), lo.begin() + static_cast<std::ptrdiff_t>(d));
        EXPECT_EQ(jet::compare_keys(prefix, lo), std::strong_ordering::less);
    }
}

// ---------------------------------------------------------------- pages

TEST(IndexPage, RestoresTheSharedPrefixOfEveryLaterEntry) {
    PageSpec s;
    s.prefix = 3;
    s.entries = {leaf_entry({0x7F, 0x80, 0x00, 0x01}, 40, 1),
                 leaf_entry({0x7F, 0x80, 0x00, 0x02}, 40, 2),
                 leaf_entry({0x7F, 0x80, 0x00, 0x03, 0x55}, 0x123456, 255)};
    const auto page = make_page(s);
    const auto p = jet::parse_index_page(jet::jet4_format(), page, 9, "test page 9");
    ASSERT_EQ(p.entries.size(), 3u);
    EXPECT_EQ(p.entries[1].entry.key, (Raw{0x7F, 0x80, 0x00, 0x02}));
    EXPECT_EQ(p.entries[2].entry.key, (Raw{0x7F, 0x80, 0x00, 0x03, 0x55}));
    EXPECT_EQ(p.entries[2].entry.row, (jet::RowPointer{0x123456, 255}));
    EXPECT_EQ(p.used, 8u + 5u + 6u);
    EXPECT_EQ(p.free_space, p.expected_free_space());
    EXPECT_EQ(p.owner, 7u);
}

TEST(IndexPage, NodeEntriesCarryTheirChildPage) {
    PageSpec s;
    s.type = jet::kIndexNodePage;
    s.entries = {node_entry(long_key(5), 30, 1, 0x01020304)};
    s.tail = 12;
    const auto p = jet::parse_index_page(jet::jet4_format(), make_page(s), 3, "test page 3");
    ASSERT_EQ(p.entries.size(), 1u);
    EXPECT_EQ(p.entries[0].child, 0x01020304u);
    EXPECT_EQ(p.entries[0].entry.key, long_key(5));
    EXPECT_EQ(p.tail, 12u);
}

TEST(IndexPage, RefusesUndecodableMasksAndPrefixes) {
    PageSpec s;
    s.entries = {leaf_entry(long_key(1), 40, 1), leaf_entry(long_key(2), 40, 2)};
    auto expect_damage = [](const jet::PageBuf& page, const std::string& words) {
        try {
            jet::parse_index_page(jet::jet4_format(), page, 5, "test.mdb, page 5");
            FAIL() << "accepted a page whose " << words;
        } catch (const jet::Error& e) {
            EXPECT_EQ(e.kind(), jet::ErrorKind::damaged);
            EXPECT_NE(std::string(e.what()).find("test.mdb, page 5"), std::string::npos);
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
    };
    // A mask bit in the last mask byte beyond the entry area.
    auto page = make_page(s);
    page[jet::jet4_format().index_page.mask_offset + jet::jet4_format().index_page.mask_size - 1] |=
        0x80;
    expect_damage(page, "past the entry area");
    // A stray bit two bytes into the first entry: an entry shorter than its pointer.
    page = make_page(s);
    page[jet::jet4_format().index_page.mask_offset] |= 0x04;
    expect_damage(page, "shorter than its row pointer");
    // A bit at byte 0: an empty entry.
    page = make_page(s);
    page[jet::jet4_format().index_page.mask_offset] |= 0x01;
    expect_damage(page, "empty entry");
    // A prefix longer than the first entry.
    page = make_page(s);
    jet::put_le16(page, 24, 200);
    expect_damage(page, "shared prefix");
    // Not an index page at all.
    page = make_page(s);
    page[0] = 0x01;
    expect_damage(page, "page type 1");
}

TEST(IndexPage, EveryIndexPageOfTheCorpusDecodesWithItsStatedFreeSpace) {
    const auto files = testsupport::corpus_files("jet4");
    if (files.empty()) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    std::size_t pages = 0;
    for (const auto& f : files) {
        jet::PageFile file(f.path, jet::jet4_format());
        if (file.page_count() < 2 || file.read(1)[0] != 0x01) {
            continue;  // encoded: its pages need the header's key
        }
        for (std::uint32_t n = 1; n < file.page_count(); ++n) {
            const auto buf = file.read(n);
            if (buf[0] != jet::kIndexLeafPage && buf[0] != jet::kIndexNodePage) {
                continue;
            }
            ++pages;
            const auto p = jet::parse_index_page(jet::jet4_format(), buf, n, file.where(n));
            EXPECT_EQ(p.free_space, p.expected_free_space()) << file.where(n);
            for (std::size_t i = 1; i < p.entries.size(); ++i) {
                EXPECT_TRUE(jet::entry_less(p.entries[i - 1].entry, p.entries[i].entry))
                    << file.where(n) << " entry " << i;
            }
        }
    }
    EXPECT_GT(pages, 1000u);
}

// ---------------------------------------------------------------- trees

// Page 1: node with one entry (child 2) and tail 3; pages 2 and 3: leaves.
std::vector<PageSpec> two_level_tree() {
    PageSpec left, right, root;
    left.entries = {leaf_entry(long_key(1), 50, 0), leaf_entry(long_key(2), 50, 1)};
    left.next = 3;
    right.entries = {leaf_entry(long_key(3), 51, 0), leaf_entry(long_key(4), 51, 1)};
    right.prev = 2;
    root.type = jet::kIndexNodePage;
    root.entries = {node_entry(long_key(2), 50, 1, 2)};
    root.tail = 3;
    return {root, left, right};
}

jet::IndexTree walk(const std::vector<PageSpec>& specs, std::uint32_t root = 1) {
    std::vector<jet::PageBuf> pages;
    for (const auto& s : specs) {
        pages.push_back(make_page(s));
    }
    TreeFile f(pages);
    const auto file = f.open();
    jet::IndexTreeOptions o;
    o.owner = 7;
    return jet::read_index_tree(file, root, o);
}

TEST(IndexTree, WalksNodesAndTailsInKeyOrder) {
    const auto t = walk(two_level_tree());
    EXPECT_TRUE(t.problems.empty()) << t.problems.front().description;
    ASSERT_EQ(t.entries.size(), 4u);
    EXPECT_EQ(t.entries[0].key, long_key(1));
    EXPECT_EQ(t.entries[3].row, (jet::RowPointer{51, 1}));
    ASSERT_EQ(t.levels.size(), 2u);
    EXPECT_EQ(t.levels[1], (std::vector<std::uint32_t>{2, 3}));
    EXPECT_EQ(t.pages, (std::set<std::uint32_t>{1, 2, 3}));
}

// Pages 1..7: root 1 over nodes 2 and 3, over leaves 4, 5 (under 2) and
// 6, 7 (under 3); keys 1..8, two per leaf; every level linked end to end.
std::vector<PageSpec> three_level_tree() {
    std::vector<PageSpec> s(7);
    for (std::uint32_t leaf = 0; leaf < 4; ++leaf) {
        auto& l = s[3 + leaf];
        l.entries = {leaf_entry(long_key(2 * leaf + 1), 50, 0),
                     leaf_entry(long_key(2 * leaf + 2), 50, 1)};
        l.prev = leaf == 0 ? 0 : 3 + leaf;
        l.next = leaf == 3 ? 0 : 5 + leaf;
    }
    for (auto* n : {&s[0], &s[1], &s[2]}) {
        n->type = jet::kIndexNodePage;
    }
    s[1].entries = {node_entry(long_key(2), 50, 1, 4)};
    s[1].tail = 5;
    s[1].next = 3;
    s[2].entries = {node_entry(long_key(6), 50, 1, 6)};
    s[2].tail = 7;
    s[2].prev = 2;
    s[0].entries = {node_entry(long_key(4), 50, 1, 2)};
    s[0].tail = 3;
    return s;
}

// What Jet and other writers leave reads clean; the faults beside it do not.
TEST(IndexTree, NodeEntriesAreUpperBoundsAndNodeLevelsNeedNoLinks) {
    struct Case {
        const char* what;
        std::function<void(std::vector<PageSpec>&)> change;
        const char* problem;  // nullptr: no problem at all
    };
    const std::vector<Case> cases = {
        {"as built", [](auto&) {}, nullptr},
        {"node entry above its subtree's last, below the next subtree's first",
         [](auto& s) { s[1].entries[0] = node_entry(long_key(2), 50, 9, 4); }, nullptr},
        {"root entry above its subtree's last",
         [](auto& s) { s[0].entries[0] = node_entry(long_key(4), 60, 0, 2); }, nullptr},
        {"node level unlinked across subtrees", [](auto& s) { s[1].next = s[2].prev = 0; },
         nullptr},
        {"node entry below its subtree's last",
         [](auto& s) { s[1].entries[0] = node_entry(long_key(2), 50, 0, 4); },
         "index-node-mismatch"},
        {"node entry at the next subtree's first",
         [](auto& s) { s[1].entries[0] = node_entry(long_key(3), 50, 0, 4); },
         "index-node-mismatch"},
        {"root entry past the next subtree's first",
         [](auto& s) { s[0].entries[0] = node_entry(long_key(5), 50, 0, 2); },
         "index-node-mismatch"},
        {"node level linked to a wrong page", [](auto& s) { s[1].next = 6; }, "index-sibling-link"},
        {"leaf level unlinked across subtrees", [](auto& s) { s[4].next = s[5].prev = 0; },
         "index-sibling-link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto s = three_level_tree();
        c.change(s);
        const auto t = walk(s);
        ASSERT_EQ(t.entries.size(), 8u);
        if (c.problem == nullptr) {
            EXPECT_TRUE(t.problems.empty()) << t.problems.front().description;
        } else {
            ASSERT_FALSE(t.problems.empty());
            EXPECT_TRUE(has_code(t, c.problem)) << t.problems.front().description;
        }
    }
}

TEST(IndexTree, ReportsEachKindOfDamageByItsCode) {
    {
        auto s = two_level_tree();
        std::swap(s[2].entries[0], s[2].entries[1]);
        EXPECT_TRUE(has_code(walk(s), "index-out-of-order"));
    }
    {
        auto s = two_level_tree();
        s[0].tail = 1;  // the root names itself
        EXPECT_TRUE(has_code(walk(s), "index-page-reused"));
    }
    {
        auto s = two_level_tree();
        s[1].next = 0;
        EXPECT_TRUE(has_code(walk(s), "index-sibling-link"));
    }
    {
        auto s = two_level_tree();
        s[0].entries = {node_entry(long_key(1), 50, 0, 2)};  // not the child's last entry
        EXPECT_TRUE(has_code(walk(s), "index-node-mismatch"));
    }
    {
        auto s = two_level_tree();
        s[2].owner = 8;
        EXPECT_EQ(codes(walk(s)), (std::vector<std::string>{"index-wrong-owner"}));
    }
    {
        auto s = two_level_tree();
        s[0].tail = 99;  // past the end of the file
        EXPECT_TRUE(has_code(walk(s), "index-dangling-page"));
    }
    {
        auto s = two_level_tree();
        s[1].type = jet::kIndexNodePage;  // a node without children
        s[1].entries.clear();
        EXPECT_TRUE(has_code(walk(s), "index-empty-node"));
    }
    {
        // A leaf directly under the root beside a deeper subtree.
        auto s = two_level_tree();
        PageSpec mid;
        mid.type = jet::kIndexNodePage;
        mid.tail = 3;
        mid.prev = 2;
        s[0].tail = 4;
        s[2].prev = 0;
        s.push_back(mid);
        const auto t = walk(s);
        EXPECT_TRUE(has_code(t, "index-unbalanced"));
    }
}

TEST(IndexTree, FreeSpaceMismatchIsFoundAndAPrefixMayCoverRowPointers) {
    auto specs = two_level_tree();
    // Two entries of one key on one data page share key and page number:
    // Jet takes the shared prefix over whole entries, 8 bytes here.
    specs[2].entries = {leaf_entry(long_key(3), 51, 0), leaf_entry(long_key(3), 51, 1)};
    specs[2].prefix = 8;
    std::vector<jet::PageBuf> pages;
    for (const auto& s : specs) {
        pages.push_back(make_page(s));
    }
    jet::put_le16(pages[1], 2, 100);
    TreeFile f(pages);
    const auto t = jet::read_index_tree(f.open(), 1);
    ASSERT_EQ(t.problems.size(), 1u) << t.problems.back().description;
    EXPECT_EQ(t.problems[0].code, "index-free-space");
    ASSERT_EQ(t.entries.size(), 4u);
    EXPECT_EQ(t.entries[3].key, long_key(3));
    EXPECT_EQ(t.entries[3].row, (jet::RowPointer{51, 1}));
}

TEST(IndexTree, StrictReadingThrowsTheFirstProblemNamingThePage) {
    auto s = two_level_tree();
    std::swap(s[2].entries[0], s[2].entries[1]);
    std::vector<jet::PageBuf> pages;
    for (const auto& p : s) {
        pages.push_back(make_page(p));
    }
    TreeFile f(pages);
    const auto file = f.open();
    try {
        jet::read_index_entries(file, 1, 7);
        FAIL() << "read a tree with entries out of order";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::damaged);
        EXPECT_NE(std::string(e.what()).find("Index page 3"), std::string::npos) << e.what();
    }
    const auto good = two_level_tree();
    std::vector<jet::PageBuf> gp;
    for (const auto& p : good) {
        gp.push_back(make_page(p));
    }
    TreeFile g(gp);
    EXPECT_EQ(jet::read_index_entries(g.open(), 1, 7).size(), 4u);
}

TEST(IndexTree, RandomDamageNeverThrowsOrLoops) {
    std::mt19937 rng(42);
    for (int round = 0; round < 300; ++round) {
        std::vector<jet::PageBuf> pages;
        for (const auto& s : two_level_tree()) {
            pages.push_back(make_page(s));
        }
        for (int k = 0; k < 6; ++k) {
            auto& p = pages[rng() % pages.size()];
            p[rng() % 600] = static_cast<std::uint8_t>(rng());
        }
        TreeFile f(pages);
        const auto file = f.open();
        const auto t = jet::read_index_tree(file, 1);
        EXPECT_LE(t.pages.size(), 3u);
    }
}

}  // namespace
