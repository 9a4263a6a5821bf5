#include "jet/format/long_value_builder.h"

#include <algorithm>
#include <utility>

#include "jet/format/data_page.h"
#include "jet/format/error.h"

namespace jet {

namespace {

// Hands `add` the row length of each chunk of a chain of `length` bytes, in
// order: full chunks, then the rest (a value of no bytes is one empty chunk).
// Full chunks are Format::chain_chunk long: the length Access cuts chains at
// (Jet 4: 4072, the row with its next pointer leaving 4 bytes of its page free).
template <typename Add>
void for_each_chunk(const Format& format, std::size_t length, Add&& add) {
    std::size_t left = length;
    do {
        const std::size_t n = std::min(left, format.chain_chunk);
        add(4 + n);
        left -= n;
    } while (left > 0);
}

}  // namespace

void plan_long_value(const LongValueDescriptor& d, RowPacker& packer) {
    if (d.kind == static_cast<std::uint8_t>(LongValueKind::single_row)) {
        packer.add(d.length);
    } else if (d.kind == static_cast<std::uint8_t>(LongValueKind::chain)) {
        for_each_chunk(packer.format(), d.length, [&](std::size_t row) { packer.add(row); });
    }
}

LongValueWriter::LongValueWriter(const Format& format, std::uint32_t first_page,
                                 LongValuePageSink sink)
    : first_page_(first_page), sink_(std::move(sink)), packer_(format) {}

std::uint32_t LongValueWriter::pointer(RowPlace place) const {
    return RowPointer{first_page_ + place.page_index, place.slot}.encode();
}

void LongValueWriter::emit(RowPlace place, std::vector<std::uint8_t> row) {
    if (place.page_index != page_ && !rows_.empty()) {
        sink_(first_page_ + page_, build_data_page(packer_.format(), rows_, kLvalMarker));
        rows_.clear();
    }
    page_ = place.page_index;
    rows_.push_back(std::move(row));
}

StoredDescriptor LongValueWriter::store(Bytes descriptor, std::span<const std::uint8_t> value) {
    check_range(descriptor, 0, kLongValueDescriptorSize);
    StoredDescriptor out{};
    std::copy_n(descriptor.begin(), kLongValueDescriptorSize, out.begin());
    MutableBytes desc(out.data(), out.size());
    const auto kind = static_cast<std::uint8_t>(descriptor[3] & 0xC0);
    if (kind == static_cast<std::uint8_t>(LongValueKind::single_row)) {
        const RowPlace place = packer_.add(value.size());
        put_le32(desc, 4, pointer(place));
        emit(place, std::vector<std::uint8_t>(value.begin(), value.end()));
        return out;
    }
    if (kind != static_cast<std::uint8_t>(LongValueKind::chain)) {
        throw Error(ErrorKind::damaged,
                    "Internal error: an inline long value was handed over to be stored in rows.");
    }
    // Every chunk is placed first: each row names the next one.
    std::vector<RowPlace> places;
    for_each_chunk(packer_.format(), value.size(),
                   [&](std::size_t row) { places.push_back(packer_.add(row)); });
    put_le32(desc, 4, pointer(places.front()));
    put_le32(desc, 8, 0);
    std::size_t at = 0;
    for (std::size_t k = 0; k < places.size(); ++k) {
        const std::size_t n = std::min(value.size() - at, packer_.format().chain_chunk);
        std::vector<std::uint8_t> chunk(4 + n);
        put_le32(chunk, 0, k + 1 < places.size() ? pointer(places[k + 1]) : 0);
        std::copy_n(value.begin() + static_cast<std::ptrdiff_t>(at), n, chunk.begin() + 4);
        at += n;
        emit(places[k], std::move(chunk));
    }
    return out;
}

std::size_t LongValueWriter::finish() {
    if (!rows_.empty()) {
        sink_(first_page_ + page_, build_data_page(packer_.format(), rows_, kLvalMarker));
        rows_.clear();
    }
    return packer_.page_count();
}

}  // namespace jet
