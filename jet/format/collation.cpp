#include "jet/format/collation.h"

#include <charconv>
#include <string>

#include "jet/format/error.h"

namespace jet {

namespace collation_data {
extern const std::string_view general_legacy;
extern const std::string_view general;
}  // namespace collation_data

namespace {

constexpr std::uint8_t kSurrogateAccent[] = {0x3F};

[[noreturn]] void bad_line(std::size_t line, const std::string& why) {
    throw Error(ErrorKind::invalid_argument,
                "Collation table line " + std::to_string(line) + ": " + why + ".");
}

std::uint32_t parse_unit(std::string_view s, std::size_t line) {
    std::uint32_t v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || s.size() != 4) {
        bad_line(line, "\"" + std::string(s) + "\" is no 4-digit hex unit");
    }
    return v;
}

void parse_bytes(std::string_view s, std::size_t line, std::vector<std::uint8_t>& out) {
    if (s.empty() || s.size() % 2 != 0 || s.size() > 16) {
        bad_line(line, "\"" + std::string(s) + "\" is no byte string");
    }
    for (std::size_t i = 0; i < s.size(); i += 2) {
        std::uint8_t b = 0;
        const auto r = std::from_chars(s.data() + i, s.data() + i + 2, b, 16);
        if (r.ec != std::errc() || r.ptr != s.data() + i + 2) {
            bad_line(line, "\"" + std::string(s) + "\" is no byte string");
        }
        out.push_back(b);
    }
}

std::vector<std::string_view> split(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ') {
            ++i;
        }
        if (i > start) {
            out.push_back(line.substr(start, i - start));
        }
    }
    return out;
}

// The sort bytes of a surrogate unit: a high surrogate sits at a fixed
// distance below its own value; a low one at a distance that steps down by
// two after the first 8 units of each block of 1024 and after each 254 units
// that follow.
std::uint16_t surrogate_code(char16_t unit) {
    if (unit < 0xDC00) {
        return static_cast<std::uint16_t>(unit - 10238);
    }
    const unsigned in_block = (unit - 0xDC00u) % 1024u;
    unsigned distance = 9992;
    for (unsigned edge = 8; edge <= 8 + 3 * 254 && in_block >= edge; edge += 254) {
        distance -= 2;
    }
    return static_cast<std::uint16_t>(unit - distance);
}

}  // namespace

const Collation& Collation::general_legacy() {
    static const Collation table(collation_data::general_legacy);
    return table;
}

const Collation& Collation::general() {
    static const Collation table(collation_data::general);
    return table;
}

Collation::Collation(std::string_view table) : entries_(0x10000), surrogate_sort_(0x800) {
    std::size_t line_no = 0;
    std::vector<std::uint8_t> bytes;
    while (!table.empty()) {
        const std::size_t nl = table.find('\n');
        const std::string_view line = table.substr(0, nl);
        table = nl == std::string_view::npos ? std::string_view() : table.substr(nl + 1);
        ++line_no;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto f = split(line);
        if (f.size() < 2) {
            bad_line(line_no, "a span and a kind are needed");
        }
        const std::size_t dots = f[0].find("..");
        const std::uint32_t first = parse_unit(f[0].substr(0, dots), line_no);
        const std::uint32_t last =
            dots == std::string_view::npos ? first : parse_unit(f[0].substr(dots + 2), line_no);
        if (last < first || (first <= 0xDFFF && last >= 0xD800)) {
            bad_line(line_no, "the span is empty or covers surrogates");
        }
        const std::string_view kind = f[1];
        const auto want = [&](std::size_t n) {
            if (f.size() != n + 2) {
                bad_line(line_no,
                         "\"" + std::string(kind) + "\" takes " + std::to_string(n) + " field(s)");
            }
        };
        Entry e;
        e.listed = true;
        bytes.clear();
        if (kind == "ignore") {
            want(0);
        } else if (kind == "prolonged") {
            want(0);
            e.kind = CharKind::prolonged;
            e.width_flag = 2;
        } else if (kind == "code" || kind == "run" || kind == "significant" || kind == "repeat") {
            want(1);
            e.kind = kind == "significant" ? CharKind::significant
                     : kind == "repeat"    ? CharKind::repeat
                                           : CharKind::code;
            parse_bytes(f[2], line_no, bytes);
            e.sort_size = static_cast<std::uint8_t>(bytes.size());
        } else if (kind == "accent") {
            want(2);
            e.kind = CharKind::accent;
            parse_bytes(f[2], line_no, bytes);
            e.sort_size = static_cast<std::uint8_t>(bytes.size());
            parse_bytes(f[3], line_no, bytes);
            e.accent_size = static_cast<std::uint8_t>(bytes.size() - e.sort_size);
        } else if (kind == "control") {
            want(1);
            e.kind = CharKind::control;
            parse_bytes(f[2], line_no, bytes);
            e.control_size = static_cast<std::uint8_t>(bytes.size());
        } else if (kind == "modifier") {
            want(1);
            e.kind = CharKind::modifier;
            parse_bytes(f[2], line_no, bytes);
            if (bytes.size() != 1) {
                bad_line(line_no, "a modifier is one byte");
            }
            e.modifier = bytes[0];
            bytes.clear();
        } else if (kind == "wide") {
            want(3);
            e.kind = CharKind::wide;
            parse_bytes(f[2], line_no, bytes);
            e.sort_size = static_cast<std::uint8_t>(bytes.size());
            if (f[3] != "-") {
                parse_bytes(f[3], line_no, bytes);
                e.accent_size = static_cast<std::uint8_t>(bytes.size() - e.sort_size);
            }
            if (f[4] != "1" && f[4] != "2") {
                bad_line(line_no, "the width flag is 1 or 2");
            }
            e.width_flag = static_cast<std::uint8_t>(f[4][0] - '0');
        } else {
            bad_line(line_no, "unknown kind \"" + std::string(kind) + "\"");
        }
        if (kind == "run") {
            // Each unit of the run gets the previous unit's bytes plus one.
            for (std::uint32_t u = first; u <= last; ++u) {
                e.at = static_cast<std::uint32_t>(pool_.size());
                pool_.insert(pool_.end(), bytes.begin(), bytes.end());
                entries_[u] = e;
                for (std::size_t i = bytes.size(); i-- > 0;) {
                    if (++bytes[i] != 0) {
                        break;
                    }
                }
            }
            continue;
        }
        e.at = static_cast<std::uint32_t>(pool_.size());
        pool_.insert(pool_.end(), bytes.begin(), bytes.end());
        for (std::uint32_t u = first; u <= last; ++u) {
            entries_[u] = e;
        }
    }
    count_positions();
    for (std::uint32_t u = 0xD800; u <= 0xDFFF; ++u) {
        const std::uint16_t c = surrogate_code(static_cast<char16_t>(u));
        surrogate_sort_[u - 0xD800] = {static_cast<std::uint8_t>(c >> 8),
                                       static_cast<std::uint8_t>(c & 0xFF)};
    }
}

CharCodes Collation::codes(char16_t unit) const {
    CharCodes c;
    if (unit >= 0xD800 && unit <= 0xDFFF) {
        c.kind = CharKind::accent;
        c.positions = 1;
        c.sort = Bytes(surrogate_sort_[unit - 0xD800]);
        c.accent = Bytes(kSurrogateAccent);
        return c;
    }
    const Entry& e = entries_[unit];
    const Bytes pool(pool_);
    c.kind = e.kind;
    c.sort = pool.subspan(e.at, e.sort_size);
    c.accent = pool.subspan(e.at + e.sort_size, e.accent_size);
    c.control = pool.subspan(e.at + e.sort_size + e.accent_size, e.control_size);
    c.modifier = e.modifier;
    c.width_flag = e.width_flag;
    c.positions = e.positions;
    return c;
}

// Sort bytes are a sequence of elements, one per character position: a byte
// that is some unit's whole sort code is an element of its own; any other
// byte starts an element of two (a script or a variant and its weight).
void Collation::count_positions() {
    std::array<bool, 256> single{};
    for (const Entry& e : entries_) {
        if (e.sort_size == 1) {
            single[pool_[e.at]] = true;
        }
    }
    for (Entry& e : entries_) {
        std::uint8_t n = 0;
        for (std::size_t i = 0; i < e.sort_size; i += single[pool_[e.at + i]] ? 1 : 2) {
            ++n;
        }
        e.positions = n;
    }
}

bool Collation::covers(char16_t unit) const {
    return (unit >= 0xD800 && unit <= 0xDFFF) || entries_[unit].listed;
}

}  // namespace jet
