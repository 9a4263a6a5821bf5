#pragma once
// The codes Access gives each character of a text index key.
//
// A text key is built in sections: the sort bytes of every character, then
// (when any character asks for them) an accent section, a width section and
// a control section. The table that says which character contributes what
// is data (jet/format/collation/*.txt), read once into memory here; the key
// encoder (jet/key_encoder.h) assembles the sections.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "jet/format/bytes.h"

namespace jet {

enum class CharKind : std::uint8_t {
    ignore,       // adds nothing (most control characters, unassigned units)
    code,         // sort bytes only
    accent,       // sort bytes and accent bytes
    control,      // no sort bytes; bytes in the control section
    modifier,     // no sort bytes; adds to the last accent byte
    wide,         // sort bytes, optional accent bytes, a width flag
    significant,  // sort bytes
    repeat,       // the sort bytes of the character before it again (its own when none)
    prolonged,    // the kana prolonged sound mark: the vowel of the kana before it
};

// What one UTF-16 unit contributes to a key.
struct CharCodes {
    CharKind kind = CharKind::ignore;
    Bytes sort;     // text section
    Bytes accent;   // accent section (empty: none)
    Bytes control;  // control section
    std::uint8_t modifier = 0;
    std::uint8_t width_flag = 0;  // 1 or 2 for wide characters, else 0
    // The character positions the unit takes: the sort elements in `sort`
    // (two for a ligature such as "ß" = "ss" or "æ" = "ae", three for
    // "ﬃ"). Later sections count positions, not units.
    std::uint8_t positions = 0;
};

class Collation {
  public:
    // The General sort order as Access 2000-2003 wrote it (sort order 1033,
    // version 0), which every Jet 4 file uses unless another language was
    // chosen.
    static const Collation& general_legacy();
    // The General sort order of Access 2010 and later (sort order 1033,
    // version 1): the same sections, other codes.
    static const Collation& general();

    // Parses a table in the layout of jet/format/collation/general_legacy.txt.
    // Throws Error(invalid_argument) naming the line that does not parse.
    explicit Collation(std::string_view table);

    // The codes of one unit. Surrogates are not in the table: their sort
    // bytes follow from the unit itself.
    CharCodes codes(char16_t unit) const;

    // Whether the table lists `unit` (as "ignore" too; surrogates count as
    // listed). A complete table lists every unit.
    bool covers(char16_t unit) const;

  private:
    void count_positions();
    struct Entry {
        CharKind kind = CharKind::ignore;
        std::uint8_t sort_size = 0;
        std::uint8_t accent_size = 0;
        std::uint8_t control_size = 0;
        std::uint8_t modifier = 0;
        std::uint8_t width_flag = 0;
        std::uint8_t positions = 0;
        bool listed = false;
        std::uint32_t at = 0;  // in pool_: sort, then accent, then control bytes
    };
    std::vector<Entry> entries_;  // one per UTF-16 unit
    std::vector<std::uint8_t> pool_;
    std::vector<std::array<std::uint8_t, 2>> surrogate_sort_;  // per surrogate unit
};

}  // namespace jet
