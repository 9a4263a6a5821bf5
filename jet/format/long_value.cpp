#include "jet/format/long_value.h"

#include <algorithm>

#include "jet/format/data_page.h"
#include "jet/format/error.h"

namespace jet {

namespace {

[[noreturn]] void damaged(const PageFile& file, const std::string& what, const std::string& msg) {
    throw Error(ErrorKind::damaged, "The database \"" + file.path().string() +
                                        "\" is damaged: the long value of " + what + " " + msg +
                                        ". Restore it from a backup.");
}

// Copies out the LVAL row at `p`, checking that it is a row of an LVAL page.
std::vector<std::uint8_t> lval_row(const PageFile& file, RowPointer p, const std::string& what) {
    if (p.page == 0 || p.page >= file.page_count()) {
        damaged(file, what, "points to page " + std::to_string(p.page) + ", which does not exist");
    }
    const DataPage page = read_data_page(file, p.page);
    if (!page.is_long_value_page()) {
        damaged(file, what,
                "points to page " + std::to_string(p.page) + ", which is not a long-value page");
    }
    if (p.row >= page.slot_count() || page.slot(p.row).deleted()) {
        damaged(file, what,
                "points to row " + std::to_string(p.row) + " of page " + std::to_string(p.page) +
                    ", which does not exist or is deleted");
    }
    const Bytes r = page.row(p.row);
    return std::vector<std::uint8_t>(r.begin(), r.end());
}

// Walks the value; `sink` receives each chunk of data.
template <typename Sink>
void walk(const PageFile& file, const LongValueDescriptor& d, const std::string& what,
          Sink&& sink) {
    switch (static_cast<LongValueKind>(d.kind)) {
        case LongValueKind::inline_value:
            return;
        case LongValueKind::single_row: {
            const std::vector<std::uint8_t> row = lval_row(file, d.first, what);
            if (row.size() < d.length) {
                damaged(file, what,
                        "is " + std::to_string(d.length) + " bytes long but its row on page " +
                            std::to_string(d.first.page) + " holds only " +
                            std::to_string(row.size()));
            }
            sink(d.first, Bytes(row.data(), d.length));
            return;
        }
        case LongValueKind::chain: {
            std::uint64_t total = 0;
            if (d.length == 0) {
                return;
            }
            if (d.first.page == 0) {
                damaged(file, what, "ends after 0 of its " + std::to_string(d.length) + " bytes");
            }
            const ChainStop stop = walk_chain(
                d.first,
                [&](RowPointer p, std::vector<std::uint8_t>& row) {
                    row = lval_row(file, p, what);
                    return true;
                },
                [&](RowPointer p, Bytes data) {
                    const std::uint64_t remaining = d.length - total;
                    if (data.size() > remaining) {
                        data = data.subspan(0, static_cast<std::size_t>(remaining));
                    }
                    sink(p, data);
                    total += data.size();
                    return total < d.length;
                });
            switch (stop.how) {
                case ChainEnd::stopped:
                    return;
                case ChainEnd::end:
                    damaged(file, what,
                            "ends after " + std::to_string(total) + " of its " +
                                std::to_string(d.length) + " bytes");
                case ChainEnd::loop:
                    damaged(file, what,
                            "loops back to row " + std::to_string(stop.at.row) + " of page " +
                                std::to_string(stop.at.page));
                case ChainEnd::short_row:
                case ChainEnd::unreadable:
                    damaged(file, what,
                            "has a chunk too short for its link on page " +
                                std::to_string(stop.at.page));
            }
            return;
        }
    }
}

}  // namespace

LongValueDescriptor LongValueDescriptor::parse(Bytes bytes, const std::string& what) {
    if (bytes.size() < kLongValueDescriptorSize) {
        throw Error(ErrorKind::damaged, "The database is damaged: the long value of " + what +
                                            " has a descriptor of only " +
                                            std::to_string(bytes.size()) + " bytes (12 needed).");
    }
    LongValueDescriptor d;
    // The two top bits of the 32-bit length word say where the value is.
    const std::uint32_t word = le32(bytes, 0);
    d.length = word & 0x3FFFFFFFu;
    d.kind = static_cast<std::uint8_t>((word >> 24) & 0xC0u);
    d.first = RowPointer::decode(le32(bytes, 4));
    d.stamp = le32(bytes, 8);
    switch (static_cast<LongValueKind>(d.kind)) {
        case LongValueKind::inline_value:
            if (bytes.size() - kLongValueDescriptorSize < d.length) {
                throw Error(ErrorKind::damaged,
                            "The database is damaged: the long value of " + what + " claims " +
                                std::to_string(d.length) +
                                " bytes stored in the row, which holds " +
                                std::to_string(bytes.size() - kLongValueDescriptorSize) + ".");
            }
            d.inline_data = bytes.subspan(kLongValueDescriptorSize, d.length);
            break;
        case LongValueKind::single_row:
        case LongValueKind::chain:
            break;
        default:
            throw Error(ErrorKind::damaged, "The database is damaged: the long value of " + what +
                                                " has both storage flags set (0xC0).");
    }
    return d;
}

std::vector<RowPointer> long_value_rows(const PageFile& file, const LongValueDescriptor& d,
                                        const std::string& what) {
    std::vector<RowPointer> rows;
    walk(file, d, what, [&](RowPointer p, Bytes) { rows.push_back(p); });
    return rows;
}

std::vector<std::uint8_t> read_long_value(const PageFile& file, const LongValueDescriptor& d,
                                          const std::string& what) {
    if (static_cast<LongValueKind>(d.kind) == LongValueKind::inline_value) {
        return std::vector<std::uint8_t>(d.inline_data.begin(), d.inline_data.end());
    }
    std::vector<std::uint8_t> out;
    // A damaged length must not reserve more than the file could hold.
    out.reserve(std::min<std::uint64_t>(d.length, file.size_bytes()));
    walk(file, d, what,
         [&](RowPointer, Bytes data) { out.insert(out.end(), data.begin(), data.end()); });
    return out;
}

}  // namespace jet
