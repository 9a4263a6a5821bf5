#pragma once
// The properties Access keeps of an object beside its definition, in the
// catalog's LvProp column: captions, formats, default values, validation
// rules, column widths ...
//
// A blob starts with four bytes of magic, "MR2\0" (Jet 4, ACE) or "KKD\0"
// (Jet 3), then holds blocks, each headed by its length (u32, the head
// counted) and its kind (u16):
//   0x80        the pool of property names: each a u16 byte length and text;
//   0x00, 0x01  one set of values: a name part (u32 length, itself counted;
//               then a u16 byte length and the name, empty for the object's
//               own set, a column's name for a column's), then records, each
//               u16 length (itself counted), a flag byte, the value's column
//               type, u16 index into the name pool, u16 value size, the value.
// Other kinds are skipped. Text (names and text values) is stored as the
// format stores text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/text.h"

namespace jet {

class Database;
struct CatalogObject;

struct Property {
    std::string name;
    std::uint8_t type = 0;  // a ColumnType value
    std::vector<std::uint8_t> value;
    std::optional<std::string> text;  // the value, decoded, for Text and Memo
};

struct PropertySet {
    std::string name;  // empty: the object's own; otherwise a column's name
    std::vector<Property> properties;
};

class ObjectProperties {
  public:
    ObjectProperties() = default;
    // Reads a blob. Throws Error(damaged) naming `what` when a block or a
    // record runs past its container, a record names no pooled name, or the
    // magic is neither format's.
    static ObjectProperties parse(Bytes blob, const TextCodec& text, const std::string& what);

    const std::vector<PropertySet>& sets() const { return sets_; }
    // The value of text property `property` of the set `set` ("" for the
    // object's own), both matched as Jet matches names; nullopt when the
    // set lacks it or it is not text.
    std::optional<std::string> text(std::string_view set, std::string_view property) const;

  private:
    std::vector<PropertySet> sets_;
};

// The properties of the catalog object `object`, from its catalog row: an
// empty set when the row holds none. Throws Error(damaged) when the row or
// the blob does not decode.
ObjectProperties read_properties(const Database& db, const CatalogObject& object);

// Whether the autonumber column `column` of the table whose definition is
// on `tdef_page` takes random values (its default value GenUniqueID(), as
// Access sets it for New Values: Random): the table's counter then numbers
// nothing. False when the properties do not say so, or do not decode (the
// check of the catalog reports that damage).
bool takes_random_numbers(const Database& db, std::uint32_t tdef_page, std::string_view column);

}  // namespace jet
