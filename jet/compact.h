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

struct CompactOptions {
    // The source's password (UTF-8). Must match exactly when the source has a
    // password; ignored when it has none.
    std::optional<std::string> source_password;
    // The destination's password (UTF-8); nothing or empty: no password.
    std::optional<std::string> destination_password;
    // Called now and then with the work done so far and the total (any unit).
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
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
};

// Throws jet::Error with a description on any failure.
CompactResult compact(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const CompactOptions& options);

}  // namespace jet
