#include "jet/format/properties.h"

#include <cstring>

#include "jet/format/catalog.h"
#include "jet/format/data_page.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/row.h"
#include "jet/format/table_def.h"

namespace jet {

namespace {

constexpr std::uint16_t kBlockNames = 0x80;
constexpr std::uint16_t kBlockObjectValues = 0x00;
constexpr std::uint16_t kBlockColumnValues = 0x01;
constexpr std::size_t kBlockHead = 6;   // u32 length, u16 kind
constexpr std::size_t kRecordHead = 8;  // u16 length, flag, type, u16 name, u16 size

[[noreturn]] void damaged(const std::string& what, const std::string& text) {
    throw Error(ErrorKind::damaged, "The properties in " + what + " do not decode: " + text);
}

// The `length` bytes of `b` from `at`, which must lie inside it.
Bytes part(Bytes b, std::size_t at, std::size_t length, const std::string& what,
           const char* whose) {
    if (at > b.size() || length > b.size() - at) {
        damaged(what, std::string(whose) + " at byte " + std::to_string(at) + " runs " +
                          std::to_string(length) + " bytes, past the end of its container (" +
                          std::to_string(b.size()) + " bytes).");
    }
    return b.subspan(at, length);
}

// A name: u16 byte length, then the text.
std::string read_name(Bytes b, std::size_t at, const TextCodec& text, const std::string& what,
                      std::size_t* next) {
    const std::uint16_t n = le16(part(b, at, 2, what, "A name's length"), 0);
    *next = at + 2 + n;
    return text.name(part(b, at + 2, n, what, "A name"));
}

}  // namespace

ObjectProperties ObjectProperties::parse(Bytes blob, const TextCodec& text,
                                         const std::string& what) {
    const Bytes magic = part(blob, 0, 4, what, "The magic");
    if (std::memcmp(magic.data(), "MR2\0", 4) != 0 && std::memcmp(magic.data(), "KKD\0", 4) != 0) {
        damaged(what, "they start with neither format's magic.");
    }
    ObjectProperties out;
    std::vector<std::string> pool;
    std::size_t at = 4;
    while (at < blob.size()) {
        const Bytes head = part(blob, at, kBlockHead, what, "A block's head");
        const std::uint32_t length = le32(head, 0);
        const std::uint16_t kind = le16(head, 4);
        if (length < kBlockHead) {
            damaged(what, "the block at byte " + std::to_string(at) + " is " +
                              std::to_string(length) + " bytes long, shorter than its head.");
        }
        const Bytes body = part(blob, at + kBlockHead, length - kBlockHead, what, "A block");
        at += length;
        if (kind == kBlockNames) {
            for (std::size_t p = 0; p < body.size();) {
                pool.push_back(read_name(body, p, text, what, &p));
            }
        } else if (kind == kBlockObjectValues || kind == kBlockColumnValues) {
            const std::uint32_t name_part = le32(part(body, 0, 4, what, "A set's name"), 0);
            if (name_part < 4) {
                damaged(what, "a set's name part is " + std::to_string(name_part) +
                                  " bytes long, shorter than its length.");
            }
            PropertySet set;
            if (name_part > 4) {
                std::size_t end = 0;
                set.name =
                    read_name(part(body, 0, name_part, what, "A set's name"), 4, text, what, &end);
            }
            for (std::size_t p = name_part; p < body.size();) {
                const Bytes rh = part(body, p, kRecordHead, what, "A property's head");
                const std::uint16_t record = le16(rh, 0);
                const std::uint16_t name = le16(rh, 4);
                const std::uint16_t size = le16(rh, 6);
                if (record < kRecordHead || size > record - kRecordHead) {
                    damaged(what, "the property at byte " + std::to_string(p) + " of set \"" +
                                      set.name + "\" is " + std::to_string(record) +
                                      " bytes long, too short for its head and its " +
                                      std::to_string(size) + "-byte value.");
                }
                if (name >= pool.size()) {
                    damaged(what, "a property of set \"" + set.name + "\" names entry " +
                                      std::to_string(name) + " of a pool of " +
                                      std::to_string(pool.size()) + " names.");
                }
                const Bytes value = part(body, p + kRecordHead, size, what, "A property's value");
                Property prop{pool[name], rh[3], {value.begin(), value.end()}, std::nullopt};
                if (prop.type == static_cast<std::uint8_t>(ColumnType::text) ||
                    prop.type == static_cast<std::uint8_t>(ColumnType::memo)) {
                    prop.text = text.text(value);
                }
                set.properties.push_back(std::move(prop));
                p += record;
            }
            out.sets_.push_back(std::move(set));
        }
    }
    return out;
}

std::optional<std::string> ObjectProperties::text(std::string_view set,
                                                  std::string_view property) const {
    for (const PropertySet& s : sets_) {
        if (!names_equal(s.name, set)) {
            continue;
        }
        for (const Property& p : s.properties) {
            if (names_equal(p.name, property)) {
                return p.text;
            }
        }
    }
    return std::nullopt;
}

ObjectProperties read_properties(const Database& db, const CatalogObject& object) {
    const TableDef& catalog = db.table_def(kCatalogPage);
    const Column* column = catalog.find_column("LvProp");
    if (column == nullptr) {
        return {};
    }
    const std::string what = "the catalog row of \"" + object.name + "\" (row " +
                             std::to_string(object.data.row) + " on " + db.where(object.data.page) +
                             ")";
    const std::vector<std::uint8_t> row = read_row(db.file(), object.data, what);
    const RowLayout layout = parse_row_layout(catalog, row, what);
    const Value value = decode_column(db.file(), *column, layout, row, what);
    const auto* blob = std::get_if<Binary>(&value);
    if (blob == nullptr || blob->bytes.empty()) {
        return {};
    }
    return ObjectProperties::parse(blob->bytes, db.file().text(), what);
}

bool takes_random_numbers(const Database& db, std::uint32_t tdef_page, std::string_view column) {
    for (const CatalogObject& o : db.catalog().objects()) {
        if (!o.names_definition() || o.table_page() != tdef_page) {
            continue;
        }
        try {
            std::optional<std::string> value = read_properties(db, o).text(column, "DefaultValue");
            if (!value) {
                return false;
            }
            const auto blank = [](char c) {
                return c == ' ' || c == '\t' || c == '\r' || c == '\n';
            };
            std::string_view v = *value;
            while (!v.empty() && blank(v.front())) {
                v.remove_prefix(1);
            }
            while (!v.empty() && blank(v.back())) {
                v.remove_suffix(1);
            }
            return names_equal(v, "GenUniqueID()");
        } catch (const Error&) {
            return false;
        }
    }
    return false;
}

}  // namespace jet
