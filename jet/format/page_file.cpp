#include "jet/format/page_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "jet/format/error.h"
#include "jet/format/rc4.h"

namespace jet {

namespace {

std::string describe_errno(int err) {
    return std::strerror(err);
}

// The unit read from the file: a whole number of pages of every format.
constexpr std::size_t kBlockBytes = std::size_t{64} * 1024;
// The cache: kSets sets of kWays blocks each (8 MB), the least recently
// used block of a set replaced.
constexpr std::size_t kSets = 32;
constexpr std::size_t kWays = 4;

struct Block {
    std::uint64_t number = 0;  // offset / kBlockBytes
    std::size_t valid = 0;     // bytes read (fewer at the end of the file)
    std::unique_ptr<std::uint8_t[]> bytes;
};

// Reads up to `count` bytes at `offset`; fewer only at the end of the file.
// Returns the bytes read, or -1 with errno set.
ssize_t read_fully(int fd, std::uint8_t* out, std::size_t count, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got =
            ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

struct PageFile::Shared {
    int fd = -1;
    std::uint64_t size = 0;
    std::atomic<std::uint64_t> reads{0};

    std::mutex mutex;
    struct Way {
        std::shared_ptr<const Block> block;
        std::uint64_t used = 0;
    };
    std::array<Way, kSets * kWays> ways{};
    std::uint64_t clock = 0;

    ~Shared() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    std::shared_ptr<const Block> find(std::uint64_t number) {
        const std::lock_guard<std::mutex> lock(mutex);
        Way* set = &ways[(number % kSets) * kWays];
        for (std::size_t w = 0; w < kWays; ++w) {
            if (set[w].block && set[w].block->number == number) {
                set[w].used = ++clock;
                return set[w].block;
            }
        }
        return nullptr;
    }

    void keep(const std::shared_ptr<const Block>& block) {
        const std::lock_guard<std::mutex> lock(mutex);
        Way* set = &ways[(block->number % kSets) * kWays];
        Way* victim = set;
        for (std::size_t w = 0; w < kWays; ++w) {
            if (set[w].block && set[w].block->number == block->number) {
                victim = &set[w];  // read by another reader meanwhile
                break;
            }
            if (set[w].used < victim->used) {
                victim = &set[w];
            }
        }
        victim->block = block;
        victim->used = ++clock;
    }

    // The block `number`, from the cache or read now; nullptr when the read
    // fails (the caller reads what it needs without the cache).
    std::shared_ptr<const Block> block(std::uint64_t number) {
        if (auto found = find(number)) {
            return found;
        }
        auto fresh = std::make_shared<Block>();
        fresh->number = number;
        fresh->bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockBytes);
        reads.fetch_add(1, std::memory_order_relaxed);
        const ssize_t got = read_fully(fd, fresh->bytes.get(), kBlockBytes, number * kBlockBytes);
        if (got < 0) {
            return nullptr;
        }
        fresh->valid = static_cast<std::size_t>(got);
        std::shared_ptr<const Block> ready = std::move(fresh);
        keep(ready);
        return ready;
    }
};

PageFile::PageFile(const std::filesystem::path& path)
    : path_(path), shared_(std::make_shared<Shared>()) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer forever;
    // anything that is not a regular file is refused just below.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        const int err = errno;
        throw Error(ErrorKind::io,
                    "Cannot open \"" + path.string() + "\" for reading: " + describe_errno(err));
    }
    shared_->fd = fd_;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        throw Error(ErrorKind::io, "\"" + path.string() + "\" is not a regular file.");
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    // Mostly read front to back: a larger read-ahead window.
    (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    size_ = static_cast<std::uint64_t>(st.st_size);
    shared_->size = size_;
}

PageFile PageFile::share(const PageFile& other) {
    PageFile file;
    file.path_ = other.path_;
    file.shared_ = other.shared_;
    file.fd_ = other.fd_;
    file.size_ = other.size_;
    return file;
}

std::uint64_t PageFile::reads_for_pages() const {
    return shared_ ? shared_->reads.load(std::memory_order_relaxed) : 0;
}

PageFile::PageFile(const std::filesystem::path& path, const Format& format) : PageFile(path) {
    set_format(format);
}

void PageFile::set_format(const Format& format) {
    format_ = &format;
    const std::uint64_t pages = size_ / format.page_size;
    page_count_ = pages > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(pages);
}

const Format& PageFile::format() const {
    if (format_ == nullptr) {
        throw Error(ErrorKind::invalid_argument,
                    "Internal error: the pages of \"" + path_.string() +
                        "\" were read before the format of the file was known.");
    }
    return *format_;
}

PageFile::~PageFile() = default;
PageFile::PageFile(PageFile&& other) noexcept = default;
PageFile& PageFile::operator=(PageFile&& other) noexcept = default;

std::string PageFile::where(std::uint32_t n) const {
    return "\"" + path_.string() + "\", page " + std::to_string(n);
}

PageBuf PageFile::read(std::uint32_t n) const {
    PageBuf buf;
    read_into(n, buf);
    return buf;
}

void PageFile::read_into(std::uint32_t n, PageBuf& out) const {
    out.resize(page_size());
    read_bytes(n, 1, out.data());
}

void PageFile::read_run(std::uint32_t first, std::uint32_t count, PageBuf* out) const {
    for (std::uint32_t k = 0; k < count; ++k) {
        read_into(first + k, out[k]);
    }
}

void PageFile::read_bytes(std::uint32_t first, std::uint32_t count, std::uint8_t* bytes) const {
    const std::size_t page_size = this->page_size();
    if (first >= page_count_ || count > page_count_ - first) {
        const std::uint32_t n = first >= page_count_ ? first : page_count_;
        throw Error(ErrorKind::damaged, "The database " + where(n) +
                                            " is referenced but lies past the end of the file (" +
                                            std::to_string(page_count_) + " pages).");
    }
    // Page by page through the cache; a page the block read did not reach
    // (the file shrank, or the read failed) is read on its own, which says
    // what went wrong.
    std::shared_ptr<const Block> block;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint64_t offset = std::uint64_t{first + k} * page_size;
        const std::uint64_t number = offset / kBlockBytes;
        const std::size_t within = static_cast<std::size_t>(offset - number * kBlockBytes);
        std::uint8_t* to = bytes + std::size_t{k} * page_size;
        if (!block || block->number != number) {
            block = shared_->block(number);
        }
        if (block && block->valid >= within + page_size) {
            std::memcpy(to, block->bytes.get() + within, page_size);
        } else {
            read_direct(first + k, to);
        }
    }
    if (encoding_key_ != 0 || cipher_) {
        for (std::uint32_t k = 0; k < count; ++k) {
            if (first + k == 0) {
                continue;
            }
            const MutableBytes page(bytes + std::size_t{k} * page_size, page_size);
            if (cipher_) {
                cipher_->decrypt(first + k, page);
            } else {
                apply_page_codec(encoding_key_, first + k, page);
            }
        }
    }
}

void PageFile::read_direct(std::uint32_t n, std::uint8_t* bytes) const {
    const std::size_t page_size = this->page_size();
    shared_->reads.fetch_add(1, std::memory_order_relaxed);
    const ssize_t got = read_fully(fd_, bytes, page_size, std::uint64_t{n} * page_size);
    if (got < 0) {
        const int err = errno;
        throw Error(ErrorKind::io, "Cannot read " + where(n) + ": " + describe_errno(err));
    }
    if (static_cast<std::size_t>(got) < page_size) {
        throw Error(ErrorKind::truncated, "The file " + where(n) + " ends unexpectedly.");
    }
}

std::size_t PageFile::read_prefix(std::uint8_t* out, std::size_t count) const {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(fd_, out + done, count - done, static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            throw Error(ErrorKind::io,
                        "Cannot read \"" + path_.string() + "\": " + describe_errno(err));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

}  // namespace jet
