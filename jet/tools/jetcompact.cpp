// jetcompact SOURCE DEST: compacts an Access database into a new file;
// jetcompact --in-place DATABASE: compacts it into its own place;
// jetcompact --salvage SOURCE DEST: writes what can still be read of a
// damaged one, and lists what was lost.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "jet/compact/compact.h"
#include "jet/compact/salvage.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/export.h"
#include "jet/format/header.h"
#include "jet/format/page_file.h"
#include "options.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitSalvaged = 2;
constexpr int kExitPassword = 3;
constexpr int kExitDestinationExists = 4;
constexpr int kExitUnsupported = 5;
constexpr int kExitInUse = 6;
constexpr int kExitUsage = jettool::kExitUsage;

const char* const kUsage =
    "Usage: jetcompact [OPTIONS] SOURCE DEST\n"
    "  or:  jetcompact [OPTIONS] --in-place DATABASE [--backup]\n"
    "  or:  jetcompact [OPTIONS] --salvage SOURCE DEST\n"
    "\n"
    "Compacts the Access database SOURCE (an .mdb of Access 97 or 2000-2003, or an\n"
    ".accdb of Access 2007, 2010/2013, 2016 or 2019/365) into the new file DEST,\n"
    "in SOURCE's own format. An .accdb encrypted with a password (\"Encrypt with\n"
    "Password\") is opened with --password; DEST is encrypted with the same password\n"
    "and scheme, page by page before it is written, and cannot be given another\n"
    "password. SOURCE is only read. DEST must not exist; it appears only once the\n"
    "compacted copy has been written, flushed to disk and verified against SOURCE.\n"
    "\n"
    "With --in-place the verified copy takes DATABASE's place in one step (with its\n"
    "owner, group and permissions): at every moment DATABASE is the original or the\n"
    "verified copy. With --backup the original is kept beside it under a new name,\n"
    "which is printed.\n"
    "\n"
    "Options:\n"
    "  --in-place          compact DATABASE into its own place\n"
    "  --backup            with --in-place: keep the original beside it\n"
    "  --salvage           SOURCE is damaged so that data is lost: write into DEST\n"
    "                      everything that can still be read and list what is lost\n"
    "  --password PW       the password of SOURCE (needed when it has one)\n"
    "  --new-password PW   give DEST this password (at most 20 characters)\n"
    "  --remove-password   give DEST no password\n"
    "                      (without either of these DEST keeps SOURCE's password;\n"
    "                      an .mdb only: an .accdb's password is its encryption)\n"
    "  --json              print the result as one JSON object on standard output\n"
    "                      (with --in-place: \"database\", the sizes, \"repairs\" and\n"
    "                      \"backup\", the kept original or null)\n"
    "  --help              show this help\n"
    "  --version           show the version\n"
    "  --                  what follows are file names, even if they begin with '-'\n"
    "\n"
    "A new password, or none, changes more than page 0: every owner and permission\n"
    "(the SIDs of MSysObjects and MSysACEs) is stored masked under a key made from\n"
    "the password, and DEST holds each one masked again under its new key.\n"
    "\n"
    "Stale values that the compaction rebuilds anyway (an autonumber counter below the\n"
    "highest number in use, stale links of an index) are mended in DEST and reported,\n"
    "one line each; the rows are the same.\n"
    "\n"
    "Damage that loses data (a row that cannot be decoded, a broken memo, a table\n"
    "definition that cannot be read) is refused, unless --salvage is given: then\n"
    "rows that decode are kept, a row whose memo or OLE value is broken is kept with\n"
    "that value empty, a table whose definition cannot be read is left out, and a\n"
    "relationship whose half in a table's definition is broken is left out there\n"
    "(the index is kept).\n"
    "Every row of DEST is a row of SOURCE. What was lost is listed, one line per\n"
    "table (rows kept and lost), one per emptied value (the row's primary key) and\n"
    "one per relationship;\n"
    "with --json as \"losses\".\n"
    "\n"
    "Exit status:\n"
    "  0   compacted and verified\n"
    "  2   --salvage: DEST was written, but something was lost (listed)\n"
    "  1   compaction failed (read or write error, damaged source, verification failed);\n"
    "      nothing was written under DEST, DATABASE is unchanged\n"
    "  3   the password is wrong or missing (\"Not a valid password.\")\n"
    "  4   DEST already exists\n"
    "  5   SOURCE is not a database this program compacts (not a regular file, Jet 3,\n"
    "      an .accdb of an unknown version or encryption, truncated, another file)\n"
    "  6   SOURCE is in use: another program has it open; close it everywhere first\n"
    "  64  wrong usage\n";

int exit_code_for(jet::ErrorKind kind) {
    switch (kind) {
        case jet::ErrorKind::bad_password:
            return kExitPassword;
        case jet::ErrorKind::destination_exists:
            return kExitDestinationExists;
        case jet::ErrorKind::not_a_database:
        case jet::ErrorKind::truncated:
        case jet::ErrorKind::jet3:
        case jet::ErrorKind::ace:
        case jet::ErrorKind::encrypted_ace:
            return kExitUnsupported;
        case jet::ErrorKind::in_use:
            return kExitInUse;
        case jet::ErrorKind::invalid_argument:
            return kExitUsage;
        default:
            return kExitFailed;
    }
}

std::string with_commas(std::uint64_t n) {
    std::string s = std::to_string(n);
    for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) {
        s.insert(static_cast<std::size_t>(i), ",");
    }
    return s;
}

std::string repairs_json(const std::vector<jet::Repair>& repairs) {
    std::string o = "[";
    for (std::size_t i = 0; i < repairs.size(); ++i) {
        const jet::Repair& x = repairs[i];
        o += std::string(i ? "," : "") + "{\"code\":" + jet::json_escape(x.code) +
             ",\"table\":" + jet::json_escape(x.table) +
             ",\"description\":" + jet::json_escape(x.description) + "}";
    }
    return o + "]";
}

std::string losses_json(const std::vector<jet::TableLoss>& losses) {
    std::string o = "[";
    for (std::size_t i = 0; i < losses.size(); ++i) {
        const jet::TableLoss& t = losses[i];
        o += std::string(i ? "," : "") + "{\"table\":" + jet::json_escape(t.table) +
             ",\"left_out\":" + (t.left_out ? "true" : "false") +
             ",\"rows_kept\":" + std::to_string(t.rows_kept) +
             ",\"rows_lost\":" + std::to_string(t.rows_lost) +
             ",\"rows_lost_exact\":" + (t.rows_lost_exact ? "true" : "false") + ",\"emptied\":[";
        for (std::size_t k = 0; k < t.emptied.size(); ++k) {
            o += std::string(k ? "," : "") + "{\"row\":" + jet::json_escape(t.emptied[k].row) +
                 ",\"column\":" + jet::json_escape(t.emptied[k].column) + "}";
        }
        o += "],\"relationships\":[";
        for (std::size_t k = 0; k < t.relationships.size(); ++k) {
            o += std::string(k ? "," : "") + jet::json_escape(t.relationships[k]);
        }
        o += "],\"causes\":[";
        for (std::size_t k = 0; k < t.causes.size(); ++k) {
            o += std::string(k ? "," : "") + jet::json_escape(t.causes[k]);
        }
        o += "]}";
    }
    return o + "]";
}

void print_losses(const std::vector<jet::TableLoss>& losses) {
    for (const jet::TableLoss& t : losses) {
        // Rows on a page that cannot be read and that no index names
        // cannot be counted.
        const std::string lost =
            !t.rows_lost_exact && t.rows_lost == 0
                ? std::string("an unknown number of rows")
                : (t.rows_lost_exact ? "" : "at least ") + with_commas(t.rows_lost) + " row(s)";
        const bool rows_whole =
            !t.left_out && t.rows_lost == 0 && t.rows_lost_exact && t.emptied.empty();
        if (rows_whole && !t.relationships.empty()) {
            // Only relationships: every row is there.
        } else if (t.left_out) {
            std::printf(
                "left out table \"%s\": its definition or its list of pages cannot be read; %s "
                "lost\n",
                t.table.c_str(), lost.c_str());
        } else {
            std::printf("lost in table \"%s\": %s; %s row(s) kept\n", t.table.c_str(), lost.c_str(),
                        with_commas(t.rows_kept).c_str());
        }
        for (const auto& name : t.relationships) {
            std::printf(
                "lost in table \"%s\": the relationship of its index \"%s\" (the index "
                "is kept)\n",
                t.table.c_str(), name.c_str());
        }
        for (const auto& e : t.emptied) {
            std::printf("emptied in table \"%s\": column \"%s\" of the row %s\n", t.table.c_str(),
                        e.column.c_str(), e.row.c_str());
        }
        for (const auto& c : t.causes) {
            std::printf("  because: %s\n", c.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    jet::return_large_blocks_when_freed();
    static constexpr jettool::OptionRule kOptions[] = {
        {"--password", true}, {"--new-password", true}, {"--remove-password"},
        {"--json"},           {"--in-place"},           {"--backup"},
        {"--salvage"}};
    const jettool::ParsedArgs args = jettool::parse_args(kOptions, argc, argv);
    switch (args.outcome) {
        case jettool::ParsedArgs::Outcome::help:
            std::cout << kUsage;
            return kExitOk;
        case jettool::ParsedArgs::Outcome::version:
            std::cout << "jetcompact " << TARNWICK_VERSION << "\n";
            return kExitOk;
        case jettool::ParsedArgs::Outcome::usage_error:
            return jettool::usage_error("jetcompact", args.error);
        case jettool::ParsedArgs::Outcome::run:
            break;
    }
    const bool in_place = args.has("--in-place");
    const std::vector<std::string>& files = args.operands;
    if (files.size() != (in_place ? 1u : 2u)) {
        return jettool::usage_error("jetcompact", in_place ? "--in-place takes one DATABASE."
                                                           : "expected SOURCE and DEST.");
    }
    const bool salvaging = args.has("--salvage");
    if (salvaging && in_place) {
        return jettool::usage_error("jetcompact",
                                    "--salvage writes a new file: it takes SOURCE and DEST, not "
                                    "--in-place.");
    }
    if (args.has("--backup") && !in_place) {
        return jettool::usage_error("jetcompact", "--backup goes with --in-place.");
    }
    const std::optional<std::string> new_password = args.value("--new-password");
    const bool remove_password = args.has("--remove-password");
    if (new_password && remove_password) {
        return jettool::usage_error("jetcompact",
                                    "--new-password and --remove-password exclude each other.");
    }
    const bool json = args.has("--json");
    const std::string& source = files[0];

    // A folder, a FIFO or a device is refused before anything opens it.
    struct stat st {};
    if (::stat(source.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        std::cerr << "jetcompact: \"" << source
                  << "\" is not a regular file, so it cannot be an Access database. Nothing "
                     "was written.\n";
        return kExitUnsupported;
    }

    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    try {
        jet::CompactOptions options;
        options.source_password = args.value("--password");
        if (new_password || remove_password) {
            // An .accdb's password is its encryption: asking for another one,
            // or for none, is refused even where it would not change.
            const jet::PageFile file(source);
            jet::PageBuf start(jet::kLargestPageSize);
            const std::size_t got = file.read_prefix(start.data(), start.size());
            if (jet::parse_header(jet::Bytes(start.data(), got), file.size_bytes(), source)
                    .is_ace()) {
                throw jet::Error(jet::ErrorKind::invalid_argument, jet::kAcePasswordChange);
            }
            options.destination_password = new_password;
        } else if (!remove_password) {
            // Keep the source's own password (checked against --password by the
            // compaction). An encrypted .accdb keeps its password and encryption:
            // the one it opens with.
            const jet::PageFile file(source);
            jet::PageBuf start(jet::kLargestPageSize);
            const std::size_t got = file.read_prefix(start.data(), start.size());
            const jet::Header header =
                jet::parse_header(jet::Bytes(start.data(), got), file.size_bytes(), source);
            options.destination_password = header.office_encrypted()
                                               ? options.source_password
                                               : std::optional(jet::decode_password(header));
        }
        int last = -1;
        if (terminal) {
            options.progress = [&](std::uint64_t done, std::uint64_t total) {
                const int pct = total ? static_cast<int>(done * 100 / total) : 100;
                if (pct != last) {
                    last = pct;
                    std::fprintf(stderr, "\rCompacting %s: %3d%%", source.c_str(), pct);
                    std::fflush(stderr);
                }
            };
        }
        jet::SalvageResult salvaged;
        if (salvaging) {
            salvaged = jet::salvage(source, files[1], options);
        } else {
            salvaged.compacted = in_place
                                     ? jet::compact_in_place(source, options, args.has("--backup"))
                                     : jet::compact(source, files[1], options);
        }
        const jet::CompactResult& r = salvaged.compacted;
        const int done = salvaged.lost_anything() ? kExitSalvaged : kExitOk;
        if (terminal) {
            std::fprintf(stderr, "\r\033[K");
        }
        const double saved = r.source_bytes
                                 ? 100.0 * (1.0 - static_cast<double>(r.destination_bytes) /
                                                      static_cast<double>(r.source_bytes))
                                 : 0.0;
        if (json) {
            std::string o = in_place ? "{\"database\":" + jet::json_escape(source)
                                     : "{\"source\":" + jet::json_escape(source) +
                                           ",\"destination\":" + jet::json_escape(files[1]);
            o += ",\"source_bytes\":" + std::to_string(r.source_bytes) +
                 ",\"destination_bytes\":" + std::to_string(r.destination_bytes) +
                 ",\"repairs\":" + repairs_json(r.repairs);
            if (salvaging) {
                o += ",\"losses\":" + losses_json(salvaged.losses);
            }
            if (in_place) {
                o += ",\"backup\":" +
                     (r.backup.empty() ? std::string("null") : jet::json_escape(r.backup.string()));
            }
            std::printf("%s}\n", o.c_str());
            return done;
        }
        for (const jet::Repair& x : r.repairs) {
            std::printf("repaired %s: %s\n", x.code.c_str(), x.description.c_str());
        }
        print_losses(salvaged.losses);
        if (!r.backup.empty()) {
            std::printf("kept the original as %s\n", r.backup.c_str());
        }
        if (in_place) {
            std::printf("%s: %s bytes -> %s bytes (%.1f%% smaller)\n", source.c_str(),
                        with_commas(r.source_bytes).c_str(),
                        with_commas(r.destination_bytes).c_str(), saved);
        } else {
            std::printf("%s: %s bytes -> %s: %s bytes (%.1f%% smaller)\n", source.c_str(),
                        with_commas(r.source_bytes).c_str(), files[1].c_str(),
                        with_commas(r.destination_bytes).c_str(), saved);
        }
        return done;
    } catch (const jet::Error& e) {
        if (terminal) {
            std::fprintf(stderr, "\r\033[K");
        }
        std::cerr << "jetcompact: " << e.what() << "\n";
        return exit_code_for(e.kind());
    } catch (const std::exception& e) {
        std::cerr << "jetcompact: " << e.what() << "\n";
        return kExitFailed;
    }
}
