#include "jet/compact/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include "jet/format/error.h"

namespace jet {

namespace {

std::filesystem::path folder_of(const std::filesystem::path& p) {
    auto dir = p.parent_path();
    return dir.empty() ? std::filesystem::path(".") : dir;
}

bool exists_no_follow(const std::filesystem::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

void sync_folder(const std::filesystem::path& dir) {
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
}

}  // namespace

std::string destination_exists_description(const std::filesystem::path& destination) {
    return "The destination \"" + destination.string() +
           "\" already exists and is never overwritten: it may be the only copy of a database "
           "left by an earlier run that failed. Move it elsewhere or delete it, then try again.";
}

OutputFile::OutputFile(const std::filesystem::path& destination, std::uint32_t encoding_key,
                       std::shared_ptr<const PageCipher> cipher)
    : destination_(destination), key_(encoding_key), cipher_(std::move(cipher)) {
    if (exists_no_follow(destination)) {
        throw Error(ErrorKind::destination_exists, destination_exists_description(destination));
    }
    const auto dir = folder_of(destination);
#ifdef O_TMPFILE
    // The unnamed file is re-opened for verification through /proc.
    if (exists_no_follow("/proc/self/fd")) {
        fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
#endif
    if (fd_ < 0) {
        // No unnamed files here: a named one beside the destination instead.
        std::random_device rd;
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
            auto candidate =
                dir / ("." + destination.filename().string() + ".compacting-" + suffix);
            fd_ = ::open(candidate.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
            if (fd_ >= 0) {
                temp_path_ = candidate;
            } else if (errno != EEXIST) {
                break;
            }
        }
    }
    if (fd_ < 0) {
        const int err = errno;
        throw Error(ErrorKind::io, "Cannot create a temporary file in the folder \"" +
                                       dir.string() + "\" for \"" + destination.string() +
                                       "\": " + std::strerror(err) +
                                       ". Check that the folder exists and is writable.");
    }
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!committed_ && !temp_path_.empty()) {
        ::unlink(temp_path_.c_str());
    }
}

void OutputFile::throw_write_error(int err, std::uint32_t page) const {
    std::string what = std::strerror(err);
    std::string advice = err == ENOSPC || err == EDQUOT
                             ? " The disk is full: free some space or choose a destination on "
                               "another disk, then try again."
                             : " Check the destination's disk and try again.";
    throw Error(ErrorKind::io, "Writing the compacted copy \"" + destination_.string() +
                                   "\" failed at page " + std::to_string(page) + ": " + what + "." +
                                   advice + " Nothing was written under that name.");
}

void OutputFile::write_page(std::uint32_t n, const PageBuf& page) {
    if (fail_page_ && *fail_page_ == n) {
        throw_write_error(ENOSPC, n);
    }
    if (page_size_ == 0) {
        page_size_ = page.size();
    }
    if (page.size() != page_size_ || page_size_ == 0) {
        throw Error(ErrorKind::invalid_argument, "Internal error: a page of " +
                                                     std::to_string(page.size()) +
                                                     " bytes was handed over for a file of " +
                                                     std::to_string(page_size_) + "-byte pages.");
    }
    const std::size_t run_pages = kRunBytes / page_size_;
    // The run the page belongs to: one holding it already (written again),
    // one it continues, or a new one.
    Run* run = nullptr;
    std::size_t at = 0;
    for (Run& r : runs_) {
        if (n >= r.first && n - r.first < r.count) {
            run = &r;
            at = n - r.first;
            break;
        }
        if (n - r.first == r.count && r.count < run_pages) {
            run = &r;
            at = r.count;
        }
    }
    if (run == nullptr) {
        if (runs_.size() == kRuns) {
            // Room for a new run: the one that has waited longest goes out.
            std::size_t oldest = 0;
            for (std::size_t i = 1; i < runs_.size(); ++i) {
                oldest = runs_[i].used < runs_[oldest].used ? i : oldest;
            }
            write_run(oldest);
        }
        run = &runs_.emplace_back();
        run->first = n;
        run->bytes.reserve(kRunBytes);
    }
    // The page counts as gathered only once it is encrypted: a failure
    // half-way leaves nothing decoded among the pages to write.
    if (at == run->count) {
        run->bytes.resize((at + 1) * page_size_);
    }
    const MutableBytes buf(run->bytes.data() + at * page_size_, page_size_);
    std::copy(page.begin(), page.end(), buf.begin());
    PageCodec{key_, cipher_.get()}.encode(n, buf);
    run->count = std::max(run->count, at + 1);
    run->used = ++clock_;
    const std::uint64_t end = (static_cast<std::uint64_t>(n) + 1) * page_size_;
    if (end > size_) {
        size_ = end;
    }
    if (run->count == run_pages) {
        write_run(static_cast<std::size_t>(run - runs_.data()));
    }
}

void OutputFile::write_run(std::size_t i) {
    // Dropped from the list first: after a failure it is not written again.
    const Run run = std::move(runs_[i]);
    runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(i));
    const std::uint8_t* bytes = run.bytes.data();
    const std::size_t total = run.count * page_size_;
    const auto offset = static_cast<off_t>(static_cast<std::uint64_t>(run.first) * page_size_);
    std::size_t done = 0;
    while (done < total) {
        const ssize_t w =
            ::pwrite(fd_, bytes + done, total - done, offset + static_cast<off_t>(done));
        const auto page = static_cast<std::uint32_t>(run.first + done / page_size_);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_write_error(errno, page);
        }
        if (w == 0) {
            throw_write_error(ENOSPC, page);
        }
        done += static_cast<std::size_t>(w);
    }
    // The disk writes while the rest is computed, not all at the end.
    const auto from = static_cast<std::uint64_t>(offset);
    unsynced_from_ = std::min(unsynced_from_, from);
    unsynced_to_ = std::max(unsynced_to_, from + total);
    unsynced_bytes_ += total;
    if (unsynced_bytes_ >= kWritebackBytes) {
        start_writeback_of_written();
    }
}

void OutputFile::start_writeback_of_written() {
    if (unsynced_bytes_ != 0) {
        // Only a head start: where the file system does not take the request
        // (or takes it partly), commit()'s fsync writes the pages all the same.
        (void)::sync_file_range(fd_, static_cast<off_t>(unsynced_from_),
                                static_cast<off_t>(unsynced_to_ - unsynced_from_),
                                SYNC_FILE_RANGE_WRITE);
    }
    unsynced_from_ = UINT64_MAX;
    unsynced_to_ = 0;
    unsynced_bytes_ = 0;
}

void OutputFile::flush() {
    while (!runs_.empty()) {
        write_run(0);
    }
}

void OutputFile::sync() {
    flush();
    if (::fsync(fd_) != 0) {
        const int err = errno;
        throw Error(ErrorKind::io, "Flushing the compacted copy of \"" + destination_.string() +
                                       "\" to disk failed: " + std::strerror(err) +
                                       ". Nothing was written under that name.");
    }
}

void OutputFile::start_writeback() {
    flush();
    start_writeback_of_written();
}

std::filesystem::path OutputFile::read_path() const {
    if (!temp_path_.empty()) {
        return temp_path_;
    }
    return std::filesystem::path("/proc/self/fd") / std::to_string(fd_);
}

void OutputFile::commit(mode_t permissions, uid_t owner, gid_t group) {
    // The owner first: changing it may clear set-id bits.
    if (::fchown(fd_, owner, group) != 0 && ::fchown(fd_, static_cast<uid_t>(-1), group) != 0) {
        // Not allowed here: the copy stays the process's, like any new file.
    }
    if (::fchmod(fd_, permissions & 07777) != 0) {
        const int err = errno;
        throw Error(ErrorKind::io, "Cannot set the permissions of the compacted copy of \"" +
                                       destination_.string() + "\": " + std::strerror(err) + ".");
    }
    sync();
    int rc = 0;
    if (temp_path_.empty()) {
        const auto proc = read_path();
        rc = ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, destination_.c_str(), AT_SYMLINK_FOLLOW);
        if (rc != 0 && errno == ENOENT && !exists_no_follow(proc)) {
            rc = ::linkat(fd_, "", AT_FDCWD, destination_.c_str(), AT_EMPTY_PATH);
        }
    } else {
        rc = ::link(temp_path_.c_str(), destination_.c_str());
    }
    if (rc != 0) {
        const int err = errno;
        if (err == EEXIST) {
            throw Error(ErrorKind::destination_exists,
                        destination_exists_description(destination_));
        }
        throw Error(ErrorKind::io, "Cannot create the destination \"" + destination_.string() +
                                       "\": " + std::strerror(err) +
                                       ". The source was left as it was.");
    }
    committed_ = true;
    if (!temp_path_.empty()) {
        ::unlink(temp_path_.c_str());
        temp_path_.clear();
    }
    sync_folder(folder_of(destination_));
}

std::filesystem::path keep_backup(const std::filesystem::path& database) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const auto dir = folder_of(database);
    const std::string stem = database.stem().string();
    const std::string ext = database.extension().string();
    for (int n = 1; n < 1000; ++n) {
        const std::string suffix = n == 1 ? "" : "-" + std::to_string(n);
        const auto backup = dir / (stem + ".backup-" + stamp + suffix + ext);
        if (::link(database.c_str(), backup.c_str()) == 0) {
            sync_folder(dir);
            return backup;
        }
        const int err = errno;
        if (err == EEXIST) {
            continue;
        }
        if (err != EPERM && err != EOPNOTSUPP && err != EXDEV && err != EMLINK) {
            throw Error(ErrorKind::io, "Cannot keep a backup of \"" + database.string() +
                                           "\" as \"" + backup.string() +
                                           "\": " + std::strerror(err) + ". Nothing was changed.");
        }
        // No links here: a copy, made under a name nobody else can take.
        std::error_code ec;
        if (exists_no_follow(backup)) {
            continue;
        }
        if (!std::filesystem::copy_file(database, backup, ec) || ec) {
            throw Error(ErrorKind::io, "Cannot copy \"" + database.string() + "\" to \"" +
                                           backup.string() + "\" as a backup: " + ec.message() +
                                           ". Nothing was changed.");
        }
        const int fd = ::open(backup.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
        sync_folder(dir);
        return backup;
    }
    throw Error(ErrorKind::io, "Cannot find a free name for a backup of \"" + database.string() +
                                   "\". Nothing was changed.");
}

void replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int err = errno;
        throw Error(ErrorKind::io, "Cannot put the compacted copy \"" + from.string() +
                                       "\" in the place of \"" + to.string() +
                                       "\": " + std::strerror(err) + ".");
    }
    sync_folder(folder_of(to));
}

}  // namespace jet
