#pragma once
// Page 0 of a database: the format checks that run before anything else is
// read, the masked header fields, and the database password.
//
// The bytes from 0x18 on (0x18..0x97 in Jet 4 and ACE, 0x18..0x95 in Jet 3)
// are stored RC4-masked under a fixed key. Header keeps both the page as
// stored (`raw`, for a writer to copy) and the page with that region demasked
// (`plain`); every field below is read from `plain`. Where a field sits
// depends on the format (Format::header), chosen by the version byte.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "jet/format/bytes.h"
#include "jet/format/format.h"
#include "jet/format/page_file.h"

namespace jet {

namespace header_offsets {
inline constexpr std::size_t kEngineName = 0x04;      // "Standard Jet DB" / "Standard ACE DB"
inline constexpr std::size_t kVersion = 0x14;         // 0 Jet 3, 1 Jet 4, >= 2 ACE
inline constexpr std::size_t kMaskStart = 0x18;       // first masked byte
inline constexpr std::size_t kCodePage = 0x3C;        // u16
inline constexpr std::size_t kEncodingKey = 0x3E;     // u32, 0 = pages not encoded
inline constexpr std::size_t kPassword = 0x42;        // Format::header.password_length bytes
inline constexpr std::size_t kMaxPasswordBytes = 40;  // the longest of them (Jet 4)
inline constexpr std::size_t kAceCryptInfo = 0x299;   // u16 length of Office encryption info (ACE)
}  // namespace header_offsets

inline constexpr std::uint8_t kJet3Version = 0;
inline constexpr std::uint8_t kJet4Version = 1;
// ACE (.accdb) format versions: the byte at 0x14.
inline constexpr std::uint8_t kAce2007 = 2;
inline constexpr std::uint8_t kAce2010 = 3;  // Access 2010 and 2013
inline constexpr std::uint8_t kAce2016 = 5;
inline constexpr std::uint8_t kAce2019 = 6;
// Longest password, in characters (Jet 4: UTF-16 code units; Jet 3: bytes).
inline constexpr std::size_t kMaxPasswordLength = 20;

struct SortOrder {
    std::uint16_t lcid = 0;
    std::uint8_t version = 0;
};

struct Header {
    PageBuf raw{};    // page 0 exactly as stored in the file
    PageBuf plain{};  // page 0 with the masked region demasked
    std::uint8_t version = 0;
    std::uint16_t code_page = 0;
    std::uint32_t encoding_key = 0;
    SortOrder sort_order;        // Jet 3: no version
    double creation_date = 0.0;  // OLE automation date (days since 1899-12-30); Jet 3: none
    // The stored password bytes after demasking (Jet 4: still XORed with the
    // date mask), Format::header.password_length of them; the rest zero.
    std::array<std::uint8_t, header_offsets::kMaxPasswordBytes> password_stored{};
    std::uint16_t unknown_6a = 0;  // Jet 3: the u16 at 0x56
    // A workgroup information file (.mdw, "Jet System DB"): the user and
    // group accounts of Jet's user-level security, in a Jet database.
    bool workgroup = false;
    const Format& format() const { return format_for_version(version); }
    // ACE: the length of the Office encryption info at 0x29B (0 = none).
    std::uint16_t crypt_info_length = 0;
    // An Access 2007 or later (.accdb) file: the Jet 4 layout with the
    // additions of ACE (complex columns, calculated columns, new types).
    bool is_ace() const { return version >= kAce2007; }
    // An ACE file encrypted with a password ("Encrypt with Password"): an
    // encoding key and Office encryption info. Its pages are read through
    // an OfficeCipher; the Jet password field means nothing in it.
    bool office_encrypted() const {
        return is_ace() && encoding_key != 0 && crypt_info_length != 0;
    }
};

// Whether `version` (the byte at 0x14) is an ACE version this program reads.
bool ace_version_known(std::uint8_t version);

// "Access 2010-2013 (ACE 14)" and the like, for the format version byte.
const char* format_name(std::uint8_t version);

// Runs the format checks on the start of a file and parses page 0.
//   `start`: the first bytes of the file (up to one page; fewer if the file is short)
//   `file_size`: the file's size in bytes
//   `file`: the file's name for descriptions
// Refusals, each with its own kind and description: not_a_database (magic or
// engine name), encrypted_ace, ace (.accdb), truncated (size
// not a multiple of the format's page size, fewer than 3 pages), and more
// pages than the format can hold. An Office-encrypted ACE file passes
// (Header::office_encrypted()); an ACE file with only one of the encoding key
// and the encryption info is refused as encrypted_ace.
Header parse_header(Bytes start, std::uint64_t file_size, const std::string& file);

// Toggles the fixed RC4 mask over the masked region of a page 0, as long as
// the format of its version byte says (masking and demasking are the same
// operation).
void toggle_header_mask(MutableBytes page0);

// The 4-byte XOR mask applied to the stored password: the creation date
// truncated to a 32-bit integer, little-endian.
std::array<std::uint8_t, 4> password_mask(double creation_date);

// The database password in UTF-8 ("" when the database has none).
std::string decode_password(const Header& header);

// True when the database has no password (whatever was given, as Jet
// ignores a password for such a database), or when `candidate` (UTF-8) is
// exactly its password (case matters). A protected database never matches
// nothing or an empty password.
bool password_matches(const Header& header, const std::optional<std::string>& candidate);

// The 40 stored password bytes (before the header mask) for `password`
// (UTF-8; empty = no password) under the mask of `creation_date`. Throws
// Error(invalid_argument) for a password longer than 20 characters.
std::array<std::uint8_t, header_offsets::kMaxPasswordBytes> encode_password(
    std::string_view password, double creation_date);

// Writes `password` into a page 0 as stored in a file (masked): demasks,
// writes the encoded password under the page's own creation date, masks
// again. Empty removes the password.
void set_password(MutableBytes raw_page0, std::string_view password);

}  // namespace jet
