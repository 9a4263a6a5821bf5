#include "jet/format/export.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace jet {

namespace {

template <typename F>
std::string shortest(F v) {
    if (std::isnan(v)) {
        return "NaN";
    }
    if (std::isinf(v)) {
        return v < 0 ? "-inf" : "inf";
    }
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

std::string money_text(std::int64_t units) {
    const bool negative = units < 0;
    // Work in unsigned to survive the most negative value.
    const std::uint64_t mag =
        negative ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%llu.%04u", negative ? "-" : "",
                  static_cast<unsigned long long>(mag / 10000), static_cast<unsigned>(mag % 10000));
    return buf;
}

std::string decimal_text(const Decimal& n) {
    std::array<std::uint32_t, 4> w = n.magnitude;
    std::string digits;
    auto is_zero = [&] { return w[0] == 0 && w[1] == 0 && w[2] == 0 && w[3] == 0; };
    while (!is_zero()) {
        std::uint64_t rem = 0;
        for (auto& word : w) {
            const std::uint64_t cur = (rem << 32) | word;
            word = static_cast<std::uint32_t>(cur / 10);
            rem = cur % 10;
        }
        digits.push_back(static_cast<char>('0' + rem));
    }
    while (digits.size() <= n.scale) {
        digits.push_back('0');
    }
    const bool zero = digits.find_first_not_of('0') == std::string::npos;
    std::string out;
    out.reserve(digits.size() + 2);
    if (n.negative && !zero) {
        out.push_back('-');
    }
    // digits are least significant first; the point goes before the last `scale`.
    for (std::size_t i = digits.size(); i-- > 0;) {
        out.push_back(digits[i]);
        if (i == n.scale && n.scale > 0) {
            out.push_back('.');
        }
    }
    return out;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string guid_text(const Guid& g) {
    const auto& b = g.bytes;
    char buf[40];
    std::snprintf(buf, sizeof buf,
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3],
                  b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return buf;
}

// Days since 0000-03-01 in the proleptic Gregorian calendar to a civil date.
void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += (m <= 2);
}

bool is_numeric_json(const Value& v) {
    if (std::holds_alternative<std::int64_t>(v) || std::holds_alternative<Money>(v) ||
        std::holds_alternative<Decimal>(v)) {
        return true;
    }
    if (const auto* f = std::get_if<float>(&v)) {
        return std::isfinite(*f);
    }
    if (const auto* d = std::get_if<double>(&v)) {
        return std::isfinite(*d);
    }
    return false;
}

}  // namespace

std::string format_date(double days) {
    if (!std::isfinite(days) || days > 2958466.0 || days < -657435.0) {
        return shortest(days);  // outside 100-01-01 .. 9999-12-31: no calendar date
    }
    // Jet's form: the whole part counts days from 1899-12-30 (negative
    // before it), the fraction's magnitude is the time of day.
    auto whole = static_cast<std::int64_t>(std::trunc(days));
    auto seconds =
        static_cast<std::int64_t>(std::llround(std::fabs(days - std::trunc(days)) * 86400.0));
    if (seconds >= 86400) {
        seconds -= 86400;
        whole += 1;  // the next day, also for days before 1899-12-30
    }
    // 1899-12-30 is day -25569 relative to 1970-01-01.
    std::int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    civil_from_days(whole - 25569, y, m, d);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(y), m,
                  d, static_cast<unsigned>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    return buf;
}

std::string format_value(const Value& v) {
    struct Visitor {
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(bool b) const { return b ? "1" : "0"; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(Money m) const { return money_text(m.units); }
        std::string operator()(float f) const { return shortest(f); }
        std::string operator()(double d) const { return shortest(d); }
        std::string operator()(DateTime d) const { return format_date(d.days); }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const Binary& b) const { return hex(b.bytes); }
        std::string operator()(const Guid& g) const { return guid_text(g); }
        std::string operator()(const Decimal& n) const { return decimal_text(n); }
    };
    return std::visit(Visitor{}, v);
}

namespace {

std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) {
        return s;
    }
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') {
            out += "\"\"";
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace

std::string json_escape(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
    return out;
}

RowWriter::RowWriter(std::ostream& out, const TableDef& table, Format format)
    : out_(out), table_(table), format_(format) {}

void RowWriter::begin() {
    if (format_ == Format::csv) {
        for (std::size_t i = 0; i < table_.columns.size(); ++i) {
            out_ << (i ? "," : "") << csv_field(table_.columns[i].name);
        }
        out_ << '\n';
    } else {
        out_ << "[";
    }
}

void RowWriter::row(const std::vector<Value>& values) {
    if (format_ == Format::csv) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i) {
                out_ << ',';
            }
            out_ << csv_field(format_value(values[i]));
        }
        out_ << '\n';
    } else {
        out_ << (rows_ ? ",\n " : "\n ") << "{";
        for (std::size_t i = 0; i < values.size() && i < table_.columns.size(); ++i) {
            const Value& v = values[i];
            out_ << (i ? ", " : "") << json_escape(table_.columns[i].name) << ": ";
            if (is_null(v)) {
                out_ << "null";
            } else if (const auto* b = std::get_if<bool>(&v)) {
                out_ << (*b ? "true" : "false");
            } else if (is_numeric_json(v)) {
                out_ << format_value(v);
            } else {
                out_ << json_escape(format_value(v));
            }
        }
        out_ << "}";
    }
    ++rows_;
}

void RowWriter::end() {
    if (format_ == Format::json) {
        out_ << (rows_ == 0 ? "]\n" : "\n]\n");
    }
}

void write_csv(std::ostream& out, const TableDef& table,
               const std::vector<std::vector<Value>>& rows) {
    RowWriter w(out, table, RowWriter::Format::csv);
    w.begin();
    for (const auto& r : rows) {
        w.row(r);
    }
    w.end();
}

void write_json(std::ostream& out, const TableDef& table,
                const std::vector<std::vector<Value>>& rows) {
    RowWriter w(out, table, RowWriter::Format::json);
    w.begin();
    for (const auto& r : rows) {
        w.row(r);
    }
    w.end();
}

}  // namespace jet
