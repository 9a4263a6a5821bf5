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
#include <vector>

#include "jet/format/error.h"
#include "jet/format/rc4.h"

namespace jet {

namespace {

std::string describe_errno(int err) {
    return std::strerror(err);
}

// The unit of the cache: a whole number of pages of every format.
constexpr std::size_t kBlockBytes = std::size_t{64} * 1024;
// What a block knows is there, in units of the smallest page.
constexpr std::size_t kUnit = 2048;
constexpr std::uint32_t kAllUnits = 0xFFFFFFFFu;
static_assert(kBlockBytes / kUnit == 32);
// The cache: kSets sets of kWays blocks each (8 MB), the least recently
// used block of a set replaced.
constexpr std::size_t kSets = 32;
constexpr std::size_t kWays = 4;

// The units of `size` bytes from `within` (both multiples of kUnit).
std::uint32_t units_of(std::size_t within, std::size_t size) {
    const std::size_t count = size / kUnit;
    const std::uint32_t run = count >= 32 ? kAllUnits : (1u << count) - 1;
    return run << (within / kUnit);
}

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

// A block of the file, read whole, or filling page by page where reads
// jump about. Bytes are written only where their units are not yet
// marked present, and read only where they are.
struct PageFile::Block {
    std::uint64_t number = 0;  // offset / kBlockBytes
    std::atomic<std::uint32_t> present{0};
    std::unique_ptr<std::uint8_t[]> bytes;
};

struct PageFile::Shared {
    int fd = -1;
    std::uint64_t size = 0;
    std::atomic<std::uint64_t> reads{0};

    std::mutex mutex;
    struct Way {
        std::shared_ptr<Block> block;
        std::uint64_t used = 0;
    };
    std::array<Way, kSets * kWays> ways{};
    std::uint64_t clock = 0;

    // Buffers of blocks gone (dropped from the cache and done with by every
    // reader), for the next blocks: no allocation, and no fresh memory for
    // the kernel to fault in, per block. A block gives its buffer back when
    // its last holder lets it go, in that holder's thread, so the pool's
    // lock orders every read of the buffer before its next use. The blocks
    // hold the pool, which may outlive the cache.
    struct Pool {
        static constexpr std::size_t kSpare = 4;
        std::mutex mutex;
        std::vector<std::unique_ptr<std::uint8_t[]>> spare;

        Pool() { spare.reserve(kSpare); }  // give() runs in a deleter: it must not allocate
        std::unique_ptr<std::uint8_t[]> take() {
            const std::lock_guard<std::mutex> lock(mutex);
            if (spare.empty()) {
                return nullptr;
            }
            auto bytes = std::move(spare.back());
            spare.pop_back();
            return bytes;
        }
        void give(std::unique_ptr<std::uint8_t[]> bytes) {
            const std::lock_guard<std::mutex> lock(mutex);
            if (bytes && spare.size() < kSpare) {
                spare.push_back(std::move(bytes));
            }
        }
        void clear() {
            const std::lock_guard<std::mutex> lock(mutex);
            spare.clear();
        }
    };
    std::shared_ptr<Pool> pool = std::make_shared<Pool>();

    ~Shared() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    // Under the lock: the way holding block `number`, else nullptr.
    Way* way_of(std::uint64_t number) {
        Way* set = &ways[(number % kSets) * kWays];
        for (std::size_t w = 0; w < kWays; ++w) {
            if (set[w].block && set[w].block->number == number) {
                return &set[w];
            }
        }
        return nullptr;
    }

    // Under the lock: puts `block` in its way (its older self's, or the
    // set's least recently used).
    void install(const std::shared_ptr<Block>& block) {
        Way* victim = way_of(block->number);
        if (victim == nullptr) {
            Way* set = &ways[(block->number % kSets) * kWays];
            victim = set;
            for (std::size_t w = 1; w < kWays; ++w) {
                victim = set[w].used < victim->used ? &set[w] : victim;
            }
        }
        victim->block = block;  // the block dropped gives its buffer back when its readers are done
        victim->used = ++clock;
    }

    std::shared_ptr<Block> fresh(std::uint64_t number) {
        std::unique_ptr<std::uint8_t[]> bytes = pool->take();
        if (!bytes) {
            bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockBytes);
        }
        auto made = std::make_unique<Block>();
        made->number = number;
        made->bytes = std::move(bytes);
        // Should the shared pointer fail to be made, it deletes the block itself.
        return std::shared_ptr<Block>(made.release(), [pool = pool](Block* gone) {
            pool->give(std::move(gone->bytes));
            delete gone;
        });
    }

    // The block `number` holding the units `wanted`: from the cache, or read
    // whole now. nullptr when the read fails (the caller reads what it needs
    // on its own, which says what went wrong).
    std::shared_ptr<Block> whole(std::uint64_t number, std::uint32_t wanted) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (Way* way = way_of(number)) {
                if ((way->block->present.load(std::memory_order_acquire) & wanted) == wanted) {
                    way->used = ++clock;
                    return way->block;
                }
            }
        }
        auto block = fresh(number);
        reads.fetch_add(1, std::memory_order_relaxed);
        const ssize_t got = read_fully(fd, block->bytes.get(), kBlockBytes, number * kBlockBytes);
        if (got < 0) {
            return nullptr;
        }
        const std::size_t units = static_cast<std::size_t>(got) / kUnit;
        block->present.store(units == 0 ? 0 : units_of(0, units * kUnit),
                             std::memory_order_release);
        const std::lock_guard<std::mutex> lock(mutex);
        install(block);
        return block;
    }

    // The block `number` as the cache has it, perhaps without the units
    // wanted; a new empty one when it has none.
    std::shared_ptr<Block> some(std::uint64_t number) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (Way* way = way_of(number)) {
                way->used = ++clock;
                return way->block;
            }
        }
        auto block = fresh(number);
        const std::lock_guard<std::mutex> lock(mutex);
        if (Way* way = way_of(number)) {
            return way->block;  // made by another reader meanwhile
        }
        install(block);
        return block;
    }

    // Copies the `count` bytes read on their own into the units of `block`
    // from `within` that it does not have yet.
    void fill(Block& block, std::size_t within, std::size_t count, const std::uint8_t* bytes) {
        const std::lock_guard<std::mutex> lock(mutex);
        const std::uint32_t have = block.present.load(std::memory_order_relaxed);
        std::uint32_t added = 0;
        for (std::size_t at = 0; at < count; at += kUnit) {
            const std::uint32_t unit = units_of(within + at, kUnit);
            if ((have & unit) == 0) {
                std::memcpy(block.bytes.get() + within + at, bytes + at, kUnit);
                added |= unit;
            }
        }
        block.present.store(have | added, std::memory_order_release);
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

PageFile PageFile::reader_for_another_thread() const {
    PageFile file = share(*this);
    if (format_ != nullptr) {
        file.set_format(*format_);
    }
    file.text_ = text_;
    file.encoding_key_ = encoding_key_;
    file.cipher_ = cipher_;
    return file;
}

void PageFile::drop_cache() const {
    if (!shared_) {
        return;
    }
    last_block_.reset();
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    for (auto& way : shared_->ways) {
        way = {};  // a block being read stays with its reader until it is done
    }
    shared_->pool->clear();
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
    // Page by page through the cache. Runs, and single pages that follow
    // one read just before, bring in their whole block; other pages are read
    // alone (an index walk or a long value jumping about would otherwise
    // bring in sixteen times what it needs). A page a block read did not
    // reach (the file shrank, or the read failed) is read on its own, which
    // says what went wrong.
    const bool sweep = count > 1 || follows_recent(first);
    note_read(first + count - 1);
    std::shared_ptr<Block> block;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint64_t offset = std::uint64_t{first + k} * page_size;
        const std::uint64_t number = offset / kBlockBytes;
        const std::size_t within = static_cast<std::size_t>(offset - number * kBlockBytes);
        const std::uint32_t wanted = units_of(within, page_size);
        std::uint8_t* to = bytes + std::size_t{k} * page_size;
        if (!block || block->number != number) {
            // The block this reader read from last is asked first, without
            // the cache's lock: a walk over neighbouring pages finds most of
            // them there.
            if (last_block_ && last_block_->number == number &&
                (last_block_->present.load(std::memory_order_acquire) & wanted) == wanted) {
                block = last_block_;
            } else {
                block = sweep ? shared_->whole(number, wanted) : shared_->some(number);
            }
        }
        if (block && (block->present.load(std::memory_order_acquire) & wanted) == wanted) {
            std::memcpy(to, block->bytes.get() + within, page_size);
            continue;
        }
        read_direct(first + k, to);
        if (block) {
            shared_->fill(*block, within, page_size, to);
        }
    }
    if (block) {
        last_block_ = std::move(block);
    }
    const PageCodec codec{encoding_key_, cipher_.get()};
    if (!codec.identity()) {
        for (std::uint32_t k = 0; k < count; ++k) {
            codec.decode(first + k, MutableBytes(bytes + std::size_t{k} * page_size, page_size));
        }
    }
}

void PageCodec::decode(std::uint32_t n, MutableBytes page) const {
    if (n == 0) {
        return;
    }
    if (cipher != nullptr) {
        cipher->decrypt(n, page);
    } else if (key != 0) {
        apply_page_codec(key, n, page);
    }
}

void PageCodec::encode(std::uint32_t n, MutableBytes page) const {
    if (n == 0) {
        return;
    }
    if (cipher != nullptr) {
        cipher->encrypt(n, page);
    } else if (key != 0) {
        apply_page_codec(key, n, page);
    }
}

bool PageFile::follows_recent(std::uint32_t n) const {
    // A few pages ahead still counts: rows in key order step over pages
    // of other rows, index leaves over the data pages between them.
    for (const std::uint32_t r : recent_) {
        if (n > r && n - r <= 8) {
            return true;
        }
    }
    return false;
}

void PageFile::note_read(std::uint32_t n) const {
    // The stream this read continues moves on; else the oldest is replaced.
    for (std::uint32_t& r : recent_) {
        if (n >= r && n - r <= kRecentGap) {
            r = n;
            return;
        }
    }
    recent_[recent_next_] = n;
    recent_next_ = (recent_next_ + 1) % recent_.size();
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
