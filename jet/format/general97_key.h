#pragma once
// Text keys of Access 97 (Jet 3) indexes under its "General" sort order
// (1033), over code page 1252 — a scheme of its own, unlike Jet 4's:
//
//   1. trailing spaces are dropped;
//   2. every byte of the text writes its sort bytes (one, or two for the
//      ligatures Œ Æ ß); case folds, and an accented letter writes the sort
//      byte of its base letter;
//   3. a text with no accented letter ends in 00;
//   4. otherwise a stream of nibbles follows, high nibble first: 0, then
//      per accented letter one 2 for every base letter written since the
//      previous accented one (or the start) and the accent's own nibble;
//      then 0, padded to a whole byte;
//   5. a descending column inverts all of it.
//
// The table and the rule were read off the keys Access 97 stored in real
// files (docs/jet3-format.md, docs/jet3-general-sort.tsv); every text key of
// those files equals what this computes from its row.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jet {

inline constexpr std::uint16_t kGeneral97CodePage = 1252;

// The longest text (in characters, trailing spaces dropped) whose key was
// seen stored: whether Access 97 cuts longer keys short is not known, so
// their keys are not computed.
inline constexpr std::size_t kMaxGeneral97KeyChars = 43;

// Appends the key bytes of `text` (UTF-8, as decoded from code page 1252)
// after the column's flag byte. Returns nothing on success, else why the key
// cannot be computed (then `out` is left as it was).
std::optional<std::string> append_general97_text_key(std::vector<std::uint8_t>& out,
                                                     std::string_view text, bool ascending);

}  // namespace jet
