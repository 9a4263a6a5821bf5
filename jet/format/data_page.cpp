#include "jet/format/data_page.h"

#include <algorithm>
#include <utility>

#include "jet/format/error.h"

namespace jet {

bool page_is_blank(const PageBuf& page) {
    return std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0; });
}

namespace {

[[noreturn]] void damaged(const std::string& where, const std::string& what) {
    throw Error(ErrorKind::damaged, "The database is damaged: " + where + " " + what +
                                        ". Restore the file from a backup.");
}

}  // namespace

DataPage::DataPage(const Format& format, PageBuf page, std::uint32_t number, std::string where)
    : format_(&format), page_(std::move(page)), number_(number), where_(std::move(where)) {
    parse();
}

DataPage::DataPage(const PageFile& file, PageBuf page, std::uint32_t number)
    : format_(&file.format()), page_(std::move(page)), number_(number), file_(&file) {
    parse();
}

const std::string& DataPage::where() const {
    if (file_ != nullptr && where_.empty()) {
        where_ = file_->where(number_);
    }
    return where_;
}

void DataPage::parse() {
    const Format& format = *format_;
    const Bytes b = bytes();
    const std::size_t header = format.data_page.header_size;
    if (b.size() != format.page_size) {
        damaged(where(), "is " + std::to_string(b.size()) + " bytes long");
    }
    if (b[0] != kPageTypeData) {
        damaged(where(), "should be a data page but has page type " + std::to_string(b[0]));
    }
    const std::size_t count = le16(b, format.data_page.row_count);
    if (header + 2 * count > b.size()) {
        damaged(where(),
                "claims " + std::to_string(count) + " rows, more than its row table can hold");
    }
    const std::size_t table_end = header + 2 * count;
    slots_.reserve(count);
    std::size_t previous_start = b.size();
    for (std::size_t i = 0; i < count; ++i) {
        RowSlot s;
        s.raw = le16(b, header + 2 * i);
        s.start = static_cast<std::uint16_t>(s.raw & kSlotOffsetMask);
        s.end = static_cast<std::uint16_t>(previous_start);
        // A deleted slot whose bytes were reclaimed may point at or past the
        // previous row's start; it then has no bytes.
        if (s.start >= s.end) {
            if (!s.deleted() && s.start > s.end) {
                damaged(where(), "has row " + std::to_string(i) + " starting at offset " +
                                     std::to_string(s.start) +
                                     ", after the end of the row before it (" +
                                     std::to_string(s.end) + ")");
            }
            s.start = s.end;
        } else if (s.start < table_end) {
            if (!s.deleted()) {
                damaged(where(), "has row " + std::to_string(i) + " starting at offset " +
                                     std::to_string(s.start) + ", inside the row table");
            }
            s.start = s.end;
        }
        previous_start = s.start;
        slots_.push_back(s);
    }
}

std::uint16_t DataPage::stored_free_space() const {
    return le16(bytes(), 2);
}
std::uint32_t DataPage::owner() const {
    return le32(bytes(), 4);
}
std::uint32_t DataPage::stamp() const {
    const std::size_t at = format_->data_page.stamp;
    return at == kAbsent ? 0 : le32(bytes(), at);
}

const RowSlot& DataPage::slot(std::size_t i) const {
    if (i >= slots_.size()) {
        damaged(where(), "has no row " + std::to_string(i) + " (it has " +
                             std::to_string(slots_.size()) + " rows)");
    }
    return slots_[i];
}

Bytes DataPage::row(std::size_t i) const {
    const RowSlot& s = slot(i);
    return bytes().subspan(s.start, s.length());
}

std::size_t DataPage::computed_free_space() const {
    std::size_t lowest = page_.size();
    for (const RowSlot& s : slots_) {
        if (s.length() > 0) {
            lowest = std::min<std::size_t>(lowest, s.start);
        }
    }
    const std::size_t table_end = format_->data_page.header_size + 2 * slots_.size();
    return lowest > table_end ? lowest - table_end : 0;
}

DataPage read_data_page(const PageFile& file, std::uint32_t n) {
    return DataPage(file, file.read(n), n);
}

std::vector<std::uint8_t> read_row(const PageFile& file, RowPointer where,
                                   const std::string& what) {
    if (where.page == 0 || where.page >= file.page_count()) {
        throw Error(ErrorKind::damaged,
                    "The database \"" + file.path().string() + "\" is damaged: the " + what +
                        " points to page " + std::to_string(where.page) + ", row " +
                        std::to_string(where.row) + ", which does not exist (the file has " +
                        std::to_string(file.page_count()) + " pages).");
    }
    const DataPage page = read_data_page(file, where.page);
    if (where.row >= page.slot_count()) {
        throw Error(ErrorKind::damaged, "The database is damaged: the " + what + " points to row " +
                                            std::to_string(where.row) + " of " + page.where() +
                                            ", which has only " +
                                            std::to_string(page.slot_count()) + " rows.");
    }
    const Bytes r = page.row(where.row);
    return std::vector<std::uint8_t>(r.begin(), r.end());
}

}  // namespace jet
