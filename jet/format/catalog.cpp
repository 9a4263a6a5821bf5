#include "jet/format/catalog.h"

#include "jet/format/error.h"
#include "jet/format/text.h"

namespace jet {

namespace {

bool starts_with_msys(std::string_view name) {
    return name.size() >= 4 && names_equal(name.substr(0, 4), "MSys");
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

bool is_id_column(std::string_view table, std::string_view column) {
    for (const IdColumn& c : kIdColumns) {
        if (names_equal(table, c.table) && names_equal(column, c.column)) {
            return true;
        }
    }
    return false;
}

const CatalogObject* Catalog::find_table(std::string_view name) const {
    for (const CatalogObject& o : objects_) {
        if (o.names_definition() && names_equal(o.name, name)) {
            return &o;
        }
    }
    return nullptr;
}

}  // namespace jet
