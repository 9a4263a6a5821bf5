// The table's walk through the long values (memo/OLE) its rows point to, and
// through the pages their usage maps list.
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "jet/check/checker_table.h"
#include "jet/format/data_page.h"
#include "jet/format/error.h"
#include "jet/format/long_value.h"
#include "jet/format/row.h"

namespace jet::check_detail {

// ------------------------------------------------------------ long values

// The pages the long-value map of a column lists, ascending.
const std::vector<std::uint32_t>& TableWalk::lv_pages(const Column& c) {
    auto it = lv_owned_.find(c.number);
    if (it != lv_owned_.end()) {
        return it->second;
    }
    auto& pages = lv_owned_[c.number];
    if (const LongValueMaps* m = def_.long_value_maps_for(c.number)) {
        const std::string what = "long-value map of column \"" + c.name + "\"";
        if (const auto owned = read_map(m->owned, what, MapUse::long_values)) {
            pages = sorted_unique(*owned);
        }
        if (const auto fm = read_map(m->free, "free " + what, MapUse::long_values)) {
            for (const auto p : *fm) {
                if (!contains(pages, p)) {
                    error("free-map-not-owned", p,
                          "The free " + what + " of " + label() + " lists page " +
                              std::to_string(p) + ", which the column does not own.");
                }
            }
        }
    }
    return pages;
}

// Reads one LVAL row; reports and returns false when it is not there.
// `who` describes the long value.
template <typename Who>
bool TableWalk::lval_row(const Column& c, RowPointer at, RowPointer p,
                         std::vector<std::uint8_t>& out, Who& who) {
    if (p.page == 0 || p.page >= cx_.file.page_count()) {
        lv_lost("dangling-pointer", at.page,
                who() + " points to " + ptr_text(p) + ", outside the file.", c, at);
        return false;
    }
    PageBuf buf = cx_.file.read(p.page);
    if (buf[0] != kPageTypeData || le32(buf, 4) != kLvalMarker) {
        lv_lost("lv-not-lval-page", p.page,
                who() + " points to " + ptr_text(p) + ", which is no long-value page.", c, at);
        return false;
    }
    try {
        const DataPage page(cx_.file, std::move(buf), p.page);
        if (p.row >= page.slot_count() || page.slot(p.row).deleted()) {
            lv_lost("dangling-pointer", p.page,
                    who() + " points to " + ptr_text(p) + ", a row that is " +
                        (p.row >= page.slot_count() ? "not there." : "deleted."),
                    c, at);
            return false;
        }
        const Bytes r = page.row(p.row);
        out.assign(r.begin(), r.end());
    } catch (const Error& e) {
        lv_lost("data-page-undecodable", p.page, e.what(), c, at);
        return false;
    }
    if (cx_.use_long_value_row(p)) {
        cx_.claim(p.page, PageRole::long_value, tp_);
        if (lv_used_.empty() || lv_used_.back() != p.page) {
            lv_used_.push_back(p.page);
        }
    } else {
        // The value is lost: its claim on a page the other value's table
        // holds would only say again what this says.
        lv_lost("lv-row-shared", p.page,
                who() + " uses " + ptr_text(p) + ", which another long value uses too.", c, at);
    }
    if (def_.long_value_maps_for(c.number) != nullptr && !contains(lv_pages(c), p.page)) {
        error("lv-page-unmapped", p.page,
              who() + " is stored on page " + std::to_string(p.page) +
                  ", which the column's long-value map does not list.");
    }
    return true;
}

void TableWalk::check_long_value(const Column& c, RowPointer at, const RowLayout& layout,
                                 Bytes data) {
    Lazy who([&] {
        return "The long value of column \"" + c.name + "\" in the row at " + ptr_text(at) +
               " of " + label();
    });
    std::optional<ColumnSpan> span;
    LongValueDescriptor d;
    try {
        span =
            described([&](const std::string& w) { return locate_column(c, layout, data, w); }, who);
        if (!span) {
            return;
        }
        const Bytes bytes = data.subspan(span->offset, span->length);
        // Other readers compare the whole byte, not only its two top bits.
        const std::uint8_t kind = u8(bytes, 3);
        if (kind != 0x80 && kind != 0x40 && kind != 0x00) {
            lv_lost("lv-bad-descriptor", at.page,
                    who() + " has the storage byte " + std::to_string(kind) +
                        " where 0x80 (in the row), 0x40 (one row) or 0 (a chain) belongs.",
                    c, at);
            return;
        }
        d = described([&](const std::string& w) { return LongValueDescriptor::parse(bytes, w); },
                      who);
    } catch (const Error& e) {
        lv_lost("lv-bad-descriptor", at.page, e.what(), c, at);
        return;
    }
    if (d.kind == static_cast<std::uint8_t>(LongValueKind::inline_value)) {
        if (d.length > d.inline_data.size()) {
            lv_lost("lv-length", at.page,
                    who() + " is stored in the row with a length of " + std::to_string(d.length) +
                        " bytes, but the row holds only " + std::to_string(d.inline_data.size()) +
                        ".",
                    c, at);
        }
        return;
    }
    std::vector<std::uint8_t> r;
    if (d.kind == static_cast<std::uint8_t>(LongValueKind::single_row)) {
        if (lval_row(c, at, d.first, r, who) && r.size() != d.length) {
            lv_lost("lv-length", d.first.page,
                    who() + " states " + std::to_string(d.length) + " bytes; its row at " +
                        ptr_text(d.first) + " holds " + std::to_string(r.size()) + ".",
                    c, at);
        }
        return;
    }
    // A chain: each row starts with the pointer to the next (0 at the end).
    std::uint64_t total = 0;
    const ChainStop stop = walk_chain(
        d.first,
        [&](RowPointer p, std::vector<std::uint8_t>& row) { return lval_row(c, at, p, row, who); },
        [&](RowPointer, Bytes chunk) {
            total += chunk.size();
            return true;
        });
    switch (stop.how) {
        case ChainEnd::end:
        case ChainEnd::stopped:
            break;
        case ChainEnd::unreadable:
            return;  // lval_row said why
        case ChainEnd::loop:
            lv_lost("lv-chain-loop", stop.at.page,
                    who() + " is a chain that comes back to " + ptr_text(stop.at) +
                        "; reading it would never end.",
                    c, at);
            return;
        case ChainEnd::short_row:
            lv_lost("lv-length", stop.at.page,
                    who() + " has a chain row at " + ptr_text(stop.at) + " too short for its link.",
                    c, at);
            return;
    }
    if (total != d.length) {
        lv_lost("lv-length", d.first.page,
                who() + " states " + std::to_string(d.length) + " bytes; its chain holds " +
                    std::to_string(total) + ".",
                c, at);
    }
}

void TableWalk::check_long_value_maps() {
    lv_used_ = sorted_unique(std::move(lv_used_));
    for (const auto& c : def_.columns) {
        if (!c.is_long_value()) {
            continue;
        }
        for (const auto p : lv_pages(c)) {
            const PageBuf buf = cx_.file.read(p);
            if (buf[0] != kPageTypeData || le32(buf, 4) != kLvalMarker) {
                error("lv-map-mismatch", p,
                      "The long-value map of column \"" + c.name + "\" of " + label() +
                          " lists page " + std::to_string(p) +
                          ", which is no long-value "
                          "page.");
                continue;
            }
            cx_.claim(p, contains(lv_used_, p) ? PageRole::long_value : PageRole::long_value_listed,
                      tp_);
        }
    }
}

}  // namespace jet::check_detail
