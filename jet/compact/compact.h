#pragma once
// Compaction of a Jet 4.0 database into a new file.
//
// The source is opened read-only and never changed. The destination must not
// exist. The output is written to a temporary file beside the destination,
// flushed, verified (re-opened, checked, every table compared with the
// source) and only then renamed to the destination's name; on any failure the
// temporary file is removed and no destination appears.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace jet {

// Why a compaction does not change the password of an .accdb: there the
// password is the encryption of the whole file.
inline constexpr const char* kAcePasswordChange =
    "The password of an Access 2007 or later database (.accdb) is the encryption of the whole "
    "file, which compacting does not change: its copy keeps the password it has. Set or remove "
    "the password in Access.";

// Below this many pages in a table's index trees, a thread costs more than
// it saves: the trees are written one after the other, on the compaction's
// own thread.
inline constexpr std::uint32_t kIndexPagesForThreads = 256;

struct CompactOptions {
    // The source's password (UTF-8). Must match exactly when the source has a
    // password; ignored when it has none.
    std::optional<std::string> source_password;
    // The destination's password (UTF-8); nothing or empty: no password.
    // Another password than the source's masks every SID again (see
    // sid_mask.h); an .accdb's cannot change (Error(invalid_argument)).
    std::optional<std::string> destination_password;
    // Called now and then with the work done so far and the total (any unit).
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
    // A table's index trees are written on a thread of their own, beside
    // its rows and then beside each other, when they have at least this
    // many pages between them. (Lowered by the tests, so that small files
    // are written that way too.)
    std::uint32_t index_pages_for_threads = kIndexPagesForThreads;
};

// Something stale in the source that the compaction mended in the copy,
// losing nothing: the copy holds the same rows, with the value rebuilt.
struct Repair {
    std::string code;  // the checker's finding code, e.g. "autonumber-behind"
    std::string table;
    std::string description;  // for a person: what was wrong and what was done
};

struct CompactResult {
    std::uint64_t source_bytes = 0;
    std::uint64_t destination_bytes = 0;
    std::vector<Repair> repairs;
    std::filesystem::path backup;  // compact_in_place with keep_original: where the original is
};

// Throws jet::Error with a description on any failure; Error(in_use) when
// another program has the source open (see DatabaseLock), which it then
// keeps out until the copy is in place.
CompactResult compact(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const CompactOptions& options);

// Compacts `database` into its own place: the copy is written beside it,
// verified, given the database's owner, group and permission bits, and
// renamed over it in one step, so that its path always holds the original or
// the verified copy. With `keep_original` the original stays beside it under
// a new name (CompactResult::backup). Same refusals as compact().
CompactResult compact_in_place(const std::filesystem::path& database, const CompactOptions& options,
                               bool keep_original = false);

// Once, at the start of a process that compacts or checks large files (a
// tool's main, the window's): large blocks of memory (a table's row arrays,
// its rows' order) come from the system and go back to it when freed.
// glibc's allocator otherwise raises that threshold each time such a block
// is freed, so that the next tables' arrays stay resident after they are
// freed and a process's peak grows with every table walked. Elsewhere it
// does nothing.
void return_large_blocks_when_freed();

}  // namespace jet
