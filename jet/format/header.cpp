#include "jet/format/header.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "jet/format/error.h"
#include "jet/format/rc4.h"
#include "jet/format/text.h"

namespace jet {

bool ace_version_known(std::uint8_t version);

namespace {

namespace off = header_offsets;

constexpr std::uint8_t kHeaderMaskKey[4] = {0xC7, 0xDA, 0x39, 0x6B};
constexpr std::uint8_t kMagic[4] = {0x00, 0x01, 0x00, 0x00};
constexpr char kJetName[] = "Standard Jet DB";
constexpr char kAceName[] = "Standard ACE DB";
// A workgroup information file (.mdw): Jet's user and group accounts, kept in
// a database of its own under this name.
constexpr char kWorkgroupName[] = "Jet System DB  ";
constexpr std::size_t kEngineNameLength = 15;

std::string quoted(const std::string& file) {
    return "\"" + file + "\"";
}

bool engine_name_is(Bytes start, const char* name) {
    return start.size() >= off::kEngineName + kEngineNameLength &&
           std::memcmp(start.data() + off::kEngineName, name, kEngineNameLength) == 0;
}

// Access 1.x and 2.0 (Jet 1.0, 1.1, 2.0) wrote another format: no engine
// name at 4, but "Rich" at 0x406 and the version after it (7, 8, 9 for 1.0,
// 1.1, 2.0); a file encrypted by those versions has both scrambled under a
// fixed key (77 2C 53 20 at 0, C8 E4 4D CF at 0x406, the version as 0x66,
// 0x69, 0x68). What to call the file, when `start` is such a file.
std::optional<std::string> early_jet_format(Bytes start) {
    constexpr std::size_t kMark = 0x406;
    constexpr std::uint8_t kPlainHead[4] = {0x01, 0x00, 0x00, 0x00};
    constexpr std::uint8_t kPlainMark[4] = {'R', 'i', 'c', 'h'};
    constexpr std::uint8_t kEncryptedHead[4] = {0x77, 0x2C, 0x53, 0x20};
    constexpr std::uint8_t kEncryptedMark[4] = {0xC8, 0xE4, 0x4D, 0xCF};
    struct Version {
        std::uint8_t plain;
        std::uint8_t encrypted;
        const char* name;
    };
    constexpr Version kVersions[] = {{0x07, 0x66, "1.0"}, {0x08, 0x69, "1.1"}, {0x09, 0x68, "2.0"}};
    if (start.size() <= kMark + 4) {
        return std::nullopt;
    }
    const std::uint8_t* at = start.data() + kMark;
    const bool plain =
        std::memcmp(start.data(), kPlainHead, 4) == 0 && std::memcmp(at, kPlainMark, 4) == 0;
    const bool encrypted = std::memcmp(start.data(), kEncryptedHead, 4) == 0 &&
                           std::memcmp(at, kEncryptedMark, 4) == 0;
    if (!plain && !encrypted) {
        return std::nullopt;
    }
    for (const Version& v : kVersions) {
        if (at[4] == (plain ? v.plain : v.encrypted)) {
            return std::string("an Access ") + v.name + " database (Jet " + v.name + ")";
        }
    }
    return std::string("an Access 2.0 or earlier database");
}

double read_double(Bytes b, std::size_t offset) {
    check_range(b, offset, 8);
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < 8; ++k) {
        bits |= static_cast<std::uint64_t>(b[offset + k]) << (8 * k);
    }
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// The ACE refusals come first: an ACE file encrypted in a way this program
// does not read must be named as such even when it is also short or
// odd-sized. Office encryption (an encoding key and encryption info, what
// Access writes for "Encrypt with Password") passes, to be opened with the
// password; an unencrypted one of a version this program knows passes.
void refuse_ace(Bytes start, std::uint64_t file_size, const std::string& file) {
    const std::uint8_t version = start[off::kVersion];
    PageBuf plain = blank_page(jet4_format());
    std::memcpy(plain.data(), start.data(), std::min(start.size(), plain.size()));
    toggle_header_mask(MutableBytes(plain.data(), plain.size()));
    const std::uint32_t key =
        start.size() >= off::kEncodingKey + 4 ? le32(Bytes(plain), off::kEncodingKey) : 0;
    const std::uint16_t crypt_info =
        start.size() >= off::kAceCryptInfo + 2 ? le16(Bytes(plain), off::kAceCryptInfo) : 0;
    if ((key != 0) != (crypt_info != 0)) {
        // A header whose bytes were changed (a file carried as text) reads
        // the same way: the size tells such a file apart.
        const std::size_t page_size = jet4_format().page_size;
        const std::string odd =
            file_size % page_size == 0
                ? ""
                : " Its size (" + std::to_string(file_size) + " bytes) is not a whole number of " +
                      std::to_string(page_size) +
                      "-byte pages either: it may rather be damaged (copied as text, or cut "
                      "short); then restore it from a backup.";
        throw Error(ErrorKind::encrypted_ace,
                    quoted(file) +
                        " is an encrypted Access 2007 or later database (.accdb, format version " +
                        std::to_string(version) +
                        ") whose encryption is not Office encryption with a password, which is "
                        "the only kind this program reads. Remove the database password in Access "
                        "(which decrypts it) first." +
                        odd);
    }
    if (ace_version_known(version)) {
        return;
    }
    throw Error(ErrorKind::ace, quoted(file) +
                                    " is an Access 2007 or later database (.accdb) of a format "
                                    "version this program does not know (" +
                                    std::to_string(version) +
                                    "). Access 2007, 2010, 2016 and 2019/365 databases are "
                                    "supported.");
}

}  // namespace

bool ace_version_known(std::uint8_t version) {
    return version == kAce2007 || version == kAce2010 || version == kAce2016 || version == kAce2019;
}

const char* format_name(std::uint8_t version) {
    switch (version) {
        case kJet3Version:
            return "Access 97 (Jet 3)";
        case kJet4Version:
            return "Access 2000-2003 (Jet 4.0)";
        case kAce2007:
            return "Access 2007 (ACE 12)";
        case kAce2010:
            return "Access 2010-2013 (ACE 14)";
        case kAce2016:
            return "Access 2016 (ACE 16)";
        case kAce2019:
            return "Access 2019/365 (ACE 17)";
        default:
            return "an unknown format";
    }
}

void toggle_header_mask(MutableBytes page0) {
    const std::size_t length = format_for_version(u8(page0, off::kVersion)).header.mask_length;
    check_range(page0, off::kMaskStart, length);
    Rc4 rc4(std::span<const std::uint8_t>(kHeaderMaskKey, 4));
    rc4.apply(page0.subspan(off::kMaskStart, length));
}

Header parse_header(Bytes start, std::uint64_t file_size, const std::string& file) {
    const bool workgroup = start.size() > off::kVersion && engine_name_is(start, kWorkgroupName) &&
                           start[off::kVersion] <= kJet4Version;
    if (start.size() < off::kVersion + 1 || std::memcmp(start.data(), kMagic, sizeof kMagic) != 0 ||
        !(engine_name_is(start, kJetName) || engine_name_is(start, kAceName) || workgroup)) {
        if (file_size == 0) {
            throw Error(ErrorKind::not_a_database,
                        quoted(file) + " is empty: it is not an Access database.");
        }
        if (const auto early = early_jet_format(start)) {
            throw Error(ErrorKind::not_a_database,
                        quoted(file) + " is " + *early +
                            ", a format older than Access 97's, which this program does not "
                            "read. Convert it to a later format with Access 97, 2000, 2002 or "
                            "2003 first.");
        }
        throw Error(ErrorKind::not_a_database,
                    quoted(file) +
                        " is not an Access database (its first bytes are not those of a Jet "
                        "database).");
    }
    const std::uint8_t version = start[off::kVersion];
    if (engine_name_is(start, kAceName) || version >= 2) {
        refuse_ace(start, file_size, file);
    }
    if (version != kJet3Version && version != kJet4Version && !ace_version_known(version)) {
        throw Error(ErrorKind::not_a_database, quoted(file) + " has an unknown format version " +
                                                   std::to_string(version) + ".");
    }
    const Format& format = format_for_version(version);
    const std::size_t page_size = format.page_size;
    if (file_size % page_size != 0) {
        throw Error(ErrorKind::truncated,
                    quoted(file) + " is truncated or damaged: its size (" +
                        std::to_string(file_size) + " bytes) is not a whole number of " +
                        std::to_string(page_size) + "-byte pages. Restore it from a backup.");
    }
    if (file_size / page_size < 3 || start.size() < page_size) {
        throw Error(ErrorKind::truncated,
                    quoted(file) + " is truncated: it has " +
                        std::to_string(file_size / page_size) +
                        " pages, fewer than the 3 every database has. Restore it from a backup.");
    }
    if (file_size / page_size > format.max_pages) {
        throw Error(ErrorKind::damaged,
                    quoted(file) + " has " + std::to_string(file_size / page_size) +
                        " pages, more than the " + std::to_string(format.max_pages) + " (" +
                        std::to_string(format.max_pages * page_size >> 30) +
                        " GB) an Access database of its format can hold.");
    }

    const HeaderLayout& at = format.header;
    Header h;
    h.raw.assign(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(page_size));
    h.plain = h.raw;
    toggle_header_mask(MutableBytes(h.plain.data(), h.plain.size()));
    const Bytes p(h.plain.data(), h.plain.size());
    h.version = version;
    h.workgroup = workgroup;
    h.code_page = le16(p, off::kCodePage);
    h.encoding_key = le32(p, off::kEncodingKey);
    std::memcpy(h.password_stored.data(), h.plain.data() + off::kPassword, at.password_length);
    h.unknown_6a = le16(p, at.unknown_u16);
    h.crypt_info_length = h.is_ace() ? le16(p, off::kAceCryptInfo) : 0;
    h.sort_order.lcid = le16(p, at.sort_order);
    if (at.sort_version != kAbsent) {
        h.sort_order.version = u8(p, at.sort_version);
    }
    if (at.creation_date != kAbsent) {
        h.creation_date = read_double(p, at.creation_date);
    }
    return h;
}

std::array<std::uint8_t, 4> password_mask(double creation_date) {
    // Truncation towards zero to a 32-bit integer; values out of range (a
    // damaged date) saturate rather than invoke undefined behaviour.
    std::int64_t whole = 0;
    if (std::isfinite(creation_date)) {
        const double t = std::trunc(creation_date);
        if (t >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
            whole = std::numeric_limits<std::int32_t>::max();
        } else if (t <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
            whole = std::numeric_limits<std::int32_t>::min();
        } else {
            whole = static_cast<std::int64_t>(t);
        }
    }
    const auto v = static_cast<std::uint32_t>(whole);
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

std::string decode_password(const Header& header) {
    if (header.format().is_jet3()) {
        // Code-page bytes, NUL-padded, under no mask but the header's.
        std::size_t n = 0;
        while (n < kMaxPasswordLength && header.password_stored[n] != 0) {
            ++n;
        }
        return code_page_to_utf8(Bytes(header.password_stored.data(), n), header.code_page);
    }
    const auto mask = password_mask(header.creation_date);
    std::array<std::uint8_t, off::kMaxPasswordBytes> clear{};
    for (std::size_t i = 0; i < clear.size(); ++i) {
        clear[i] = static_cast<std::uint8_t>(header.password_stored[i] ^ mask[i % 4]);
    }
    std::size_t units = 0;
    while (units < kMaxPasswordLength && (clear[2 * units] != 0 || clear[2 * units + 1] != 0)) {
        ++units;
    }
    return utf16le_to_utf8(Bytes(clear.data(), 2 * units));
}

bool password_matches(const Header& header, const std::optional<std::string>& candidate) {
    const std::string actual = decode_password(header);
    if (actual.empty()) {
        return true;
    }
    return candidate.has_value() && *candidate == actual;
}

std::array<std::uint8_t, off::kMaxPasswordBytes> encode_password(std::string_view password,
                                                                 double creation_date) {
    const std::u16string units = utf8_to_utf16(password);
    if (units.size() > kMaxPasswordLength) {
        throw Error(ErrorKind::invalid_argument,
                    "The password is too long: an Access 2000-2003 database password has at most "
                    "20 characters.");
    }
    for (char16_t c : units) {
        if (c == 0) {
            throw Error(ErrorKind::invalid_argument,
                        "The password contains a NUL character, which a database password "
                        "cannot hold.");
        }
    }
    const auto mask = password_mask(creation_date);
    std::array<std::uint8_t, off::kMaxPasswordBytes> out{};
    for (std::size_t i = 0; i < units.size(); ++i) {
        out[2 * i] = static_cast<std::uint8_t>(units[i] & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(units[i] >> 8);
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(out[i] ^ mask[i % 4]);
    }
    return out;
}

void set_password(MutableBytes raw_page0, std::string_view password) {
    const Format& format = format_for_version(u8(raw_page0, off::kVersion));
    if (format.header.creation_date == kAbsent) {
        throw Error(ErrorKind::invalid_argument,
                    "Changing the password of an Access 97 (Jet 3) database is not supported; "
                    "its password was kept as it is and nothing was written.");
    }
    check_range(raw_page0, 0, format.page_size);
    toggle_header_mask(raw_page0);
    const double date =
        read_double(Bytes(raw_page0.data(), raw_page0.size()), format.header.creation_date);
    std::array<std::uint8_t, off::kMaxPasswordBytes> stored{};
    try {
        stored = encode_password(password, date);
    } catch (...) {
        toggle_header_mask(raw_page0);  // leave the page as it came
        throw;
    }
    std::memcpy(raw_page0.data() + off::kPassword, stored.data(), stored.size());
    toggle_header_mask(raw_page0);
}

}  // namespace jet
