#include "jet/format/catalog.h"

#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/text.h"

namespace jet {

namespace {

bool starts_with_msys(std::string_view name) {
    return name.size() >= 4 && names_equal(name.substr(0, 4), "MSys");
}

std::int64_t as_int(const Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) {
        return *i;
    }
    return 0;
}

}  // namespace

bool CatalogObject::is_system() const {
    return (flags & kObjectFlagSystem) != 0 || starts_with_msys(name);
}

std::vector<const CatalogObject*> Catalog::tables(bool include_system) const {
    std::vector<const CatalogObject*> out;
    for (const CatalogObject& o : objects_) {
        if (o.is_table() && (include_system || !o.is_system())) {
            out.push_back(&o);
        }
    }
    return out;
}

const CatalogObject* Catalog::find_table(std::string_view name) const {
    for (const CatalogObject& o : objects_) {
        if (o.names_definition() && names_equal(o.name, name)) {
            return &o;
        }
    }
    return nullptr;
}

Catalog read_catalog(const Database& db) {
    const TableDef& t = db.table_def(kCatalogPage);
    const Column* id = t.find_column("Id");
    const Column* parent = t.find_column("ParentId");
    const Column* name = t.find_column("Name");
    const Column* type = t.find_column("Type");
    const Column* flags = t.find_column("Flags");
    if (id == nullptr || name == nullptr || type == nullptr) {
        throw Error(ErrorKind::damaged,
                    "The database is damaged: " + db.where(kCatalogPage) +
                        " should hold the catalog (MSysObjects) but lacks its Id, Name or Type "
                        "column. Restore it from a backup.");
    }
    std::vector<CatalogObject> objects;
    db.for_each_row(t, [&](const RowRef& r) {
        const std::string what =
            "catalog row " + std::to_string(r.data.row) + " on " + db.where(r.data.page);
        const RowLayout layout = parse_row_layout(t, r.bytes, what);
        CatalogObject o;
        o.row = r.pointer;
        o.id =
            static_cast<std::int32_t>(as_int(decode_column(db.file(), *id, layout, r.bytes, what)));
        if (parent != nullptr) {
            o.parent_id = static_cast<std::int32_t>(
                as_int(decode_column(db.file(), *parent, layout, r.bytes, what)));
        }
        const Value n = decode_column(db.file(), *name, layout, r.bytes, what);
        if (const auto* s = std::get_if<std::string>(&n)) {
            o.name = *s;
        }
        o.type = static_cast<std::int16_t>(
            as_int(decode_column(db.file(), *type, layout, r.bytes, what)));
        if (flags != nullptr) {
            o.flags = static_cast<std::uint32_t>(
                as_int(decode_column(db.file(), *flags, layout, r.bytes, what)));
        }
        objects.push_back(std::move(o));
    });
    for (CatalogObject& o : objects) {
        o.cached_definition = o.is_linked_table() && o.id > 2 && o.id <= 0x00FFFFFF &&
                              db.holds_table_def(o.table_page());
    }
    return Catalog(std::move(objects));
}

}  // namespace jet
