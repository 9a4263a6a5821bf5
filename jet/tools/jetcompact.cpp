// jetcompact SOURCE DEST: compacts a Jet 4.0 database into a new file.

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "jet/compact.h"
#include "jet/database.h"
#include "jet/error.h"
#include "jet/export.h"
#include "jet/header.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPassword = 3;
constexpr int kExitDestinationExists = 4;
constexpr int kExitUnsupported = 5;
constexpr int kExitInUse = 6;

const char* const kUsage =
    "Usage: jetcompact [OPTIONS] SOURCE DEST\n"
    "       jetcompact [OPTIONS] --in-place [--backup] DATABASE\n"
    "\n"
    "Compacts the Jet 4.0 database SOURCE (an Access 2000-2003 .mdb file) into the new\n"
    "file DEST. SOURCE is only read. DEST must not exist; it appears only once the\n"
    "compacted copy has been written, flushed to disk and verified against SOURCE.\n"
    "\n"
    "Options:\n"
    "  --password PW       the password of SOURCE (needed when it has one)\n"
    "  --new-password PW   give DEST this password (at most 20 characters)\n"
    "  --remove-password   give DEST no password\n"
    "                      (without either of these DEST keeps SOURCE's password)\n"
    "  --json              print the result as one JSON object on standard output\n"
    "  --in-place          compact DATABASE into its own place: the verified copy is\n"
    "                      renamed over it in one step, with its owner, group and mode\n"
    "  --backup            with --in-place, keep the original beside it under a new name\n"
    "  --help              show this help\n"
    "  --version           show the version\n"
    "  --                  what follows is SOURCE and DEST, even if it begins with '-'\n"
    "\n"
    "Stale values that the compaction rebuilds anyway (an autonumber counter below the\n"
    "highest number in use, stale links of an index) are mended in DEST and reported,\n"
    "one line each; the rows are the same.\n"
    "\n"
    "Exit status:\n"
    "  0  compacted and verified\n"
    "  1  compaction failed (read or write error, damaged source, verification failed);\n"
    "     nothing was written under DEST\n"
    "  2  wrong usage\n"
    "  3  the password is wrong or missing (\"Not a valid password.\")\n"
    "  4  DEST already exists\n"
    "  5  SOURCE is not a Jet 4.0 database (Jet 3, ACE, encrypted, truncated or another file)\n"
    "  6  the database is in use: another program holds a lock on it or on its .ldb file\n";

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

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::optional<std::string> password;
    std::optional<std::string> new_password;
    bool remove_password = false;
    bool json = false;
    bool in_place = false;
    bool backup = false;
    bool options_done = false;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_done || a == "--") {
            if (options_done) {
                files.push_back(a);
            }
            options_done = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return kExitOk;
        }
        if (a == "--version") {
            std::cout << "jetcompact " << TARNWICK_VERSION << "\n";
            return kExitOk;
        }
        if (a == "--password" || a == "--new-password") {
            if (i + 1 >= args.size()) {
                std::cerr << "jetcompact: " << a << " needs a value.\n" << kUsage;
                return kExitUsage;
            }
            (a == "--password" ? password : new_password) = args[++i];
        } else if (a == "--remove-password") {
            remove_password = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--in-place") {
            in_place = true;
        } else if (a == "--backup") {
            backup = true;
        } else if (a.size() > 1 && a[0] == '-') {
            std::cerr << "jetcompact: unknown option " << a << "\n" << kUsage;
            return kExitUsage;
        } else {
            files.push_back(a);
        }
    }
    if (backup && !in_place) {
        std::cerr << "jetcompact: --backup goes with --in-place.\n" << kUsage;
        return kExitUsage;
    }
    if (in_place) {
        files.push_back(files.empty() ? std::string() : files[0]);
    }
    if (files.size() != 2 || (in_place && files[0].empty())) {
        std::cerr << "jetcompact: expected SOURCE and DEST.\n" << kUsage;
        return kExitUsage;
    }
    if (new_password && remove_password) {
        std::cerr << "jetcompact: --new-password and --remove-password exclude each other.\n";
        return kExitUsage;
    }

    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    try {
        jet::CompactOptions options;
        options.source_password = password;
        if (new_password) {
            options.destination_password = new_password;
        } else if (!remove_password) {
            // Keep the source's own password (checked against --password by the compaction).
            jet::OpenOptions peek;
            peek.verify_password = false;
            const jet::Database src(files[0], peek);
            options.destination_password = jet::decode_password(src.header());
        }
        int last = -1;
        if (terminal) {
            options.progress = [&](std::uint64_t done, std::uint64_t total) {
                const int pct = total ? static_cast<int>(done * 100 / total) : 100;
                if (pct != last) {
                    last = pct;
                    std::fprintf(stderr, "\rCompacting %s: %3d%%", files[0].c_str(), pct);
                    std::fflush(stderr);
                }
            };
        }
        const jet::CompactResult r = in_place ? jet::compact_in_place(files[0], options, backup)
                                              : jet::compact(files[0], files[1], options);
        if (terminal) {
            std::fprintf(stderr, "\r\033[K");
        }
        const double saved = r.source_bytes
                                 ? 100.0 * (1.0 - static_cast<double>(r.destination_bytes) /
                                                      static_cast<double>(r.source_bytes))
                                 : 0.0;
        if (json) {
            std::string o = "{\"source\":" + jet::json_escape(files[0]) +
                            ",\"destination\":" + jet::json_escape(files[1]) +
                            ",\"source_bytes\":" + std::to_string(r.source_bytes) +
                            ",\"destination_bytes\":" + std::to_string(r.destination_bytes) +
                            ",\"repairs\":[";
            for (std::size_t i = 0; i < r.repairs.size(); ++i) {
                const jet::Repair& x = r.repairs[i];
                o += std::string(i ? "," : "") + "{\"code\":" + jet::json_escape(x.code) +
                     ",\"table\":" + jet::json_escape(x.table) +
                     ",\"description\":" + jet::json_escape(x.description) + "}";
            }
            o += "]";
            if (!r.backup.empty()) {
                o += ",\"backup\":" + jet::json_escape(r.backup.string());
            }
            std::printf("%s}\n", o.c_str());
            return kExitOk;
        }
        for (const jet::Repair& x : r.repairs) {
            std::printf("repaired %s: %s\n", x.code.c_str(), x.description.c_str());
        }
        if (!r.backup.empty()) {
            std::printf("The original is kept as %s\n", r.backup.c_str());
        }
        std::printf("%s: %s bytes -> %s: %s bytes (%.1f%% smaller)\n", files[0].c_str(),
                    with_commas(r.source_bytes).c_str(), files[1].c_str(),
                    with_commas(r.destination_bytes).c_str(), saved);
        return kExitOk;
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
