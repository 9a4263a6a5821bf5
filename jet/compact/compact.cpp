#include "jet/compact/compact.h"

#include <malloc.h>
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
#include <set>

#include "jet/check/checker.h"
#include "jet/check/findings.h"
#include "jet/compact/compact_internal.h"
#include "jet/compact/compactor.h"
#include "jet/compact/database_lock.h"
#include "jet/compact/output_file.h"
#include "jet/compact/verify.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/header.h"

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

// Damage in the source that compaction cannot mend ends it: thrown with the
// first such finding's description. What is left is mended in the copy: the
// indexes returned are rebuilt from their rows.
IndexSet indexes_to_rebuild(const CheckReport& report) {
    std::size_t damage = 0;
    const Finding* first = nullptr;
    for (const auto& f : report.findings) {
        if (f.severity == Severity::error && remedy_of(f, report) == Remedy::refuse) {
            first = first != nullptr ? first : &f;
            ++damage;
        }
    }
    if (first != nullptr) {
        // An index that would be rebuilt but for its keys: say why they cannot be computed.
        std::string unbuildable;
        if (first->index) {
            const auto it = report.uncomputable_indexes.find({first->table_page, *first->index});
            if (it != report.uncomputable_indexes.end()) {
                unbuildable = " The index cannot be rebuilt from its rows: " + it->second + ".";
            }
        }
        throw Error(ErrorKind::damaged,
                    "The database is damaged (" + first->code + "): " + first->description +
                        (damage > 1 ? " jetcheck lists " + std::to_string(damage - 1) +
                                          " further problem(s) of this kind."
                                    : "") +
                        unbuildable + " A compacted copy would not hold the same data." +
                        (salvage_gets_past(report)
                             ? " \"jetcompact --salvage\" writes a copy of what can still be read "
                               "and lists what is lost."
                             : ""));
    }
    return report.damaged_indexes;
}

// The repairs the check of the source stands for: stale values the copy
// holds rebuilt, one per kind of finding and table (unless the compactor
// reported that repair itself), and each index rebuilt from its rows.
void add_source_repairs(const CheckReport& report, std::vector<Repair>& repairs) {
    std::map<std::pair<std::string, std::string>, std::size_t> mended;  // (code, table) -> count
    std::vector<const Finding*> order;
    std::set<std::pair<std::uint32_t, std::uint32_t>> rebuilt;
    for (const auto& f : report.findings) {
        const Remedy remedy = remedy_of(f, report);
        if (remedy == Remedy::drop) {
            repairs.push_back(Repair{f.code, f.table,
                                     f.description + " The copy leaves them out; their pages "
                                                     "are freed."});
            continue;
        }
        if (f.severity != Severity::error) {
            continue;
        }
        if (remedy == Remedy::rebuild) {
            if (f.index && rebuilt.insert({f.table_page, *f.index}).second) {
                const auto unknown = report.uncomputable_indexes.find({f.table_page, *f.index});
                repairs.push_back(
                    Repair{f.code, f.table,
                           "Index " + std::to_string(*f.index) + " of table \"" + f.table +
                               "\" was damaged (" + f.description + "); " +
                               (unknown == report.uncomputable_indexes.end()
                                    ? "the copy holds it rebuilt from the table's rows."
                                    : "the copy holds it without the entries of rows the table "
                                      "does not have, the others with the keys they had (" +
                                          unknown->second + ").")});
            }
        } else if (mended[{f.code, f.table}]++ == 0) {
            order.push_back(&f);
        }
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

Database open_source(const std::filesystem::path& source,
                     const std::optional<std::string>& password,
                     const std::map<std::uint32_t, std::vector<std::uint32_t>>& unlisted_pages,
                     std::shared_ptr<const PageCipher> cipher, const PageFile* share) {
    OpenOptions open_options;
    open_options.share = share;
    open_options.password = password;
    open_options.verify_password = false;
    open_options.unlisted_pages = unlisted_pages;
    open_options.cipher = std::move(cipher);
    return Database(source, open_options);
}

namespace {

// How much of the source the check that runs beside the writing compares.
enum class SourceCheck {
    // All but the index entries: a compacted copy holds the source's
    // entries, each naming its row's new place, and the check of the copy
    // compares them with its rows, which hold the source's values. The
    // source's trees are still walked for their pages and their shape.
    // Where the source's check finds anything, or the compactor meets an
    // entry it cannot place, the check is run again whole, and its report
    // used: the copy is written as from a whole check. Where the copy's
    // check fails, the compaction is done again with the whole check:
    // entries that did not match their rows in the source are rebuilt then,
    // as they would have been.
    entries_in_the_copy,
    whole,
};

CompactResult compact_checked(const Database& src, const std::filesystem::path& source,
                              const std::filesystem::path& destination,
                              const CompactOptions& options, const std::filesystem::path& shown,
                              SourceCheck scope) {
    const std::filesystem::path& named = shown.empty() ? source : shown;
    const Header& header = src.header();
    const std::string wanted = options.destination_password.value_or("");
    PageBuf page0 = header.raw;
    if (header.office_encrypted()) {
        // The password was checked when the source was opened. The copy
        // keeps page 0 as it is, encryption info included: the same
        // password opens it, and every page is encrypted under its new
        // number with the same keys.
        if (wanted != options.source_password.value_or("")) {
            throw Error(ErrorKind::invalid_argument,
                        "\"" + named.string() +
                            "\" is encrypted with its password: the compacted copy keeps that "
                            "password and its encryption. To change or remove the password, do "
                            "so in Access. Nothing was written.");
        }
    } else {
        const std::string current = decode_password(header);
        if (!current.empty() && !password_matches(header, options.source_password)) {
            throw Error(ErrorKind::bad_password, kNotAValidPassword);
        }
        if (wanted != current && header.is_ace()) {
            throw Error(ErrorKind::invalid_argument, kAcePasswordChange);
        }
        if (wanted != current && header.workgroup) {
            throw Error(ErrorKind::invalid_argument,
                        "\"" + source.string() +
                            "\" is a workgroup information file (.mdw), which holds the accounts "
                            "of Access's user-level security: a database password is not set on "
                            "one. Its password was kept as it is and nothing was written.");
        }
        if (wanted != current) {
            set_password(MutableBytes(page0.data(), page0.size()), wanted);
        }
    }
    const auto& cipher = src.file().cipher();
    const std::optional<std::string> check_password =
        cipher ? options.source_password : std::nullopt;
    const struct stat facts = file_facts(source);

    std::optional<OutputFile> out(std::in_place, destination, src.file().encoding_key(), cipher);
    // The source is checked in a second thread, over a Database of its own,
    // while the copy is written: damage found there refuses the compaction,
    // stale values it finds are what the copy mends. The source's rows do
    // not depend on the copy (but for the Id columns of the system tables):
    // the check's walk digests them on the way, so that they are read once
    // for both; the digests are taken once the check has returned. Both
    // readers of the source read it through the handle and page cache of
    // `src`: the file is opened once. Leaving this function early waits for
    // the check.
    SourceDigests source_digests(digest_jobs(src));
    auto source_check =
        std::async(std::launch::async, [&src, &check_password, &source_digests, scope] {
            CheckOptions digesting;
            digesting.rows = &source_digests;
            digesting.index_keys = scope == SourceCheck::whole;
            digesting.index_entries = scope == SourceCheck::whole;
            CheckReport report = check_file(src.file(), digesting, check_password);
            if (report.error_count() != 0 && !digesting.index_entries) {
                // The rows are digested already: they are not shown again.
                report = check_file(src.file(), CheckOptions{}, check_password);
            }
            return report;
        });
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
    // Pages of rows the source's owned-pages maps leave out that the check
    // took as the tables': the source is read again with them.
    std::optional<std::map<std::uint32_t, std::vector<std::uint32_t>>> read_again;
    try {
        // The copy is written trusting every index tree; when the check of
        // the source finds trees that disagree with their rows (or the
        // writer meets one it cannot read), it is written again with those
        // indexes rebuilt from the rows.
        IndexSet rebuild;
        std::optional<CheckReport> checked;
        try {
            written_result =
                write_compacted(src, *out, page0, writing, {}, options.index_pages_for_threads);
            out->start_writeback();
        } catch (const Error& e) {
            if (e.kind() != ErrorKind::damaged) {
                throw;
            }
            checked = source_check.get();
            if (scope != SourceCheck::whole && checked->error_count() == 0) {
                // The quick check did not look at the entries the compactor
                // stumbled over: the whole one says what is wrong with them.
                checked = check_file(src.file(), CheckOptions{}, check_password);
            }
            rebuild = indexes_to_rebuild(*checked);
            if (rebuild.empty() && checked->unlisted_pages == src.unlisted_pages()) {
                throw;
            }
            written_result.reset();
        }
        if (!checked) {
            checked = source_check.get();
            rebuild = indexes_to_rebuild(*checked);
        }
        if (checked->unlisted_pages != src.unlisted_pages()) {
            read_again = checked->unlisted_pages;
            rebuild.clear();
        }
        if (!rebuild.empty() && !read_again) {
            out.reset();
            out.emplace(destination, src.file().encoding_key(), cipher);
            written_result = write_compacted(src, *out, page0, writing, rebuild,
                                             options.index_pages_for_threads);
            out->start_writeback();
        }
        // A failure to read the source is the source's, and said as such.
        // (When it is read again, the copy written so far is not used, and
        // may not have been written at all.)
        if (!read_again) {
            digested = source_digests.take();
            add_source_repairs(*checked, written_result->repairs);
        }
    } catch (const Error& e) {
        // Damage met in the source, or a result too large for the format,
        // ends the compaction with its description and says that nothing
        // came of it.
        if (e.kind() != ErrorKind::damaged && e.kind() != ErrorKind::too_large) {
            throw;
        }
        throw Error(e.kind(), std::string(e.what()) + " Nothing was written; \"" + named.string() +
                                  "\" is unchanged.");
    }
    if (read_again) {
        out.reset();
        const Database again =
            open_source(source, options.source_password, *read_again, cipher, &src.file());
        // Checked whole: only the walk of the entries finds such pages, and
        // the check must find them again to take the source as read so.
        return compact_checked(again, source, destination, options, shown, SourceCheck::whole);
    }
    const CompactorResult& result = *written_result;
    const TableDigests& expected = *digested;
    report(700);
    // The source is read little from here on: its cache, and what the
    // writing held, go back before the copy is read back.
    src.file().drop_cache();
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
    try {
        OpenOptions reopen;
        reopen.password = wanted;
        const Database written(out->read_path(), reopen);
        verify_compacted(src, written, result.ids, result.source_has_stale_ids,
                         destination.string(), &expected, &result.raised_counters,
                         &result.widened_tables);
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
    out->commit(facts.st_mode & 07777, facts.st_uid, facts.st_gid);
    report(kTotal);
    return CompactResult{src.file().size_bytes(), out->bytes_written(), result.repairs, {}};
}

}  // namespace

CompactResult compact_locked(const Database& src, const std::filesystem::path& source,
                             const std::filesystem::path& destination,
                             const CompactOptions& options, const std::filesystem::path& shown) {
    // Progress never goes back, though the work may be done again.
    CompactOptions steady = options;
    std::uint64_t highest = 0;
    if (options.progress) {
        steady.progress = [&](std::uint64_t done, std::uint64_t total) {
            highest = std::max(highest, done);
            options.progress(highest, total);
        };
    }
    try {
        return compact_checked(src, source, destination, steady, shown,
                               SourceCheck::entries_in_the_copy);
    } catch (const Error& e) {
        if (e.kind() != ErrorKind::verification_failed) {
            throw;
        }
    }
    // The copy (gone by now) did not hold what it should: the source's
    // index keys may not match its rows. Done again as from a whole check,
    // which rebuilds such indexes, or fails the same way.
    return compact_checked(src, source, destination, steady, shown, SourceCheck::whole);
}

void return_large_blocks_when_freed() {
#ifdef __GLIBC__
    // 4 MiB: a table's arrays are above it; page runs, cache blocks and
    // row buffers, allocated and freed all the time, are below it.
    ::mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    // Fixing that threshold fixes the one for giving back the heap's top
    // too, at 128 KB: the heap would shrink and grow again (and be faulted
    // in again) with every page run. Freed memory there is kept up to this.
    ::mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
#endif
}

CompactResult compact(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const CompactOptions& options) {
    // The lock first: a file replaced between opening and locking would be
    // compacted as it was and then put over its replacement.
    const DatabaseLock lock(source);
    const Database src = open_source(source, options.source_password);
    lock.expect_still_at(source);
    return compact_locked(src, source, destination, options);
}

CompactResult compact_in_place(const std::filesystem::path& database, const CompactOptions& options,
                               bool keep_original) {
    const DatabaseLock lock(database);
    const Database src = open_source(database, options.source_password);
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
