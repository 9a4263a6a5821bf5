#pragma once
// Long values (memo and OLE): the 12-byte descriptor in the row and the LVAL
// rows it points to.
//   bytes 0-2 length, byte 3 kind (0x80 inline, 0x40 one LVAL row, 0x00 chain),
//   4-7 row pointer to the first LVAL row, 8-11 stamp, then inline data.
// A chain row is a row pointer to the next chunk (0 at the end) + data.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/page_file.h"

namespace jet {

inline constexpr std::size_t kLongValueDescriptorSize = 12;
// The kind is the top two bits of the 32-bit length word (bits 30-31); the
// length is the low 30 bits.

enum class LongValueKind : std::uint8_t {
    inline_value = 0x80,
    single_row = 0x40,
    chain = 0x00,
};

struct LongValueDescriptor {
    std::uint32_t length = 0;
    std::uint8_t kind = 0;  // a LongValueKind value, kept raw
    RowPointer first;
    std::uint32_t stamp = 0;
    Bytes inline_data;  // kind 0x80: the data following the descriptor

    // Parses the descriptor at the start of `bytes` (the var column's bytes).
    // Throws Error(damaged) with `what` when it is shorter than 12 bytes or
    // the kind byte is unknown.
    static LongValueDescriptor parse(Bytes bytes, const std::string& what);
};

// How a walk along a chain of LVAL rows ended.
enum class ChainEnd {
    end,         // a link of 0: the chain's last row was read
    stopped,     // the sink asked for no more
    unreadable,  // `read` could not give the row at `at`
    loop,        // the chain came back to `at`, a row it had read already
    short_row,   // the row at `at` is too short to hold its link
};
struct ChainStop {
    ChainEnd how = ChainEnd::end;
    RowPointer at;
};

// Walks the chain that starts at `first` (read even when it is 0: what that
// means is the reader's to say): `read(p, row)` fills `row` with the LVAL
// row at p and returns false when it cannot; each row is a 4-byte row
// pointer to the next (0 at the end) and a chunk of data, which goes to
// `sink(p, chunk)`, which returns false to stop. Ends on a row seen before,
// so damage never makes it walk forever.
template <typename Read, typename Sink>
ChainStop walk_chain(RowPointer first, Read&& read, Sink&& sink) {
    std::set<RowPointer> seen;
    std::vector<std::uint8_t> row;
    RowPointer p = first;
    do {
        if (!seen.insert(p).second) {
            return {ChainEnd::loop, p};
        }
        if (!read(p, row)) {
            return {ChainEnd::unreadable, p};
        }
        if (row.size() < 4) {
            return {ChainEnd::short_row, p};
        }
        const Bytes link(row.data(), row.size());
        const RowPointer next = RowPointer::decode(le32(link, 0));
        if (!sink(p, link.subspan(4))) {
            return {ChainEnd::stopped, p};
        }
        p = next;
    } while (p.page != 0);
    return {ChainEnd::end, p};
}

// The LVAL rows a value occupies, in chain order (empty for inline values).
// Bounded: throws Error(damaged) when the chain revisits a row, is longer
// than the file has pages, or its chunks do not add up to the length.
std::vector<RowPointer> long_value_rows(const PageFile& file, const LongValueDescriptor& d,
                                        const std::string& what);

// The whole value.
std::vector<std::uint8_t> read_long_value(const PageFile& file, const LongValueDescriptor& d,
                                          const std::string& what);

}  // namespace jet
