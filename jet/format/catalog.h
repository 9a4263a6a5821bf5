#pragma once
// The catalog: MSysObjects, whose table definition is on page 2.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jet/format/bytes.h"

namespace jet {

inline constexpr std::uint32_t kCatalogPage = 2;
inline constexpr std::int16_t kObjectTypeTable = 1;
inline constexpr std::int16_t kObjectTypeLinkedOdbc = 4;  // a table linked through ODBC
inline constexpr std::int16_t kObjectTypeLinked = 6;      // a table linked from another database
// Catalog flags that mark a system object (as Access hides them).
inline constexpr std::uint32_t kObjectFlagSystem = 0x80000002u;

// A column of a system table that holds object Ids (MSysObjects.Id): the
// copy moves table definitions, so it rewrites all of these. `checked`: the
// checker notes values that name nothing in the catalog; the navigation
// pane's groups hold 0 for "no object" and Ids of objects long deleted as a
// matter of course, so they are not noted. Matched without regard to case.
struct IdColumn {
    std::string_view table;
    std::string_view column;
    bool checked;
};
inline constexpr IdColumn kIdColumns[] = {
    {"MSysObjects", "Id", false},  // the Ids the others are checked against
    {"MSysACEs", "ObjectId", true},
    {"MSysNavPaneObjectIDs", "Id", true},
    {"MSysNavPaneGroupToObjects", "ObjectID", true},
    {"MSysNavPaneGroups", "ObjectID", false},
    {"MSysNavPaneGroupCategories", "SelectedObjectID", false},
    // ACE: the tables a complex column ties together.
    {"MSysComplexColumns", "ConceptualTableID", true},
    {"MSysComplexColumns", "FlatTableID", true},
    {"MSysComplexColumns", "ComplexTypeObjectID", true},
};
// True for the columns that hold table Ids.
bool is_id_column(std::string_view table, std::string_view column);

struct CatalogObject {
    std::int32_t id = 0;
    std::int32_t parent_id = 0;
    std::string name;
    std::int16_t type = 0;
    std::uint32_t flags = 0;
    RowPointer row;   // where the object's catalog row is (its header slot)
    RowPointer data;  // where its bytes are (the overflow target, or row)
    // A linked table whose Id names a table definition of its own: an ODBC
    // link keeps the remote table's columns and indexes in one, which Access
    // shows. Set when the catalog is read.
    bool cached_definition = false;

    bool is_table() const { return type == kObjectTypeTable; }
    bool is_linked_table() const {
        return type == kObjectTypeLinkedOdbc || type == kObjectTypeLinked;
    }
    // A local table, or a linked one with a definition: its Id is the page
    // of a table definition that is copied, checked and moved like a local
    // table's.
    bool names_definition() const { return is_table() || cached_definition; }
    // A table Access hides: a system flag, or a name starting "MSys".
    bool is_system() const;
    // For tables: the page of the table definition.
    std::uint32_t table_page() const { return static_cast<std::uint32_t>(id) & 0x00FFFFFFu; }
};

class Catalog {
  public:
    Catalog() = default;
    explicit Catalog(std::vector<CatalogObject> objects) : objects_(std::move(objects)) {}
    const std::vector<CatalogObject>& objects() const { return objects_; }
    // Local tables (type 1), in catalog order; system tables only on request.
    std::vector<const CatalogObject*> tables(bool include_system) const;
    // Case-insensitive lookup of a table with a definition (local, or
    // linked with one of its own).
    const CatalogObject* find_table(std::string_view name) const;

  private:
    std::vector<CatalogObject> objects_;
};

}  // namespace jet
