#include "jet/verify.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <type_traits>
#include <variant>
#include <vector>

#include "jet/checker.h"
#include "jet/database.h"
#include "jet/error.h"
#include "jet/row.h"
#include "jet/table_def.h"

namespace jet {

namespace {

// A 128-bit digest of a row's decoded values: two independent 64-bit
// multiply-xorshift streams over a canonical byte form.
class RowDigest {
  public:
    void bytes(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        for (std::size_t i = 0; i < n; ++i) {
            a_ = (a_ ^ p[i]) * 0x100000001B3ull;
            b_ = (b_ + p[i] + 1) * 0x9E3779B97F4A7C15ull;
            b_ ^= b_ >> 29;
        }
    }
    template <typename T>
    void pod(const T& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(&v, sizeof v);
    }
    std::array<std::uint64_t, 2> value() const { return {a_, b_}; }

  private:
    std::uint64_t a_ = 0xCBF29CE484222325ull;
    std::uint64_t b_ = 0x84222325CBF29CE4ull;
};

void digest_value(RowDigest& d, const Value& v) {
    const auto tag = static_cast<std::uint8_t>(v.index());
    d.pod(tag);
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
            } else if constexpr (std::is_same_v<T, bool>) {
                d.pod(static_cast<std::uint8_t>(x));
            } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, float> ||
                                 std::is_same_v<T, double>) {
                d.pod(x);
            } else if constexpr (std::is_same_v<T, Money>) {
                d.pod(x.units);
            } else if constexpr (std::is_same_v<T, DateTime>) {
                d.pod(x.days);
            } else if constexpr (std::is_same_v<T, std::string>) {
                d.pod(x.size());
                d.bytes(x.data(), x.size());
            } else if constexpr (std::is_same_v<T, Binary>) {
                d.pod(x.bytes.size());
                d.bytes(x.bytes.data(), x.bytes.size());
            } else if constexpr (std::is_same_v<T, Guid>) {
                d.bytes(x.bytes.data(), x.bytes.size());
            } else if constexpr (std::is_same_v<T, Decimal>) {
                d.pod(static_cast<std::uint8_t>(x.negative));
                d.pod(x.precision);
                d.pod(x.scale);
                d.bytes(x.magnitude.data(), sizeof x.magnitude);
            }
        },
        v);
}

[[noreturn]] void fail(const std::string& destination, const std::string& what) {
    throw Error(ErrorKind::verification_failed,
                "The compacted copy for \"" + destination + "\" did not verify: " + what +
                    " The copy was discarded and nothing was replaced; the source is unchanged.");
}

using Digests = std::vector<std::array<std::uint64_t, 2>>;

Digests row_digests(const Database& db, const TableDef& def, const std::string& table,
                    const IdRemap* ids) {
    std::vector<bool> id_col;
    for (const auto& c : def.columns) {
        id_col.push_back(ids != nullptr && is_id_column(table, c.name));
    }
    Digests out;
    db.for_each_row(def, [&](const RowRef& r) {
        const auto values =
            decode_row(db.file(), def, r.bytes,
                       "a row of table \"" + table + "\" (" + db.where(r.pointer.page) + ")");
        RowDigest d;
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (id_col[i] && std::holds_alternative<std::int64_t>(values[i])) {
                digest_value(d, Value(ids->apply(std::get<std::int64_t>(values[i]))));
            } else {
                digest_value(d, values[i]);
            }
        }
        out.push_back(d.value());
    });
    std::sort(out.begin(), out.end());
    return out;
}

void compare_definitions(const TableDef& a, const TableDef& b, const std::string& table,
                         const IdRemap& ids, const std::string& destination) {
    auto differ = [&](const std::string& what) {
        fail(destination, "the definition of table \"" + table + "\" differs (" + what + ").");
    };
    if (a.autonumber != b.autonumber || a.table_type != b.table_type ||
        a.max_columns != b.max_columns || a.var_column_count != b.var_column_count ||
        a.column_count != b.column_count) {
        differ("counters or column counts");
    }
    if (a.columns.size() != b.columns.size()) {
        differ("number of columns");
    }
    for (std::size_t i = 0; i < a.columns.size(); ++i) {
        const Column& x = a.columns[i];
        const Column& y = b.columns[i];
        if (x.type != y.type || x.number != y.number || x.var_index != y.var_index ||
            x.unknown_index != y.unknown_index || x.misc != y.misc || x.misc_ext != y.misc_ext ||
            x.flags != y.flags || x.ext_flags != y.ext_flags || x.fixed_offset != y.fixed_offset ||
            x.length != y.length || x.name != y.name) {
            differ("column \"" + x.name + "\"");
        }
    }
    if (a.real_indexes.size() != b.real_indexes.size() ||
        a.logical_indexes.size() != b.logical_indexes.size() ||
        a.long_value_maps.size() != b.long_value_maps.size()) {
        differ("number of indexes");
    }
    for (std::size_t i = 0; i < a.real_indexes.size(); ++i) {
        const RealIndex& x = a.real_indexes[i];
        const RealIndex& y = b.real_indexes[i];
        bool same = x.flags == y.flags && x.unknown_42 == y.unknown_42 &&
                    x.columns.size() == y.columns.size() && x.stats.c == y.stats.c;
        for (std::size_t k = 0; same && k < x.columns.size(); ++k) {
            same = x.columns[k].number == y.columns[k].number &&
                   x.columns[k].order == y.columns[k].order;
        }
        if (!same) {
            differ("index " + std::to_string(i));
        }
    }
    for (std::size_t i = 0; i < a.logical_indexes.size(); ++i) {
        const LogicalIndex& x = a.logical_indexes[i];
        const LogicalIndex& y = b.logical_indexes[i];
        auto it = ids.tables.find(x.rel_table_page);
        const std::uint32_t rel =
            (x.rel_table_page != 0 && it != ids.tables.end()) ? it->second : x.rel_table_page;
        if (x.number != y.number || x.real_index != y.real_index ||
            x.rel_table_type != y.rel_table_type || x.rel_index != y.rel_index ||
            rel != y.rel_table_page || x.cascade_updates != y.cascade_updates ||
            x.cascade_deletes != y.cascade_deletes || x.type != y.type || x.name != y.name) {
            differ("index \"" + x.name + "\"");
        }
    }
    for (std::size_t i = 0; i < a.long_value_maps.size(); ++i) {
        if (a.long_value_maps[i].column != b.long_value_maps[i].column ||
            (a.long_value_maps[i].owned.page == 0) != (b.long_value_maps[i].owned.page == 0) ||
            (a.long_value_maps[i].free.page == 0) != (b.long_value_maps[i].free.page == 0)) {
            differ("long-value maps");
        }
    }
}

}  // namespace

void verify_compacted(const Database& source, const Database& output, const IdRemap& ids,
                      bool stale_ids_allowed, const std::string& destination) {
    CheckOptions strict;
    strict.strict = true;
    const CheckReport report = check(output, strict);
    for (const auto& f : report.findings) {
        // The strict check counts them as errors; they are the source's own data.
        if (stale_ids_allowed && f.code == "stale-id") {
            continue;
        }
        fail(destination, "the structural check reported " + f.code + ": " + f.description);
    }
    if (source.header().code_page != output.header().code_page ||
        source.header().sort_order.lcid != output.header().sort_order.lcid ||
        source.header().sort_order.version != output.header().sort_order.version ||
        source.header().creation_date != output.header().creation_date ||
        source.header().encoding_key != output.header().encoding_key) {
        fail(destination, "the database header differs.");
    }
    std::size_t source_tables = 0;
    for (const auto& obj : source.catalog().objects()) {
        source_tables += obj.is_table() && ids.tables.count(obj.table_page()) != 0;
    }
    std::size_t output_tables = 0;
    std::set<std::uint32_t> new_pages;
    for (const auto& [from, to] : ids.tables) {
        new_pages.insert(to);
    }
    for (const auto& obj : output.catalog().objects()) {
        output_tables += obj.is_table() && new_pages.count(obj.table_page()) != 0;
    }
    if (source_tables != output_tables) {
        fail(destination, "the catalog lists " + std::to_string(output_tables) +
                              " tables instead of " + std::to_string(source_tables) + ".");
    }
    for (const auto& [from, to] : ids.tables) {
        const TableDef& a = source.table_def(from);
        const TableDef& b = output.table_def(to);
        std::string name = "MSysObjects";
        for (const auto& obj : source.catalog().objects()) {
            if (obj.is_table() && obj.table_page() == from) {
                name = obj.name;
            }
        }
        compare_definitions(a, b, name, ids, destination);
        const Digests x = row_digests(source, a, name, &ids);
        const Digests y = row_digests(output, b, name, nullptr);
        if (x.size() != y.size()) {
            fail(destination, "table \"" + name + "\" has " + std::to_string(y.size()) +
                                  " rows instead of " + std::to_string(x.size()) + ".");
        }
        if (x != y) {
            fail(destination, "the rows of table \"" + name + "\" differ.");
        }
    }
}

}  // namespace jet
