#include "jet/format/text.h"

#include <iconv.h>

#include <cerrno>

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

constexpr std::uint16_t kWesternCodePage = 1252;

// An iconv descriptor from a Windows code page to UTF-8, closed with the object.
class Converter {
  public:
    explicit Converter(std::uint16_t code_page) {
        cd_ = ::iconv_open("UTF-8", ("CP" + std::to_string(code_page)).c_str());
        if (cd_ == reinterpret_cast<iconv_t>(-1) && code_page != kWesternCodePage) {
            cd_ = ::iconv_open("UTF-8", "CP1252");
        }
    }
    ~Converter() {
        if (ok()) {
            ::iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts `bytes`; what cannot be converted becomes U+FFFD, one byte at
    // a time. `complete` is cleared when the input ends inside a sequence.
    std::string convert(Bytes bytes, bool* complete = nullptr) {
        std::string out;
        if (!ok()) {
            for (std::uint8_t b : bytes) {
                append_utf8(out, b < 0x80 ? b : kReplacement);
            }
            return out;
        }
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        // NOLINTNEXTLINE: iconv's interface takes a non-const input pointer.
        char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
        std::size_t in_left = bytes.size();
        char buf[256];
        while (in_left > 0) {
            char* o = buf;
            std::size_t o_left = sizeof buf;
            const std::size_t r = ::iconv(cd_, &in, &in_left, &o, &o_left);
            out.append(buf, static_cast<std::size_t>(o - buf));
            if (r != static_cast<std::size_t>(-1)) {
                continue;
            }
            if (errno == E2BIG) {
                continue;
            }
            if (errno == EINVAL && complete != nullptr) {
                *complete = false;
            }
            // An undefined byte or a sequence cut short: replace one byte.
            append_utf8(out, kReplacement);
            ++in;
            --in_left;
            ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

  private:
    iconv_t cd_;
};

}  // namespace

std::string code_page_to_utf8(Bytes bytes, std::uint16_t code_page) {
    Converter c(code_page == 0 ? kWesternCodePage : code_page);
    return c.convert(bytes);
}

TextCodec TextCodec::code_page(std::uint16_t code_page) {
    TextCodec codec;
    codec.code_page_ = code_page == 0 ? kWesternCodePage : code_page;
    // A code page whose every byte stands alone gets a table; a double-byte
    // one (Chinese, Japanese, Korean) is converted text by text.
    Converter c(codec.code_page_);
    auto table = std::make_shared<std::vector<std::string>>(256);
    for (unsigned b = 0; b < 256; ++b) {
        const std::uint8_t byte = static_cast<std::uint8_t>(b);
        bool complete = true;
        (*table)[b] = c.convert(Bytes(&byte, 1), &complete);
        if (!complete) {
            return codec;
        }
    }
    codec.single_byte_ = std::move(table);
    return codec;
}

std::string TextCodec::text(Bytes bytes) const {
    if (code_page_ == 0) {
        return decode_jet_text(bytes);
    }
    if (single_byte_) {
        std::string out;
        out.reserve(bytes.size());
        for (std::uint8_t b : bytes) {
            out += (*single_byte_)[b];
        }
        return out;
    }
    return code_page_to_utf8(bytes, code_page_);
}

std::string TextCodec::name(Bytes bytes) const {
    return code_page_ == 0 ? utf16le_to_utf8(bytes) : text(bytes);
}

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
