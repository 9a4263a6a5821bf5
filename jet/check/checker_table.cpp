// The checker's walk through one table, step by step; the steps live in
// checker_definition.cpp, checker_rows.cpp, checker_long_values.cpp and
// checker_indexes.cpp.
#include "jet/check/checker_table.h"

#include <string>

#include "jet/format/properties.h"

namespace jet::check_detail {

void TableWalk::run() {
    if (!read_definition()) {
        return;
    }
    check_definition();
    if (cx_.options.rows != nullptr) {
        cx_.options.rows->table(tp_, name_, def_, cx_.file);
    }
    walk_maps_and_rows();
    check_long_value_maps();
    check_indexes();
    check_counts();
    ++cx_.report.tables;
}

// ------------------------------------------------------------ counts

void TableWalk::check_counts() {
    cx_.report.rows += live_count();
    if (def_.row_count != live_count()) {
        note("stale-row-count", tp_,
             label() + " records " + std::to_string(def_.row_count) + " rows but holds " +
                 std::to_string(live_count()) + ".");
    }
    if (max_autonumber_ && *max_autonumber_ > static_cast<std::int64_t>(def_.autonumber) &&
        !counter_unused()) {
        error("autonumber-behind", tp_,
              "The autonumber counter of " + label() + " stands at " +
                  std::to_string(def_.autonumber) + " below the highest value in use (" +
                  std::to_string(*max_autonumber_) +
                  "); new rows would get numbers already taken.");
    }
}

bool TableWalk::counter_unused() const {
    bool any = false;
    for (const Column& c : def_.columns) {
        if ((c.flags & kColumnFlagAutoLong) == 0 || c.column_type() == ColumnType::complex) {
            continue;
        }
        if (!takes_random_numbers(cx_.db, tp_, c.name)) {
            return false;
        }
        any = true;
    }
    return any;
}

void check_table(Context& cx, std::uint32_t tdef_page, const std::string& catalog_name) {
    TableWalk(cx, tdef_page, catalog_name).run();
}

}  // namespace jet::check_detail
