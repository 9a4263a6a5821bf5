#pragma once
// Writing long values (memo and OLE) afresh: the LVAL pages of one column and
// the descriptors that point into them.
//
// A value keeps the form its descriptor gave it. An inline value stays in the
// row and is not handed here; a value in one LVAL row is written as one row;
// a chain is cut into full chunks of Format::chain_chunk bytes and an exact last one
// (a value of 4072 bytes is one chunk, not two), each chunk a row of its own
// that starts with the row pointer of the next chunk (0 on the last). The
// rows of a column are packed onto its pages in the order the values come,
// as RowPacker places them, and a page is written as soon as the next row
// goes to another one, so that only one page of rows is held at a time.
//
// Planning and writing are separate so that a compaction can count the pages
// of every column before it knows their numbers: plan_long_value() adds the
// rows a value will take to a RowPacker, and LongValueWriter places them the
// same way.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/data_page_builder.h"
#include "jet/format/long_value.h"
#include "jet/format/page_file.h"

namespace jet {

// Adds the rows the value `d` describes will take, stored afresh, to
// `packer` (none for an inline value). Throws Error(damaged) for a single-row
// value longer than a page can hold.
void plan_long_value(const LongValueDescriptor& d, RowPacker& packer);

using LongValuePageSink = std::function<void(std::uint32_t, const PageBuf&)>;

using StoredDescriptor = std::array<std::uint8_t, kLongValueDescriptorSize>;

// The LVAL pages of one column: page k of them is first_page + k, handed to
// `sink` once its rows are complete.
class LongValueWriter {
  public:
    LongValueWriter(const Format& format, std::uint32_t first_page, LongValuePageSink sink);

    // Stores `value`, the value of the single-row or chain descriptor
    // `descriptor` (its 12 bytes as the row holds them), and returns the
    // descriptor the new row is to hold: the same length and kind, pointing
    // at the value's first row; a chain's stamp is cleared, a single row's
    // kept. Throws Error(damaged) for a single-row value longer than a page.
    StoredDescriptor store(Bytes descriptor, std::span<const std::uint8_t> value);

    // Writes the last page. Returns the number of pages used.
    std::size_t finish();

  private:
    std::uint32_t pointer(RowPlace place) const;
    void emit(RowPlace place, std::vector<std::uint8_t> row);

    std::uint32_t first_page_;
    LongValuePageSink sink_;
    RowPacker packer_;
    std::vector<std::vector<std::uint8_t>> rows_;  // the rows of page page_ so far
    std::uint32_t page_ = 0;
};

}  // namespace jet
