// The on-disk structures one by one, on small hand-built pages: what real
// files contain, and the damage the reader must name instead of reading out
// of bounds or looping.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <limits>

#include "jet/format/data_page.h"
#include "jet/format/error.h"
#include "jet/format/export.h"
#include "jet/format/header.h"
#include "jet/format/long_value.h"
#include "jet/format/row.h"
#include "jet/format/table_def.h"
#include "jet/format/text.h"
#include "jet/format/usage_map.h"
#include "testsupport/corpus.h"

namespace {

using jet::Bytes;
using jet::PageBuf;
using jet::RowPointer;

// A data page built row by row, as Jet packs them: downwards from the end.
class PageBuilder {
  public:
    explicit PageBuilder(std::uint32_t owner = 0) {
        page_.assign(jet::jet4_format().page_size, 0);
        page_[0] = jet::kPageTypeData;
        page_[1] = 1;
        jet::put_le32(jet::MutableBytes(page_), 4, owner);
    }
    // Adds a row; `flags` are OR-ed into its slot. Returns its row number.
    std::uint8_t add(const std::vector<std::uint8_t>& bytes, std::uint16_t flags = 0) {
        top_ -= bytes.size();
        if (!bytes.empty()) {
            std::memcpy(page_.data() + top_, bytes.data(), bytes.size());
        }
        const std::size_t n = count_++;
        jet::put_le16(jet::MutableBytes(page_), 12, static_cast<std::uint16_t>(count_));
        jet::put_le16(jet::MutableBytes(page_), 14 + 2 * n,
                      static_cast<std::uint16_t>(top_ | flags));
        return static_cast<std::uint8_t>(n);
    }
    PageBuf& page() { return page_; }

  private:
    PageBuf page_ = jet::blank_page(jet::jet4_format());
    std::size_t top_ = jet::jet4_format().page_size;
    std::size_t count_ = 0;
};

std::vector<std::uint8_t> le32v(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

std::vector<std::uint8_t> cat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A file of whole pages for PageFile (page 0 is zeros: nothing here reads it).
class PageFileFixture {
  public:
    explicit PageFileFixture(std::vector<PageBuf> pages) {
        path_ = dir_.path() / "pages.mdb";
        std::ofstream out(path_, std::ios::binary);
        PageBuf zero = jet::blank_page(jet::jet4_format());
        out.write(reinterpret_cast<const char*>(zero.data()), zero.size());
        for (const PageBuf& p : pages) {
            out.write(reinterpret_cast<const char*>(p.data()), p.size());
        }
    }
    jet::PageFile open() const { return jet::PageFile(path_, jet::jet4_format()); }

  private:
    testsupport::ScratchDir dir_;
    std::filesystem::path path_;
};

template <typename F>
std::string damage(F&& f) {
    try {
        f();
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::damaged) << e.what();
        return e.what();
    }
    ADD_FAILURE() << "no damage reported";
    return {};
}

bool contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

TEST(DataPage, SlotsRowsFlagsAndFreeSpace) {
    PageBuilder b(77);
    b.add({1, 2, 3});
    b.add({4, 5}, jet::kSlotOverflow);
    b.add({}, jet::kSlotDeleted | jet::kSlotOverflow);  // reclaimed deleted row
    b.add({9, 9, 9, 9});
    const jet::DataPage p(jet::jet4_format(), b.page(), 5, "test page 5");
    EXPECT_EQ(p.owner(), 77u);
    ASSERT_EQ(p.slot_count(), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(p.row(0).begin(), p.row(0).end()),
              (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_TRUE(p.slot(1).overflow());
    EXPECT_FALSE(p.slot(1).deleted());
    EXPECT_TRUE(p.slot(2).deleted());
    EXPECT_EQ(p.row(2).size(), 0u);
    EXPECT_EQ(p.row(3).size(), 4u);
    EXPECT_EQ(p.computed_free_space(), jet::jet4_format().page_size - 9 - (14 + 2 * 4));
    EXPECT_TRUE(contains(damage([&] { (void)p.slot(4); }), "test page 5"));
}

TEST(DataPage, DamagedSlotTablesAreNamed) {
    {
        PageBuilder b;
        b.add({1});
        jet::put_le16(jet::MutableBytes(b.page()), 12, 3000);  // slot table past the page
        EXPECT_TRUE(contains(
            damage([&] { jet::DataPage(jet::jet4_format(), b.page(), 9, "page 9"); }), "page 9"));
    }
    {
        PageBuilder b;
        b.add({1, 2});
        b.add({3});
        jet::put_le16(jet::MutableBytes(b.page()), 16, 4095);  // row 1 starts after row 0's start
        EXPECT_TRUE(contains(
            damage([&] { jet::DataPage(jet::jet4_format(), b.page(), 9, "page 9"); }), "row 1"));
    }
    {
        PageBuilder b;
        b.add({1, 2});
        jet::put_le16(jet::MutableBytes(b.page()), 14, 10);  // inside the header
        EXPECT_TRUE(
            contains(damage([&] { jet::DataPage(jet::jet4_format(), b.page(), 9, "page 9"); }),
                     "row table"));
    }
    {
        PageBuf p = jet::blank_page(jet::jet4_format());
        p[0] = jet::kPageTypeTableDef;
        EXPECT_TRUE(contains(damage([&] { jet::DataPage(jet::jet4_format(), p, 4, "page 4"); }),
                             "page type 2"));
    }
    {
        // Named through its file only when asked: the damage and where()
        // still name the file and the page.
        PageBuilder b;
        b.add({1});
        PageBuf bad = b.page();
        jet::put_le16(jet::MutableBytes(bad), 12, 3000);
        const PageFileFixture f({b.page(), bad});
        const jet::PageFile file = f.open();
        const std::string what = damage([&] { jet::DataPage(file, bad, 2); });
        EXPECT_TRUE(contains(what, "pages.mdb\", page 2")) << what;
        EXPECT_EQ(jet::DataPage(file, b.page(), 1).where(), file.where(1));
    }
}

TEST(UsageMap, InlineReferenceAbsentAndDamaged) {
    // Page 1: holder of maps. Page 2: a 0x05 bitmap page.
    PageBuilder holder;
    // inline: start 8, bits 0 and 9 -> pages 8 and 17
    holder.add({0, 8, 0, 0, 0, 0x01, 0x02});
    // reference: one bitmap page (2) covering 0..32735
    holder.add(cat({1}, cat(le32v(2), le32v(0x80000000u))));
    holder.add({7, 0, 0, 0, 0});     // unknown type
    holder.add(cat({1}, le32v(1)));  // reference to a non-bitmap page
    PageBuf bitmap = jet::blank_page(jet::jet4_format());
    bitmap[0] = jet::kPageTypeUsageBitmap;
    bitmap[1] = 1;
    bitmap[4 + 1] = 0x81;  // pages 8 and 15
    const PageFileFixture f({holder.page(), bitmap});
    const jet::PageFile file = f.open();

    const jet::UsageMap in = jet::read_usage_map(file, RowPointer{1, 0}, "inline map");
    EXPECT_EQ(in.kind, jet::UsageMap::Kind::inline_map);
    EXPECT_EQ(in.start_page, 8u);
    EXPECT_EQ(in.pages, (std::vector<std::uint32_t>{8, 17}));
    EXPECT_EQ(in.range_end(), 8u + 16u);
    EXPECT_TRUE(in.contains(17));
    EXPECT_FALSE(in.contains(9));

    const jet::UsageMap ref = jet::read_usage_map(file, RowPointer{1, 1}, "reference map");
    EXPECT_EQ(ref.kind, jet::UsageMap::Kind::reference);
    EXPECT_EQ(ref.pages, (std::vector<std::uint32_t>{8, 15}));
    EXPECT_EQ(ref.bitmap_pages, (std::vector<std::uint32_t>{2, 0x80000000u}));

    EXPECT_EQ(jet::read_usage_map(file, RowPointer{0, 0}, "none").kind,
              jet::UsageMap::Kind::absent);
    EXPECT_TRUE(contains(damage([&] {
                             jet::read_usage_map(file, RowPointer{1, 2}, "odd map");
                         }),
                         "unknown map type 7"));
    EXPECT_TRUE(contains(damage([&] {
                             jet::read_usage_map(file, RowPointer{1, 3}, "bad ref");
                         }),
                         "not a usage bitmap page"));
    EXPECT_TRUE(contains(damage([&] {
                             jet::read_usage_map(file, RowPointer{1, 9}, "far map");
                         }),
                         "only 4 rows"));
    EXPECT_TRUE(contains(damage([&] {
                             jet::read_usage_map(file, RowPointer{40, 0}, "gone");
                         }),
                         "does not exist"));

    jet::FreeMap free{in};
    EXPECT_TRUE(free.is_free(17));
    EXPECT_FALSE(free.is_free(9));
    EXPECT_FALSE(free.is_free(3));   // below the window: in use
    EXPECT_TRUE(free.is_free(100));  // past it
}

// Long values: page 1 holds LVAL rows, page 2 is an ordinary data page.
class LongValueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PageBuilder lval;
        jet::put_le32(jet::MutableBytes(lval.page()), 4, jet::kLvalMarker);
        const std::vector<std::uint8_t> tail = {'d', 'e', 'f'};
        single_ = lval.add({'h', 'e', 'l', 'l', 'o'});            // row 0
        const std::uint8_t last = lval.add(cat(le32v(0), tail));  // row 1: chain end
        lval.add(cat(le32v((1u << 8) | last), {'a', 'b', 'c'}));  // row 2: chain start
        lval.add(cat(le32v((1u << 8) | 3), {'x'}));               // row 3: loops to itself
        lval.add(cat(le32v(0), {'y'}));                           // row 4: short chain
        PageBuilder table(9);
        table.add({1, 2, 3, 4, 5});
        fixture_ =
            std::make_unique<PageFileFixture>(std::vector<PageBuf>{lval.page(), table.page()});
    }
    static std::vector<std::uint8_t> descriptor(std::uint32_t length, std::uint8_t kind,
                                                RowPointer first) {
        std::vector<std::uint8_t> d = le32v(length | (static_cast<std::uint32_t>(kind) << 24));
        d = cat(d, le32v(first.encode()));
        return cat(d, le32v(0));
    }
    std::vector<std::uint8_t> read(const std::vector<std::uint8_t>& d) {
        const jet::PageFile file = fixture_->open();
        const auto desc = jet::LongValueDescriptor::parse(Bytes(d), "memo test");
        return jet::read_long_value(file, desc, "memo test");
    }
    std::uint8_t single_ = 0;
    std::unique_ptr<PageFileFixture> fixture_;
};

TEST_F(LongValueTest, InlineSingleRowAndChain) {
    EXPECT_EQ(read(cat(descriptor(2, 0x80, {}), {'h', 'i', '!'})),
              (std::vector<std::uint8_t>{'h', 'i'}));
    EXPECT_EQ(read(descriptor(5, 0x40, RowPointer{1, single_})),
              (std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    // A shorter length takes only its bytes, from a single row and a chain.
    EXPECT_EQ(read(descriptor(3, 0x40, RowPointer{1, single_})),
              (std::vector<std::uint8_t>{'h', 'e', 'l'}));
    EXPECT_EQ(read(descriptor(6, 0x00, RowPointer{1, 2})),
              (std::vector<std::uint8_t>{'a', 'b', 'c', 'd', 'e', 'f'}));
    const jet::PageFile file = fixture_->open();
    const auto d = descriptor(6, 0x00, RowPointer{1, 2});
    const auto rows =
        jet::long_value_rows(file, jet::LongValueDescriptor::parse(Bytes(d), "x"), "x");
    EXPECT_EQ(rows, (std::vector<RowPointer>{{1, 2}, {1, 1}}));
}

TEST_F(LongValueTest, DamageIsNamedNeverLooped) {
    EXPECT_TRUE(contains(damage([&] {
                             read(descriptor(100, 0x00, RowPointer{1, 3}));
                         }),
                         "loops back"));
    EXPECT_TRUE(contains(damage([&] {
                             read(descriptor(100, 0x00, RowPointer{1, 4}));
                         }),
                         "ends after 1 of its 100 bytes"));
    EXPECT_TRUE(contains(damage([&] {
                             read(descriptor(9, 0x40, RowPointer{1, single_}));
                         }),
                         "holds only 5"));
    EXPECT_TRUE(contains(damage([&] {
                             read(descriptor(5, 0x40, RowPointer{2, 0}));
                         }),
                         "not a long-value page"));
    EXPECT_TRUE(contains(damage([&] {
                             read(descriptor(5, 0x40, RowPointer{7, 0}));
                         }),
                         "does not exist"));
    EXPECT_TRUE(contains(damage([&] {
                             read(descriptor(5, 0xC0, RowPointer{1, 0}));
                         }),
                         "both storage flags"));
    EXPECT_TRUE(
        contains(damage([&] { read(cat(descriptor(20, 0x80, {}), {'a'})); }), "claims 20 bytes"));
    EXPECT_TRUE(contains(damage([&] { read({1, 2, 3}); }), "only 3 bytes"));
}

// A table with a fixed Long (column 0), a variable Text (1), a Boolean (2)
// and a variable Long (3, as MSysNavPane* store their Ids).
jet::TableDef small_table() {
    jet::TableDef t;
    t.format = &jet::jet4_format();
    t.page = 12;
    t.var_column_count = 2;
    auto col = [](std::uint8_t type, std::uint16_t number, std::uint16_t var_index,
                  std::uint8_t flags, std::uint16_t fixed_offset, std::uint16_t length,
                  const char* name) {
        jet::Column c;
        c.type = type;
        c.number = number;
        c.var_index = var_index;
        c.flags = flags;
        c.fixed_offset = fixed_offset;
        c.length = length;
        c.name = name;
        return c;
    };
    t.columns = {col(4, 0, 0, jet::kColumnFlagFixed, 0, 4, "Id"), col(10, 1, 0, 0, 0, 100, "Name"),
                 col(1, 2, 0, jet::kColumnFlagFixed, 0, 0, "Flag"), col(4, 3, 1, 0, 0, 4, "Other")};
    return t;
}

// Row: u16 count, fixed data, var data, [var offsets reversed + eod], u16 var count, mask.
std::vector<std::uint8_t> small_row(std::uint16_t columns, std::uint8_t mask,
                                    const std::vector<std::uint8_t>& var0,
                                    const std::vector<std::uint8_t>& var1,
                                    std::uint16_t var_count) {
    std::vector<std::uint8_t> r = {static_cast<std::uint8_t>(columns), 0};
    r = cat(r, le32v(0xFFFFFFFEu));  // Id = -2
    const std::size_t v0 = r.size();
    r = cat(r, var0);
    const std::size_t v1 = r.size();
    r = cat(r, var1);
    const std::size_t eod = r.size();
    std::vector<std::uint16_t> offsets = {static_cast<std::uint16_t>(v0),
                                          static_cast<std::uint16_t>(v1),
                                          static_cast<std::uint16_t>(eod)};
    offsets.resize(var_count + 1u);
    offsets[var_count] = static_cast<std::uint16_t>(eod);
    for (std::size_t k = offsets.size(); k-- > 0;) {
        r.push_back(static_cast<std::uint8_t>(offsets[k]));
        r.push_back(static_cast<std::uint8_t>(offsets[k] >> 8));
    }
    r.push_back(static_cast<std::uint8_t>(var_count));
    r.push_back(0);
    r.push_back(mask);
    return r;
}

TEST(Row, DecodesFixedVariableBooleanAndShortRows) {
    const jet::TableDef t = small_table();
    const PageFileFixture f({});
    const jet::PageFile file = f.open();
    const std::vector<std::uint8_t> name = {0xFF, 0xFE, 'A', 'b', 0};  // compressed "Ab"
    auto row = small_row(4, 0x0F, name, le32v(7), 2);
    auto values = jet::decode_row(file, t, Bytes(row), "row");
    EXPECT_EQ(std::get<std::int64_t>(values[0]), -2);
    EXPECT_EQ(std::get<std::string>(values[1]), "Ab");
    EXPECT_EQ(std::get<bool>(values[2]), true);
    EXPECT_EQ(std::get<std::int64_t>(values[3]), 7);

    // Null mask bits clear: nulls, and a false boolean.
    row = small_row(4, 0x01, name, le32v(7), 2);
    values = jet::decode_row(file, t, Bytes(row), "row");
    EXPECT_TRUE(jet::is_null(values[1]));
    EXPECT_EQ(std::get<bool>(values[2]), false);
    EXPECT_TRUE(jet::is_null(values[3]));

    // A row written before column 3 existed: fewer columns, fewer var entries.
    row = small_row(3, 0x07, name, {}, 1);
    values = jet::decode_row(file, t, Bytes(row), "row");
    EXPECT_EQ(std::get<std::string>(values[1]), "Ab");
    EXPECT_TRUE(jet::is_null(values[3]));

    // Layout offsets for a writer.
    row = small_row(4, 0x0F, name, le32v(7), 2);
    const jet::RowLayout layout = jet::parse_row_layout(t, Bytes(row), "row");
    ASSERT_EQ(layout.var_count, 2u);
    EXPECT_EQ(layout.var_range(0), (std::pair<std::size_t, std::size_t>{6, 11}));
    const auto span = jet::locate_column(t.columns[3], layout, Bytes(row), "row");
    ASSERT_TRUE(span);
    EXPECT_EQ(span->offset, 11u);
    EXPECT_EQ(span->length, 4u);
}

TEST(Row, ANullMaskOfMoreThan256ColumnsIsReadWhole) {
    // Only a damaged row claims so many columns, but its mask must still be
    // read from the row, not from a fixed-size buffer.
    const jet::TableDef t = small_table();
    for (const std::uint16_t columns : {std::uint16_t{256}, std::uint16_t{300}}) {
        SCOPED_TRACE(columns);
        const std::size_t mask = (columns + 7u) / 8u;
        std::vector<std::uint8_t> row(2 + 8 + mask, 0);
        row[0] = static_cast<std::uint8_t>(columns);
        row[1] = static_cast<std::uint8_t>(columns >> 8);
        const std::size_t at = row.size() - mask;
        const std::size_t last = columns - 1u;
        row[at] = 0x01;  // column 0
        row[at + last / 8] = static_cast<std::uint8_t>(1u << (last % 8));
        const auto l = jet::parse_row_layout(t, Bytes(row), "row");
        EXPECT_EQ(l.null_mask_size, mask);
        EXPECT_TRUE(l.not_null(0));
        EXPECT_FALSE(l.not_null(1));
        EXPECT_TRUE(l.not_null(static_cast<std::uint16_t>(last)));
        EXPECT_FALSE(l.not_null(static_cast<std::uint16_t>(last - 1)));
    }
}

// The bounds of the variable columns are kept inline up to 64 columns and
// beyond that on the heap: both give every column's bytes.
TEST(Row, EveryVariableColumnIsFoundInNarrowAndWideRows) {
    for (const std::uint16_t vars : {std::uint16_t{3}, std::uint16_t{64}, std::uint16_t{200}}) {
        SCOPED_TRACE(vars);
        jet::TableDef t;
        t.format = &jet::jet4_format();
        t.var_column_count = vars;
        std::vector<std::uint8_t> row = {static_cast<std::uint8_t>(vars),
                                         static_cast<std::uint8_t>(vars >> 8)};
        std::vector<std::uint16_t> bounds;
        for (std::uint16_t k = 0; k < vars; ++k) {
            jet::Column c;
            c.type = static_cast<std::uint8_t>(jet::ColumnType::binary);
            c.number = k;
            c.var_index = k;
            t.columns.push_back(c);
            bounds.push_back(static_cast<std::uint16_t>(row.size()));
            row.insert(row.end(), k % 3, static_cast<std::uint8_t>(k));  // some are empty
        }
        bounds.push_back(static_cast<std::uint16_t>(row.size()));
        for (std::size_t k = bounds.size(); k-- > 0;) {
            row.push_back(static_cast<std::uint8_t>(bounds[k]));
            row.push_back(static_cast<std::uint8_t>(bounds[k] >> 8));
        }
        row.push_back(static_cast<std::uint8_t>(vars));
        row.push_back(static_cast<std::uint8_t>(vars >> 8));
        row.insert(row.end(), (vars + 7u) / 8u, 0xFF);
        const auto l = jet::parse_row_layout(t, Bytes(row), "row");
        ASSERT_EQ(l.var_count, vars);
        for (std::uint16_t k = 0; k < vars; ++k) {
            EXPECT_EQ(l.var_range(k),
                      (std::pair<std::size_t, std::size_t>{bounds[k], bounds[k + 1]}));
            const auto span = jet::locate_column(t.columns[k], l, Bytes(row), "row");
            ASSERT_TRUE(span);
            EXPECT_EQ(span->length, k % 3u);
        }
    }
}

TEST(Row, DamagedRowsAreNamed) {
    const jet::TableDef t = small_table();
    const PageFileFixture f({});
    const jet::PageFile file = f.open();
    std::vector<std::uint8_t> row = small_row(4, 0x0F, {'a', 0}, le32v(7), 2);
    // Var offsets out of order.
    std::vector<std::uint8_t> bad = row;
    bad[bad.size() - 6] = 200;
    EXPECT_TRUE(contains(damage([&] { jet::decode_row(file, t, Bytes(bad), "row 3 of page 8"); }),
                         "row 3 of page 8"));
    // A var count larger than the row.
    bad = row;
    bad[bad.size() - 3] = 250;
    EXPECT_TRUE(
        contains(damage([&] { jet::decode_row(file, t, Bytes(bad), "r"); }), "variable columns"));
    // Too short for anything.
    EXPECT_TRUE(
        contains(damage([&] { jet::decode_row(file, t, Bytes(row.data(), 1), "r"); }), "1 bytes"));
    // A fixed column past the data area.
    jet::TableDef wide = t;
    wide.columns[0].fixed_offset = 40;
    EXPECT_TRUE(contains(damage([&] { jet::decode_row(file, wide, Bytes(row), "r"); }), "\"Id\""));
    // A variable Long with two bytes.
    bad = small_row(4, 0x0F, {'a', 0}, {1, 2}, 2);
    EXPECT_TRUE(
        contains(damage([&] { jet::decode_row(file, t, Bytes(bad), "r"); }), "which needs 4"));
}

// Slots of deleted columns stay in every row, and real files hold them out
// of order (Jet reads only its columns' slots): no damage, while the same
// offsets in a slot a column reads are.
TEST(Row, OffsetsOutOfOrderAreDamageOnlyInSlotsAColumnReads) {
    const PageFileFixture f({});
    const jet::PageFile file = f.open();
    // Slots: 0 "Name" [6,8); 1 and 2 deleted, [8,7) and [7,9); 3 [9,13).
    std::vector<std::uint8_t> row = cat({4, 0}, le32v(0xFFFFFFFEu));
    row = cat(row, {'a', 0, 0xEE});
    row = cat(row, le32v(7));
    // The bounds, last first (u16 each), the slot count and the null mask.
    row = cat(row, {13, 0, 9, 0, 7, 0, 8, 0, 6, 0, 4, 0, 0x0F});
    for (const int other : {3, 1, 2}) {
        SCOPED_TRACE(other);
        jet::TableDef t = small_table();
        t.columns[3].var_index = static_cast<std::uint16_t>(other);  // "Other" reads this slot
        if (other == 3) {
            const auto values = jet::decode_row(file, t, Bytes(row), "row");
            EXPECT_EQ(std::get<std::string>(values[1]), "a");
            EXPECT_EQ(std::get<std::int64_t>(values[3]), 7);
        } else {
            EXPECT_TRUE(contains(damage([&] { jet::decode_row(file, t, Bytes(row), "row"); }),
                                 "variable column " + std::to_string(other)));
        }
    }
}

// A row stored before the table had any variable column (one added later)
// holds no variable-column table: its fixed data runs up to the null mask,
// and the later columns are null. Real files of Jet 4 and Jet 3 hold such
// rows; Access reads them.
TEST(Row, ARowFromBeforeTheFirstVariableColumnHasNoVariableTable) {
    const PageFileFixture f({});
    const jet::PageFile file = f.open();
    for (const jet::Format* format : {&jet::jet4_format(), &jet::jet3_format()}) {
        SCOPED_TRACE(format == &jet::jet3_format() ? "Jet 3" : "Jet 4");
        const bool jet3 = format == &jet::jet3_format();
        jet::TableDef t;
        t.format = format;
        t.var_column_count = 1;
        t.first_var_column = 2;
        jet::Column id;
        id.type = 4;
        id.flags = jet::kColumnFlagFixed;
        id.length = 4;
        id.name = "Id";
        jet::Column count = id;
        count.number = 1;
        count.fixed_offset = 4;
        count.name = "Count";
        jet::Column note;
        note.type = 10;
        note.number = 2;
        note.length = 100;
        note.name = "Note";
        t.columns = {id, count, note};
        // Two columns: Id 1, Count 0x10000 (whose high bytes would read as
        // a variable count of 1); mask: both not null.
        std::vector<std::uint8_t> old =
            jet3 ? std::vector<std::uint8_t>{2} : std::vector<std::uint8_t>{2, 0};
        old = cat(cat(old, le32v(1)), le32v(0x10000));
        old.push_back(0x03);
        auto values = jet::decode_row(file, t, Bytes(old), "row");
        EXPECT_EQ(std::get<std::int64_t>(values[0]), 1);
        EXPECT_EQ(std::get<std::int64_t>(values[1]), 0x10000);
        EXPECT_TRUE(jet::is_null(values[2]));
        // Had the table always had its variable column, the row would be
        // too short for its table.
        t.first_var_column = 0;
        EXPECT_FALSE(damage([&] { jet::decode_row(file, t, Bytes(old), "row"); }).empty());
    }
}

TEST(TableDef, ChainsThatLoopOrLeaveTheFileAreDamage) {
    auto tdef_page = [](std::uint32_t next) {
        PageBuf p = jet::blank_page(jet::jet4_format());
        p[0] = jet::kPageTypeTableDef;
        p[1] = 1;
        jet::put_le32(jet::MutableBytes(p), 4, next);
        return p;
    };
    PageBuf data = jet::blank_page(jet::jet4_format());
    data[0] = jet::kPageTypeData;
    // page 1 -> 2 -> 1 (loop); page 3 -> 99 (past the end); page 4 -> 5 (a data page)
    const PageFileFixture f({tdef_page(2), tdef_page(1), tdef_page(99), tdef_page(5), data});
    const jet::PageFile file = f.open();
    EXPECT_TRUE(contains(damage([&] { jet::read_table_def(file, 1); }), "loops back to page 1"));
    EXPECT_TRUE(contains(damage([&] { jet::read_table_def(file, 3); }), "past the end"));
    EXPECT_TRUE(contains(damage([&] { jet::read_table_def(file, 4); }),
                         "should continue the table definition of page 4"));
    // A single page of zeros claims nothing and ends at its terminator... which
    // it lacks: the list of long-value maps runs to the end of the page.
    PageBuf zero = tdef_page(0);
    jet::put_le16(jet::MutableBytes(zero), 63, 0xFFFF);
    const PageFileFixture g({zero});
    const jet::PageFile gf = g.open();
    const jet::TableDef t = jet::read_table_def(gf, 1);
    EXPECT_EQ(t.end_offset, 65u);
    EXPECT_EQ(t.logical_to_physical(100), (std::pair<std::uint32_t, std::size_t>{1, 100}));
}

TEST(TableDef, CorpusDefinitionsOverSeveralPagesMapOffsetsBack) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "corpus not available";
    }
    int multi = 0;
    for (const auto& cf : testsupport::corpus_files("jet4")) {
        const jet::PageFile file(cf.path, jet::jet4_format());
        // Find TDEF pages with a continuation, straight from the page types.
        PageBuf p0 = jet::blank_page(jet::jet4_format());
        file.read_prefix(p0.data(), p0.size());
        if (p0[0x14] != 1) {
            continue;
        }
        std::vector<std::uint8_t> start(p0.begin(), p0.end());
        const auto header = jet::parse_header(Bytes(start), file.size_bytes(), cf.name);
        jet::PageFile keyed(cf.path, jet::jet4_format());
        keyed.set_encoding_key(header.encoding_key);
        for (std::uint32_t n = 2; n < keyed.page_count(); ++n) {
            const PageBuf page = keyed.read(n);
            if (page[0] != jet::kPageTypeTableDef || jet::le32(Bytes(page), 4) == 0 ||
                jet::le32(Bytes(page), 12) != jet::kTableDefMagic) {
                continue;
            }
            const jet::TableDef t = jet::read_table_def(keyed, n);
            ASSERT_GE(t.pages.size(), 2u);
            ++multi;
            EXPECT_EQ(t.declared_length, t.end_offset) << cf.name << " page " << n;
            // Every byte of the logical buffer is where logical_to_physical says.
            for (std::size_t off = 0; off < t.buffer.size(); off += 509) {
                const auto [pg, in_page] = t.logical_to_physical(off);
                EXPECT_EQ(keyed.read(pg)[in_page], t.buffer[off]);
            }
        }
    }
    EXPECT_GT(multi, 0);
}

TEST(Text, CompressedUnicodeAndUtf8) {
    const std::vector<std::uint8_t> plain = {'H', 0, 0xAC, 0x20};  // "H€"
    EXPECT_EQ(jet::decode_jet_text(Bytes(plain)), "H\xE2\x82\xAC");
    // Compressed: "ab", switch, U+20AC, switch, "c"
    const std::vector<std::uint8_t> comp = {0xFF, 0xFE, 'a', 'b', 0, 0xAC, 0x20, 0, 'c'};
    EXPECT_EQ(jet::decode_jet_text(Bytes(comp)),
              "ab\xE2\x82\xAC"
              "c");
    // A surrogate pair, and a lone surrogate.
    const std::vector<std::uint8_t> pair = {0x3D, 0xD8, 0x00, 0xDE, 0x3D, 0xD8};
    EXPECT_EQ(jet::utf16le_to_utf8(Bytes(pair)), "\xF0\x9F\x98\x80\xEF\xBF\xBD");
    EXPECT_EQ(jet::utf8_to_utf16("a\xF0\x9F\x98\x80"), (std::u16string{u'a', 0xD83D, 0xDE00}));
    EXPECT_EQ(jet::utf8_to_utf16("\xC3"), std::u16string{0xFFFD});
    EXPECT_TRUE(jet::names_equal("MSysObjects", "msysOBJECTS"));
    EXPECT_FALSE(jet::names_equal("Table1", "Table2"));
}

TEST(Export, CanonicalValues) {
    using jet::format_value;
    EXPECT_EQ(format_value(jet::Money{-123400}), "-12.3400");
    EXPECT_EQ(format_value(jet::Money{5}), "0.0005");
    EXPECT_EQ(format_value(jet::Money{std::numeric_limits<std::int64_t>::min()}),
              "-922337203685477.5808");
    jet::Decimal d;
    d.negative = true;
    d.scale = 3;
    d.magnitude = {0, 0, 0, 12345};
    EXPECT_EQ(format_value(d), "-12.345");
    d.magnitude = {0, 0, 1, 0};  // 2^32
    d.negative = false;
    d.scale = 0;
    EXPECT_EQ(format_value(d), "4294967296");
    d.magnitude = {0, 0, 0, 0};
    d.negative = true;
    d.scale = 2;
    EXPECT_EQ(format_value(d), "0.00");
    EXPECT_EQ(format_value(0.1f), "0.1");
    EXPECT_EQ(format_value(444.555), "444.555");
    EXPECT_EQ(format_value(true), "1");
    EXPECT_EQ(format_value(jet::Binary{{0x00, 0xAB}}), "00ab");
    jet::Guid g;
    for (std::size_t i = 0; i < 16; ++i) {
        g.bytes[i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(format_value(g), "{03020100-0504-0706-0809-0A0B0C0D0E0F}");
    // Dates: the epoch, a time, before the epoch (days and time apart), carry.
    EXPECT_EQ(jet::format_date(0.0), "1899-12-30 00:00:00");
    EXPECT_EQ(jet::format_date(36526.5), "2000-01-01 12:00:00");
    EXPECT_EQ(jet::format_date(-1.25), "1899-12-29 06:00:00");
    EXPECT_EQ(jet::format_date(36526.99999999), "2000-01-02 00:00:00");
    // Before the epoch the time still runs forward: 1899-12-29 23:59:59.999...
    EXPECT_EQ(jet::format_date(-1.99999999), "1899-12-30 00:00:00");
    EXPECT_EQ(jet::format_date(-0.75), "1899-12-30 18:00:00");
    EXPECT_EQ(jet::format_date(2958465.0), "9999-12-31 00:00:00");
}

TEST(Export, CsvAndJson) {
    jet::TableDef t;
    jet::Column a;
    a.name = "Name, full";
    jet::Column b;
    b.name = "N";
    t.columns = {a, b};
    const std::vector<std::vector<jet::Value>> rows = {
        {std::string("say \"hi\"\nthere"), std::int64_t{3}},
        {std::monostate{}, std::monostate{}},
    };
    std::ostringstream csv;
    jet::write_csv(csv, t, rows);
    EXPECT_EQ(csv.str(), "\"Name, full\",N\n\"say \"\"hi\"\"\nthere\",3\n,\n");
    std::ostringstream json;
    jet::write_json(json, t, rows);
    EXPECT_EQ(json.str(),
              "[\n {\"Name, full\": \"say \\\"hi\\\"\\nthere\", \"N\": 3},\n"
              " {\"Name, full\": null, \"N\": null}\n]\n");
}

}  // namespace
