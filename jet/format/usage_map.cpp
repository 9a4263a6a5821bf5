#include "jet/format/usage_map.h"

#include <algorithm>

#include "jet/format/data_page.h"
#include "jet/format/error.h"

namespace jet {

namespace {

void add_bits(Bytes bitmap, std::uint64_t first_page, std::uint32_t max_pages,
              std::vector<std::uint32_t>& out) {
    for (std::size_t i = 0; i < bitmap.size(); ++i) {
        const std::uint8_t byte = bitmap[i];
        if (byte == 0) {
            continue;
        }
        for (unsigned k = 0; k < 8; ++k) {
            if ((byte >> k) & 1u) {
                const std::uint64_t page = first_page + i * 8 + k;
                if (page < max_pages) {
                    out.push_back(static_cast<std::uint32_t>(page));
                }
            }
        }
    }
}

}  // namespace

bool UsageMap::contains(std::uint32_t page) const {
    return std::binary_search(pages.begin(), pages.end(), page);
}

std::uint64_t UsageMap::range_end() const {
    switch (kind) {
        case Kind::absent:
            return 0;
        case Kind::inline_map:
            return static_cast<std::uint64_t>(start_page) +
                   (row_length > 5 ? (row_length - 5) * 8 : 0);
        case Kind::reference:
            return static_cast<std::uint64_t>(bitmap_pages.size()) * pages_per_bitmap_page;
    }
    return 0;
}

UsageMap read_usage_map(const PageFile& file, RowPointer where, const std::string& what) {
    const Format& format = file.format();
    UsageMap map;
    map.location = where;
    map.pages_per_bitmap_page = format.pages_per_bitmap_page();
    if (where.page == 0 && where.row == 0) {
        return map;
    }
    const std::vector<std::uint8_t> row = read_row(file, where, what);
    const Bytes b(row.data(), row.size());
    map.row_length = b.size();
    const std::string place = "the " + what + " (page " + std::to_string(where.page) + ", row " +
                              std::to_string(where.row) + ") in \"" + file.path().string() + "\"";
    if (b.empty()) {
        throw Error(ErrorKind::damaged, "The database is damaged: " + place + " is empty.");
    }
    if (b[0] == 0) {
        if (b.size() < 5) {
            throw Error(ErrorKind::damaged, "The database is damaged: " + place + " is only " +
                                                std::to_string(b.size()) + " bytes long.");
        }
        map.kind = UsageMap::Kind::inline_map;
        map.start_page = le32(b, 1);
        add_bits(b.subspan(5), map.start_page, format.max_pages, map.pages);
    } else if (b[0] == 1) {
        map.kind = UsageMap::Kind::reference;
        const std::size_t entries = (b.size() - 1) / 4;
        for (std::size_t j = 0; j < entries; ++j) {
            const std::uint32_t bitmap_page = le32(b, 1 + 4 * j);
            map.bitmap_pages.push_back(bitmap_page);
            if (bitmap_page == 0 || bitmap_page >= 0x80000000u) {
                continue;
            }
            if (bitmap_page >= file.page_count()) {
                throw Error(ErrorKind::damaged,
                            "The database is damaged: " + place + " refers to bitmap page " +
                                std::to_string(bitmap_page) + ", past the end of the file (" +
                                std::to_string(file.page_count()) + " pages).");
            }
            const PageBuf bitmap = file.read(bitmap_page);
            if (bitmap[0] != kPageTypeUsageBitmap) {
                throw Error(ErrorKind::damaged, "The database is damaged: " + place +
                                                    " refers to " + file.where(bitmap_page) +
                                                    ", which is not a usage bitmap page (type " +
                                                    std::to_string(bitmap[0]) + ").");
            }
            add_bits(Bytes(bitmap.data() + 4, bitmap.size() - 4),
                     static_cast<std::uint64_t>(j) * map.pages_per_bitmap_page, format.max_pages,
                     map.pages);
        }
    } else {
        throw Error(ErrorKind::damaged, "The database is damaged: " + place +
                                            " has the unknown map type " + std::to_string(b[0]) +
                                            ".");
    }
    std::sort(map.pages.begin(), map.pages.end());
    map.pages.erase(std::unique(map.pages.begin(), map.pages.end()), map.pages.end());
    return map;
}

bool FreeMap::is_free(std::uint32_t page) const {
    if (map.kind == UsageMap::Kind::inline_map && page < map.start_page) {
        return false;
    }
    if (map.kind == UsageMap::Kind::inline_map && page >= map.range_end()) {
        return true;
    }
    if (map.kind == UsageMap::Kind::reference && page >= map.range_end()) {
        return true;
    }
    return map.contains(page);
}

FreeMap read_free_map(const PageFile& file) {
    FreeMap f;
    f.map = read_usage_map(file, RowPointer{1, 0}, "global free-page map");
    return f;
}

}  // namespace jet
