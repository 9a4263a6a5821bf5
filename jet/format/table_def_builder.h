#pragma once
// Writing a table definition (TDEF, page type 0x02) for its table's new place.
//
// The new definition is the old one with the fields a rewrite changes patched
// in, and nothing else touched: the row count (u32 at 16), the autonumber
// counter (u32 at 20), the usage-map pointers (the table's owned and free
// maps, each real index's map, the two maps of each memo/OLE column), each
// real index's root page and statistics, the table page of each
// relationship, and the fields of a relationship left out. The pages keep
// their split: page k of the new definition is old page k with its share of
// the logical buffer (the whole page for the first, bytes 8..4095 for each
// continuation) written over it, so bytes past the definition's end are
// carried along as they were; the next-page pointer at 4 of every page names
// the page after it (first_page + k + 1, 0 on the last), and the free space
// at 2 is what the definition's length leaves.
//
// The builder holds its own copy of the logical buffer and refers to the
// TableDef it was made from, which must outlive it.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "jet/format/page_file.h"
#include "jet/format/table_def.h"

namespace jet {

// Clears the relationship fields of the logical index whose block starts at
// `block_offset` of the logical definition `logical`: no other table, no
// cascades, no key type; its number, real index and name stay.
void clear_relationship_fields(MutableBytes logical, std::size_t block_offset,
                               const Format& format);

class TableDefBuilder {
  public:
    explicit TableDefBuilder(const TableDef& def);

    void set_row_count(std::uint32_t rows);
    void set_autonumber(std::uint32_t counter);
    // Real index `ri`: its new root page, and its statistics: the distinct
    // keys, and the row count where the old definition kept one (non-zero).
    void set_index(std::size_t ri, std::uint32_t root, std::uint32_t rows, std::uint32_t distinct);
    // The usage-map pointer at logical offset `pointer_offset`, one of those
    // TableDef records (tdef_offsets::kOwnedMap, kFreeMap, map_offset() of a
    // real index, owned_offset() and free_offset() of a memo/OLE column).
    void set_map(std::size_t pointer_offset, RowPointer row);
    // Relationships naming a table in `moved` (old TDEF page -> new) name
    // its new page; others are kept.
    void remap_related_tables(const std::map<std::uint32_t, std::uint32_t>& moved);
    // Logical index `li` keeps its name and its real index, as a plain index:
    // no other table, no cascades, no key type.
    void clear_relationship(std::size_t li);

    // Pages of the definition, the same number as the old one has.
    std::size_t page_count() const { return def_.pages.size(); }
    // Page k of the new definition, which starts at `first_page`, made from
    // `old_page`, page k of the old definition as stored.
    PageBuf page(std::size_t k, const PageBuf& old_page, std::uint32_t first_page) const;

  private:
    const TableDef& def_;
    std::vector<std::uint8_t> buffer_;  // the logical definition being patched
    std::size_t length_;                // its length, a writer's padding left out
};

}  // namespace jet
