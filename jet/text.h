#pragma once
// Text as Jet 4 stores it (UCS-2 little-endian, optionally "compressed") and
// the UTF-8 the rest of the program speaks.

#include <cstddef>
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

// Hands `unit` every UTF-16 code unit of a text in the compressed form
// (`bytes` starting with FF FE): runs of one-byte characters and of two-byte
// characters, switched at every 00 byte; a lone last byte of a two-byte run
// is ignored.
template <typename Unit>
void for_each_compressed_unit(Bytes bytes, Unit&& unit) {
    bool compressed = true;
    std::size_t i = 2;
    while (i < bytes.size()) {
        if (bytes[i] == 0) {
            compressed = !compressed;
            ++i;
        } else if (compressed) {
            unit(static_cast<std::uint16_t>(bytes[i]));
            ++i;
        } else {
            if (i + 1 >= bytes.size()) {
                break;
            }
            unit(static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
            i += 2;
        }
    }
}

// Case-insensitive equality of two names (ASCII letters fold; other
// characters compare exactly), as Jet compares object names.
bool names_equal(std::string_view a, std::string_view b);

}  // namespace jet
