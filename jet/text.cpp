#include "jet/text.h"

namespace jet {

namespace {

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

constexpr std::uint32_t kReplacement = 0xFFFD;

// Appends UTF-16 code units, pairing surrogates.
class Utf16Sink {
  public:
    explicit Utf16Sink(std::string& out) : out_(out) {}
    void put(std::uint16_t unit) {
        if (pending_high_ != 0) {
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                const std::uint32_t cp =
                    0x10000 + ((static_cast<std::uint32_t>(pending_high_) - 0xD800) << 10) +
                    (static_cast<std::uint32_t>(unit) - 0xDC00);
                pending_high_ = 0;
                append_utf8(out_, cp);
                return;
            }
            pending_high_ = 0;
            append_utf8(out_, kReplacement);
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            pending_high_ = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            append_utf8(out_, kReplacement);
        } else {
            append_utf8(out_, unit);
        }
    }
    void finish() {
        if (pending_high_ != 0) {
            append_utf8(out_, kReplacement);
            pending_high_ = 0;
        }
    }

  private:
    std::string& out_;
    std::uint16_t pending_high_ = 0;
};

}  // namespace

std::string utf16le_to_utf8(Bytes bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    Utf16Sink sink(out);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        sink.put(static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    sink.finish();
    return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    std::size_t i = 0;
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    while (i < text.size()) {
        const std::uint8_t b0 = byte(i);
        std::uint32_t cp = kReplacement;
        std::size_t need = 0;
        if (b0 < 0x80) {
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            cp = b0 & 0x1Fu;
            need = 1;
        } else if ((b0 & 0xF0) == 0xE0) {
            cp = b0 & 0x0Fu;
            need = 2;
        } else if ((b0 & 0xF8) == 0xF0) {
            cp = b0 & 0x07u;
            need = 3;
        } else {
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        bool ok = i + need < text.size();
        for (std::size_t k = 1; ok && k <= need; ++k) {
            const std::uint8_t b = byte(i + k);
            if ((b & 0xC0) != 0x80) {
                ok = false;
            } else {
                cp = (cp << 6) | (b & 0x3Fu);
            }
        }
        if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        i += need + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string decode_jet_text(Bytes bytes) {
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) {
        return utf16le_to_utf8(bytes);
    }
    std::string out;
    out.reserve(bytes.size());
    Utf16Sink sink(out);
    for_each_compressed_unit(bytes, [&](std::uint16_t u) { sink.put(u); });
    sink.finish();
    return out;
}

bool names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

}  // namespace jet
