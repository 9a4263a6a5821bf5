#include "jet/format/rc4.h"

#include <utility>

namespace jet {

Rc4::Rc4(std::span<const std::uint8_t> key) {
    for (int k = 0; k < 256; ++k) {
        s_[k] = static_cast<std::uint8_t>(k);
    }
    std::uint8_t j = 0;
    for (int k = 0; k < 256; ++k) {
        j = static_cast<std::uint8_t>(j + s_[k] + key[static_cast<std::size_t>(k) % key.size()]);
        std::swap(s_[k], s_[j]);
    }
}

void Rc4::apply(std::span<std::uint8_t> data) {
    for (auto& byte : data) {
        i_ = static_cast<std::uint8_t>(i_ + 1);
        j_ = static_cast<std::uint8_t>(j_ + s_[i_]);
        std::swap(s_[i_], s_[j_]);
        byte ^= s_[static_cast<std::uint8_t>(s_[i_] + s_[j_])];
    }
}

void apply_page_codec(std::uint32_t encoding_key, std::uint32_t page_number,
                      std::span<std::uint8_t> page) {
    const std::uint32_t mixed = encoding_key ^ page_number;
    const std::uint8_t key[4] = {
        static_cast<std::uint8_t>(mixed & 0xFF),
        static_cast<std::uint8_t>((mixed >> 8) & 0xFF),
        static_cast<std::uint8_t>((mixed >> 16) & 0xFF),
        static_cast<std::uint8_t>((mixed >> 24) & 0xFF),
    };
    Rc4 rc4(key);
    rc4.apply(page);
}

}  // namespace jet
