#include "jet/format/office_crypto.h"

#include <expat.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "jet/format/bytes.h"
#include "jet/format/error.h"
#include "jet/format/rc4.h"
#include "jet/format/text.h"

namespace jet {

namespace {

using Buf = std::vector<std::uint8_t>;

constexpr std::size_t kInfoStart = header_offsets::kAceCryptInfo + 2;  // 0x29B
// Access hashes at most this many UTF-16 units of a password.
constexpr std::size_t kMaxOfficePassword = 255;

// Flags of the CryptoAPI EncryptionHeader.
constexpr std::uint32_t kFlagCryptoApi = 0x04;
constexpr std::uint32_t kFlagExternal = 0x10;
constexpr std::uint32_t kFlagAes = 0x20;
constexpr std::uint32_t kAlgRc4 = 0x6801;
constexpr std::uint32_t kAlgAes128 = 0x660E;
constexpr std::uint32_t kAlgAes192 = 0x660F;
constexpr std::uint32_t kAlgAes256 = 0x6610;
constexpr std::uint32_t kHashSha1 = 0x8004;
constexpr int kStandardRounds = 50000;

// The block keys of the agile password key encryptor.
constexpr std::uint8_t kVerifierInputBlock[8] = {0xFE, 0xA7, 0xD2, 0x76, 0x3B, 0x4B, 0x9E, 0x79};
constexpr std::uint8_t kVerifierValueBlock[8] = {0xD7, 0xAA, 0x0F, 0x6D, 0x30, 0x61, 0x34, 0x4E};
constexpr std::uint8_t kKeyValueBlock[8] = {0x14, 0x6E, 0x0B, 0xE7, 0xAB, 0xAC, 0xD0, 0xD6};

constexpr char kEncryptionNs[] = "http://schemas.microsoft.com/office/2006/encryption";
// The password key encryptor: its keyEncryptor's uri, and the namespace of
// its <encryptedKey>.
constexpr char kPasswordNs[] = "http://schemas.microsoft.com/office/2006/keyEncryptor/password";

// Wipes key material when it goes.
struct Secret {
    Buf bytes;
    Secret() = default;
    explicit Secret(Buf b) : bytes(std::move(b)) {}
    ~Secret() { wipe(bytes); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    static void wipe(Buf& b) {
        if (!b.empty()) {
            OPENSSL_cleanse(b.data(), b.size());
        }
    }
};

[[noreturn]] void damaged(const std::string& file, const std::string& what) {
    throw Error(ErrorKind::damaged, "The encryption information of \"" + file +
                                        "\" (page 0) is damaged: " + what +
                                        " The database cannot be decrypted.");
}

[[noreturn]] void unsupported(const std::string& file, const std::string& what) {
    throw Error(ErrorKind::encrypted_ace,
                "\"" + file + "\" is an encrypted Access 2007 or later database whose encryption " +
                    what +
                    " is not one this program reads. Remove the database password in Access "
                    "(which decrypts it), compact it, and set the password again.");
}

[[noreturn]] void bad_password() {
    throw Error(ErrorKind::bad_password, kNotAValidPassword);
}

Buf block_key(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

const EVP_MD* digest_named(const std::string& name) {
    if (name == "SHA1") {
        return EVP_sha1();
    }
    if (name == "SHA256") {
        return EVP_sha256();
    }
    if (name == "SHA384") {
        return EVP_sha384();
    }
    if (name == "SHA512") {
        return EVP_sha512();
    }
    return nullptr;
}

// Hashes with one context, reused (the key derivation hashes 100000 times).
class Hasher {
  public:
    explicit Hasher(const EVP_MD* md) : md_(md), ctx_(EVP_MD_CTX_new()) {
        if (ctx_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~Hasher() { EVP_MD_CTX_free(ctx_); }
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    std::size_t size() const { return static_cast<std::size_t>(EVP_MD_get_size(md_)); }

    // H(a + b), into `out` (resized to the hash's size).
    void hash(Bytes a, Bytes b, Buf& out) {
        out.resize(size());
        unsigned len = 0;
        if (EVP_DigestInit_ex(ctx_, md_, nullptr) != 1 ||
            EVP_DigestUpdate(ctx_, a.data(), a.size()) != 1 ||
            (!b.empty() && EVP_DigestUpdate(ctx_, b.data(), b.size()) != 1) ||
            EVP_DigestFinal_ex(ctx_, out.data(), &len) != 1) {
            throw Error(ErrorKind::io, "The cryptography library failed to compute a hash.");
        }
    }
    Buf hash(Bytes a, Bytes b = {}) {
        Buf out;
        hash(a, b, out);
        return out;
    }

    // H_n of H_0 = `start`, H_i = H(LE32(i - 1) + H_(i - 1)), in place.
    void rounds(Buf& h, int count) {
        Buf next;
        for (int i = 0; i < count; ++i) {
            const Buf counter = block_key(static_cast<std::uint32_t>(i));
            hash(Bytes(counter), Bytes(h), next);
            h.swap(next);
        }
        Secret::wipe(next);
    }

  private:
    const EVP_MD* md_;
    EVP_MD_CTX* ctx_;
};

// Cuts `b` to `len` bytes, or pads it with `pad`.
Buf fit(Buf b, std::size_t len, std::uint8_t pad) {
    b.resize(len, pad);
    return b;
}

const EVP_CIPHER* aes(std::size_t key_bytes, bool cbc) {
    switch (key_bytes) {
        case 16:
            return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        case 24:
            return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        case 32:
            return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
        default:
            return nullptr;
    }
}

// AES over whole blocks, no padding, in place.
void aes_apply(Bytes key, const std::uint8_t* iv, bool cbc, bool encrypting, std::uint8_t* data,
               std::size_t size) {
    const EVP_CIPHER* cipher = aes(key.size(), cbc);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    int out = 0;
    int last = 0;
    if (cipher == nullptr || ctx == nullptr ||
        EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), cbc ? iv : nullptr,
                          encrypting ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), data, &out, data, static_cast<int>(size)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), data + out, &last) != 1 ||
        static_cast<std::size_t>(out + last) != size) {
        throw Error(ErrorKind::io, "The cryptography library failed to run AES.");
    }
}

Buf utf16_password(const std::optional<std::string>& password) {
    std::u16string units = utf8_to_utf16(password.value_or(""));
    if (units.size() > kMaxOfficePassword) {
        units.resize(kMaxOfficePassword);
    }
    Buf out;
    out.reserve(units.size() * 2);
    for (char16_t c : units) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    OPENSSL_cleanse(units.data(), units.size() * sizeof(char16_t));
    return out;
}

bool equal_prefix(const Buf& a, const Buf& b, std::size_t n) {
    return a.size() >= n && b.size() >= n && CRYPTO_memcmp(a.data(), b.data(), n) == 0;
}

// ---- CryptoAPI (version x.2): RC4, standard AES, non-standard AES --------

struct CryptoApiInfo {
    std::uint32_t flags = 0;
    std::uint32_t alg = 0;
    std::uint32_t hash_alg = 0;
    std::uint32_t key_bits = 0;
    std::u16string csp;
    Buf salt;
    Buf verifier;
    std::uint32_t verifier_hash_size = 0;
    Buf verifier_hash;
};

CryptoApiInfo read_cryptoapi(Bytes info, const std::string& file) {
    // version (4), flags (4), header size (4), EncryptionHeader, EncryptionVerifier
    if (info.size() < 12) {
        damaged(file, "the encryption header is cut short.");
    }
    const std::uint32_t header_size = le32(info, 8);
    if (header_size < 32 || header_size > info.size() - 12) {
        damaged(file, "the encryption header's size is out of range.");
    }
    CryptoApiInfo c;
    const Bytes h = info.subspan(12, header_size);
    c.flags = le32(h, 0);
    c.alg = le32(h, 8);
    c.hash_alg = le32(h, 12);
    c.key_bits = le32(h, 16);
    for (std::size_t at = 32; at + 1 < h.size(); at += 2) {
        const auto unit = static_cast<char16_t>(le16(h, at));
        if (unit == 0) {
            break;
        }
        c.csp.push_back(unit);
    }
    const Bytes v = info.subspan(12 + header_size);
    if (v.size() < 4 + 16 + 16 + 4 || le32(v, 0) != 16) {
        damaged(file, "the password verifier is cut short or its salt is not 16 bytes.");
    }
    c.salt.assign(v.begin() + 4, v.begin() + 20);
    c.verifier.assign(v.begin() + 20, v.begin() + 36);
    c.verifier_hash_size = le32(v, 36);
    const std::size_t stored = v.size() - 40;
    c.verifier_hash.assign(v.begin() + 40, v.begin() + 40 + static_cast<std::ptrdiff_t>(stored));
    if (c.verifier_hash_size == 0 || c.verifier_hash_size > 20) {
        damaged(file, "the password verifier's hash size is out of range.");
    }
    return c;
}

// The CryptoAPI AES key for a block: the hash of the rounds' result and the
// block key, stretched through the 0x36/0x5C construction.
Buf standard_aes_key(Hasher& sha1, const Buf& rounds, Bytes block, std::size_t key_bytes) {
    Secret h(sha1.hash(Bytes(rounds), block));
    Buf x1(64, 0x36);
    Buf x2(64, 0x5C);
    for (std::size_t i = 0; i < h.bytes.size(); ++i) {
        x1[i] ^= h.bytes[i];
        x2[i] ^= h.bytes[i];
    }
    Buf key = sha1.hash(Bytes(x1));
    Secret second(sha1.hash(Bytes(x2)));
    key.insert(key.end(), second.bytes.begin(), second.bytes.end());
    Secret::wipe(x1);
    Secret::wipe(x2);
    return fit(std::move(key), key_bytes, 0);
}

Buf rc4_key(Hasher& sha1, const Buf& base, Bytes block, std::size_t key_bytes) {
    Buf key = fit(sha1.hash(Bytes(base), block), key_bytes, 0);
    if (key_bytes == 5) {
        key.resize(16, 0);  // a 40-bit key is used as 128 bits, zero-padded
    }
    return key;
}

// ---- agile (version 4.4) ----------------------------------------------

struct AgileParams {
    std::map<std::string, std::string> key_data;   // attributes of <keyData>
    std::map<std::string, std::string> encrypted;  // attributes of the password <encryptedKey>
    int password_encryptors = 0;
    bool in_password_encryptor = false;
};

void XMLCALL agile_start(void* user, const XML_Char* name, const XML_Char** attrs) {
    auto* p = static_cast<AgileParams*>(user);
    const std::string n = name;
    std::map<std::string, std::string> a;
    for (std::size_t i = 0; attrs[i] != nullptr; i += 2) {
        a[attrs[i]] = attrs[i + 1];
    }
    if (n == std::string(kEncryptionNs) + "|keyData") {
        p->key_data = a;
    } else if (n == std::string(kEncryptionNs) + "|keyEncryptor") {
        p->in_password_encryptor = a["uri"] == kPasswordNs;
    } else if (n == std::string(kPasswordNs) + "|encryptedKey" && p->in_password_encryptor) {
        p->encrypted = a;
        ++p->password_encryptors;
    }
}

void XMLCALL agile_end(void*, const XML_Char*) {}

AgileParams parse_agile(Bytes xml, const std::string& file) {
    AgileParams p;
    std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)> parser(
        XML_ParserCreateNS(nullptr, '|'), &XML_ParserFree);
    if (!parser) {
        throw std::bad_alloc();
    }
    XML_SetUserData(parser.get(), &p);
    XML_SetElementHandler(parser.get(), agile_start, agile_end);
    // The descriptor may be followed by padding: parse up to its last '>'.
    std::size_t end = xml.size();
    while (end > 0 && xml[end - 1] != '>') {
        --end;
    }
    if (XML_Parse(parser.get(), reinterpret_cast<const char*>(xml.data()), static_cast<int>(end),
                  XML_TRUE) != XML_STATUS_OK) {
        damaged(file, std::string("its XML descriptor does not parse (") +
                          XML_ErrorString(XML_GetErrorCode(parser.get())) + ").");
    }
    if (p.key_data.empty() || p.password_encryptors != 1) {
        damaged(file, "its XML descriptor has no key data or not exactly one password key.");
    }
    return p;
}

Buf base64(const std::string& text, const std::string& file, const char* what) {
    Buf out(text.size() / 4 * 3 + 3);
    std::unique_ptr<EVP_ENCODE_CTX, decltype(&EVP_ENCODE_CTX_free)> ctx(EVP_ENCODE_CTX_new(),
                                                                        &EVP_ENCODE_CTX_free);
    int len = 0;
    int last = 0;
    if (!ctx) {
        throw std::bad_alloc();
    }
    EVP_DecodeInit(ctx.get());
    if (EVP_DecodeUpdate(ctx.get(), out.data(), &len,
                         reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size())) < 0 ||
        EVP_DecodeFinal(ctx.get(), out.data() + len, &last) != 1) {
        damaged(file, std::string("its ") + what + " is not base64.");
    }
    out.resize(static_cast<std::size_t>(len + last));
    return out;
}

std::size_t number(const std::map<std::string, std::string>& a, const char* name,
                   const std::string& file) {
    const auto it = a.find(name);
    if (it == a.end() || it->second.empty() || it->second.size() > 9 ||
        !std::all_of(it->second.begin(), it->second.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
        damaged(file, std::string("its XML descriptor lacks a valid \"") + name + "\".");
    }
    return std::stoul(it->second);
}

std::string text_of(const std::map<std::string, std::string>& a, const char* name) {
    const auto it = a.find(name);
    return it == a.end() ? std::string() : it->second;
}

// An agile cipher's algorithm, chaining and hash must be ones read here.
void check_agile_algorithms(const std::map<std::string, std::string>& a, const std::string& file) {
    const std::string cipher = text_of(a, "cipherAlgorithm");
    const std::string chaining = text_of(a, "cipherChaining");
    const std::string hash = text_of(a, "hashAlgorithm");
    if (cipher != "AES" || chaining != "ChainingModeCBC" || digest_named(hash) == nullptr) {
        unsupported(file, "(agile, " + cipher + " " + chaining + " with " + hash + ")");
    }
}

}  // namespace

OfficeCipher::~OfficeCipher() {
    Secret::wipe(secret_);
}

std::shared_ptr<const OfficeCipher> OfficeCipher::open(const Header& header,
                                                       const std::optional<std::string>& password,
                                                       const std::string& file) {
    const Bytes page(header.plain.data(), header.plain.size());
    const std::size_t length = le16(page, header_offsets::kAceCryptInfo);
    if (length < 8 || length > page.size() - kInfoStart) {
        damaged(file, "its length (" + std::to_string(length) + " bytes) is out of range.");
    }
    const Bytes info = page.subspan(kInfoStart, length);
    const std::uint16_t major = le16(info, 0);
    const std::uint16_t minor = le16(info, 2);
    std::shared_ptr<OfficeCipher> c(new OfficeCipher());
    c->encoding_key_ = header.encoding_key;
    const Secret pwd(utf16_password(password));

    if (major == 4 && minor == 4) {
        if (le32(info, 4) != 0x40) {
            damaged(file, "the agile encryption info's reserved value is not 0x40.");
        }
        const AgileParams p = parse_agile(info.subspan(8), file);
        check_agile_algorithms(p.key_data, file);
        check_agile_algorithms(p.encrypted, file);
        const Buf salt = base64(text_of(p.encrypted, "saltValue"), file, "password salt");
        const std::size_t spins = number(p.encrypted, "spinCount", file);
        const std::size_t bits = number(p.encrypted, "keyBits", file);
        const std::size_t block = number(p.encrypted, "blockSize", file);
        const std::size_t salt_size = number(p.encrypted, "saltSize", file);
        const std::size_t hash_size = number(p.encrypted, "hashSize", file);
        if (aes(bits / 8, true) == nullptr || bits % 8 != 0 || block != 16 || salt.size() < 16 ||
            spins > 10000000) {  // the most [MS-OFFCRYPTO] allows
            unsupported(file, "(agile, a " + std::to_string(bits) + "-bit key, " +
                                  std::to_string(block) + "-byte blocks)");
        }
        Hasher h(digest_named(text_of(p.encrypted, "hashAlgorithm")));
        if (hash_size != h.size()) {
            damaged(file, "its password hash size does not match its hash algorithm.");
        }
        // H(salt + password), then the spin rounds: shared by the three keys.
        Secret rounds(h.hash(Bytes(salt), Bytes(pwd.bytes)));
        h.rounds(rounds.bytes, static_cast<int>(spins));
        const auto decrypt_value = [&](const std::uint8_t(&blk)[8], const char* name) {
            Secret key(fit(h.hash(Bytes(rounds.bytes), Bytes(blk, 8)), bits / 8, 0x36));
            Buf value = base64(text_of(p.encrypted, name), file, name);
            if (value.empty() || value.size() % 16 != 0) {
                damaged(file, std::string("its ") + name + " is not whole AES blocks.");
            }
            aes_apply(Bytes(key.bytes), salt.data(), true, false, value.data(), value.size());
            return value;
        };
        Secret input(decrypt_value(kVerifierInputBlock, "encryptedVerifierHashInput"));
        Secret expected(decrypt_value(kVerifierValueBlock, "encryptedVerifierHashValue"));
        if (input.bytes.size() < salt_size) {
            damaged(file, "its verifier is shorter than its salt.");
        }
        input.bytes.resize(salt_size);
        const Secret actual(h.hash(Bytes(input.bytes)));
        if (!equal_prefix(actual.bytes, expected.bytes, h.size())) {
            bad_password();
        }
        Secret key_value(decrypt_value(kKeyValueBlock, "encryptedKeyValue"));
        const std::size_t data_bits = number(p.key_data, "keyBits", file);
        c->block_size_ = number(p.key_data, "blockSize", file);
        c->key_bytes_ = data_bits / 8;
        c->hash_ = text_of(p.key_data, "hashAlgorithm");
        c->salt_ = base64(text_of(p.key_data, "saltValue"), file, "key data salt");
        if (aes(c->key_bytes_, true) == nullptr || data_bits % 8 != 0 || c->block_size_ != 16 ||
            key_value.bytes.size() < c->key_bytes_) {
            unsupported(file, "(agile, a " + std::to_string(data_bits) + "-bit data key)");
        }
        c->secret_.assign(key_value.bytes.begin(),
                          key_value.bytes.begin() + static_cast<std::ptrdiff_t>(c->key_bytes_));
        c->scheme_ = OfficeScheme::agile;
        c->description_ =
            "agile encryption, AES-" + std::to_string(data_bits) + " with " + c->hash_;
        return c;
    }
    if (!((major == 2 || major == 3 || major == 4) && minor == 2)) {
        unsupported(file, "(version " + std::to_string(major) + "." + std::to_string(minor) + ")");
    }
    const CryptoApiInfo api = read_cryptoapi(info, file);
    if ((api.flags & kFlagCryptoApi) == 0 || (api.flags & kFlagExternal) != 0 ||
        (api.hash_alg != 0 && api.hash_alg != kHashSha1)) {
        unsupported(file, "(version " + std::to_string(major) + ".2, flags " +
                              std::to_string(api.flags) + ")");
    }
    const bool aes_alg = api.alg == kAlgAes128 || api.alg == kAlgAes192 || api.alg == kAlgAes256;
    const bool rc4 = (api.flags & kFlagAes) == 0 && (api.alg == kAlgRc4 || api.alg == 0);
    std::size_t bits = api.key_bits;
    if (rc4) {
        if (bits == 0) {
            // The provider's default: 40 bits for a "Base" provider, else 128.
            std::u16string lower;
            for (char16_t u : api.csp) {
                lower.push_back(u >= u'A' && u <= u'Z' ? static_cast<char16_t>(u + 32) : u);
            }
            bits = lower.empty() || lower.find(u" base ") != std::u16string::npos ? 40 : 128;
        }
        if (bits < 40 || bits > 128 || bits % 8 != 0) {
            unsupported(file, "(RC4 with a " + std::to_string(bits) + "-bit key)");
        }
    } else {
        const std::uint32_t alg = api.alg != 0 ? api.alg : kAlgAes128;
        if (!aes_alg && !(api.alg == 0 && (api.flags & kFlagAes) != 0)) {
            unsupported(file, "(CryptoAPI algorithm " + std::to_string(api.alg) + ")");
        }
        const std::size_t implied = alg == kAlgAes128 ? 128 : alg == kAlgAes192 ? 192 : 256;
        bits = bits == 0 ? implied : bits;
        if (bits != implied) {
            damaged(file, "its key size does not match its AES algorithm.");
        }
    }
    c->key_bytes_ = bits / 8;
    Hasher sha1(EVP_sha1());
    Secret base(sha1.hash(Bytes(api.salt), Bytes(pwd.bytes)));
    const Buf zero = block_key(0);  // the verifier is encrypted under block 0
    Secret verifier(Buf(api.verifier));
    Secret stored(Buf(api.verifier_hash));
    if (rc4) {
        if (stored.bytes.size() < 20) {
            damaged(file, "its verifier hash is cut short.");
        }
        stored.bytes.resize(20);
        const Secret key(rc4_key(sha1, base.bytes, Bytes(zero), c->key_bytes_));
        Rc4 stream(std::span<const std::uint8_t>(key.bytes));
        stream.apply(verifier.bytes);  // one stream over the verifier and then its hash
        stream.apply(stored.bytes);
        c->scheme_ = OfficeScheme::rc4_cryptoapi;
        c->secret_ = base.bytes;
        c->description_ = "RC4 CryptoAPI encryption, " + std::to_string(bits) + "-bit key";
    } else {
        if (stored.bytes.size() < 32) {
            damaged(file, "its verifier hash is cut short.");
        }
        stored.bytes.resize(32);
        // Databases whose info lacks the AES flag hash no rounds at all
        // (what Jackcess calls the non-standard provider).
        const bool standard = (api.flags & kFlagAes) != 0;
        sha1.rounds(base.bytes, standard ? kStandardRounds : 0);
        const Secret key(standard_aes_key(sha1, base.bytes, Bytes(zero), c->key_bytes_));
        aes_apply(Bytes(key.bytes), nullptr, false, false, verifier.bytes.data(), 16);
        aes_apply(Bytes(key.bytes), nullptr, false, false, stored.bytes.data(), 32);
        c->scheme_ = standard ? OfficeScheme::aes_standard : OfficeScheme::aes_nonstandard;
        c->secret_ = base.bytes;
        c->description_ = std::string(standard ? "standard" : "non-standard") + " CryptoAPI AES-" +
                          std::to_string(bits) + " encryption";
    }
    const Secret actual(sha1.hash(Bytes(verifier.bytes)));
    if (!equal_prefix(actual.bytes, stored.bytes, api.verifier_hash_size)) {
        bad_password();
    }
    return c;
}

void OfficeCipher::decrypt(std::uint32_t n, MutableBytes page) const {
    apply(n, page, false);
}

void OfficeCipher::encrypt(std::uint32_t n, MutableBytes page) const {
    apply(n, page, true);
}

void OfficeCipher::apply(std::uint32_t n, MutableBytes page, bool encrypting) const {
    const Buf block = block_key(encoding_key_ ^ n);
    switch (scheme_) {
        case OfficeScheme::rc4_cryptoapi: {
            Hasher sha1(EVP_sha1());
            Secret key(rc4_key(sha1, secret_, Bytes(block), key_bytes_));
            Rc4 stream(std::span<const std::uint8_t>(key.bytes));
            stream.apply(page);
            return;
        }
        case OfficeScheme::aes_standard:
        case OfficeScheme::aes_nonstandard: {
            Hasher sha1(EVP_sha1());
            Secret key(standard_aes_key(sha1, secret_, Bytes(block), key_bytes_));
            aes_apply(Bytes(key.bytes), nullptr, false, encrypting, page.data(), page.size());
            return;
        }
        case OfficeScheme::agile: {
            Hasher h(digest_named(hash_));
            const Buf iv = fit(h.hash(Bytes(salt_), Bytes(block)), block_size_, 0x36);
            aes_apply(Bytes(secret_), iv.data(), true, encrypting, page.data(), page.size());
            return;
        }
    }
}

}  // namespace jet
