#include "jet/compact.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <optional>

#include "jet/checker.h"
#include "jet/compactor.h"
#include "jet/database.h"
#include "jet/error.h"
#include "jet/findings.h"
#include "jet/header.h"
#include "jet/output_file.h"
#include "jet/verify.h"

namespace jet {

namespace {

mode_t permission_bits(const std::filesystem::path& source) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        const int err = errno;
        throw Error(ErrorKind::io, "Cannot read the permissions of \"" + source.string() +
                                       "\": " + std::strerror(err) + ".");
    }
    return st.st_mode & 07777;
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

CompactResult compact(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const CompactOptions& options) {
    // The source: format checks and refusals first, nothing written yet.
    OpenOptions open_options;
    open_options.verify_password = false;
    const Database src(source, open_options);
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
    const mode_t mode = permission_bits(source);

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
        // Damage met in the source ends the compaction with its description,
        // and says that nothing came of it.
        if (e.kind() != ErrorKind::damaged) {
            throw;
        }
        throw Error(ErrorKind::damaged, std::string(e.what()) + " Nothing was written; \"" +
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
    out.commit(mode);
    report(kTotal);
    return CompactResult{src.file().size_bytes(), out.bytes_written(), result.repairs};
}

}  // namespace jet
