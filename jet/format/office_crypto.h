#pragma once
// Office encryption of an Access 2007 or later (.accdb) file: what Access's
// "Encrypt with Password" does to the pages.
//
// Page 0 stays readable; it carries the encryption info (a u16 length at
// 0x299, the structure from 0x29B) and the 4-byte encoding key at 0x3E,
// which is what says that the pages are encrypted. Every page n >= 1 is
// encrypted on its own under a "block key": the little-endian bytes of
// (encoding key XOR n). The schemes read here:
//   RC4 CryptoAPI (info version x.2, RC4): RC4 under SHA-1(SHA-1(salt +
//     password) + block key), cut to the key size (40-bit keys padded with
//     zeros to 16 bytes);
//   standard AES (x.2 with the AES flag): AES-ECB under the CryptoAPI key
//     derivation (50000 hash rounds) with the block key;
//   the "non-standard" AES of older databases (x.2, AES algorithm but not
//     the AES flag): the same with no hash rounds;
//   agile (4.4, an XML descriptor): AES-CBC under the file's secret key
//     (itself encrypted under the password), the IV a hash of the key
//     data's salt and the block key.
// The key material depends on the page number only, never on the page's
// place in a stream, so a copy that keeps page 0's encryption info can
// encrypt each of its pages under its own number with the same password.
//
// Cryptography is OpenSSL's (SHA, AES, base64); RC4 is the project's own
// (the cipher Jet 4 uses too). The XML descriptor is read with expat.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "jet/format/header.h"
#include "jet/format/page_file.h"

namespace jet {

enum class OfficeScheme { rc4_cryptoapi, aes_standard, aes_nonstandard, agile };

class OfficeCipher final : public PageCipher {
  public:
    // Reads the encryption info of `header` (an Office-encrypted ACE file,
    // Header::office_encrypted()) and checks `password` (UTF-8) against its
    // verifier. Throws Error(bad_password, "Not a valid password.") when the
    // password is wrong or missing, Error(encrypted_ace) for a scheme this
    // program does not read, Error(damaged) for info that does not decode.
    // `file` names the database in descriptions; the password never appears
    // in one.
    static std::shared_ptr<const OfficeCipher> open(const Header& header,
                                                    const std::optional<std::string>& password,
                                                    const std::string& file);
    ~OfficeCipher() override;
    OfficeCipher(const OfficeCipher&) = delete;
    OfficeCipher& operator=(const OfficeCipher&) = delete;

    const std::string& description() const override { return description_; }
    void decrypt(std::uint32_t n, MutableBytes page) const override;
    void encrypt(std::uint32_t n, MutableBytes page) const override;

  private:
    OfficeCipher() = default;
    void apply(std::uint32_t n, MutableBytes page, bool encrypting) const;

    OfficeScheme scheme_ = OfficeScheme::agile;
    std::string description_;
    std::uint32_t encoding_key_ = 0;
    // RC4: SHA-1(salt + password); AES standard / non-standard: the hash
    // after its rounds; agile: the file's secret key.
    std::vector<std::uint8_t> secret_;
    std::vector<std::uint8_t> salt_;  // agile: the key data's salt
    std::string hash_;                // agile: the key data's hash (OpenSSL name)
    std::size_t key_bytes_ = 0;
    std::size_t block_size_ = 16;
};

}  // namespace jet
