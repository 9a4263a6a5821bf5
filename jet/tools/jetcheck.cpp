// jetcheck: checks the structure of an Access database without changing it.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "jet/check/checker.h"
#include "jet/check/findings.h"
#include "jet/compact/compact.h"
#include "jet/compact/compactor.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/export.h"
#include "jet/format/page_file.h"
#include "options.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitErrors = 1;
constexpr int kExitCannotOpen = 2;

const char* const kHelp =
    "Usage: jetcheck [OPTIONS] FILE\n"
    "\n"
    "Checks the structure of an Access database without changing it: an .mdb of\n"
    "Access 97 (Jet 3) or Access 2000-2003 (Jet 4.0), or an .accdb of Access 2007,\n"
    "2010/2013, 2016 or 2019/365 (one encrypted with a password is read with --password). It "
    "checks pages and their owners, the global free map, the\n"
    "catalog, table definitions, usage maps, data pages and rows, long values\n"
    "(memo/OLE) and index trees, and every index entry against its row.\n"
    "\n"
    "Findings are errors (damage: a page used twice, an index out of order, a row\n"
    "that does not decode, a pointer to nothing ...) or notes (what files made by\n"
    "Access carry and Access tolerates: leaked pages, stale row counts and index\n"
    "statistics, a stale free map, catalog rows naming deleted tables).\n"
    "An error that is only a stale value the data still gives (an autonumber counter\n"
    "behind the highest number in use, stale index links, used pages marked free) is\n"
    "marked \"compaction mends it\": jetcompact rebuilds it and loses nothing. Damage\n"
    "confined to an index (a damaged index page, entries out of order, pointing at\n"
    "the wrong rows or missing rows) is marked \"compaction rebuilds the index from\n"
    "the rows\": the rows are whole and jetcompact rebuilds the index from them (an\n"
    "index whose keys cannot be computed, under a sort order this program does not\n"
    "know, only where its entries name rows that do not exist: \"compaction drops the\n"
    "entries that name no row\").\n"
    "Other errors are damage, and compaction refuses the file (\"compaction\" in\n"
    "--json: refuse, mend, rebuild or none). Damage that loses data but that\n"
    "\"jetcompact --salvage\" gets past (a row that does not decode, a broken memo, an\n"
    "unreadable data page or table definition) is marked \"only --salvage gets past\n"
    "it\" (\"salvage\": true in --json); a salvage keeps what can still be read.\n"
    "\n"
    "Options:\n"
    "  --json             print the report as one JSON object on standard output\n"
    "  --password TEXT    the database password; checked only when given (a Jet 4\n"
    "                     password does not protect the data), except for an\n"
    "                     encrypted .accdb, which cannot be read without it\n"
    "  --strict           check as the output of a compaction: notes count as\n"
    "                     errors, and no free page may lie inside the file\n"
    "  --packed           also expect densely written rows (no deleted or moved\n"
    "                     row slots)\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "When compaction would not refuse the file, the report ends with the size\n"
    "of the copy a compaction would write and what it frees (planned as the\n"
    "compactor plans it; nothing is written).\n"
    "\n"
    "Exit codes:\n"
    "  0   no errors (notes only, or nothing at all)\n"
    "  1   errors found\n"
    "  2   the file cannot be opened or is refused (no database, Access 97, an\n"
    "      .accdb of an unknown version or encryption, truncated, wrong password)\n"
    "  64  wrong usage\n";

// The size of the copy a compaction would write (planned, nothing written);
// nothing when compaction would refuse the file or the plan meets damage.
std::optional<std::uint32_t> planned_pages(const jet::CheckReport& r,
                                           const std::optional<std::string>& password) {
    for (const auto& f : r.findings) {
        if (f.severity == jet::Severity::error && jet::remedy_of(f, r) == jet::Remedy::refuse) {
            return std::nullopt;
        }
    }
    try {
        jet::OpenOptions o;
        o.password = password;  // an encrypted .accdb cannot be read without it
        o.verify_password = false;
        o.unlisted_pages = r.unlisted_pages;
        const jet::Database db(r.file, o);
        return jet::plan_compacted_pages(db, r.damaged_indexes);
    } catch (const jet::Error&) {
        return std::nullopt;
    }
}

void print_json(const jet::CheckReport& r, std::optional<std::uint32_t> planned) {
    std::ostringstream o;
    o << "{\"file\":" << jet::json_escape(r.file.string()) << ",\"pages\":" << r.pages
      << ",\"tables\":" << r.tables << ",\"indexes\":" << r.indexes << ",\"rows\":" << r.rows
      << ",\"errors\":" << r.error_count() << ",\"notes\":" << r.note_count() << ",\"findings\":[";
    for (std::size_t i = 0; i < r.findings.size(); ++i) {
        const auto& f = r.findings[i];
        o << (i ? "," : "") << "{\"severity\":\"" << jet::severity_name(f.severity)
          << "\",\"code\":" << jet::json_escape(f.code) << ",\"page\":" << f.page
          << ",\"table\":" << jet::json_escape(f.table) << ",\"compaction\":\""
          << jet::remedy_name(jet::remedy_of(f, r)) << "\",\"salvage\":"
          << (f.salvageable && jet::remedy_of(f, r) == jet::Remedy::refuse ? "true" : "false")
          << ",\"description\":" << jet::json_escape(f.description) << "}";
    }
    o << "],\"compacted_pages\":";
    if (planned) {
        o << *planned
          << ",\"compaction_frees_pages\":" << (r.pages > *planned ? r.pages - *planned : 0)
          << ",\"compaction_frees_bytes\":"
          << std::uint64_t{r.pages > *planned ? r.pages - *planned : 0} * r.page_size;
    } else {
        o << "null";
    }
    o << "}\n";
    std::cout << o.str();
}

void print_text(const jet::CheckReport& r, std::optional<std::uint32_t> planned) {
    std::cout << r.file.string() << ": " << r.pages << " pages, " << r.tables << " tables, "
              << r.indexes << " indexes, " << r.rows << " rows\n";
    for (const auto& f : r.findings) {
        std::cout << jet::severity_name(f.severity) << " " << f.code;
        if (f.page != 0 || !f.table.empty()) {
            std::cout << " (";
            if (f.page != 0) {
                std::cout << "page " << f.page << (f.table.empty() ? "" : ", ");
            }
            if (!f.table.empty()) {
                std::cout << "table \"" << f.table << "\"";
            }
            std::cout << ")";
        }
        std::cout << ": " << f.description;
        switch (jet::remedy_of(f, r)) {
            case jet::Remedy::mend:
                std::cout << " [compaction mends it]";
                break;
            case jet::Remedy::rebuild:
                if (f.index && r.uncomputable_indexes.count({f.table_page, *f.index}) != 0) {
                    std::cout << " [compaction drops the entries that name no row]";
                } else {
                    std::cout << " [compaction rebuilds the index from the rows]";
                }
                break;
            case jet::Remedy::drop:
                std::cout << " [compaction leaves them out]";
                break;
            case jet::Remedy::refuse:
                if (f.severity == jet::Severity::error && f.salvageable) {
                    std::cout << " [data is lost: only --salvage gets past it]";
                }
                break;
            default:
                break;
        }
        std::cout << "\n";
    }
    std::cout << r.error_count() << " error(s), " << r.note_count() << " note(s)\n";
    std::size_t refused = 0;
    std::size_t mended = 0;
    // Stale object Ids, errors under --strict only, are values the database
    // holds: a compaction keeps them as they are.
    std::size_t kept = 0;
    for (const auto& f : r.findings) {
        if (f.severity != jet::Severity::error) {
            continue;
        }
        if (f.code == "stale-id") {
            ++kept;
        } else {
            (jet::remedy_of(f, r) == jet::Remedy::refuse ? refused : mended) += 1;
        }
    }
    if (refused > 0 && jet::salvage_gets_past(r)) {
        std::cout << "The database is damaged: compaction refuses it. Keep a copy of it as it "
                     "is; restore it from a backup, or let \"jetcompact --salvage\" write a copy "
                     "of what can still be read, listing what is lost.\n";
    } else if (refused > 0) {
        std::cout << "The database is damaged: compaction refuses it. Keep a copy of it as it "
                     "is, then restore it from a backup.\n";
    } else if (mended > 0 || kept > 0) {
        std::cout << "The data is whole;";
        if (mended > 0) {
            std::cout << " the " << mended
                      << " error(s) are stale values or damaged indexes that a compaction "
                         "rebuilds from the data without loss"
                      << (kept > 0 ? ";" : ".\n");
        }
        if (kept > 0) {
            std::cout << " the " << kept
                      << " stale object Id error(s) are values the database holds, which a "
                         "compaction keeps as they are.\n";
        }
    }
    if (planned) {
        const std::uint32_t freed = r.pages > *planned ? r.pages - *planned : 0;
        std::cout << "A compaction would write " << *planned << " of the " << r.pages
                  << " pages: it frees " << freed << " pages ("
                  << std::uint64_t{freed} * r.page_size << " bytes). Nothing was written.\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    jet::return_large_blocks_when_freed();
    static constexpr jettool::OptionRule kOptions[] = {
        {"--json"}, {"--password", true}, {"--strict"}, {"--packed"}};
    const jettool::ParsedArgs args = jettool::parse_args(kOptions, argc, argv);
    switch (args.outcome) {
        case jettool::ParsedArgs::Outcome::help:
            std::cout << kHelp;
            return kExitClean;
        case jettool::ParsedArgs::Outcome::version:
            std::cout << "jetcheck " << TARNWICK_VERSION << "\n";
            return kExitClean;
        case jettool::ParsedArgs::Outcome::usage_error:
            return jettool::usage_error("jetcheck", args.error);
        case jettool::ParsedArgs::Outcome::run:
            break;
    }
    const std::vector<std::string>& files = args.operands;
    if (files.size() != 1) {
        return jettool::usage_error("jetcheck", files.empty() ? "no database file given."
                                                              : "give exactly one database file.");
    }
    const bool json = args.has("--json");
    jet::CheckOptions options;
    options.strict = args.has("--strict");
    options.packed = args.has("--packed");
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    const std::optional<std::string> password = args.value("--password");
    try {
        const jet::CheckReport report = jet::check_file(files.front(), options, password);
        const auto planned = planned_pages(report, password);
        if (json) {
            print_json(report, planned);
        } else {
            print_text(report, planned);
        }
        return report.has_errors() ? kExitErrors : kExitClean;
    } catch (const jet::Error& e) {
        std::cerr << "jetcheck: " << e.what() << "\n";
        return kExitCannotOpen;
    } catch (const std::exception& e) {
        std::cerr << "jetcheck: " << files.front() << ": " << e.what() << "\n";
        return kExitCannotOpen;
    }
}
