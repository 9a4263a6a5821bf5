#include "jet/compact.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <random>

#include "jet/checker.h"
#include "jet/compactor.h"
#include "jet/database.h"
#include "jet/database_lock.h"
#include "jet/error.h"
#include "jet/findings.h"
#include "jet/header.h"
#include "jet/output_file.h"
#include "jet/verify.h"

namespace jet {

namespace {

struct stat file_facts(const std::filesystem::path& source) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        const int err = errno;
        throw Error(ErrorKind::io, "Cannot read the permissions of \"" + source.string() +
                                       "\": " + std::strerror(err) + ".");
    }
    return st;
}

// What the check of the source means for the copy: damage ends the
// compaction (thrown, described); stale values the copy holds rebuilt are
// added to `repairs`, one per kind of finding and table, unless the
// compactor reported that repair itself.
void weigh_source_findings(const CheckReport& report, std::vector<Repair>& repairs) {
    std::size_t damage = 0;
    const Finding* first = nullptr;
    std::map<std::pair<std::string, std::string>, std::size_t> mended;  // (code, table) -> count
    std::vector<const Finding*> order;
    for (const auto& f : report.findings) {
        if (f.severity != Severity::error) {
            continue;
        }
        const FindingKind* kind = finding_kind(f.code);
        if (kind == nullptr || kind->remedy == Remedy::refuse) {
            first = first != nullptr ? first : &f;
            ++damage;
        } else if (mended[{f.code, f.table}]++ == 0) {
            order.push_back(&f);
        }
    }
    if (first != nullptr) {
        throw Error(ErrorKind::damaged,
                    "The database is damaged (" + first->code + "): " + first->description +
                        (damage > 1 ? " jetcheck lists " + std::to_string(damage - 1) +
                                          " further problem(s) of this kind."
                                    : "") +
                        " A compacted copy would not hold the same data.");
    }
    for (const Finding* f : order) {
        const bool reported = std::any_of(repairs.begin(), repairs.end(), [&](const Repair& r) {
            return r.code == f->code && r.table == f->table;
        });
        if (reported) {
            continue;
        }
        const std::size_t n = mended[{f->code, f->table}];
        repairs.push_back(Repair{
            f->code, f->table,
            f->description +
                (n > 1 ? " (" + std::to_string(n) + " findings of this kind.)" : std::string()) +
                " The copy holds this rebuilt from the data."});
    }
}

}  // namespace

// Opens the source for compacting: format checks and refusals first,
// nothing written yet.
Database open_source(const std::filesystem::path& source) {
    OpenOptions open_options;
    open_options.verify_password = false;
    return Database(source, open_options);
}

// Compacts the open, locked `src` (at `source`) into the new file
// `destination`.
CompactResult compact_locked(const Database& src, const std::filesystem::path& source,
                             const std::filesystem::path& destination,
                             const CompactOptions& options) {
    const Header& header = src.header();
    const std::string current = decode_password(header);
    if (!current.empty() && !password_matches(header, options.source_password)) {
        throw Error(ErrorKind::bad_password, kNotAValidPassword);
    }
    const std::string wanted = options.destination_password.value_or("");
    PageBuf page0 = header.raw;
    if (wanted != current) {
        set_password(MutableBytes(page0.data(), page0.size()), wanted);
    }
    const struct stat facts = file_facts(source);

    OutputFile out(destination, header.encoding_key);
    // The source's rows do not depend on the copy (but for the Id columns of
    // the system tables): they are digested in a second thread, over a
    // Database of its own, while the copy is written. Leaving this function
    // early stops that thread.
    DigestTask source_digests(source, digest_jobs(src), true);
    // The source is checked at the same time, over a Database of its own:
    // damage found there refuses the compaction, stale values it finds are
    // what the copy mends.
    auto source_check = std::async(std::launch::async, [&source] { return check_file(source); });
    // Progress: writing is seven tenths of the work, verification the rest.
    constexpr std::uint64_t kTotal = 1000;
    auto report = [&](std::uint64_t done) {
        if (options.progress) {
            options.progress(done, kTotal);
        }
    };
    std::function<void(std::uint64_t, std::uint64_t)> writing;
    if (options.progress) {
        writing = [&](std::uint64_t done, std::uint64_t total) {
            report(total != 0 ? done * 700 / total : 0);
        };
    }
    std::optional<CompactorResult> written_result;
    std::optional<TableDigests> digested;
    try {
        written_result = write_compacted(src, out, page0, writing);
        out.sync();
        // A failure to read the source is the source's, and said as such.
        digested = source_digests.take();
        weigh_source_findings(source_check.get(), written_result->repairs);
    } catch (const Error& e) {
        // Damage met in the source, or a result too large for the format,
        // ends the compaction with its description and says that nothing
        // came of it.
        if (e.kind() != ErrorKind::damaged && e.kind() != ErrorKind::too_large) {
            throw;
        }
        throw Error(e.kind(), std::string(e.what()) + " Nothing was written; \"" +
                                  source.string() + "\" is unchanged.");
    }
    const CompactorResult& result = *written_result;
    const TableDigests& expected = *digested;
    report(700);
    try {
        OpenOptions reopen;
        reopen.password = wanted;
        const Database written(out.read_path(), reopen);
        verify_compacted(src, written, result.ids, result.source_has_stale_ids,
                         destination.string(), &expected, &result.raised_counters);
    } catch (const Error& e) {
        if (e.kind() == ErrorKind::verification_failed) {
            throw;
        }
        throw Error(ErrorKind::verification_failed,
                    "The compacted copy for \"" + destination.string() +
                        "\" could not be read back: " + e.what() +
                        " The copy was discarded and nothing was replaced; the source is "
                        "unchanged.");
    }
    out.commit(facts.st_mode & 07777, facts.st_uid, facts.st_gid);
    report(kTotal);
    return CompactResult{src.file().size_bytes(), out.bytes_written(), result.repairs, {}};
}

CompactResult compact(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const CompactOptions& options) {
    // The lock first: a file replaced between opening and locking would be
    // compacted as it was and then put over its replacement.
    const DatabaseLock lock(source);
    const Database src = open_source(source);
    lock.expect_still_at(source);
    return compact_locked(src, source, destination, options);
}

CompactResult compact_in_place(const std::filesystem::path& database, const CompactOptions& options,
                               bool keep_original) {
    const DatabaseLock lock(database);
    const Database src = open_source(database);
    lock.expect_still_at(database);
    // The copy is written beside the database under a name of its own,
    // verified, then renamed over it in one step: at every moment the
    // database's path holds the original or the verified copy.
    std::random_device random;
    const std::filesystem::path copy =
        database.parent_path() / ("." + database.filename().string() + ".compacting-" +
                                  std::to_string(::getpid()) + "-" + std::to_string(random()));
    CompactResult result = compact_locked(src, database, copy, options);
    try {
        if (keep_original) {
            result.backup = keep_backup(database);
        }
        replace_file(copy, database);
    } catch (...) {
        std::filesystem::remove(copy);
        throw;
    }
    return result;
}

}  // namespace jet
