#include "jet/format/index_page.h"

#include <bit>
#include <cstring>

#include "jet/format/error.h"
#include "jet/format/page_file.h"

namespace jet {

namespace {

[[noreturn]] void damaged(const std::string& where, const std::string& what) {
    throw Error(ErrorKind::damaged, "The index page at " + where + " is damaged: " + what);
}

}  // namespace

IndexPageEntry split_index_entry(Bytes raw, bool leaf, const std::string& where) {
    const std::size_t tail = leaf ? kLeafPointerSize : kNodePointerSize;
    if (raw.size() < tail) {
        damaged(where, "an entry of " + std::to_string(raw.size()) +
                           " bytes is shorter than its row pointer (" + std::to_string(tail) +
                           " bytes); the entry mask is wrong.");
    }
    const std::size_t key_len = raw.size() - tail;
    IndexPageEntry out;
    out.entry.key.assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(key_len));
    out.entry.row.page = be24(raw, key_len);
    out.entry.row.row = raw[key_len + 3];
    if (!leaf) {
        out.child = be32(raw, key_len + 4);
    }
    return out;
}

IndexPage parse_index_page(const Format& format, Bytes page, std::uint32_t number,
                           const std::string& where) {
    IndexPage p;
    parse_index_page(format, page, number, where, p);
    return p;
}

void parse_index_page(const Format& format, Bytes page, std::uint32_t number,
                      const std::string& where, IndexPage& p) {
    const IndexPageLayout& at = format.index_page;
    const std::size_t area_size = format.index_entry_area();
    if (page.size() != format.page_size) {
        damaged(where, "the page is " + std::to_string(page.size()) + " bytes long.");
    }
    p.number = number;
    p.type = page[0];
    if (p.type != kIndexNodePage && p.type != kIndexLeafPage) {
        damaged(where, "it has page type " + std::to_string(p.type) +
                           " where an index node (3) or leaf (4) was expected.");
    }
    p.marker = page[1];
    p.free_space = le16(page, 2);
    p.owner = le32(page, 4);
    p.reserved = at.reserved == kAbsent ? 0 : le32(page, at.reserved);
    p.prev = le32(page, at.prev);
    p.next = le32(page, at.next);
    p.tail = le32(page, at.tail);
    p.prefix_length = at.prefix_size == 1 ? page[at.prefix] : le16(page, at.prefix);
    p.level = page[at.level];
    p.entry_area = area_size;

    const bool leaf = p.is_leaf();
    const std::size_t tail = leaf ? kLeafPointerSize : kNodePointerSize;
    const Bytes area = page.subspan(at.entries_offset, area_size);
    // Entries are decoded into the page's existing entries, so that walking
    // many pages with one IndexPage reuses their key buffers.
    std::size_t count = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < at.mask_size; ++i) {
        const std::uint8_t m = page[at.mask_offset + i];
        if (m == 0) {
            continue;
        }
        // The set bits of the byte, lowest first.
        for (unsigned bits = m; bits != 0; bits &= bits - 1) {
            const auto k = static_cast<unsigned>(std::countr_zero(bits));
            const std::size_t end = i * 8 + k;
            if (end > area_size) {
                damaged(where, "its entry mask marks an entry end at byte " + std::to_string(end) +
                                   ", past the entry area of " + std::to_string(area_size) +
                                   " bytes.");
            }
            if (end <= start) {
                damaged(where,
                        "its entry mask marks an empty entry at byte " + std::to_string(end) + ".");
            }
            const Bytes stored = area.subspan(start, end - start);
            const std::size_t shared = count == 0 ? 0 : p.prefix_length;
            if (count == 0 && p.prefix_length > stored.size()) {
                damaged(where, "its shared prefix of " + std::to_string(p.prefix_length) +
                                   " bytes is longer than its first entry (" +
                                   std::to_string(stored.size()) + " bytes).");
            }
            const std::size_t size = shared + stored.size();
            if (size < tail) {
                damaged(where, "an entry of " + std::to_string(size) +
                                   " bytes is shorter than its row pointer (" +
                                   std::to_string(tail) + " bytes); the entry mask is wrong.");
            }
            if (p.entries.size() <= count) {
                if (p.spare.empty()) {
                    p.entries.emplace_back();
                } else {
                    p.entries.push_back(std::move(p.spare.back()));
                    p.spare.pop_back();
                }
            }
            IndexPageEntry& out = p.entries[count];
            std::vector<std::uint8_t>& key = out.entry.key;
            const std::size_t key_len = size - tail;
            // The key: the first entry's prefix, then this entry's own bytes
            // up to the row pointer.
            const Bytes first_entry = area.subspan(0, p.prefix_length);
            const std::size_t from_first = std::min(shared, key_len);
            key.resize(key_len);
            if (from_first != 0) {
                std::memcpy(key.data(), first_entry.data(), from_first);
            }
            if (key_len > shared) {
                std::memcpy(key.data() + shared, stored.data(), key_len - shared);
            }
            // The pointer may start inside the prefix when the prefix reaches
            // past the key (a damaged page): read it from the whole entry.
            std::uint8_t ptr[kNodePointerSize];
            for (std::size_t b = 0; b < tail; ++b) {
                const std::size_t from = key_len + b;
                ptr[b] = from < shared ? first_entry[from] : stored[from - shared];
            }
            out.entry.row.page =
                (std::uint32_t{ptr[0]} << 16) | (std::uint32_t{ptr[1]} << 8) | ptr[2];
            out.entry.row.row = ptr[3];
            out.child = leaf ? 0
                             : (std::uint32_t{ptr[4]} << 24) | (std::uint32_t{ptr[5]} << 16) |
                                   (std::uint32_t{ptr[6]} << 8) | ptr[7];
            ++count;
            start = end;
        }
    }
    for (std::size_t k = count; k < p.entries.size(); ++k) {
        p.spare.push_back(std::move(p.entries[k]));
    }
    p.entries.resize(count);
    p.used = start;
}

}  // namespace jet
