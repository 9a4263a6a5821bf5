#pragma once
// Text as the formats store it and the UTF-8 the rest of the program speaks:
// Jet 4 and ACE store UCS-2 little-endian, optionally "compressed"; Jet 3
// stores bytes of the code page its header names.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jet/format/bytes.h"

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

// Bytes of Windows code page `code_page` to UTF-8, through iconv. A byte
// (or sequence) the code page does not define becomes U+FFFD; a code page
// iconv does not know is read as 1252, the default of Western Windows.
std::string code_page_to_utf8(Bytes bytes, std::uint16_t code_page);

// How one database's text and names decode: chosen from the header (the
// format and, for Jet 3, its code page). Copies share their tables; a codec
// is immutable and may be used from any thread.
class TextCodec {
  public:
    // UCS-2, as Jet 4 and ACE store text.
    TextCodec() = default;
    // Bytes of `code_page`, as Jet 3 stores text.
    static TextCodec code_page(std::uint16_t code_page);

    bool uses_code_page() const { return code_page_ != 0; }
    std::uint16_t code_page_number() const { return code_page_; }
    // A text or memo value.
    std::string text(Bytes bytes) const;
    // An object name of a table definition.
    std::string name(Bytes bytes) const;

  private:
    std::uint16_t code_page_ = 0;
    // For a single-byte code page: the UTF-8 of every byte (U+FFFD where undefined).
    std::shared_ptr<const std::vector<std::string>> single_byte_;
};

// Case-insensitive equality of two names (ASCII letters fold; other
// characters compare exactly), as Jet compares object names.
bool names_equal(std::string_view a, std::string_view b);

}  // namespace jet
