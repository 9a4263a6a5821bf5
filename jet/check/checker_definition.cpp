// The table's walk, its first step: the definition, read and checked on its
// own before anything it points to is.
#include <algorithm>
#include <set>
#include <string>

#include "jet/check/checker_table.h"
#include "jet/format/data_page.h"
#include "jet/format/error.h"
#include "jet/format/table_def.h"

namespace jet::check_detail {

// ------------------------------------------------------------ definition

bool TableWalk::read_definition() {
    const PageFile& f = cx_.file;
    if (tp_ == 0 || tp_ >= f.page_count() || f.read(tp_)[0] != kPageTypeTableDef) {
        const std::string what = tp_ >= f.page_count()
                                     ? "lies past the end of the file"
                                     : "holds no table definition (page type " +
                                           std::to_string(tp_ == 0 ? 0 : f.read(tp_)[0]) + ")";
        if (tp_ == 2) {
            error("catalog-page2", tp_, "Page 2 " + what + "; it must define MSysObjects.");
        } else {
            cx_.undefined_tables.emplace(tp_, Context::UndefinedTable{name_, what});
            note("stale-id", tp_,
                 "The catalog lists " + label() + " with Id " + std::to_string(tp_) +
                     ", but that page " + what +
                     "; the row is left over from a table that "
                     "no longer exists.");
        }
        return false;
    }
    try {
        def_ = read_table_def(f, tp_);
    } catch (const Error& e) {
        cx_.claim(tp_, PageRole::table_def, tp_);
        table_lost("tdef-undecodable", tp_,
                   "The definition of " + label() + " does not decode: " + e.what());
        return false;
    }
    def_.name_hint = name_;
    for (const auto p : def_.pages) {
        cx_.claim(p, PageRole::table_def, tp_);
    }
    cx_.tables[tp_] = CheckedTable{name_, def_};
    return true;
}

void TableWalk::check_definition() {
    const Format& format = cx_.file.format();
    const std::size_t page_size = format.page_size;
    const std::size_t header = format.tdef.continuation_header;
    if (format.tdef.magic != kAbsent && def_.magic != kTableDefMagic) {
        table_lost("tdef-magic", tp_,
                   "The definition of " + label() + " carries " + std::to_string(def_.magic) +
                       " at offset 12 where every table definition has 1625.");
    }
    if (def_.zero_padded()) {
        note("tdef-length-padded", tp_,
             "The definition of " + label() + " states a length of " +
                 std::to_string(def_.declared_length) + " bytes but ends after " +
                 std::to_string(def_.end_offset) +
                 ", zeros filling the rest, as some writers leave a table they made without "
                 "columns; it is read to its end, and a compacted copy states its true length.");
    } else if (def_.declared_length != def_.end_offset) {
        table_lost("tdef-length", tp_,
                   "The definition of " + label() + " states a length of " +
                       std::to_string(def_.declared_length) + " bytes but ends after " +
                       std::to_string(def_.end_offset) + ".");
    }
    // Bytes 2-3 of every page: Jet 4 keeps the free space there (page size -
    // used - 8, at least 0), Jet 3 the letters "VC".
    std::size_t remaining = def_.length();
    for (std::size_t k = 0; k < def_.pages.size(); ++k) {
        const std::size_t capacity = k == 0 ? page_size : page_size - header;
        const std::size_t here = std::min(remaining, capacity);
        remaining -= here;
        const std::size_t used = k == 0 ? here : here + header;
        const std::size_t want = format.tdef.free_space_at_2
                                     ? (used + 8 >= page_size ? 0 : page_size - used - 8)
                                     : kTableDefJet3Mark;
        const std::uint16_t stored = le16(cx_.file.read(def_.pages[k]), 2);
        if (stored != want && !format.tdef.free_space_at_2) {
            error("tdef-free-space", def_.pages[k],
                  "The definition of " + label() + " (part " + std::to_string(k + 1) + " of " +
                      std::to_string(def_.pages.size()) + ", page " +
                      std::to_string(def_.pages[k]) +
                      ") lacks the letters \"VC\" every Access 97 table definition page "
                      "carries at offset 2.");
        } else if (stored != want) {
            error("tdef-free-space", def_.pages[k],
                  "The definition of " + label() + " (part " + std::to_string(k + 1) + " of " +
                      std::to_string(def_.pages.size()) + ", page " +
                      std::to_string(def_.pages[k]) + ") states " + std::to_string(stored) +
                      " free bytes; its contents leave " + std::to_string(want) + ".");
        }
    }
    std::set<std::uint16_t> numbers, var_indexes;
    for (const auto& c : def_.columns) {
        if (!numbers.insert(c.number).second || c.number >= def_.max_columns) {
            table_lost("tdef-columns", tp_,
                       "Column \"" + c.name + "\" of " + label() + " has number " +
                           std::to_string(c.number) +
                           ", which is used twice or not below the "
                           "table's column counter (" +
                           std::to_string(def_.max_columns) + ").");
        }
        if (!c.is_fixed() && !var_indexes.insert(c.var_index).second) {
            table_lost("tdef-columns", tp_,
                       "Column \"" + c.name + "\" of " + label() + " shares variable slot " +
                           std::to_string(c.var_index) + " with another column.");
        }
        // Jet finds a long value through its row; the maps only tell where
        // new ones may go. Older writers left them out of the tables they
        // made, and Access reads those tables all the same. A compacted copy
        // keeps them so (its definition is compared with the source's).
        if (!cx_.options.strict && c.is_long_value() &&
            def_.long_value_maps_for(c.number) == nullptr) {
            note("tdef-lv-maps", tp_,
                 "The memo/OLE column \"" + c.name + "\" of " + label() +
                     " has no usage maps for its long values, as some writers leave a table; "
                     "its values are read through its rows, and a compacted copy keeps the "
                     "definition as it is.");
        }
    }
    for (const auto& ri : def_.real_indexes) {
        for (const auto& ic : ri.columns) {
            if (def_.column_by_number(ic.number) == nullptr) {
                table_lost("tdef-index-column", tp_,
                           "Index " + std::to_string(ri.ordinal) + " of " + label() +
                               " is built on column number " + std::to_string(ic.number) +
                               ", which the table does not have.");
            }
        }
    }
    for (const auto& li : def_.logical_indexes) {
        if (li.real_index >= def_.real_indexes.size()) {
            table_lost("tdef-logical-index", tp_,
                       "Index \"" + li.name + "\" of " + label() + " uses real index " +
                           std::to_string(li.real_index) + ", but the table has only " +
                           std::to_string(def_.real_indexes.size()) + ".");
        }
    }
}

}  // namespace jet::check_detail
