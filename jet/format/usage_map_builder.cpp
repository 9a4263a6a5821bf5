#include "jet/format/usage_map_builder.h"

#include <algorithm>
#include <string>

#include "jet/format/bytes.h"
#include "jet/format/data_page_builder.h"
#include "jet/format/error.h"

namespace jet {

namespace {

constexpr std::uint8_t kBitmapPageType = 0x05;

void set_bit(MutableBytes bitmap, std::uint64_t bit) {
    bitmap[bit / 8] = static_cast<std::uint8_t>(bitmap[bit / 8] | (1u << (bit % 8)));
}

std::size_t inline_global_row_length(const Format& format, std::uint32_t page_count) {
    const std::size_t bytes = (static_cast<std::size_t>(page_count) + 7) / 8;
    const std::size_t rounded = (bytes + 3) / 4 * 4;
    return 5 + std::max<std::size_t>(format.map_row_length - 5, rounded);
}

// Room for row 0 on page 1 beside row 1 and the two slots.
std::size_t page_one_room(const Format& format) {
    return format.page_size - format.data_page.header_size - 4 - format.map_row_length;
}

}  // namespace

bool fits_inline_map(const Format& format, std::span<const std::uint32_t> pages) {
    if (pages.empty()) {
        return true;
    }
    const std::uint32_t start = pages.front() / 8 * 8;
    return pages.back() - start < format.inline_map_capacity();
}

std::vector<std::uint32_t> bitmap_blocks_of(const Format& format,
                                            std::span<const std::uint32_t> pages) {
    std::vector<std::uint32_t> blocks;
    for (auto p : pages) {
        const std::uint32_t j = p / format.pages_per_bitmap_page();
        if (blocks.empty() || blocks.back() != j) {
            blocks.push_back(j);
        }
    }
    return blocks;
}

std::vector<std::uint8_t> build_inline_map_row(const Format& format,
                                               std::span<const std::uint32_t> pages) {
    std::vector<std::uint8_t> row(format.map_row_length, 0);
    if (pages.empty()) {
        return row;
    }
    if (!fits_inline_map(format, pages)) {
        throw Error(ErrorKind::damaged, "Internal error: pages do not fit an inline usage map.");
    }
    const std::uint32_t start = pages.front() / 8 * 8;
    MutableBytes b(row);
    put_le32(b, 1, start);
    for (auto p : pages) {
        set_bit(b.subspan(5), p - start);
    }
    return row;
}

std::vector<std::uint8_t> build_reference_map_row(const Format& format,
                                                  std::span<const std::uint32_t> block_pages,
                                                  bool exact) {
    if (block_pages.size() > format.reference_map_entries()) {
        throw Error(ErrorKind::damaged,
                    "Internal error: a reference usage map cannot describe this many pages.");
    }
    std::vector<std::uint8_t> row(exact ? 1 + 4 * block_pages.size() : format.map_row_length, 0);
    row[0] = 1;
    for (std::size_t j = 0; j < block_pages.size(); ++j) {
        put_le32(row, 1 + 4 * j, block_pages[j]);
    }
    return row;
}

PageBuf build_bitmap_page(const Format& format, std::uint32_t block,
                          std::span<const std::uint32_t> pages) {
    PageBuf page = blank_page(format);
    page[0] = kBitmapPageType;
    page[1] = 0x01;
    const std::uint32_t per_page = format.pages_per_bitmap_page();
    const std::uint64_t first = static_cast<std::uint64_t>(block) * per_page;
    MutableBytes bitmap(page.data() + 4, page.size() - 4);
    for (auto p : pages) {
        if (p >= first && p < first + per_page) {
            set_bit(bitmap, p - first);
        }
    }
    return page;
}

GlobalMapLayout plan_global_map(const Format& format, std::uint32_t pages) {
    if (inline_global_row_length(format, pages) <= page_one_room(format)) {
        return {};
    }
    // The bitmap pages sit at the end of the file and count themselves.
    std::uint32_t extra = 1;
    while (static_cast<std::uint64_t>(extra) * format.pages_per_bitmap_page() < pages + extra) {
        ++extra;
    }
    return {true, extra};
}

PageBuf build_page_one(const Format& format, std::uint32_t page_count,
                       std::span<const std::uint32_t> bitmap_pages) {
    std::vector<std::uint8_t> row0;
    if (bitmap_pages.empty()) {
        const std::size_t length = inline_global_row_length(format, page_count);
        if (length > page_one_room(format)) {
            throw Error(ErrorKind::damaged,
                        "Internal error: the global page map does not fit inline on page 1.");
        }
        row0.assign(length, 0);
        MutableBytes bitmap(row0.data() + 5, length - 5);
        for (std::uint64_t bit = page_count; bit < bitmap.size() * 8; ++bit) {
            set_bit(bitmap, bit);
        }
    } else {
        row0 = build_reference_map_row(format, bitmap_pages, true);
    }
    const std::vector<std::vector<std::uint8_t>> rows{
        row0, std::vector<std::uint8_t>(format.map_row_length, 0)};
    return build_data_page(format, rows, 1);
}

PageBuf build_global_bitmap_page(const Format& format, std::uint32_t block,
                                 std::uint32_t page_count) {
    PageBuf page = blank_page(format);
    page[0] = kBitmapPageType;
    page[1] = 0x01;
    const std::uint32_t per_page = format.pages_per_bitmap_page();
    const std::uint64_t first = static_cast<std::uint64_t>(block) * per_page;
    MutableBytes bitmap(page.data() + 4, page.size() - 4);
    for (std::uint64_t p = std::max<std::uint64_t>(first, page_count); p < first + per_page; ++p) {
        set_bit(bitmap, p - first);
    }
    return page;
}

}  // namespace jet
