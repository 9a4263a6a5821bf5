#include "jet/compact/source_rows.h"

#include <algorithm>

namespace jet {

PageCache::PageCache(const PageFile& file) : file_(file), slots_(kSlots) {}

const DataPage& PageCache::data_page(std::uint32_t n) {
    Slot& slot = slots_[n % kSlots];
    if (!slot.loaded || slot.number != n) {
        // One page: the file brings in the block around it once it sees
        // the pages asked for go forward.
        file_.read_into(n, slot.raw);
        slot.number = n;
        slot.loaded = true;
        slot.page.reset();
    }
    if (!slot.page) {
        slot.page.emplace(file_, slot.raw, n);
    }
    return *slot.page;
}

RowPointer LiveRows::data(std::size_t i) const {
    if (!moved_.empty()) {
        const auto it = std::lower_bound(moved_.begin(), moved_.end(),
                                         std::make_pair(slots_[i], std::uint32_t{0}));
        if (it != moved_.end() && it->first == slots_[i]) {
            return RowPointer::decode(it->second);
        }
    }
    return RowPointer::decode(slots_[i]);
}

void LiveRows::sort(std::vector<std::uint16_t>& sizes) {
    if (sorted_) {
        return;
    }
    std::vector<std::uint32_t> perm(slots_.size());
    for (std::size_t i = 0; i < perm.size(); ++i) {
        perm[i] = static_cast<std::uint32_t>(i);
    }
    std::sort(perm.begin(), perm.end(),
              [&](std::uint32_t x, std::uint32_t y) { return slots_[x] < slots_[y]; });
    std::vector<std::uint32_t> slots(perm.size());
    std::vector<std::uint16_t> moved_sizes(sizes.empty() ? 0 : perm.size());
    for (std::size_t i = 0; i < perm.size(); ++i) {
        slots[i] = slots_[perm[i]];
        if (!sizes.empty()) {
            moved_sizes[i] = sizes[perm[i]];
        }
    }
    slots_.swap(slots);
    sizes.swap(moved_sizes);
    std::sort(moved_.begin(), moved_.end());
    sorted_ = true;
    drop_index();
}

void LiveRows::index() {
    dir_.clear();
    if (slots_.empty()) {
        return;
    }
    base_ = slots_.front() >> 8;
    const std::uint32_t last = slots_.back() >> 8;
    dir_.assign(last - base_ + 2, 0);
    std::size_t i = 0;
    for (std::uint32_t p = base_; p <= last + 1; ++p) {
        while (i < slots_.size() && (slots_[i] >> 8) < p) {
            ++i;
        }
        dir_[p - base_] = static_cast<std::uint32_t>(i);
    }
}

std::size_t LiveRows::find(RowPointer p) const {
    if (dir_.empty() || p.page < base_ || p.page - base_ + 1 >= dir_.size()) {
        return npos;
    }
    const std::uint32_t want = p.encode();
    const auto first = slots_.begin() + dir_[p.page - base_];
    const auto last = slots_.begin() + dir_[p.page - base_ + 1];
    const auto it = std::lower_bound(first, last, want);
    return it != last && *it == want ? static_cast<std::size_t>(it - slots_.begin()) : npos;
}

void LiveRows::find_many(const RowPointer* rows, std::size_t count, std::size_t* out) const {
    auto at = [&](RowPointer p) -> const std::uint32_t* {
        return dir_.empty() || p.page < base_ || p.page - base_ + 1 >= dir_.size()
                   ? nullptr
                   : dir_.data() + (p.page - base_);
    };
    // The pages' places in the directory, then their first rows, then the
    // searches, each step over the whole batch.
    for (std::size_t k = 0; k < count; ++k) {
        if (const std::uint32_t* d = at(rows[k])) {
            __builtin_prefetch(d);
        }
    }
    for (std::size_t k = 0; k < count; ++k) {
        if (const std::uint32_t* d = at(rows[k])) {
            __builtin_prefetch(slots_.data() + *d);
        }
    }
    for (std::size_t k = 0; k < count; ++k) {
        out[k] = find(rows[k]);
    }
}

void LiveRows::clear() {
    std::vector<std::uint32_t>().swap(slots_);
    std::vector<std::pair<std::uint32_t, std::uint32_t>>().swap(moved_);
    drop_index();
    sorted_ = true;
}

}  // namespace jet
