// jetdump: lists the tables of a Jet 4 database, prints a table's schema and
// exports its rows as CSV or JSON in the engine's canonical text form, or
// lists the entries of its indexes beside the rows they point to.

#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/export.h"
#include "jet/format/index_tree.h"
#include "jet/format/key_encoder.h"
#include "options.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoTable = 1;
constexpr int kExitCannotOpen = 2;
constexpr int kExitDamaged = 3;

const char* const kHelp =
    R"(Usage: jetdump [OPTIONS] FILE

Reads an Access database without changing it: an .mdb of Access 97 (Jet 3) or
Access 2000-2003 (Jet 4.0), or an .accdb of Access 2007, 2010/2013, 2016 or
2019/365 (one encrypted with a password is read with --password). Access 97
text is read in the code page its header names.

Options:
  (no action)        list the user tables, one name per line, in catalog order
  --system           list the system tables too
  --schema TABLE     print the columns, indexes and relations of TABLE
  --csv TABLE        export the rows of TABLE as CSV
  --json TABLE       export the rows of TABLE as JSON
  --entries TABLE    list every entry of every index of TABLE: the row it
                     points to (page:row), its key bytes, that row's values
                     of the index columns, and whether the key is the one
                     computed from them ("ok", "KEY DIFFERS", "no live row",
                     "not computed: ..."); what is wrong with a tree follows
                     its entries
  --password PW      the database password (a database with a password
                     cannot be opened without it; an encrypted .accdb cannot
                     be read without it)
  --help             show this help and exit
  --version          show the version and exit
  --                 what follows is FILE, even if it begins with '-'

Table names are matched without regard to case. System tables can be
exported like any other.

Canonical form of values (CSV and JSON):
  null                CSV: empty field; JSON: null
  Yes/No              CSV: 1 or 0; JSON: true or false
  Byte/Integer/Long   decimal
  Currency            decimal with 4 fractional digits (-12.3400)
  Single/Double       shortest decimal that reads back to the same value
  Date/Time           YYYY-MM-DD HH:MM:SS (seconds rounded)
  Text/Memo           UTF-8
  Binary/OLE          lowercase hexadecimal of the bytes
  Replication ID      {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  Decimal             decimal with the column's scale
CSV: first line = column names; fields with a comma, quote or line break are
quoted, quotes doubled; lines end in LF. JSON: one array of objects, keys =
column names; numbers as JSON numbers, everything else as strings.

Exit status:
  0   success
  1   there is no table of that name
  2   the file cannot be opened or is refused (not a database, Access 97, an
      .accdb of an unknown version or encryption, truncated, wrong or missing
      password)
  3   the database is damaged (the message names the page)
  64  wrong usage (unknown option, missing value, not exactly one FILE)
)";

int exit_code_for(jet::ErrorKind kind) {
    switch (kind) {
        case jet::ErrorKind::damaged:
            return kExitDamaged;
        case jet::ErrorKind::invalid_argument:
            return kExitNoTable;
        default:
            return kExitCannotOpen;
    }
}

std::string flags_text(const jet::Column& c) {
    std::string s;
    auto add = [&](const char* word) {
        if (!s.empty()) {
            s += ", ";
        }
        s += word;
    };
    if (c.is_fixed()) {
        add("fixed");
    } else {
        add("variable");
    }
    if (!(c.flags & jet::kColumnFlagNullable)) {
        add("required");
    }
    if (c.flags & jet::kColumnFlagAutoLong) {
        add("autonumber");
    }
    if (c.flags & jet::kColumnFlagAutoGuid) {
        add("auto GUID");
    }
    if (c.flags & jet::kColumnFlagHyperlink) {
        add("hyperlink");
    }
    if (c.ext_flags & 0x01) {
        add("compressed");
    }
    return s;
}

std::string hex(jet::Bytes b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (const auto c : b) {
        if (!s.empty()) {
            s += ' ';
        }
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

void print_entries(const jet::Database& db, const jet::TableDef& t, std::ostream& out) {
    std::unordered_map<std::uint32_t, std::vector<jet::Value>> rows;
    db.for_each_row(t, [&](const jet::RowRef& r) {
        const std::string what =
            "row " + std::to_string(r.data.row) + " of " + db.where(r.data.page);
        rows.emplace(r.pointer.encode(), jet::decode_row(db.file(), t, r.bytes, what));
    });
    for (const jet::RealIndex& ri : t.real_indexes) {
        out << "index " << ri.ordinal;
        for (const jet::LogicalIndex& x : t.logical_indexes) {
            if (x.real_index == ri.ordinal) {
                out << " \"" << x.name << "\"";
            }
        }
        std::vector<jet::KeyField> fields;
        std::vector<std::size_t> places;
        std::optional<std::string> unsupported;
        out << ":";
        for (const jet::IndexColumn& ic : ri.columns) {
            std::size_t at = t.columns.size();
            for (std::size_t i = 0; i < t.columns.size(); ++i) {
                at = t.columns[i].number == ic.number ? i : at;
            }
            if (at == t.columns.size()) {
                out << " #" << ic.number;
                unsupported = "the table has no column " + std::to_string(ic.number);
                continue;
            }
            out << " " << t.columns[at].name << (ic.ascending() ? "" : " DESC");
            fields.push_back(jet::key_field(t.columns[at], ic, db.header()));
            places.push_back(at);
            if (!unsupported) {
                unsupported = jet::key_unsupported(fields.back());
            }
        }
        out << " (root page " << ri.root_page << ")\n";
        std::vector<std::uint8_t> key;
        std::vector<const jet::Value*> values;
        bool ligature = false;
        jet::IndexTreeOptions o;
        o.owner = t.page;
        const jet::IndexTree tree = jet::walk_index_tree(
            db.file(), ri.root_page, o, [&](const jet::IndexEntry& e, std::uint32_t) {
                out << "  " << e.row.page << ":" << int{e.row.row} << "  " << hex(e.key) << "  ";
                const auto row = rows.find(e.row.encode());
                if (row == rows.end()) {
                    out << "no live row\n";
                    return;
                }
                values.clear();
                for (std::size_t i = 0; i < places.size(); ++i) {
                    const jet::Value& v = row->second[places[i]];
                    values.push_back(&v);
                    out << t.columns[places[i]].name << "="
                        << (jet::is_null(v) ? std::string("null") : jet::format_value(v)) << "  ";
                }
                key.clear();
                if (unsupported) {
                    out << "not computed: " << *unsupported << "\n";
                } else if (const auto why = jet::encode_index_key(
                               fields, values, key, jet::TextPositions::per_element, &ligature)) {
                    out << "not computed: " << *why << "\n";
                } else if (key == std::vector<std::uint8_t>(e.key.begin(), e.key.end())) {
                    out << "ok\n";
                } else if (jet::stored_cut_short(e.key, key)) {
                    out << "ok (cut short after " << jet::kCutKeyPrefix << " bytes)\n";
                } else if (std::vector<std::uint8_t> other;
                           ligature &&
                           !jet::encode_index_key(fields, values, other,
                                                  jet::TextPositions::per_character) &&
                           other == std::vector<std::uint8_t>(e.key.begin(), e.key.end())) {
                    out << "ok (ligatures counted per character)\n";
                } else {
                    out << "KEY DIFFERS, from the row: " << hex(key) << "\n";
                }
            });
        for (const jet::IndexProblem& p : tree.problems) {
            out << "  problem " << p.code << " (page " << p.page << "): " << p.description << "\n";
        }
    }
}

void print_schema(const jet::Database& db, const jet::TableDef& t, std::ostream& out) {
    out << "Table \"" << t.name_hint << "\"\n";
    out << "  definition pages: ";
    for (std::size_t i = 0; i < t.pages.size(); ++i) {
        out << (i ? ", " : "") << t.pages[i];
    }
    out << "\n  type: " << (t.table_type == jet::kTableTypeSystem ? "system" : "user")
        << "\n  row count (stored): " << t.row_count << "\n  autonumber: " << t.autonumber
        << "\n  columns: " << t.columns.size() << " (next column number " << t.max_columns << ")\n";
    for (const jet::Column& c : t.columns) {
        out << "    [" << c.number << "] " << c.name << ": " << jet::column_type_name(c.type);
        if (c.type == static_cast<std::uint8_t>(jet::ColumnType::text) ||
            c.type == static_cast<std::uint8_t>(jet::ColumnType::binary)) {
            out << "(" << c.length << ")";
        } else if (c.type == static_cast<std::uint8_t>(jet::ColumnType::numeric)) {
            out << "(" << int{c.precision()} << "," << int{c.scale()} << ")";
        }
        out << " - " << flags_text(c) << "\n";
    }
    out << "  indexes: " << t.logical_indexes.size() << "\n";
    for (const jet::LogicalIndex& x : t.logical_indexes) {
        out << "    " << x.name << ":";
        if (x.real_index < t.real_indexes.size()) {
            const jet::RealIndex& r = t.real_indexes[x.real_index];
            for (const jet::IndexColumn& ic : r.columns) {
                const jet::Column* c = t.column_by_number(ic.number);
                out << " ";
                if (c != nullptr) {
                    out << c->name;
                } else {
                    out << "#" << ic.number;
                }
                out << (ic.ascending() ? "" : " DESC");
            }
            if (r.unique()) {
                out << " unique";
            }
            if (r.ignore_nulls()) {
                out << " ignore-nulls";
            }
            out << " (root page " << r.root_page << ")";
        }
        if (x.is_primary_key()) {
            out << " primary key";
        }
        if (x.is_foreign_key()) {
            std::string other = "page " + std::to_string(x.rel_table_page);
            for (const jet::CatalogObject& o : db.catalog().objects()) {
                if (o.names_definition() && o.table_page() == x.rel_table_page) {
                    other = "\"" + o.name + "\"";
                }
            }
            out << " relation with " << other
                << (x.rel_table_type == 1 ? " (this side is referenced)" : " (this side refers)");
        }
        out << "\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    static constexpr jettool::OptionRule kOptions[] = {{"--system"},       {"--password", true},
                                                       {"--schema", true}, {"--csv", true},
                                                       {"--json", true},   {"--entries", true}};
    const jettool::ParsedArgs args = jettool::parse_args(kOptions, argc, argv);
    switch (args.outcome) {
        case jettool::ParsedArgs::Outcome::help:
            std::cout << kHelp;
            return kExitOk;
        case jettool::ParsedArgs::Outcome::version:
            std::cout << "jetdump " << TARNWICK_VERSION << "\n";
            return kExitOk;
        case jettool::ParsedArgs::Outcome::usage_error:
            return jettool::usage_error("jetdump", args.error);
        case jettool::ParsedArgs::Outcome::run:
            break;
    }
    std::string action;  // "", "schema", "csv", "json", "entries"
    std::string table;
    for (const auto& [name, value] : args.options) {
        if (name == "--schema" || name == "--csv" || name == "--json" || name == "--entries") {
            if (!action.empty()) {
                return jettool::usage_error(
                    "jetdump", "only one of --schema, --csv, --json and --entries may be given.");
            }
            action = name.substr(2);
            table = value;
        }
    }
    if (args.operands.size() != 1) {
        return jettool::usage_error("jetdump", args.operands.empty()
                                                   ? "no database file given."
                                                   : "only one database file may be given.");
    }
    const std::string& file = args.operands.front();
    const bool system = args.has("--system");
    const std::optional<std::string> password = args.value("--password");
    try {
        const jet::Database db(file, jet::OpenOptions{password, true});
        if (action.empty()) {
            for (const jet::CatalogObject* o : db.catalog().tables(system)) {
                std::cout << o->name << "\n";
            }
            return kExitOk;
        }
        if (db.catalog().find_table(table) == nullptr) {
            std::cerr << "jetdump: there is no table \"" << table << "\" in \"" << file << "\".\n";
            return kExitNoTable;
        }
        const jet::TableDef& t = db.table(table);
        if (action == "schema") {
            print_schema(db, t, std::cout);
        } else if (action == "entries") {
            print_entries(db, t, std::cout);
        } else {
            jet::RowWriter writer(
                std::cout, t,
                action == "csv" ? jet::RowWriter::Format::csv : jet::RowWriter::Format::json);
            writer.begin();
            db.for_each_row(t, [&](const jet::RowRef& r) {
                const std::string what =
                    "row " + std::to_string(r.data.row) + " of " + db.where(r.data.page);
                writer.row(jet::decode_row(db.file(), t, r.bytes, what));
            });
            writer.end();
        }
        std::cout.flush();
        if (!std::cout) {
            std::cerr << "jetdump: writing the output failed.\n";
            return kExitCannotOpen;
        }
        return kExitOk;
    } catch (const jet::Error& e) {
        std::cerr << "jetdump: " << e.what() << "\n";
        return exit_code_for(e.kind());
    } catch (const std::exception& e) {
        std::cerr << "jetdump: " << e.what() << "\n";
        return kExitCannotOpen;
    }
}
