#pragma once
// Text as Jet 4 stores it (UCS-2 little-endian, optionally "compressed") and
// the UTF-8 the rest of the program speaks.

#include <cstdint>
#include <string>
#include <string_view>

#include "jet/bytes.h"

namespace jet {

// UTF-16LE bytes to UTF-8. Unpaired surrogates become U+FFFD; an odd
// trailing byte is ignored.
std::string utf16le_to_utf8(Bytes bytes);

// UTF-8 to UTF-16 code units. Invalid sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// A text value as stored in a row or a memo: either plain UTF-16LE, or the
// compressed form that starts with FF FE and switches between one byte per
// character and two bytes per character at every 00 byte.
std::string decode_jet_text(Bytes bytes);

// Case-insensitive equality of two names (ASCII letters fold; other
// characters compare exactly), as Jet compares object names.
bool names_equal(std::string_view a, std::string_view b);

}  // namespace jet
