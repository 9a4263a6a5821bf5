// Every table of every Jet 4 corpus file, system tables included, read by
// this engine and by two independent readers: Debian's mdbtools (mdb-export)
// and npm's mdb-reader (scripts/oracle/dump.mjs); and every table of every
// Access 97 file of the corpus and the sweep, read by mdbtools. The rows must
// be equal.
//
// Normalisation before comparing (everything else compares exactly):
//  - rows are compared as multisets (each reader has its own row order);
//    columns are matched by name;
//  - Currency and Decimal: decimal text without trailing fractional zeros;
//  - binary, OLE: lowercase hex; Replication ID: lowercase hex digits only
//    (no braces, no dashes);
//  - mdb-reader: Single/Double compared as the same double (exact);
//    Date/Time compared as milliseconds since 1970 under mdb-reader's own
//    rounding (round half up of (days - 25569) * 86400 * 1000);
//  - mdbtools (mdb-export -T "%Y-%m-%d %H:%M:%S" -b hex, CSV): Single to 6
//    and Double to 15 significant digits (it prints no more); Date/Time
//    against our canonical text, except dates before 1900-01-01, which it
//    often prints as "1900-01-00 00:00:00" (compared through mdb-reader
//    only); Text/Memo up to the first NUL character and Binary (not OLE) up
//    to the first zero byte, where mdbtools stops printing; an empty
//    Text/Memo/Binary reads as null (mdbtools prints both alike); a Replication ID is printed as
//    the hex of its braced text with one dash missing, so it is decoded first;
//  - the list of user tables must equal mdb-tables' and mdb-reader's;
//  - page 0: the password and the creation date must equal mdb-reader's;
//  - blind spots of the oracles (see the format notes): mdbtools prints a
//    type 0x11 column empty (with a message on stderr) - that column is left
//    out and that message is allowed; mdb-reader refuses any table with a
//    type 0x11 column - such tables are compared through mdbtools only.
//    Any other stderr output or refusal is a failure.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "jet/format/data_page.h"
#include "jet/format/database.h"
#include "jet/format/export.h"
#include "run_process.h"
#include "testsupport/corpus.h"

namespace {

using jet::Value;

std::string strip_decimal(std::string s) {
    if (s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0') {
            s.pop_back();
        }
        if (!s.empty() && s.back() == '.') {
            s.pop_back();
        }
    }
    if (s == "-0") {
        s = "0";
    }
    return s;
}

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

std::string guid_norm(std::string s) {
    s = lower(s);
    s.erase(
        std::remove_if(s.begin(), s.end(), [](char c) { return c == '{' || c == '}' || c == '-'; }),
        s.end());
    return s;
}

std::string fmt(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

long long js_millis(double days) {
    // mdb-reader: Math.round((td - 25569) * 86400 * 1000)
    return static_cast<long long>(std::floor((days - 25569) * 86400 * 1000 + 0.5));
}

enum class Oracle { mdbtools, mdb_reader };

// mdbtools prints every date before 1900-01-01 (day 2) as "1900-01-00
// 00:00:00"; such dates are compared through mdb-reader only.
const std::string kBefore1900 = "(before 1900)";

// A text exactly as mdbtools prints it: up to the first NUL character.
std::string until_nul(const std::string& s) {
    return s.substr(0, s.find('\0'));
}

// Our value in the form it is compared in.
std::string ours(const Value& v, const jet::Column& column, Oracle o) {
    if (jet::is_null(v)) {
        return "\\N";
    }
    if (const auto* f = std::get_if<float>(&v)) {
        return o == Oracle::mdbtools ? fmt("%.6g", static_cast<double>(*f))
                                     : fmt("%.17g", static_cast<double>(*f));
    }
    if (const auto* d = std::get_if<double>(&v)) {
        return o == Oracle::mdbtools ? fmt("%.15g", *d) : fmt("%.17g", *d);
    }
    if (const auto* t = std::get_if<jet::DateTime>(&v)) {
        if (o == Oracle::mdbtools && t->days < 2.0) {
            return kBefore1900;
        }
        return o == Oracle::mdbtools ? jet::format_date(t->days)
                                     : std::to_string(js_millis(t->days));
    }
    if (std::holds_alternative<jet::Money>(v) || std::holds_alternative<jet::Decimal>(v)) {
        return strip_decimal(jet::format_value(v));
    }
    if (std::holds_alternative<jet::Guid>(v)) {
        return guid_norm(jet::format_value(v));
    }
    if (o == Oracle::mdbtools) {
        const auto* b = std::get_if<jet::Binary>(&v);
        if (b != nullptr && column.type == static_cast<std::uint8_t>(jet::ColumnType::binary)) {
            // mdbtools stops binary (not OLE) data at the first zero byte; when nothing
            // is left it prints an empty field, which reads as null.
            const auto end = std::find(b->bytes.begin(), b->bytes.end(), std::uint8_t{0});
            if (end == b->bytes.begin()) {
                return "\\N";
            }
            return jet::format_value(jet::Binary{std::vector<std::uint8_t>(b->bytes.begin(), end)});
        }
        if (const auto* s = std::get_if<std::string>(&v)) {
            const std::string printed = until_nul(*s);
            return printed.empty() ? "\\N" : printed;
        }
    }
    return jet::format_value(v);
}

struct CsvField {
    std::string text;
    bool quoted = false;
};

// mdb-export's CSV: fields separated by commas, records by LF; text-like
// fields in double quotes with quotes doubled; an unquoted empty field is null.
std::vector<std::vector<CsvField>> parse_csv(const std::string& s) {
    std::vector<std::vector<CsvField>> records;
    std::vector<CsvField> record;
    CsvField field;
    std::size_t i = 0;
    bool at_field_start = true;
    while (i < s.size()) {
        const char c = s[i];
        if (at_field_start && c == '"') {
            field.quoted = true;
            ++i;
            while (i < s.size()) {
                if (s[i] == '"') {
                    if (i + 1 < s.size() && s[i + 1] == '"') {
                        field.text.push_back('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field.text.push_back(s[i++]);
            }
            at_field_start = false;
            continue;
        }
        if (c == ',') {
            record.push_back(std::move(field));
            field = CsvField{};
            at_field_start = true;
        } else if (c == '\n') {
            record.push_back(std::move(field));
            field = CsvField{};
            records.push_back(std::move(record));
            record.clear();
            at_field_start = true;
        } else {
            field.text.push_back(c);
            at_field_start = false;
        }
        ++i;
    }
    if (!at_field_start || !record.empty()) {
        record.push_back(std::move(field));
        records.push_back(std::move(record));
    }
    return records;
}

std::string from_hex_text(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// mdbtools' text for a column, in the form it is compared in.
std::string theirs(const CsvField& cell, const jet::Column& column) {
    if (!cell.quoted && cell.text.empty()) {
        return "\\N";
    }
    const std::string& text = cell.text;
    switch (static_cast<jet::ColumnType>(column.type)) {
        case jet::ColumnType::single:
            return fmt("%.6g", std::strtod(text.c_str(), nullptr));
        case jet::ColumnType::double_:
            return fmt("%.15g", std::strtod(text.c_str(), nullptr));
        case jet::ColumnType::money:
        case jet::ColumnType::numeric:
            return strip_decimal(text);
        case jet::ColumnType::datetime:
            return text < "1900-01-01" ? kBefore1900 : text;
        case jet::ColumnType::text:
        case jet::ColumnType::memo:
            return text.empty() ? "\\N" : text;
        case jet::ColumnType::binary:
        case jet::ColumnType::ole:
            return text.empty() ? "\\N" : lower(text);
        case jet::ColumnType::guid:
            // Printed as the hex of its braced text under -b hex.
            return guid_norm(text.size() >= 72 && text.compare(0, 2, "7B") == 0
                                 ? until_nul(from_hex_text(text))
                                 : text);
        default:
            return text;
    }
}

struct OurTable {
    const jet::TableDef* def = nullptr;
    std::vector<std::vector<Value>> rows;
};

std::string join(const std::vector<std::string>& fields) {
    std::string s;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        s += (i ? " | " : "") + fields[i];
    }
    return s;
}

// Compares two multisets of rows; reports up to a few differences.
void expect_same_rows(std::vector<std::string> a, std::vector<std::string> b,
                      const std::string& what) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    if (a == b) {
        return;
    }
    std::vector<std::string> only_a;
    std::vector<std::string> only_b;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(only_a));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(only_b));
    std::ostringstream msg;
    msg << what << ": " << a.size() << " rows here, " << b.size() << " in the oracle\n";
    for (std::size_t i = 0; i < std::min<std::size_t>(3, only_a.size()); ++i) {
        msg << "  only here:   " << only_a[i].substr(0, 400) << "\n";
    }
    for (std::size_t i = 0; i < std::min<std::size_t>(3, only_b.size()); ++i) {
        msg << "  only oracle: " << only_b[i].substr(0, 400) << "\n";
    }
    ADD_FAILURE() << msg.str();
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = s.find(sep, start);
        out.push_back(s.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            return out;
        }
        start = end + 1;
    }
}

std::map<std::string, OurTable> read_ours(const jet::Database& db) {
    std::map<std::string, OurTable> tables;
    for (const jet::CatalogObject* o : db.catalog().tables(true)) {
        const std::uint32_t page = o->table_page();
        if (page >= db.page_count() || db.read_page(page)[0] != jet::kPageTypeTableDef) {
            continue;  // a stale catalog entry: no table behind it
        }
        OurTable t;
        t.def = &db.table_def(page);
        t.rows = db.read_rows(*t.def);
        tables.emplace(o->name, std::move(t));
    }
    return tables;
}

std::set<std::string> user_table_names(const jet::Database& db) {
    std::set<std::string> names;
    for (const jet::CatalogObject* o : db.catalog().tables(false)) {
        names.insert(o->name);
    }
    return names;
}

bool has_fixed_binary(const jet::TableDef& t) {
    return std::any_of(t.columns.begin(), t.columns.end(), [](const jet::Column& c) {
        return c.type == static_cast<std::uint8_t>(jet::ColumnType::fixed_binary);
    });
}

class OracleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        files_ = testsupport::corpus_files("jet4");
        if (files_.empty()) {
            GTEST_SKIP() << "corpus not available";
        }
    }
    std::vector<testsupport::CorpusFile> files_;
};

// Compares every table of `files` with mdb-export's rows; counts the tables
// compared. Jet 3 text is in a code page: mdbtools prints a byte
// the code page leaves undefined as "?", where this engine gives U+FFFD.
void compare_with_mdb_export(const std::vector<testsupport::CorpusFile>& files, int& compared) {
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        const jet::Database db(
            f.path,
            jet::OpenOptions{f.password.empty() ? std::nullopt : std::optional(f.password), true});
        // The same user tables (mdb-tables lists no system tables).
        const auto listed = jettest::run_process({"mdb-tables", "-1", f.path.string()});
        EXPECT_EQ(listed.exit_code, 0) << listed.err;
        std::set<std::string> their_user_tables;
        for (const std::string& line : split(listed.out, '\n')) {
            if (!line.empty()) {
                their_user_tables.insert(line);
            }
        }
        EXPECT_EQ(user_table_names(db), their_user_tables);
        for (const auto& [name, t] : read_ours(db)) {
            SCOPED_TRACE(name);
            const auto r = jettest::run_process(
                {"mdb-export", "-T", "%Y-%m-%d %H:%M:%S", "-b", "hex", f.path.string(), name});
            ASSERT_EQ(r.exit_code, 0) << r.err;
            for (const std::string& line : split(r.err, '\n')) {
                EXPECT_TRUE(line.empty() ||
                            line.find("unsupported data type 17") != std::string::npos)
                    << "mdb-export: " << line;
            }
            const std::vector<std::vector<CsvField>> records = parse_csv(r.out);
            ASSERT_FALSE(records.empty()) << "no header line";
            std::vector<std::string> header;
            for (const CsvField& c : records[0]) {
                header.push_back(c.text);
            }
            // Their column position for each of our columns (-1: left out).
            std::vector<int> position;
            for (const jet::Column& c : t.def->columns) {
                const auto it = std::find(header.begin(), header.end(), c.name);
                ASSERT_NE(it, header.end()) << "column " << c.name << " missing in mdb-export";
                position.push_back(c.type ==
                                           static_cast<std::uint8_t>(jet::ColumnType::fixed_binary)
                                       ? -1
                                       : static_cast<int>(it - header.begin()));
            }
            std::vector<std::string> mine;
            for (const auto& row : t.rows) {
                std::vector<std::string> fields;
                for (std::size_t i = 0; i < row.size(); ++i) {
                    if (position[i] >= 0) {
                        std::string field = ours(row[i], t.def->columns[i], Oracle::mdbtools);
                        for (std::size_t at = 0;
                             db.header().format().text_in_code_page() &&
                             (at = field.find("\xEF\xBF\xBD", at)) != std::string::npos;) {
                            field.replace(at, 3, "?");
                        }
                        fields.push_back(field);
                    }
                }
                mine.push_back(join(fields));
            }
            std::vector<std::string> others;
            for (std::size_t k = 1; k < records.size(); ++k) {
                const std::vector<CsvField>& cells = records[k];
                ASSERT_EQ(cells.size(), header.size()) << "record " << k;
                std::vector<std::string> fields;
                for (std::size_t i = 0; i < t.def->columns.size(); ++i) {
                    if (position[i] < 0) {
                        continue;
                    }
                    const CsvField& cell = cells[static_cast<std::size_t>(position[i])];
                    fields.push_back(theirs(cell, t.def->columns[i]));
                }
                others.push_back(join(fields));
            }
            expect_same_rows(mine, others, f.name + " / " + name);
            ++compared;
        }
    }
}

TEST_F(OracleTest, EveryTableEqualsMdbExport) {
    if (!jettest::in_path("mdb-export")) {
        GTEST_SKIP() << "mdb-export (Debian mdbtools) is not installed";
    }
    int compared = 0;
    compare_with_mdb_export(files_, compared);
    EXPECT_GT(compared, 0);
}

// Access 97 files of the corpus and the sweep. mdbtools reads their text in
// the code page the header names (1252 in all of them, charsetGBK.mdb
// included, whose text is GBK: both readers show it as 1252).
TEST_F(OracleTest, EveryJet3TableEqualsMdbExport) {
    if (!jettest::in_path("mdb-export")) {
        GTEST_SKIP() << "mdb-export (Debian mdbtools) is not installed";
    }
    std::vector<testsupport::CorpusFile> files = testsupport::corpus_files("jet3");
    for (const auto& f : testsupport::sweep_files()) {
        if (f.format == "jet3") {
            files.push_back(f);
        }
    }
    ASSERT_EQ(files.size(), testsupport::sweep_dir() ? 37u : 13u);
    int compared = 0;
    compare_with_mdb_export(files, compared);
    EXPECT_GT(compared, 300);
}

// Undoes dump.mjs's escapes.
std::string unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            const char c = s[++i];
            out.push_back(c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c);
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string their_reader_value(const std::string& cell, const Value& like) {
    if (cell == "\\N") {
        return "\\N";
    }
    const char kind = cell.empty() ? '?' : cell[0];
    const std::string text = unescape(cell.substr(1));
    switch (kind) {
        case 'b':
        case 'd':
            return text;
        case 'n':
            if (std::holds_alternative<float>(like) || std::holds_alternative<double>(like)) {
                return fmt("%.17g", std::strtod(text.c_str(), nullptr));
            }
            return text;
        case 'x':
            return text;
        default:
            if (std::holds_alternative<jet::Money>(like) ||
                std::holds_alternative<jet::Decimal>(like)) {
                return strip_decimal(text);
            }
            if (std::holds_alternative<jet::Guid>(like)) {
                return guid_norm(text);
            }
            return text;
    }
}

TEST_F(OracleTest, EveryTableEqualsMdbReader) {
    const char* src = std::getenv("TARNWICK_SOURCE_DIR");
    if (src == nullptr || !jettest::in_path("node")) {
        GTEST_SKIP() << "node or TARNWICK_SOURCE_DIR not available";
    }
    const std::filesystem::path oracle = std::filesystem::path(src) / "scripts" / "oracle";
    if (!std::filesystem::exists(oracle / "node_modules" / "mdb-reader")) {
        GTEST_SKIP() << "mdb-reader is not installed (run scripts/deps.sh)";
    }
    int compared = 0;
    for (const auto& f : files_) {
        SCOPED_TRACE(f.name);
        const jet::Database db(
            f.path,
            jet::OpenOptions{f.password.empty() ? std::nullopt : std::optional(f.password), true});
        std::map<std::string, OurTable> mine = read_ours(db);
        std::vector<std::string> argv{"node", (oracle / "dump.mjs").string(), f.path.string()};
        if (!f.password.empty()) {
            argv.push_back(f.password);
        }
        const auto r = jettest::run_process(argv);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        // Parse the dump into tables.
        struct Theirs {
            std::vector<std::string> columns;
            std::vector<std::vector<std::string>> rows;
            std::string error;
        };
        std::map<std::string, Theirs> tables;
        Theirs* current = nullptr;
        std::optional<std::string> their_password;
        std::string their_created;
        std::set<std::string> their_user_tables;
        for (const std::string& line : split(r.out, '\n')) {
            if (line.size() < 2) {
                continue;
            }
            const std::string body = line.substr(2);
            if (line[0] == 'P' && current == nullptr) {
                their_password = body == "\\N" ? std::string() : unescape(body);
            } else if (line[0] == 'D' && current == nullptr) {
                their_created = body;
            } else if (line[0] == 'U' && current == nullptr) {
                their_user_tables.insert(unescape(body));
            } else if (line[0] == 'T') {
                current = &tables[unescape(body)];
            } else if (current == nullptr) {
                FAIL() << "malformed dump: " << line;
            } else if (line[0] == 'C') {
                for (const std::string& c : split(body, '\t')) {
                    current->columns.push_back(unescape(c));
                }
            } else if (line[0] == 'R') {
                current->rows.push_back(split(body, '\t'));
            } else if (line[0] == 'E') {
                current->error = unescape(body);
            }
        }
        // The same user tables (system tables apart), page 0's password and
        // creation date.
        EXPECT_EQ(user_table_names(db), their_user_tables);
        EXPECT_EQ(their_password, std::optional(jet::decode_password(db.header())));
        EXPECT_EQ(their_created, "d" + std::to_string(js_millis(db.header().creation_date)));
        std::set<std::string> our_names;
        for (const auto& [name, t] : mine) {
            our_names.insert(name);
        }
        std::set<std::string> their_names;
        for (const auto& [name, t] : tables) {
            their_names.insert(name);
        }
        EXPECT_EQ(our_names, their_names);
        for (const auto& [name, t] : mine) {
            SCOPED_TRACE(name);
            const auto it = tables.find(name);
            if (it == tables.end()) {
                continue;
            }
            const Theirs& th = it->second;
            if (!th.error.empty()) {
                EXPECT_TRUE(has_fixed_binary(*t.def)) << "mdb-reader refused: " << th.error;
                continue;
            }
            std::vector<int> position;
            for (const jet::Column& c : t.def->columns) {
                const auto p = std::find(th.columns.begin(), th.columns.end(), c.name);
                ASSERT_NE(p, th.columns.end()) << "column " << c.name << " missing in mdb-reader";
                position.push_back(static_cast<int>(p - th.columns.begin()));
            }
            std::vector<std::string> ours_rows;
            for (const auto& row : t.rows) {
                std::vector<std::string> fields;
                for (std::size_t i = 0; i < row.size(); ++i) {
                    fields.push_back(ours(row[i], t.def->columns[i], Oracle::mdb_reader));
                }
                ours_rows.push_back(join(fields));
            }
            std::vector<std::string> their_rows;
            for (const auto& cells : th.rows) {
                ASSERT_EQ(cells.size(), th.columns.size());
                std::vector<std::string> fields;
                for (std::size_t i = 0; i < t.def->columns.size(); ++i) {
                    Value like;
                    for (const auto& row : t.rows) {
                        if (!jet::is_null(row[i])) {
                            like = row[i];
                            break;
                        }
                    }
                    fields.push_back(
                        their_reader_value(cells[static_cast<std::size_t>(position[i])], like));
                }
                their_rows.push_back(join(fields));
            }
            expect_same_rows(ours_rows, their_rows, f.name + " / " + name);
            ++compared;
        }
    }
    EXPECT_GT(compared, 0);
}

}  // namespace
