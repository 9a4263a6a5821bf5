#pragma once
// The file a compaction writes, kept invisible until it is complete.
//
// The pages go to a temporary file in the destination's folder: an unnamed
// one (O_TMPFILE) where the file system supports it, so that a process killed
// half-way leaves nothing behind, else a named one created with O_EXCL and
// removed on failure. Pages of an encoded database are encoded, and those of
// an Office-encrypted one encrypted, under their page number before they are
// written: no decoded page ever reaches the file. commit() flushes the data to disk, gives
// the file its permission bits and only then links it under the
// destination's name; the link never replaces an existing file.
//
// Until commit() succeeds nothing is visible under the destination's name;
// destroying an uncommitted OutputFile removes the temporary file.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "jet/format/page_file.h"

namespace jet {

class OutputFile {
  public:
    // Refuses (Error destination_exists) when `destination` already exists.
    // `encoding_key` 0 and no `cipher` write pages as given; with a cipher
    // every page but 0 is encrypted (and the key is not used).
    OutputFile(const std::filesystem::path& destination, std::uint32_t encoding_key,
               std::shared_ptr<const PageCipher> cipher = nullptr);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes page n (encoding it when the file has a key; page 0 never is).
    // Every page of one file has the length of the first one written.
    // Runs of consecutive pages are gathered, several at once (a table's
    // data pages and its long values grow side by side), and each is written
    // with one call when it reaches 512 KB or room is needed for another, so a
    // failure to write may be reported by a later call or by flush().
    void write_page(std::uint32_t n, const PageBuf& page);

    // Hands the gathered pages to the file system.
    void flush();

    // Flushes everything written so far to disk.
    void sync();

    // Hands the gathered pages to the file system and has it start writing
    // them to disk without waiting for them: the disk works while the copy
    // is read back for verification. commit() waits for what is left.
    void start_writeback();

    // A path under which the written file can be opened for reading
    // (verification), valid until commit() or destruction.
    std::filesystem::path read_path() const;

    // Flushes, gives the file the owner and group (where this process may
    // set them: root may set both, an owner only a group it belongs to;
    // otherwise they stay the process's) and the permission bits, and links
    // it under the destination's name (never replacing a file). Throws on
    // failure; the temporary file is then still removed by the destructor.
    void commit(mode_t permissions, uid_t owner, gid_t group);

    std::uint64_t bytes_written() const { return size_; }

    // Test hook: make the write of the given page fail as if the disk were full.
    void fail_write_of_page_for_testing(std::uint32_t n) { fail_page_ = n; }

  private:
    [[noreturn]] void throw_write_error(int err, std::uint32_t page) const;

    // Pages first .. first + count - 1, back to back, not yet written.
    struct Run {
        std::uint32_t first = 0;
        std::size_t count = 0;
        std::vector<std::uint8_t> bytes;
        std::uint64_t used = 0;  // when a page was last added
    };
    // Writes runs_[i] and drops it from the list.
    void write_run(std::size_t i);
    // Has the file system start writing to disk the bytes written since the
    // last call, without waiting for them.
    void start_writeback_of_written();

    std::filesystem::path destination_;
    std::filesystem::path temp_path_;  // empty for an unnamed file
    int fd_ = -1;
    std::uint32_t key_ = 0;
    std::shared_ptr<const PageCipher> cipher_;
    std::uint64_t size_ = 0;
    bool committed_ = false;
    std::optional<std::uint32_t> fail_page_;
    static constexpr std::size_t kRunBytes = std::size_t{512} * 1024;
    static constexpr std::size_t kRuns = 4;
    std::size_t page_size_ = 0;  // of every page, from the first one
    std::vector<Run> runs_;
    std::uint64_t clock_ = 0;
    // Written since the disk was last asked to write, and where: the disk is
    // asked every kWritebackBytes, so that it writes while the copy is made
    // rather than after it (a page written again later goes out again).
    static constexpr std::uint64_t kWritebackBytes = std::uint64_t{16} << 20;
    std::uint64_t unsynced_from_ = UINT64_MAX;
    std::uint64_t unsynced_to_ = 0;
    std::uint64_t unsynced_bytes_ = 0;
};

// Keeps `database` under a new name beside it ("name.backup-YYYYMMDD-HHMMSS.ext",
// with "-2", "-3" ... when taken) and returns that name: a second link to the
// same file where the file system has links, a flushed copy elsewhere.
std::filesystem::path keep_backup(const std::filesystem::path& database);

// Renames `from` over `to` in one step (both in one folder), then flushes
// the folder so that the change survives a crash.
void replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

// The description used when the destination exists: what to do about it.
std::string destination_exists_description(const std::filesystem::path& destination);

}  // namespace jet
