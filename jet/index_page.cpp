#include "jet/index_page.h"

#include "jet/error.h"
#include "jet/page_file.h"

namespace jet {

namespace {

[[noreturn]] void damaged(const std::string& where, const std::string& what) {
    throw Error(ErrorKind::damaged, "The index page at " + where + " is damaged: " + what +
                                        " Compact a backup copy or repair the database in "
                                        "Access before using it.");
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

IndexPage parse_index_page(Bytes page, std::uint32_t number, const std::string& where) {
    if (page.size() != kPageSize) {
        damaged(where, "the page is " + std::to_string(page.size()) + " bytes long.");
    }
    IndexPage p;
    p.number = number;
    p.type = page[0];
    if (p.type != kIndexNodePage && p.type != kIndexLeafPage) {
        damaged(where, "it has page type " + std::to_string(p.type) +
                           " where an index node (3) or leaf (4) was expected.");
    }
    p.marker = page[1];
    p.free_space = le16(page, 2);
    p.owner = le32(page, 4);
    p.reserved = le32(page, 8);
    p.prev = le32(page, 12);
    p.next = le32(page, 16);
    p.tail = le32(page, 20);
    p.prefix_length = le16(page, 24);
    p.level = page[26];

    const bool leaf = p.is_leaf();
    const Bytes area = page.subspan(kIndexEntriesOffset, kIndexEntryArea);
    std::vector<std::uint8_t> prefix;
    std::size_t start = 0;
    bool first = true;
    for (std::size_t i = 0; i < kIndexMaskSize; ++i) {
        const std::uint8_t m = page[kIndexMaskOffset + i];
        if (m == 0) {
            continue;
        }
        for (unsigned k = 0; k < 8; ++k) {
            if (((m >> k) & 1u) == 0) {
                continue;
            }
            const std::size_t end = i * 8 + k;
            if (end > kIndexEntryArea) {
                damaged(where, "its entry mask marks an entry end at byte " + std::to_string(end) +
                                   ", past the entry area of " + std::to_string(kIndexEntryArea) +
                                   " bytes.");
            }
            if (end <= start) {
                damaged(where,
                        "its entry mask marks an empty entry at byte " + std::to_string(end) + ".");
            }
            const Bytes stored = area.subspan(start, end - start);
            std::vector<std::uint8_t> full;
            if (first) {
                if (p.prefix_length > stored.size()) {
                    damaged(where, "its shared prefix of " + std::to_string(p.prefix_length) +
                                       " bytes is longer than its first entry (" +
                                       std::to_string(stored.size()) + " bytes).");
                }
                prefix.assign(stored.begin(), stored.begin() + p.prefix_length);
                full.assign(stored.begin(), stored.end());
                first = false;
            } else {
                full.reserve(prefix.size() + stored.size());
                full = prefix;
                full.insert(full.end(), stored.begin(), stored.end());
            }
            p.entries.push_back(split_index_entry(full, leaf, where));
            start = end;
        }
    }
    p.used = start;
    return p;
}

}  // namespace jet
