#pragma once
// The key Access stores in an index entry for a row, computed from the row's
// column values.
//
// Per index column, concatenated (flag bytes and integers in index_key.h):
//   Byte                 the byte
//   Integer/Long/Money,  big-endian, sign bit flipped
//   Complex/Large Number
//   Single/Double/Date   IEEE big-endian; non-negative: sign bit flipped,
//                        negative: every bit flipped
//   Numeric              sign byte and the 128-bit magnitude big-endian;
//                        negative values inverted; then the sign byte is
//                        set (Jet 4: FF non-negative, 00 negative)
//   Boolean              00 true, FF false (never null: a flag and a byte)
//   GUID, Binary         8-byte segments, each followed by 09 when more
//                        follows; the last padded with zeros and followed
//                        by its length
//   Text, Memo           the collation's sections (key_encoder.cpp), over at
//                        most 255 units with trailing spaces dropped; in an
//                        Access 97 file, Text under its own order
//                        (general97_key.h)
// A descending column inverts every byte after its flag, except the 09 of
// intermediate binary segments; a descending text adds one 00 after the
// inverted bytes.
//
// The encoder knows nothing of pages: the index reader and writer hold the
// entry layout.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "jet/format/header.h"
#include "jet/format/row.h"
#include "jet/format/table_def.h"

namespace jet {

inline constexpr std::uint16_t kSortGeneral = 1033;  // 0x0409
inline constexpr std::size_t kMaxTextKeyUnits = 255;
// A key longer than kCutKeyBytes is stored whole by some writers of Jet 4
// files and by others cut to its first kCutKeyPrefix bytes and two bytes of
// their own, which this program does not compute (a memo's key of 685 bytes
// stands in a real file as its first 508 bytes and two others).
inline constexpr std::size_t kCutKeyBytes = 510;
inline constexpr std::size_t kCutKeyPrefix = 508;

// Whether `stored` is the key `computed` cut short so.
inline bool stored_cut_short(Bytes stored, Bytes computed) {
    return stored.size() == kCutKeyBytes && computed.size() > kCutKeyBytes &&
           std::equal(computed.begin(), computed.begin() + kCutKeyPrefix, stored.begin());
}

// What the encoder needs to know of one index column.
struct KeyField {
    std::uint8_t type = 0;  // a ColumnType value
    bool ascending = true;
    std::uint16_t sort_order = 0;  // text: the language id of the sort order
    std::uint8_t sort_version = 0;
    bool legacy_numeric = true;  // Jet 4's order of Numeric keys (ACE: fixed)
    bool calculated = false;     // a calculated column (ACE): its key is not known
    // An Access 97 file: text keys follow its own order, over the bytes of
    // `code_page` (the column's) decoded through `file_code_page` (the header's).
    bool jet3 = false;
    std::uint16_t code_page = 0;
    std::uint16_t file_code_page = 0;
};

// What the encoder needs of index column `ic` over `column` in the database
// whose page 0 is `header` (its format, ACE or not, and code page).
KeyField key_field(const Column& column, const IndexColumn& ic, const Header& header);

// Why keys over `field` cannot be computed (an unknown sort order, a type no
// index holds), or nothing when they can.
std::optional<std::string> key_unsupported(const KeyField& field);

// How the sections after a text's sort bytes count the positions of a
// ligature ("ß" sorting as "ss", "æ" as "ae"): Jet 4.0 as Access 2000-2003
// runs it counts one position per sort element, two for "ß"; keys in files
// written later under the same sort order count one per character. Both
// occur in real files; they differ only for text holding a ligature followed
// by an accented or control character.
enum class TextPositions { per_element, per_character };

// Appends to `out` the key of a row whose index columns hold `values` (one
// per field, in index order). Returns nothing on success, else why the key
// cannot be computed (then `out` is left as it was). A value whose type does
// not fit its column is reported, not guessed. `ligature`, when given, is
// set when some text of the key holds a ligature (so that the other way of
// counting may give another key).
std::optional<std::string> encode_index_key(std::span<const KeyField> columns,
                                            std::span<const Value* const> values,
                                            std::vector<std::uint8_t>& out,
                                            TextPositions positions = TextPositions::per_element,
                                            bool* ligature = nullptr);

class Collation;

// The text part alone (after the flag byte) under `table`. Returns whether
// the text holds a ligature. Where the key of the text is not known (a
// prolonged sound mark after anything but a kana), says why in `unknown`
// (when given) and returns with the key unfinished.
bool append_text_key(std::vector<std::uint8_t>& out, std::u16string_view text, bool ascending,
                     const Collation& table, TextPositions positions = TextPositions::per_element,
                     std::string* unknown = nullptr);

// The collation of a sort order (language id and version), or nullptr when
// this program does not know it.
const Collation* collation_for(std::uint16_t sort_order, std::uint8_t version);

}  // namespace jet
