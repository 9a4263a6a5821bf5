// The writer units under the compactor, read back through the engine's own
// readers: index trees of every shape, usage-map rows and page 1, data pages,
// long values in rows and chains, definitions split over pages, and the
// output file's promises (never overwrite, nothing left on failure).

#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jet/compact/output_file.h"
#include "jet/format/bytes.h"
#include "jet/format/data_page.h"
#include "jet/format/data_page_builder.h"
#include "jet/format/error.h"
#include "jet/format/index_builder.h"
#include "jet/format/index_key.h"
#include "jet/format/index_page.h"
#include "jet/format/index_tree.h"
#include "jet/format/long_value.h"
#include "jet/format/long_value_builder.h"
#include "jet/format/page_file.h"
#include "jet/format/table_def.h"
#include "jet/format/table_def_builder.h"
#include "jet/format/usage_map.h"
#include "jet/format/usage_map_builder.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;

// A file of pages assembled in memory, then written out for the readers.
struct PageImage {
    std::map<std::uint32_t, jet::PageBuf> pages;
    fs::path write(const fs::path& dir, const std::string& name) const {
        const fs::path p = dir / name;
        std::ofstream out(p, std::ios::binary);
        const std::uint32_t n = pages.empty() ? 0 : pages.rbegin()->first + 1;
        for (std::uint32_t k = 0; k < n; ++k) {
            jet::PageBuf blank = jet::blank_page(jet::jet4_format());
            const auto it = pages.find(k);
            const auto& page = it == pages.end() ? blank : it->second;
            out.write(reinterpret_cast<const char*>(page.data()), jet::jet4_format().page_size);
        }
        return p;
    }
};

std::vector<jet::IndexEntry> make_entries(std::size_t n, std::size_t key_length,
                                          std::uint32_t first_page) {
    std::vector<jet::IndexEntry> entries;
    for (std::size_t i = 0; i < n; ++i) {
        jet::IndexEntry e;
        e.key.assign(key_length, 0x41);
        // A shared head, then a big-endian counter: sorted, distinct, and
        // with a long common prefix to compress.
        for (std::size_t b = 0; b < 4 && b < key_length; ++b) {
            e.key[key_length - 1 - b] = static_cast<std::uint8_t>(i >> (8 * b));
        }
        e.row = jet::RowPointer{first_page + static_cast<std::uint32_t>(i / 100),
                                static_cast<std::uint8_t>(i % 100)};
        entries.push_back(std::move(e));
    }
    std::sort(entries.begin(), entries.end(), jet::entry_less);
    return entries;
}

struct TreeCase {
    std::size_t entries;
    std::size_t key_length;
    bool prefix;
};

TEST(IndexBuilder, TreesOfEveryShapeReadBackEntryForEntry) {
    // Empty, one leaf, two levels, three levels (long keys force the depth).
    const TreeCase cases[] = {{0, 5, true},      {1, 5, true},      {300, 5, true},
                              {300, 5, false},   {5000, 9, true},   {20000, 9, false},
                              {3000, 300, true}, {3000, 300, false}};
    testsupport::ScratchDir dir;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.entries) + " entries, key " + std::to_string(c.key_length) +
                     (c.prefix ? ", prefix" : ", whole"));
        const auto entries = make_entries(c.entries, c.key_length, 10);
        const auto plan = jet::plan_index_tree(jet::jet4_format(), entries, c.prefix);
        std::vector<std::uint32_t> pages(plan.page_count());
        for (std::size_t k = 0; k < pages.size(); ++k) {
            pages[k] = 3 + static_cast<std::uint32_t>(k);
        }
        PageImage image;
        const std::uint32_t root = jet::write_index_tree(
            plan, entries, pages, 2,
            [&](std::uint32_t p, const jet::PageBuf& page) { image.pages[p] = page; });
        EXPECT_EQ(root, pages.back());
        EXPECT_EQ(image.pages.size(), pages.size()) << "every planned page is written once";
        const fs::path file = image.write(dir.path(), std::to_string(n++) + ".bin");
        const jet::PageFile pf(file, jet::jet4_format());
        jet::IndexTreeOptions o;
        o.owner = 2;
        const auto tree = jet::read_index_tree(pf, root, o);
        for (const auto& p : tree.problems) {
            ADD_FAILURE() << p.code << ": " << p.description;
        }
        EXPECT_EQ(tree.entries, entries);
        EXPECT_EQ(tree.pages.size(), pages.size());
        // Leaves are packed: all but the last leaf hold more than 3/4 of a page.
        for (std::size_t k = 0; k + 1 < plan.levels[0].size(); ++k) {
            const auto leaf = jet::parse_index_page(
                jet::jet4_format(),
                jet::Bytes(image.pages[pages[k]].data(), jet::jet4_format().page_size), pages[k],
                "leaf");
            EXPECT_GT(leaf.used, jet::jet4_format().index_entry_area() * 3 / 4);
            EXPECT_EQ(leaf.free_space, leaf.expected_free_space());
            if (c.prefix && c.key_length > 4) {
                EXPECT_GT(leaf.prefix_length, 0);
            }
        }
        if (!c.prefix && c.key_length == 300) {
            EXPECT_GE(plan.levels.size(), 3u) << "long keys should need a deeper tree";
        }
    }
}

TEST(IndexBuilder, LeavesWrittenOneEntryAtATimeGiveTheSameTree) {
    // Keys of mixed lengths (a shared head, a varying tail) so that page
    // boundaries and prefixes differ from page to page.
    auto mixed = [](std::size_t n) {
        std::vector<jet::IndexEntry> entries;
        for (std::size_t i = 0; i < n; ++i) {
            jet::IndexEntry e;
            e.key = {0x7F, static_cast<std::uint8_t>(i >> 12), static_cast<std::uint8_t>(i >> 4)};
            e.key.insert(e.key.end(), (i * 7) % 40, static_cast<std::uint8_t>(0x30 + i % 16));
            e.row = jet::RowPointer{static_cast<std::uint32_t>(100 + i / 50),
                                    static_cast<std::uint8_t>(i % 50)};
            entries.push_back(std::move(e));
        }
        std::sort(entries.begin(), entries.end(), jet::entry_less);
        return entries;
    };
    const TreeCase cases[] = {{0, 5, true},    {1, 5, true},      {300, 5, true},
                              {5000, 9, true}, {20000, 9, false}, {3000, 300, false}};
    std::vector<std::pair<std::vector<jet::IndexEntry>, bool>> inputs;
    for (const auto& c : cases) {
        inputs.emplace_back(make_entries(c.entries, c.key_length, 10), c.prefix);
    }
    inputs.emplace_back(mixed(40000), true);
    inputs.emplace_back(mixed(40000), false);
    for (const auto& [entries, prefix] : inputs) {
        SCOPED_TRACE(std::to_string(entries.size()) + " entries" + (prefix ? ", prefix" : ""));
        const auto plan = jet::plan_index_tree(jet::jet4_format(), entries, prefix);
        std::vector<std::uint32_t> pages(plan.page_count());
        for (std::size_t k = 0; k < pages.size(); ++k) {
            pages[k] = 3 + static_cast<std::uint32_t>(k);
        }
        std::map<std::uint32_t, jet::PageBuf> whole;
        const std::uint32_t root = jet::write_index_tree(
            plan, entries, pages, 2,
            [&](std::uint32_t p, const jet::PageBuf& page) { whole[p] = page; });

        // Counting first, as a compaction plans, then writing.
        jet::IndexLeafWriter counter(jet::jet4_format(), prefix, 3, 2);
        for (const auto& e : entries) {
            counter.add(e);
        }
        const auto counted = counter.finish();
        EXPECT_EQ(counter.leaf_count(), plan.levels[0].size());
        EXPECT_EQ(jet::plan_index_nodes(jet::jet4_format(), counted, counter.leaf_count(), prefix)
                      .page_count(),
                  plan.page_count());

        std::map<std::uint32_t, jet::PageBuf> streamed;
        auto sink = [&](std::uint32_t p, const jet::PageBuf& page) {
            EXPECT_TRUE(streamed.emplace(p, page).second) << "page " << p << " written twice";
        };
        jet::IndexLeafWriter writer(jet::jet4_format(), prefix, 3, 2, sink);
        for (const auto& e : entries) {
            writer.add(e);
        }
        const auto lasts = writer.finish();
        EXPECT_EQ(writer.entry_count(), entries.size());
        const auto nodes =
            jet::plan_index_nodes(jet::jet4_format(), lasts, writer.leaf_count(), prefix);
        ASSERT_EQ(nodes.page_count(), pages.size());
        EXPECT_EQ(jet::write_index_nodes(nodes, lasts, pages, 2, sink), root);
        ASSERT_EQ(streamed.size(), whole.size());
        for (const auto& [p, page] : whole) {
            EXPECT_TRUE(streamed[p] == page) << "page " << p << " differs";
        }
    }
}

TEST(IndexBuilder, AnEntryTooLongForAPageIsRefused) {
    const auto entries = make_entries(1, jet::jet4_format().index_entry_area(), 10);
    EXPECT_THROW(jet::plan_index_tree(jet::jet4_format(), entries, true), jet::Error);
    jet::IndexLeafWriter writer(jet::jet4_format(), true, 3, 2);
    EXPECT_THROW(writer.add(entries.front()), jet::Error);
}

TEST(UsageMapBuilder, InlineAndReferenceRowsReadBackAsTheSamePages) {
    testsupport::ScratchDir dir;
    struct Case {
        std::uint32_t first;
        std::uint32_t count;
        bool inline_expected;
    };
    const Case cases[] = {{0, 0, true},     {3, 1, true},        {17, 511, true},
                          {17, 512, false}, {40000, 600, false}, {32000, 1500, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + "+" + std::to_string(c.count));
        std::vector<std::uint32_t> pages;
        for (std::uint32_t k = 0; k < c.count; ++k) {
            pages.push_back(c.first + k);
        }
        ASSERT_EQ(jet::fits_inline_map(jet::jet4_format(), pages), c.inline_expected);
        PageImage image;
        std::vector<std::uint8_t> row;
        if (c.inline_expected) {
            row = jet::build_inline_map_row(jet::jet4_format(), pages);
        } else {
            std::vector<std::uint32_t> refs;
            std::uint32_t next = 5;
            for (auto block : jet::bitmap_blocks_of(jet::jet4_format(), pages)) {
                refs.resize(block + 1, 0);
                refs[block] = next;
                image.pages[next++] = jet::build_bitmap_page(jet::jet4_format(), block, pages);
            }
            row = jet::build_reference_map_row(jet::jet4_format(), refs);
        }
        EXPECT_EQ(row.size(), jet::jet4_format().map_row_length);
        const std::vector<std::vector<std::uint8_t>> rows{row};
        image.pages[4] = jet::build_data_page(jet::jet4_format(), rows, 0);
        const fs::path file = image.write(dir.path(), "map.bin");
        const jet::PageFile pf(file, jet::jet4_format());
        const auto map = jet::read_usage_map(pf, jet::RowPointer{4, 0}, "test map");
        EXPECT_EQ(map.pages, pages);
    }
}

TEST(UsageMapBuilder, PageOneMarksExactlyThePagesPastTheEndFree) {
    testsupport::ScratchDir dir;
    for (std::uint32_t count : {3u, 40u, 511u, 512u, 513u, 9000u, 32032u}) {
        SCOPED_TRACE(count);
        ASSERT_FALSE(jet::plan_global_map(jet::jet4_format(), count).reference);
        PageImage image;
        image.pages[1] = jet::build_page_one(jet::jet4_format(), count, {});
        image.pages[count - 1] = jet::blank_page(jet::jet4_format());
        const jet::PageFile pf(image.write(dir.path(), "p1.bin"), jet::jet4_format());
        const auto free = jet::read_free_map(pf);
        EXPECT_EQ(free.map.kind, jet::UsageMap::Kind::inline_map);
        for (std::uint32_t p : {0u, 1u, 2u, count - 1}) {
            EXPECT_FALSE(free.is_free(p)) << p;
        }
        EXPECT_TRUE(free.is_free(count));
        EXPECT_EQ(free.map.range_end() % 8, 0u);
        const jet::DataPage p1(jet::jet4_format(), pf.read(1), 1, "page 1");
        EXPECT_EQ(p1.owner(), 1u);
        EXPECT_EQ(p1.slot_count(), 2u);
        EXPECT_EQ(p1.stored_free_space(), p1.computed_free_space());
    }
    // Past what page 1 can hold inline, the map takes the reference form.
    const auto big = jet::plan_global_map(jet::jet4_format(), 100000);
    EXPECT_TRUE(big.reference);
    EXPECT_EQ(big.bitmap_page_count, 4u);
}

TEST(UsageMapBuilder, AReferenceGlobalMapCoversTheFileAndNothingBeyondIsInUse) {
    testsupport::ScratchDir dir;
    const std::uint32_t without = 40000;
    const auto layout = jet::plan_global_map(jet::jet4_format(), without);
    ASSERT_TRUE(layout.reference);
    ASSERT_EQ(layout.bitmap_page_count, 2u);
    const std::uint32_t total = without + layout.bitmap_page_count;
    PageImage image;
    const std::vector<std::uint32_t> bitmaps{without, without + 1};
    image.pages[1] = jet::build_page_one(jet::jet4_format(), total, bitmaps);
    for (std::uint32_t b = 0; b < 2; ++b) {
        image.pages[bitmaps[b]] = jet::build_global_bitmap_page(jet::jet4_format(), b, total);
    }
    const jet::PageFile pf(image.write(dir.path(), "ref.bin"), jet::jet4_format());
    ASSERT_EQ(pf.page_count(), total);
    const auto free = jet::read_free_map(pf);
    EXPECT_EQ(free.map.kind, jet::UsageMap::Kind::reference);
    EXPECT_EQ(free.map.bitmap_pages, bitmaps);
    for (std::uint32_t p : {0u, 2u, 32735u, 32736u, without, total - 1}) {
        EXPECT_FALSE(free.is_free(p)) << p;
    }
    for (std::uint32_t p : {total, 65471u, 65472u, 400000u}) {
        EXPECT_TRUE(free.is_free(p)) << p;
    }
}

TEST(DataPageBuilder, PackerAndPageAgreeAtTheLimits) {
    jet::RowPacker packer(jet::jet4_format());
    // 255 tiny rows fill a page by count, the next one opens a new page.
    for (int i = 0; i < 255; ++i) {
        EXPECT_EQ(packer.add(1).page_index, 0u);
    }
    EXPECT_EQ(packer.add(1).page_index, 1u);
    // A row of the largest size fits an empty page exactly.
    jet::RowPacker big(jet::jet4_format());
    EXPECT_EQ(big.add(jet::jet4_format().max_row_on_page()).page_index, 0u);
    EXPECT_EQ(big.add(1).page_index, 1u);
    EXPECT_THROW(big.add(jet::jet4_format().max_row_on_page() + 1), jet::Error);

    std::vector<std::vector<std::uint8_t>> rows{{1, 2, 3}, {}, std::vector<std::uint8_t>(4000, 7)};
    rows[2].resize(jet::jet4_format().page_size - 14 - 6 - 3);
    const auto page = jet::build_data_page(jet::jet4_format(), rows, 77, 0);
    const jet::DataPage dp(jet::jet4_format(), page, 9, "built page");
    EXPECT_EQ(dp.owner(), 77u);
    ASSERT_EQ(dp.slot_count(), 3u);
    EXPECT_EQ(dp.stored_free_space(), 0u);
    EXPECT_EQ(dp.computed_free_space(), 0u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto r = dp.row(i);
        EXPECT_EQ(std::vector<std::uint8_t>(r.begin(), r.end()), rows[i]);
        EXPECT_EQ(dp.slot(i).raw & 0xC000, 0);
    }
    rows.push_back({1});
    EXPECT_THROW(jet::build_data_page(jet::jet4_format(), rows, 77, 0), jet::Error);
}

// Long values around the boundaries, all stored by one writer so that they
// share pages: each reads back whole, and its rows are what a Jet reader
// expects. A chain is cut as Access cuts it, into full chunks of 4072 bytes
// (a row of 4076 with the next row's pointer) and an exact last one, so 4072
// bytes are one chunk and 0 bytes one empty chunk; a single-row value stays
// one row of exactly its bytes, refused when longer than a page can hold.
TEST(LongValueWriter, ValuesAtTheChunkBoundariesReadBackInTheRowsAccessCutsThemInto) {
    constexpr std::size_t kChunk = 4072;
    constexpr std::uint32_t kStamp = 0x1234;
    const struct {
        std::size_t length;
        bool chain;
        std::size_t rows;  // 0: refused
    } cases[] = {{0, true, 1},     {1, true, 1},    {4071, true, 1}, {4072, true, 1},
                 {4073, true, 2},  {8144, true, 2}, {8145, true, 3}, {1, false, 1},
                 {4080, false, 1}, {4081, false, 0}};
    const auto value_of = [](std::size_t length) {
        std::vector<std::uint8_t> v(length);
        for (std::size_t i = 0; i < length; ++i) {
            v[i] = static_cast<std::uint8_t>(i * 7 + length);
        }
        return v;
    };
    PageImage image;
    jet::LongValueWriter writer(
        jet::jet4_format(), 5, [&](std::uint32_t p, const jet::PageBuf& page) {
            EXPECT_EQ(image.pages.count(p), 0u) << "page " << p << " written twice";
            image.pages[p] = page;
        });
    std::vector<jet::StoredDescriptor> stored;
    for (const auto& c : cases) {
        jet::StoredDescriptor d{};
        const auto kind = c.chain ? jet::LongValueKind::chain : jet::LongValueKind::single_row;
        jet::put_le32(
            d, 0, static_cast<std::uint32_t>(c.length) | static_cast<std::uint32_t>(kind) << 24);
        jet::put_le32(d, 8, kStamp);
        if (c.rows == 0) {
            EXPECT_THROW(writer.store(d, value_of(c.length)), jet::Error) << c.length;
        } else {
            stored.push_back(writer.store(d, value_of(c.length)));
        }
    }
    const std::size_t pages = writer.finish();
    EXPECT_EQ(pages, image.pages.size()) << "every page is written once";
    testsupport::ScratchDir dir;
    const jet::PageFile pf(image.write(dir.path(), "lval.bin"), jet::jet4_format());
    auto next = stored.begin();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) +
                     (c.chain ? " bytes in a chain" : " bytes in a row"));
        if (c.rows == 0) {
            continue;
        }
        const jet::StoredDescriptor& out = *next++;
        const auto d = jet::LongValueDescriptor::parse(out, "value");
        EXPECT_EQ(d.length, c.length);
        EXPECT_EQ(d.kind, static_cast<std::uint8_t>(c.chain ? 0x00 : 0x40));
        EXPECT_EQ(d.stamp, c.chain ? 0u : kStamp);
        EXPECT_EQ(jet::read_long_value(pf, d, "value"), value_of(c.length));
        // The rows followed by hand, each on an LVAL page, and their lengths.
        std::vector<std::size_t> lengths;
        std::vector<std::size_t> expected(c.rows - 1, 4 + kChunk);
        expected.push_back(c.chain ? 4 + c.length - kChunk * (c.rows - 1) : c.length);
        for (jet::RowPointer p = d.first; p.page != 0 && lengths.size() <= c.rows;) {
            const jet::DataPage page = jet::read_data_page(pf, p.page);
            EXPECT_TRUE(page.is_long_value_page());
            const jet::Bytes row = page.row(p.row);
            lengths.push_back(row.size());
            p = c.chain ? jet::RowPointer::decode(jet::le32(row, 0)) : jet::RowPointer{};
        }
        EXPECT_EQ(lengths, expected);
    }
}

TEST(TableDefBuilder, EveryByteLandsWhereTheReaderLooksForIt) {
    // Definitions of one, two and three pages, the last one ending short of
    // its page or filling it exactly (the corpus has none longer than two),
    // and the free space of the last page (the others are full: 0), written
    // whatever the old page said.
    const std::size_t per = jet::jet4_format().page_size - 8;
    const struct {
        std::size_t length;
        std::uint16_t last_free;
    } cases[] = {{300, 3788},
                 {jet::jet4_format().page_size, 0},
                 {jet::jet4_format().page_size + 10, 4070},
                 {jet::jet4_format().page_size + per + 100, 3980},
                 {jet::jet4_format().page_size + 2 * per, 0}};
    jet::PageBuf old = jet::blank_page(jet::jet4_format());
    std::fill(old.begin(), old.end(), 0xEE);
    for (const auto& [length, last_free] : cases) {
        SCOPED_TRACE(length);
        jet::TableDef def;
        def.format = &jet::jet4_format();
        def.page = 40;
        def.declared_length = static_cast<std::uint32_t>(length);
        for (std::size_t i = 0; i < length; ++i) {
            def.buffer.push_back(static_cast<std::uint8_t>(i * 7 + i / 251));
        }
        // The old pages, and what the new ones should be: the logical bytes
        // where the reader finds them, the rest as it was, and a chain from
        // page 100 on.
        std::map<std::uint32_t, jet::PageBuf> expected;
        for (std::uint32_t k = 0; k == 0 || jet::jet4_format().page_size + (k - 1) * per < length;
             ++k) {
            def.pages.push_back(40 + 7 * k);
            expected[40 + 7 * k] = old;
        }
        for (std::size_t i = 0; i < length; ++i) {
            const auto [page, offset] = def.logical_to_physical(i);
            expected[page][offset] = def.buffer[i];
        }
        const std::size_t count = def.pages.size();
        for (std::size_t k = 0; k < count; ++k) {
            jet::put_le32(expected[def.pages[k]], 4,
                          k + 1 < count ? 100 + static_cast<std::uint32_t>(k + 1) : 0);
            jet::put_le16(expected[def.pages[k]], 2, k + 1 < count ? 0 : last_free);
        }
        const jet::TableDefBuilder builder(def);
        ASSERT_EQ(builder.page_count(), count);
        for (std::size_t k = 0; k < count; ++k) {
            EXPECT_TRUE(builder.page(k, old, 100) == expected[def.pages[k]]) << "page " << k;
        }
    }
}

std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(OutputFile, InvisibleUntilCommittedAndGoneOnFailure) {
    testsupport::ScratchDir dir;
    const fs::path dest = dir.path() / "out.mdb";
    jet::PageBuf page = jet::blank_page(jet::jet4_format());
    page[0] = 0x42;
    {
        jet::OutputFile out(dest, 0);
        out.write_page(0, page);
        out.write_page(2, page);
        out.flush();
        EXPECT_FALSE(fs::exists(dest));
        EXPECT_TRUE(fs::exists(out.read_path()));
        EXPECT_EQ(fs::file_size(out.read_path()), 3 * jet::jet4_format().page_size);
    }  // destroyed without commit
    EXPECT_TRUE(listing(dir.path()).empty());

    {
        jet::OutputFile out(dest, 0);
        out.fail_write_of_page_for_testing(1);
        out.write_page(0, page);
        try {
            out.write_page(1, page);
            ADD_FAILURE() << "the injected failure did not happen";
        } catch (const jet::Error& e) {
            EXPECT_EQ(e.kind(), jet::ErrorKind::io);
            EXPECT_NE(std::string(e.what()).find("disk is full"), std::string::npos);
            EXPECT_NE(std::string(e.what()).find("page 1"), std::string::npos);
        }
    }
    EXPECT_TRUE(listing(dir.path()).empty());

    {
        jet::OutputFile out(dest, 0x1234);
        out.write_page(0, page);
        out.write_page(1, page);
        // Someone else creates the destination meanwhile: the link refuses.
        std::ofstream(dest) << "theirs";
        EXPECT_THROW(out.commit(0644, ::getuid(), ::getgid()), jet::Error);
    }
    std::ifstream in(dest);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "theirs");
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"out.mdb"});
    fs::remove(dest);

    {
        jet::OutputFile out(dest, 0x1234);
        out.write_page(0, page);
        out.write_page(1, page);
        out.commit(0600, ::getuid(), ::getgid());
    }
    // Page 0 is written as given; page 1 is encoded under its number.
    std::ifstream bin(dest, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(bin)),
                            std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 2 * jet::jet4_format().page_size);
    EXPECT_EQ(bytes[0], 0x42);
    EXPECT_NE(std::vector<char>(bytes.begin() + jet::jet4_format().page_size, bytes.end()),
              std::vector<char>(page.begin(), page.end()));
    jet::PageFile pf(dest, jet::jet4_format());
    pf.set_encoding_key(0x1234);
    EXPECT_EQ(pf.read(1), page);
    struct stat st {};
    ::stat(dest.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_THROW(jet::OutputFile(dest, 0), jet::Error);
}

// Pages handed over in several interleaved streams (as a table's data pages
// and its long values are), more streams than are gathered at once, streams
// longer than one write, and pages written again before and after their run
// went out: every page lands at its own place with its last content, encoded
// under its own number.
TEST(OutputFile, InterleavedRunsLandEachPageAtItsPlace) {
    testsupport::ScratchDir dir;
    const fs::path dest = dir.path() / "out.mdb";
    const std::size_t size = jet::jet4_format().page_size;
    struct Stream {
        std::uint32_t first;
        std::uint32_t count;
    };
    // Three streams, the first outlasting a run of 512 KB; then ten at
    // once, more than are gathered.
    const std::vector<std::vector<Stream>> phases = {{{1, 300}, {400, 40}, {500, 40}},
                                                     {{600, 12},
                                                      {700, 12},
                                                      {800, 12},
                                                      {900, 12},
                                                      {1000, 12},
                                                      {1100, 12},
                                                      {1200, 12},
                                                      {1300, 12},
                                                      {1400, 12},
                                                      {1500, 20}}};
    std::map<std::uint32_t, std::uint8_t> expected;  // page -> its fill
    auto page_of = [&](std::uint32_t n, std::uint8_t fill) {
        jet::PageBuf page(size, fill);
        jet::put_le32(jet::MutableBytes(page), 0, n);
        expected[n] = fill;
        return page;
    };
    const std::uint32_t key = 0x5A5A1234;
    {
        jet::OutputFile out(dest, key);
        out.write_page(0, page_of(0, 7));
        for (const auto& streams : phases) {
            for (std::uint32_t k = 0; k < 300; ++k) {
                for (const Stream& s : streams) {
                    if (k < s.count) {
                        out.write_page(s.first + k, page_of(s.first + k, 1));
                    }
                }
                if (k == 20 && streams.size() == 3) {
                    out.write_page(405, page_of(405, 2));  // still gathered
                }
                if (k == 200 && streams.size() == 3) {
                    out.write_page(2, page_of(2, 3));  // its run went out
                }
            }
        }
        out.write_page(1, page_of(1, 4));
        out.commit(0600, ::getuid(), ::getgid());
    }
    jet::PageFile back(dest, jet::jet4_format());
    back.set_encoding_key(key);
    ASSERT_EQ(back.page_count(), 1520u);
    for (const auto& [n, fill] : expected) {
        const jet::PageBuf page = back.read(n);
        EXPECT_EQ(jet::le32(page, 0), n);
        EXPECT_EQ(page[size - 1], fill) << "page " << n;
    }
}

}  // namespace
