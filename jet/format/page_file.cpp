#include "jet/format/page_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "jet/format/error.h"
#include "jet/format/rc4.h"

namespace jet {

namespace {

std::string describe_errno(int err) {
    return std::strerror(err);
}

}  // namespace

PageFile::PageFile(const std::filesystem::path& path) : path_(path) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer forever;
    // anything that is not a regular file is refused just below.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        const int err = errno;
        throw Error(ErrorKind::io,
                    "Cannot open \"" + path.string() + "\" for reading: " + describe_errno(err));
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw Error(ErrorKind::io, "\"" + path.string() + "\" is not a regular file.");
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    size_ = static_cast<std::uint64_t>(st.st_size);
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

PageFile::~PageFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

PageFile::PageFile(PageFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      page_count_(other.page_count_),
      encoding_key_(other.encoding_key_),
      format_(other.format_),
      text_(std::move(other.text_)),
      cipher_(std::move(other.cipher_)) {}

PageFile& PageFile::operator=(PageFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
        page_count_ = other.page_count_;
        encoding_key_ = other.encoding_key_;
        format_ = other.format_;
        text_ = std::move(other.text_);
        cipher_ = std::move(other.cipher_);
    }
    return *this;
}

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
    if (count == 0) {
        return;
    }
    const std::size_t size = page_size();
    if (count == 1) {
        read_into(first, out[0]);
        return;
    }
    // One system call for the run, then a copy per page.
    std::vector<std::uint8_t> run(std::size_t{count} * size);
    read_bytes(first, count, run.data());
    for (std::uint32_t k = 0; k < count; ++k) {
        const auto from = run.begin() + static_cast<std::ptrdiff_t>(std::size_t{k} * size);
        out[k].assign(from, from + static_cast<std::ptrdiff_t>(size));
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
    const std::size_t total = std::size_t{count} * page_size;
    std::size_t done = 0;
    const auto base = static_cast<off_t>(static_cast<std::uint64_t>(first) * page_size);
    while (done < total) {
        const ssize_t got =
            ::pread(fd_, bytes + done, total - done, base + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            const auto n = static_cast<std::uint32_t>(first + done / page_size);
            throw Error(ErrorKind::io, "Cannot read " + where(n) + ": " + describe_errno(err));
        }
        if (got == 0) {
            const auto n = static_cast<std::uint32_t>(first + done / page_size);
            throw Error(ErrorKind::truncated, "The file " + where(n) + " ends unexpectedly.");
        }
        done += static_cast<std::size_t>(got);
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
