#include "jet/compact/database_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "jet/format/error.h"

namespace jet {

namespace {

struct flock whole_file(short type) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = 0;
    l.l_len = 0;  // to the end, however far the file grows
    return l;
}

[[noreturn]] void in_use(const std::filesystem::path& database, const std::string& how) {
    throw Error(ErrorKind::in_use,
                "The database \"" + database.string() + "\" is in use: " + how +
                    ". Close it in every program and on every computer that has it open, then "
                    "compact it again. Nothing was written.");
}

// True when an open file other than `fd`'s holds a lock on the file at `fd`.
bool locked_by_others(int fd) {
    struct flock l = whole_file(F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, &l) != 0) {
        return false;  // the file system keeps no locks: nothing to see
    }
    return l.l_type != F_UNLCK;
}

}  // namespace

std::filesystem::path lock_file_of(const std::filesystem::path& database) {
    std::filesystem::path ldb = database;
    // Access 2007 and later keep ".laccdb" beside an .accdb.
    std::string ext = database.extension().string();
    for (auto& c : ext) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    ldb.replace_extension(ext == ".accdb" ? ".laccdb" : ".ldb");
    return ldb;
}

DatabaseLock::DatabaseLock(const std::filesystem::path& database) {
    const std::filesystem::path ldb = lock_file_of(database);
    if (ldb != database) {
        const int lf = ::open(ldb.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (lf >= 0) {
            const bool held = locked_by_others(lf);
            ::close(lf);
            if (held) {
                in_use(database,
                       "its lock file \"" + ldb.string() + "\" is held by another program");
            }
        }
    }
    // A write lock needs the file open for writing; a file this user may
    // only read still gets a read lock, which keeps other compactions (and
    // writers) out just the same.
    short type = F_WRLCK;
    fd_ = ::open(database.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        type = F_RDLCK;
        fd_ = ::open(database.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd_ < 0) {
        const int err = errno;
        throw Error(ErrorKind::io,
                    "Cannot open \"" + database.string() + "\": " + std::strerror(err) + ".");
    }
    if (locked_by_others(fd_)) {
        ::close(fd_);
        fd_ = -1;
        in_use(database, "another program holds a lock on it");
    }
    struct flock l = whole_file(type);
    if (::fcntl(fd_, F_OFD_SETLK, &l) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        if (err == EAGAIN || err == EACCES) {
            in_use(database, "another program holds a lock on it");
        }
        // A file system without locks (some network mounts): nothing more
        // can be known, and nothing is held.
    }
}

void DatabaseLock::expect_still_at(const std::filesystem::path& database) const {
    struct stat held {};
    struct stat now {};
    if (fd_ >= 0 && ::fstat(fd_, &held) == 0 && ::stat(database.c_str(), &now) == 0 &&
        (held.st_dev != now.st_dev || held.st_ino != now.st_ino)) {
        in_use(database, "another program replaced it while it was being opened");
    }
}

DatabaseLock::~DatabaseLock() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing the file description releases its lock
    }
}

}  // namespace jet
