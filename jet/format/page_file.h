#pragma once
// Read-only access to the pages of a database file.
//
// Pages are as long as the file's format says (set_format, chosen from the
// header): 4096 bytes for Jet 4 and ACE, 2048 for Jet 3. Page 0 is never
// encoded; when the database carries an
// encoding key (set_encoding_key, taken from the header), every page n >= 1 is
// decoded on read, and in an Office-encrypted ACE file (set_cipher) every page
// n >= 1 is decrypted on read. The file is opened read-only and never written through
// this class.
//
// Pages are kept in a cache of 8 MB, in blocks of 64 KB (the bytes as
// stored, before decoding). A run of pages, or a page that follows one just
// read, brings in its whole block with one pread, so that walks over
// neighbouring pages cost a system call per block; a page read out of the
// way comes in alone. The handle and its cache may be shared by several
// readers of one file, each with its own format, codec and cipher
// (share()), in several threads: a block then comes in from the kernel
// about once for all of them. Memory stays bounded however large the file.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "jet/format/format.h"
#include "jet/format/text.h"

namespace jet {

// The bytes of one page, as long as its format's pages.
using PageBuf = std::vector<std::uint8_t>;

// A page of zeros of `format`.
inline PageBuf blank_page(const Format& format) {
    return PageBuf(format.page_size, 0);
}

// The encryption of every page but page 0, each under its own number: the
// Office encryption of an .accdb (OfficeCipher, which reads its keys from
// page 0 and the password). Safe to use from several threads at once.
class PageCipher {
  public:
    virtual ~PageCipher() = default;
    // Decrypts / encrypts page n (n >= 1) in place.
    virtual void decrypt(std::uint32_t n, MutableBytes page) const = 0;
    virtual void encrypt(std::uint32_t n, MutableBytes page) const = 0;
    // The scheme and its parameters, for a person ("agile encryption,
    // AES-256 with SHA512").
    virtual const std::string& description() const = 0;
};

// How a file's pages are stored: page 0 as it is; every other page
// encrypted by `cipher` when there is one, else RC4-encoded under `key` when
// that is not 0 (the header's encoding key), else as it is. One rule for the
// reader, the writer of the copy and salvage's working copy.
struct PageCodec {
    std::uint32_t key = 0;
    const PageCipher* cipher = nullptr;

    bool identity() const { return cipher == nullptr && key == 0; }
    // Page n as read from the file -> its plain bytes, in place.
    void decode(std::uint32_t n, MutableBytes page) const;
    // Plain bytes of page n -> as they are written to the file, in place.
    void encode(std::uint32_t n, MutableBytes page) const;
};

class PageFile {
  public:
    // Opens `path` read-only. Throws Error(io) when it cannot be opened or is
    // not a regular file.
    explicit PageFile(const std::filesystem::path& path);
    // The same, its pages read as `format`'s.
    PageFile(const std::filesystem::path& path, const Format& format);
    // Another reader of the file `other` reads, through its handle and cache:
    // no second open, and blocks either one read are there for the other.
    // It has no format, codec or cipher of its own until they are set; it is
    // used from one thread, `other` from another if need be.
    static PageFile share(const PageFile& other);
    // share(), with this reader's format, text codec, key and cipher: for
    // reading the same pages on another thread.
    PageFile reader_for_another_thread() const;
    ~PageFile();
    PageFile(const PageFile&) = delete;
    PageFile& operator=(const PageFile&) = delete;
    PageFile(PageFile&& other) noexcept;
    PageFile& operator=(PageFile&& other) noexcept;

    const std::filesystem::path& path() const { return path_; }
    std::uint64_t size_bytes() const { return size_; }
    // Whole pages in the file (a trailing partial page is not counted); 0
    // until the format is known.
    std::uint32_t page_count() const { return page_count_; }

    // The format the pages are read as (from the header). Until it is set
    // the file has no pages; reading one is an internal error.
    void set_format(const Format& format);
    const Format& format() const;
    bool has_format() const { return format_ != nullptr; }
    std::size_t page_size() const { return format().page_size; }
    // How text and names decode (UCS-2 until told otherwise).
    void set_text_codec(TextCodec codec) { text_ = std::move(codec); }
    const TextCodec& text() const { return text_; }

    void set_encoding_key(std::uint32_t key) { encoding_key_ = key; }
    std::uint32_t encoding_key() const { return encoding_key_; }
    void set_cipher(std::shared_ptr<const PageCipher> cipher) { cipher_ = std::move(cipher); }
    const std::shared_ptr<const PageCipher>& cipher() const { return cipher_; }

    // Reads (and decodes) page n. Throws Error(damaged) when n is past the end
    // of the file, Error(io) when the read fails.
    PageBuf read(std::uint32_t n) const;
    void read_into(std::uint32_t n, PageBuf& out) const;
    // Reads (and decodes) the `count` pages from `first` on with one system
    // call, into out[0..count). Same errors as read(). For walks over runs of
    // pages, where a call per page would cost more than the copying.
    void read_run(std::uint32_t first, std::uint32_t count, PageBuf* out) const;

    // Reads up to `count` raw bytes from offset 0 (no decoding), for the
    // format checks that run before anything else. Returns the bytes read.
    std::size_t read_prefix(std::uint8_t* out, std::size_t count) const;

    // "<file>, page <n>" for error descriptions.
    std::string where(std::uint32_t n) const;

    // Gives back the memory of the blocks cached for every reader sharing
    // this file's cache (a page asked for later is read again): for when
    // the readers that needed them are done.
    void drop_cache() const;

    // The pread calls made for pages through this file's handle so far, by
    // every reader sharing it (the measure of the cache's work).
    std::uint64_t reads_for_pages() const;

    struct Shared;
    struct Block;

  private:
    PageFile() = default;
    // Reads and decodes pages [first, first + count) into `bytes`, back to back.
    void read_bytes(std::uint32_t first, std::uint32_t count, std::uint8_t* bytes) const;
    // Reads the stored bytes of page n without the cache.
    void read_direct(std::uint32_t n, std::uint8_t* bytes) const;
    // Whether page n comes just after one of the last pages read, and the
    // note of a page read: how forward sweeps (a table's pages, an index's
    // leaves) are told from jumps, among several interleaved walks.
    bool follows_recent(std::uint32_t n) const;
    void note_read(std::uint32_t n) const;

    std::filesystem::path path_;
    std::shared_ptr<Shared> shared_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint32_t page_count_ = 0;
    std::uint32_t encoding_key_ = 0;
    const Format* format_ = nullptr;
    TextCodec text_;
    std::shared_ptr<const PageCipher> cipher_;
    static constexpr std::uint32_t kRecentGap = 32;
    mutable std::array<std::uint32_t, 4> recent_{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu,
                                                 0xFFFFFFFFu};
    mutable std::size_t recent_next_ = 0;
    // The block of the cache this reader read its last page from.
    mutable std::shared_ptr<Block> last_block_;
};

}  // namespace jet
