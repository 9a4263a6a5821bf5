#pragma once
// Whether a database is open elsewhere, and a lock that says it is open here.
//
// Jet clients (and a file server on behalf of its Windows clients, where it
// maps their locks to POSIX ones) hold byte-range locks on the database file
// and on its lock file, the ".ldb" beside it. A database is in use when some
// other open file holds such a lock on either. A lock file nobody holds a
// lock on is a leftover of a crash and means nothing.
//
// DatabaseLock takes a write lock on the whole database file (an open file
// description lock: it conflicts with every other open of the file, in this
// process too), so that two compactions never work on one file at once and a
// Jet client opening it meanwhile finds it in use. Taking the lock is the
// test: it fails when anyone else holds a lock on the file.

#include <filesystem>

namespace jet {

// The lock file Jet keeps beside `database`: the same name with ".ldb"
// (".laccdb" for an .accdb).
std::filesystem::path lock_file_of(const std::filesystem::path& database);

class DatabaseLock {
  public:
    // Throws Error(in_use) naming the database when another open file holds
    // a lock on it or on its lock file; Error(io) when it cannot be opened.
    explicit DatabaseLock(const std::filesystem::path& database);
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;

    // Throws Error(in_use) when `database` no longer names the locked file
    // (another program put a new file in its place meanwhile).
    void expect_still_at(const std::filesystem::path& database) const;

  private:
    int fd_ = -1;
};

}  // namespace jet
