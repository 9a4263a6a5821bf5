#pragma once
// RC4 stream cipher, used twice by Jet 4: to mask 128 bytes of page 0 under a
// fixed key, and to encode whole pages of an "encrypted" database under the
// database key mixed with the page number.

#include <cstdint>
#include <span>

namespace jet {

class Rc4 {
  public:
    explicit Rc4(std::span<const std::uint8_t> key);
    // XORs the key stream into `data` in place (encoding and decoding are the same).
    void apply(std::span<std::uint8_t> data);

  private:
    std::uint8_t s_[256];
    std::uint8_t i_ = 0;
    std::uint8_t j_ = 0;
};

// Page encoding of encoded databases: RC4 under key XOR little-endian(page).
void apply_page_codec(std::uint32_t encoding_key, std::uint32_t page_number,
                      std::span<std::uint8_t> page);

}  // namespace jet
