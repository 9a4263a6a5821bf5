#include "jet/format/general97_key.h"

#include <array>

#include "jet/format/text.h"

namespace jet {

namespace {

// What one byte of code page 1252 writes into a key.
struct Code97 {
    std::uint8_t sort;     // its sort byte
    std::uint8_t second;   // a ligature's second sort byte, else 0
    std::uint8_t letters;  // base letters it counts before an accent (0, 1 or 2)
    std::uint8_t accent;   // an accented letter's nibble, else 0
};

// Indexed by byte. Bytes the code page leaves undefined sort as controls (10).
constexpr std::array<Code97, 256> kCodes = {{
    {0x10, 0, 0, 0},    {0x10, 0, 0, 0},   {0x10, 0, 0, 0},    {0x10, 0, 0, 0},     // 00-03
    {0x10, 0, 0, 0},    {0x10, 0, 0, 0},   {0x10, 0, 0, 0},    {0x10, 0, 0, 0},     // 04-07
    {0x10, 0, 0, 0},    {0x11, 0, 0, 0},   {0x10, 0, 0, 0},    {0x10, 0, 0, 0},     // 08-0B
    {0x10, 0, 0, 0},    {0x10, 0, 0, 0},   {0x10, 0, 0, 0},    {0x10, 0, 0, 0},     // 0C-0F
    {0x10, 0, 0, 0},    {0x10, 0, 0, 0},   {0x10, 0, 0, 0},    {0x10, 0, 0, 0},     // 10-13
    {0x10, 0, 0, 0},    {0x10, 0, 0, 0},   {0x10, 0, 0, 0},    {0x10, 0, 0, 0},     // 14-17
    {0x10, 0, 0, 0},    {0x10, 0, 0, 0},   {0x10, 0, 0, 0},    {0x10, 0, 0, 0},     // 18-1B
    {0x10, 0, 0, 0},    {0x10, 0, 0, 0},   {0x10, 0, 0, 0},    {0x10, 0, 0, 0},     // 1C-1F
    {0x11, 0, 0, 0},    {0x12, 0, 0, 0},   {0x13, 0, 0, 0},    {0x14, 0, 0, 0},     // 20-23
    {0x15, 0, 0, 0},    {0x16, 0, 0, 0},   {0x17, 0, 0, 0},    {0x18, 0, 0, 0},     // 24-27
    {0x19, 0, 0, 0},    {0x1A, 0, 0, 0},   {0x1B, 0, 0, 0},    {0x1C, 0, 0, 0},     // 28-2B
    {0x1D, 0, 0, 0},    {0x1E, 0, 0, 0},   {0x1F, 0, 0, 0},    {0x20, 0, 0, 0},     // 2C-2F
    {0x56, 0, 0, 0},    {0x57, 0, 0, 0},   {0x58, 0, 0, 0},    {0x59, 0, 0, 0},     // 30-33
    {0x5A, 0, 0, 0},    {0x5B, 0, 0, 0},   {0x5C, 0, 0, 0},    {0x5D, 0, 0, 0},     // 34-37
    {0x5E, 0, 0, 0},    {0x5F, 0, 0, 0},   {0x21, 0, 0, 0},    {0x22, 0, 0, 0},     // 38-3B
    {0x23, 0, 0, 0},    {0x24, 0, 0, 0},   {0x25, 0, 0, 0},    {0x26, 0, 0, 0},     // 3C-3F
    {0x27, 0, 0, 0},    {0x60, 0, 1, 0},   {0x61, 0, 0, 0},    {0x62, 0, 1, 0},     // 40-43
    {0x64, 0, 0, 0},    {0x66, 0, 1, 0},   {0x67, 0, 0, 0},    {0x68, 0, 0, 0},     // 44-47
    {0x69, 0, 0, 0},    {0x6A, 0, 1, 0},   {0x6B, 0, 0, 0},    {0x6C, 0, 0, 0},     // 48-4B
    {0x6D, 0, 0, 0},    {0x6F, 0, 0, 0},   {0x70, 0, 1, 0},    {0x72, 0, 1, 0},     // 4C-4F
    {0x73, 0, 0, 0},    {0x74, 0, 0, 0},   {0x75, 0, 0, 0},    {0x76, 0, 1, 0},     // 50-53
    {0x77, 0, 0, 0},    {0x78, 0, 1, 0},   {0x7A, 0, 0, 0},    {0x7B, 0, 0, 0},     // 54-57
    {0x7C, 0, 0, 0},    {0x7D, 0, 1, 0},   {0x7E, 0, 0, 0},    {0x28, 0, 0, 0},     // 58-5B
    {0x29, 0, 0, 0},    {0x2A, 0, 0, 0},   {0x2B, 0, 0, 0},    {0x2C, 0, 0, 0},     // 5C-5F
    {0x2D, 0, 0, 0},    {0x60, 0, 1, 0},   {0x61, 0, 0, 0},    {0x62, 0, 1, 0},     // 60-63
    {0x64, 0, 0, 0},    {0x66, 0, 1, 0},   {0x67, 0, 0, 0},    {0x68, 0, 0, 0},     // 64-67
    {0x69, 0, 0, 0},    {0x6A, 0, 1, 0},   {0x6B, 0, 0, 0},    {0x6C, 0, 0, 0},     // 68-6B
    {0x6D, 0, 0, 0},    {0x6F, 0, 0, 0},   {0x70, 0, 1, 0},    {0x72, 0, 1, 0},     // 6C-6F
    {0x73, 0, 0, 0},    {0x74, 0, 0, 0},   {0x75, 0, 0, 0},    {0x76, 0, 1, 0},     // 70-73
    {0x77, 0, 0, 0},    {0x78, 0, 1, 0},   {0x7A, 0, 0, 0},    {0x7B, 0, 0, 0},     // 74-77
    {0x7C, 0, 0, 0},    {0x7D, 0, 1, 0},   {0x7E, 0, 0, 0},    {0x2E, 0, 0, 0},     // 78-7B
    {0x2F, 0, 0, 0},    {0x30, 0, 0, 0},   {0x31, 0, 0, 0},    {0x10, 0, 0, 0},     // 7C-7F
    {0x10, 0, 0, 0},    {0x10, 0, 0, 0},   {0x18, 0, 0, 0},    {0x32, 0, 0, 0},     // 80-83
    {0x13, 0, 0, 0},    {0x33, 0, 0, 0},   {0x34, 0, 0, 0},    {0x35, 0, 0, 0},     // 84-87
    {0x36, 0, 0, 0},    {0x37, 0, 0, 0},   {0x76, 0, 0, 0xA},  {0x18, 0, 0, 0},     // 88-8B
    {0x72, 0x66, 2, 0}, {0x10, 0, 0, 0},   {0x10, 0, 0, 0},    {0x10, 0, 0, 0},     // 8C-8F
    {0x10, 0, 0, 0},    {0x18, 0, 0, 0},   {0x18, 0, 0, 0},    {0x13, 0, 0, 0},     // 90-93
    {0x13, 0, 0, 0},    {0x38, 0, 0, 0},   {0x1E, 0, 0, 0},    {0x1E, 0, 0, 0},     // 94-97
    {0x39, 0, 0, 0},    {0x3A, 0, 0, 0},   {0x76, 0, 0, 0xA},  {0x18, 0, 0, 0},     // 98-9B
    {0x72, 0x66, 2, 0}, {0x10, 0, 0, 0},   {0x10, 0, 0, 0},    {0x7D, 0, 0, 0x6},   // 9C-9F
    {0x11, 0, 0, 0},    {0x3B, 0, 0, 0},   {0x3C, 0, 0, 0},    {0x3D, 0, 0, 0},     // A0-A3
    {0x3E, 0, 0, 0},    {0x3F, 0, 0, 0},   {0x40, 0, 0, 0},    {0x41, 0, 0, 0},     // A4-A7
    {0x42, 0, 0, 0},    {0x43, 0, 0, 0},   {0x44, 0, 0, 0},    {0x13, 0, 0, 0},     // A8-AB
    {0x45, 0, 0, 0},    {0x1E, 0, 0, 0},   {0x46, 0, 0, 0},    {0x47, 0, 0, 0},     // AC-AF
    {0x48, 0, 0, 0},    {0x49, 0, 0, 0},   {0x58, 0, 0, 0},    {0x59, 0, 0, 0},     // B0-B3
    {0x4A, 0, 0, 0},    {0x4B, 0, 0, 0},   {0x4C, 0, 0, 0},    {0x4D, 0, 0, 0},     // B4-B7
    {0x4E, 0, 0, 0},    {0x57, 0, 0, 0},   {0x4F, 0, 0, 0},    {0x13, 0, 0, 0},     // B8-BB
    {0x50, 0, 0, 0},    {0x51, 0, 0, 0},   {0x52, 0, 0, 0},    {0x53, 0, 0, 0},     // BC-BF
    {0x60, 0, 0, 0x3},  {0x60, 0, 0, 0x4}, {0x60, 0, 0, 0x5},  {0x60, 0, 0, 0x7},   // C0-C3
    {0x60, 0, 0, 0x6},  {0x60, 0, 0, 0x8}, {0x60, 0x66, 2, 0}, {0x62, 0, 0, 0x9},   // C4-C7
    {0x66, 0, 0, 0x3},  {0x66, 0, 0, 0x4}, {0x66, 0, 0, 0x5},  {0x66, 0, 0, 0x6},   // C8-CB
    {0x6A, 0, 0, 0x3},  {0x6A, 0, 0, 0x4}, {0x6A, 0, 0, 0x5},  {0x6A, 0, 0, 0x6},   // CC-CF
    {0x65, 0, 0, 0},    {0x70, 0, 0, 0x7}, {0x72, 0, 0, 0x3},  {0x72, 0, 0, 0x4},   // D0-D3
    {0x72, 0, 0, 0x5},  {0x72, 0, 0, 0x7}, {0x72, 0, 0, 0x6},  {0x54, 0, 0, 0},     // D4-D7
    {0x81, 0, 0, 0},    {0x78, 0, 0, 0x3}, {0x78, 0, 0, 0x4},  {0x78, 0, 0, 0x5},   // D8-DB
    {0x78, 0, 0, 0x6},  {0x7D, 0, 0, 0x4}, {0x7F, 0, 0, 0},    {0x76, 0x76, 2, 0},  // DC-DF
    {0x60, 0, 0, 0x3},  {0x60, 0, 0, 0x4}, {0x60, 0, 0, 0x5},  {0x60, 0, 0, 0x7},   // E0-E3
    {0x60, 0, 0, 0x6},  {0x60, 0, 0, 0x8}, {0x60, 0x66, 2, 0}, {0x62, 0, 0, 0x9},   // E4-E7
    {0x66, 0, 0, 0x3},  {0x66, 0, 0, 0x4}, {0x66, 0, 0, 0x5},  {0x66, 0, 0, 0x6},   // E8-EB
    {0x6A, 0, 0, 0x3},  {0x6A, 0, 0, 0x4}, {0x6A, 0, 0, 0x5},  {0x6A, 0, 0, 0x6},   // EC-EF
    {0x65, 0, 0, 0},    {0x70, 0, 0, 0x7}, {0x72, 0, 0, 0x3},  {0x72, 0, 0, 0x4},   // F0-F3
    {0x72, 0, 0, 0x5},  {0x72, 0, 0, 0x7}, {0x72, 0, 0, 0x6},  {0x55, 0, 0, 0},     // F4-F7
    {0x81, 0, 0, 0},    {0x78, 0, 0, 0x3}, {0x78, 0, 0, 0x4},  {0x78, 0, 0, 0x5},   // F8-FB
    {0x78, 0, 0, 0x6},  {0x7D, 0, 0, 0x4}, {0x7F, 0, 0, 0},    {0x7D, 0, 0, 0x6},   // FC-FF
}};

// Characters 0x80-0x9F of code page 1252 (0 where it defines none).
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88-8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98-9F
};

constexpr std::uint8_t kUndefinedByte = 0x81;  // any of the five: they sort alike

// The code-page byte of a UTF-16 unit, or nothing when code page 1252 has none.
std::optional<std::uint8_t> byte_of(char16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
        return static_cast<std::uint8_t>(unit);
    }
    if (unit == 0xFFFD) {
        return kUndefinedByte;  // how the decoder renders an undefined byte
    }
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == unit || (kHighControls[i] == 0 && unit == 0x80 + i)) {
            return static_cast<std::uint8_t>(0x80 + i);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> append_general97_text_key(std::vector<std::uint8_t>& out,
                                                     std::string_view text, bool ascending) {
    std::u16string units = utf8_to_utf16(text);
    while (!units.empty() && units.back() == u' ') {
        units.pop_back();
    }
    if (units.size() > kMaxGeneral97KeyChars) {
        return "the Access 97 key of a text longer than " + std::to_string(kMaxGeneral97KeyChars) +
               " characters is not known to this program";
    }
    const std::size_t from = out.size();
    std::vector<std::uint8_t> nibbles{0};
    std::size_t letters = 0;  // base letters since the last accented one
    for (const char16_t unit : units) {
        const auto byte = byte_of(unit);
        if (!byte) {
            out.resize(from);
            return "the text holds a character code page 1252 does not have";
        }
        const Code97& c = kCodes[*byte];
        out.push_back(c.sort);
        if (c.second != 0) {
            out.push_back(c.second);
        }
        if (c.accent == 0) {
            letters += c.letters;
            continue;
        }
        nibbles.insert(nibbles.end(), letters, 2);
        nibbles.push_back(c.accent);
        letters = 0;
    }
    if (nibbles.size() == 1) {
        out.push_back(0);
    } else {
        nibbles.push_back(0);
        if (nibbles.size() % 2 != 0) {
            nibbles.push_back(0);
        }
        for (std::size_t i = 0; i < nibbles.size(); i += 2) {
            out.push_back(static_cast<std::uint8_t>(nibbles[i] << 4 | nibbles[i + 1]));
        }
    }
    if (!ascending) {
        for (std::size_t i = from; i < out.size(); ++i) {
            out[i] = static_cast<std::uint8_t>(~out[i]);
        }
    }
    return std::nullopt;
}

}  // namespace jet
