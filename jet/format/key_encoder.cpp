#include "jet/format/key_encoder.h"

#include <algorithm>
#include <array>
#include <bit>

#include "jet/format/collation.h"
#include "jet/format/general97_key.h"
#include "jet/format/index_key.h"
#include "jet/format/text.h"

namespace jet {

namespace {

// Bytes of the sections after a text's sort bytes.
constexpr std::uint8_t kTextEnd = 0x01;
constexpr std::uint8_t kKeyEnd = 0x00;
constexpr std::uint8_t kAccentPlaceholder = 0x02;
constexpr std::uint8_t kWidthStart = 0x80;
// A wide character's flag (1 or 2 in the tables) is stored as the 2-bit code
// one above it; trailing codes of kWidthIgnored (flag 2) are dropped.
constexpr std::uint8_t kWidthCodeOfFlag = 1;
constexpr std::uint8_t kWidthIgnored = 3;
constexpr std::uint8_t kWidthSuffix[] = {0xFF, 0x02, 0x80, 0xFF, 0x80};
constexpr std::uint8_t kWidthBeforeControl = 0xFF;
constexpr std::uint8_t kControlMark = 0x06;
constexpr unsigned kControlBase = 7;
constexpr unsigned kControlStep = 4;
constexpr unsigned kControlFlag = 0x8000;
constexpr std::uint8_t kBinaryMore = 9;
constexpr std::size_t kBinarySegment = 8;

// The vowel (0..4 for a, i, u, e, o) of a kana syllable, or -1 (not a kana,
// or one without a vowel: the small tsu, n): the prolonged sound mark after
// it takes that vowel's sort bytes. Katakana U+30A1..U+30FA in order; the
// hiragana U+3041..U+3096 run alongside U+30A1..U+30F6.
constexpr std::string_view kKatakanaVowels =
    "aaiiuueeoo"
    "aaiiuueeoo"
    "aaiiuueeoo"
    "aaii-uueeoo"
    "aiueo"
    "aaaiiiuuueeeooo"
    "aiueo"
    "aauuoo"
    "aiueo"
    "aaieo-u"
    "ae"
    "aieo";
static_assert(kKatakanaVowels.size() == 0x30FA - 0x30A1 + 1);
constexpr char16_t kVowelKana[] = {u'\u30A2', u'\u30A4', u'\u30A6', u'\u30A8', u'\u30AA'};

int kana_vowel(char16_t unit) {
    if (unit >= 0x3041 && unit <= 0x3096) {
        unit = static_cast<char16_t>(unit + 0x60);
    }
    if (unit < 0x30A1 || unit > 0x30FA) {
        return -1;
    }
    const auto at = std::string_view("aiueo").find(kKatakanaVowels[unit - 0x30A1]);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Codes of the kana section: one per character with a width flag, 1 but for
// the prolonged sound mark.
constexpr std::uint8_t kKanaPlain = 1;
constexpr std::uint8_t kKanaProlonged = 3;

// Appends 2-bit codes three to a byte, first in the high bits.
void append_codes(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& codes) {
    for (std::size_t i = 0; i < codes.size(); i += 3) {
        std::uint8_t b = kWidthStart;
        for (std::size_t j = 0; j < 3 && i + j < codes.size(); ++j) {
            b = static_cast<std::uint8_t>(b | (codes[i + j] << (2 * (2 - j))));
        }
        out.push_back(b);
    }
}

void invert(std::vector<std::uint8_t>& out, std::size_t from) {
    for (std::size_t i = from; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(~out[i]);
    }
}

void append_be(std::vector<std::uint8_t>& out, std::uint64_t v, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

// IEEE bits, big-endian: the sign bit flipped for non-negative values, every
// bit for negative ones, so that the bytes sort as the numbers do.
void append_float_key(std::vector<std::uint8_t>& out, std::uint64_t bits, std::size_t width,
                      bool ascending) {
    const std::size_t from = out.size();
    append_be(out, bits, width);
    const bool negative = (out[from] & 0x80) != 0;
    if (!negative) {
        out[from] ^= 0x80;
    }
    if (negative == ascending) {
        invert(out, from);
    }
}

void append_numeric_key(std::vector<std::uint8_t>& out, const Decimal& d, bool ascending,
                        bool legacy) {
    const std::size_t from = out.size();
    out.push_back(d.negative ? 0x80 : 0x00);
    for (const std::uint32_t word : d.magnitude) {
        append_be(out, word, 4);
    }
    if (legacy) {
        if (d.negative == ascending) {
            invert(out, from);
        }
        out[from] = d.negative ? 0x00 : 0xFF;
    } else {
        out[from] = 0xFF;
        if (d.negative == ascending) {
            invert(out, from);
        }
    }
}

void append_binary_key(std::vector<std::uint8_t>& out, Bytes data, bool ascending) {
    std::size_t pos = 0;
    while (data.size() - pos > kBinarySegment) {
        const std::size_t from = out.size();
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(pos),
                   data.begin() + static_cast<std::ptrdiff_t>(pos + kBinarySegment));
        if (!ascending) {
            invert(out, from);  // the 09 that follows stays as it is
        }
        out.push_back(kBinaryMore);
        pos += kBinarySegment;
    }
    if (pos < data.size()) {
        const std::size_t from = out.size();
        const std::size_t n = data.size() - pos;
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(pos), data.end());
        out.insert(out.end(), kBinarySegment - n, 0);
        out.push_back(static_cast<std::uint8_t>(n));
        if (!ascending) {
            invert(out, from);
        }
    }
}

// A GUID is stored with its first three fields little-endian; its key holds
// all sixteen bytes in the order the GUID is written.
void append_guid_key(std::vector<std::uint8_t>& out, const Guid& g, bool ascending) {
    const auto& b = g.bytes;
    const std::uint8_t ordered[16] = {b[3], b[2], b[1],  b[0],  b[5],  b[4],  b[7],  b[6],
                                      b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]};
    append_binary_key(out, Bytes(ordered), ascending);
}

// Date/Time Extended: the 42 stored ASCII bytes in five groups of 8 each
// followed by 09, the last 2, then a fixed trailer; a descending key inverts
// the bytes of the value and of the trailer, not the 09s.
void append_ext_datetime_key(std::vector<std::uint8_t>& out, const std::string& text,
                             bool ascending) {
    std::array<std::uint8_t, 42> value{};
    for (std::size_t i = 0; i < text.size() && i < value.size(); ++i) {
        value[i] = static_cast<std::uint8_t>(text[i]);
    }
    const auto put = [&](std::uint8_t b) {
        out.push_back(ascending ? b : static_cast<std::uint8_t>(~b));
    };
    for (std::size_t g = 0; g < 5; ++g) {
        for (std::size_t i = 0; i < 8; ++i) {
            put(value[8 * g + i]);
        }
        out.push_back(kBinaryMore);
    }
    put(value[40]);
    put(value[41]);
    constexpr std::uint8_t kTrailer[] = {0, 0, 0, 0, 0, 0, 2};
    for (const std::uint8_t b : kTrailer) {
        put(b);
    }
}

std::string type_mismatch(const KeyField& field) {
    return std::string("A value of the ") + column_type_name(field.type) +
           " column of the index does not have the column's type.";
}

template <typename T>
const T* as(const Value& v) {
    return std::get_if<T>(&v);
}

}  // namespace

KeyField key_field(const Column& column, const IndexColumn& ic, const Header& header) {
    KeyField s;
    s.type = column.type;
    s.ascending = ic.ascending();
    s.legacy_numeric = !header.is_ace();
    s.calculated = column.is_calculated();
    s.jet3 = header.format().is_jet3();
    const auto t = column.column_type();
    if (t == ColumnType::text || t == ColumnType::memo) {
        s.sort_order = column.misc;
        if (s.jet3) {
            // No sort version: the bytes after the LCID name the column's code page.
            s.code_page = column.misc_ext;
            s.file_code_page = header.code_page;
        } else {
            s.sort_version = static_cast<std::uint8_t>(column.misc_ext >> 8);
        }
    }
    return s;
}

namespace {

// Why Access 97 text keys over `field` cannot be computed, or nothing.
std::optional<std::string> jet3_text_unsupported(const KeyField& field) {
    if (static_cast<ColumnType>(field.type) != ColumnType::text) {
        return std::string(
            "the keys of a Memo index in an Access 97 file are not known to this "
            "program");
    }
    if (field.sort_order != kSortGeneral) {
        return "the Access 97 text sort order " + std::to_string(field.sort_order) +
               " is not known to this program";
    }
    if (field.code_page != kGeneral97CodePage || field.file_code_page != kGeneral97CodePage) {
        const auto other =
            field.code_page != kGeneral97CodePage ? field.code_page : field.file_code_page;
        return "Access 97 text keys in code page " + std::to_string(other) +
               " are not known to this program";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> key_unsupported(const KeyField& field) {
    if (field.calculated) {
        return std::string("the keys of a calculated column are not known to this program");
    }
    switch (static_cast<ColumnType>(field.type)) {
        case ColumnType::complex:
        case ColumnType::big_int:
        case ColumnType::ext_datetime:
        case ColumnType::boolean:
        case ColumnType::byte:
        case ColumnType::integer:
        case ColumnType::long_integer:
        case ColumnType::money:
        case ColumnType::single:
        case ColumnType::double_:
        case ColumnType::datetime:
        case ColumnType::binary:
        case ColumnType::guid:
        case ColumnType::numeric:
            return std::nullopt;
        case ColumnType::text:
        case ColumnType::memo:
            if (field.jet3) {
                return jet3_text_unsupported(field);
            }
            if (collation_for(field.sort_order, field.sort_version) != nullptr) {
                return std::nullopt;
            }
            return "the text sort order " + std::to_string(field.sort_order) + " (version " +
                   std::to_string(field.sort_version) + ") is not known to this program";
        default:
            return std::string("a ") + column_type_name(field.type) +
                   " column has no index key this program knows";
    }
}

const Collation* collation_for(std::uint16_t sort_order, std::uint8_t version) {
    // A sort order of 0 comes from writers that leave it out; Access then
    // reads the column as General.
    if (sort_order != kSortGeneral && sort_order != 0) {
        return nullptr;
    }
    switch (version) {
        case 0:
            return &Collation::general_legacy();
        case 1:
            return &Collation::general();
        default:
            return nullptr;
    }
}

bool append_text_key(std::vector<std::uint8_t>& out, std::u16string_view text, bool ascending,
                     const Collation& table, TextPositions positions, std::string* unknown) {
    const bool per_element = positions == TextPositions::per_element;
    bool ligature = false;
    if (text.size() > kMaxTextKeyUnits) {
        text = text.substr(0, kMaxTextKeyUnits);
    }
    while (!text.empty() && text.back() == u' ') {
        text.remove_suffix(1);
    }
    const std::size_t from = out.size();

    // The accent section holds a byte string per character with sort bytes
    // up to the last accented one (placeholders for the plain ones); a
    // modifier adds to the last byte of it, or starts it when it is empty.
    std::vector<std::uint8_t> accents;
    bool accents_started = false;
    std::size_t accent_chars = 0;  // characters the accent section accounts for
    std::size_t accent_lead = 0;   // modifier bytes that start it
    std::vector<std::uint8_t> widths;
    std::vector<std::uint8_t> kana;
    bool prolonged = false;
    std::vector<std::uint8_t> controls;
    std::size_t sorted = 0;  // characters with sort bytes so far
    Bytes last_sort;         // the sort bytes of the last character with any
    int vowel = -1;          // of the character before, when it is a kana

    for (const char16_t unit : text) {
        CharCodes c = table.codes(unit);
        if (c.kind == CharKind::repeat && !last_sort.empty()) {
            c.sort = last_sort;
        }
        if (c.kind == CharKind::prolonged) {
            // Seen after kana only: anywhere else its key is not known.
            if (vowel < 0) {
                if (unknown != nullptr) {
                    *unknown =
                        "the key of the prolonged sound mark (U+30FC) after anything but a kana "
                        "syllable is not known to this program";
                }
                return false;
            }
            const CharCodes v = table.codes(kVowelKana[vowel]);
            c.sort = v.sort;
            c.positions = v.positions;
            prolonged = true;
        }
        if (c.width_flag != 0) {
            kana.push_back(c.kind == CharKind::prolonged ? kKanaProlonged : kKanaPlain);
        }
        vowel = c.kind == CharKind::prolonged ? -1 : kana_vowel(unit);
        const std::size_t here = sorted;
        ligature = ligature || c.positions > 1;
        const std::size_t width = per_element ? c.positions : 1;
        if (!c.sort.empty()) {
            out.insert(out.end(), c.sort.begin(), c.sort.end());
            sorted += width;
            last_sort = c.sort;
        }
        if (c.kind == CharKind::code || c.kind == CharKind::repeat) {
            continue;
        }
        if (!c.accent.empty() || c.modifier != 0) {
            accents_started = true;
            if (accent_chars < here) {
                accents.insert(accents.end(), here - accent_chars, kAccentPlaceholder);
                accent_chars = here;
            }
            if (!c.accent.empty()) {
                accents.insert(accents.end(), c.accent.begin(), c.accent.end());
                accent_chars += width;
            } else if (!accents.empty()) {
                accents.back() = static_cast<std::uint8_t>(accents.back() + c.modifier);
            } else {
                accents.push_back(c.modifier);
                accent_lead = 1;
            }
        }
        if (!c.control.empty()) {
            // The position is counted in bytes of the accent section as it
            // would stand with this character, less a leading modifier.
            std::size_t at = here;
            if (accents_started) {
                at = accents.size() + (here - accent_chars) - accent_lead;
            }
            const auto mark =
                static_cast<unsigned>((kControlBase + kControlStep * at) | kControlFlag);
            controls.push_back(static_cast<std::uint8_t>(mark >> 8));
            controls.push_back(static_cast<std::uint8_t>(mark & 0xFF));
            controls.push_back(kControlMark);
            controls.insert(controls.end(), c.control.begin(), c.control.end());
        }
        if (c.width_flag != 0) {
            widths.push_back(static_cast<std::uint8_t>(c.width_flag + kWidthCodeOfFlag));
        }
    }
    out.push_back(kTextEnd);

    while (!accents.empty() && accents.back() <= kAccentPlaceholder) {
        accents.pop_back();
    }
    const bool has_widths = !widths.empty();
    const bool has_controls = !controls.empty();
    out.insert(out.end(), accents.begin(), accents.end());
    if (has_widths || has_controls) {
        out.push_back(kTextEnd);
        out.push_back(kTextEnd);
        if (has_widths) {
            while (!widths.empty() && widths.back() == kWidthIgnored) {
                widths.pop_back();
            }
            append_codes(out, widths);
            // The kana section sits after the suffix's first byte; only a
            // prolonged sound mark gives it codes that are not dropped.
            out.push_back(kWidthSuffix[0]);
            if (prolonged) {
                while (!kana.empty() && kana.back() == kKanaPlain) {
                    kana.pop_back();
                }
                append_codes(out, kana);
            }
            out.insert(out.end(), std::begin(kWidthSuffix) + 1, std::end(kWidthSuffix));
            if (has_controls) {
                out.push_back(kWidthBeforeControl);
            }
        }
        if (has_controls) {
            out.push_back(kTextEnd);
            out.insert(out.end(), controls.begin(), controls.end());
        }
    }
    if (!ascending) {
        out.push_back(kKeyEnd);
        invert(out, from);
    }
    out.push_back(kKeyEnd);
    return ligature;
}

std::optional<std::string> encode_index_key(std::span<const KeyField> columns,
                                            std::span<const Value* const> values,
                                            std::vector<std::uint8_t>& out, TextPositions positions,
                                            bool* ligature) {
    const std::size_t start = out.size();
    if (ligature != nullptr) {
        *ligature = false;
    }
    auto fail = [&](std::string why) -> std::optional<std::string> {
        out.resize(start);
        return why;
    };
    if (columns.size() != values.size()) {
        return fail("The index has " + std::to_string(columns.size()) + " column(s) but " +
                    std::to_string(values.size()) + " value(s) were given.");
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const KeyField& field = columns[i];
        const Value& v = *values[i];
        if (auto why = key_unsupported(field)) {
            return fail("The key cannot be computed: " + *why + ".");
        }
        const auto type = static_cast<ColumnType>(field.type);
        const bool asc = field.ascending;
        if (type == ColumnType::boolean) {
            // Booleans have no null: a missing value is false.
            const bool truth = as<bool>(v) != nullptr && *as<bool>(v);
            out.push_back(asc ? kKeyAscending : kKeyDescending);
            out.push_back(truth == asc ? 0x00 : 0xFF);
            continue;
        }
        if (is_null(v)) {
            append_null_key(out, asc);
            continue;
        }
        switch (type) {
            case ColumnType::byte:
            case ColumnType::integer:
            case ColumnType::long_integer:
            case ColumnType::complex:
            case ColumnType::big_int: {
                const auto* n = as<std::int64_t>(v);
                if (n == nullptr) {
                    return fail(type_mismatch(field));
                }
                if (type == ColumnType::byte) {
                    out.push_back(asc ? kKeyAscending : kKeyDescending);
                    const auto b = static_cast<std::uint8_t>(*n);
                    out.push_back(asc ? b : static_cast<std::uint8_t>(~b));
                } else {
                    append_integer_key(out, *n,
                                       type == ColumnType::integer   ? 2
                                       : type == ColumnType::big_int ? 8
                                                                     : 4,
                                       asc);
                }
                break;
            }
            case ColumnType::money: {
                const auto* m = as<Money>(v);
                if (m == nullptr) {
                    return fail(type_mismatch(field));
                }
                append_integer_key(out, m->units, 8, asc);
                break;
            }
            case ColumnType::single:
            case ColumnType::double_:
            case ColumnType::datetime: {
                std::uint64_t bits = 0;
                std::size_t width = 8;
                if (const auto* f = as<float>(v); f != nullptr && type == ColumnType::single) {
                    bits = std::bit_cast<std::uint32_t>(*f);
                    width = 4;
                } else if (const auto* d = as<double>(v);
                           d != nullptr && type == ColumnType::double_) {
                    bits = std::bit_cast<std::uint64_t>(*d);
                } else if (const auto* t = as<DateTime>(v);
                           t != nullptr && type == ColumnType::datetime) {
                    bits = std::bit_cast<std::uint64_t>(t->days);
                } else {
                    return fail(type_mismatch(field));
                }
                out.push_back(asc ? kKeyAscending : kKeyDescending);
                append_float_key(out, bits, width, asc);
                break;
            }
            case ColumnType::numeric: {
                const auto* d = as<Decimal>(v);
                if (d == nullptr) {
                    return fail(type_mismatch(field));
                }
                out.push_back(asc ? kKeyAscending : kKeyDescending);
                append_numeric_key(out, *d, asc, field.legacy_numeric);
                break;
            }
            case ColumnType::guid: {
                const auto* g = as<Guid>(v);
                if (g == nullptr) {
                    return fail(type_mismatch(field));
                }
                out.push_back(asc ? kKeyAscending : kKeyDescending);
                append_guid_key(out, *g, asc);
                break;
            }
            case ColumnType::binary: {
                const auto* b = as<Binary>(v);
                if (b == nullptr) {
                    return fail(type_mismatch(field));
                }
                out.push_back(asc ? kKeyAscending : kKeyDescending);
                append_binary_key(out, b->bytes, asc);
                break;
            }
            case ColumnType::ext_datetime: {
                const auto* t = as<std::string>(v);
                if (t == nullptr) {
                    return fail(type_mismatch(field));
                }
                out.push_back(asc ? kKeyAscending : kKeyDescending);
                append_ext_datetime_key(out, *t, asc);
                break;
            }
            case ColumnType::text:
            case ColumnType::memo: {
                const auto* s = as<std::string>(v);
                if (s == nullptr) {
                    return fail(type_mismatch(field));
                }
                out.push_back(asc ? kKeyAscending : kKeyDescending);
                if (field.jet3) {
                    if (auto why = append_general97_text_key(out, *s, asc)) {
                        return fail("The key cannot be computed: " + *why + ".");
                    }
                    break;
                }
                // The key reads no more than its first kMaxTextKeyUnits
                // units: where those are plain ASCII they are its bytes,
                // widened here without a string of their own.
                const std::size_t n = std::min(s->size(), kMaxTextKeyUnits);
                std::array<char16_t, kMaxTextKeyUnits> ascii;
                std::size_t plain = 0;
                while (plain < n && static_cast<unsigned char>((*s)[plain]) < 0x80) {
                    ascii[plain] = static_cast<char16_t>((*s)[plain]);
                    ++plain;
                }
                std::u16string wide;
                std::u16string_view units(ascii.data(), n);
                if (plain < n) {
                    wide = utf8_to_utf16(*s);
                    units = wide;
                }
                std::string unknown;
                const bool has = append_text_key(
                    out, units, asc, *collation_for(field.sort_order, field.sort_version),
                    positions, &unknown);
                if (!unknown.empty()) {
                    return fail("The key cannot be computed: " + unknown + ".");
                }
                if (ligature != nullptr && has) {
                    *ligature = true;
                }
                break;
            }
            default:
                return fail(type_mismatch(field));
        }
    }
    return std::nullopt;
}

}  // namespace jet
