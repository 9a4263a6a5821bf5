#pragma once
// Internal to compaction and salvage: the steps of compact() after the
// source is locked.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "jet/compact/compact.h"

namespace jet {

class Database;
class PageCipher;
class PageFile;

// Opens the source for compacting: format checks and refusals first,
// nothing written yet. `password`: CompactOptions::source_password, checked
// here only for an Office-encrypted file (which cannot be read without it);
// `cipher`: that file's keys when already derived (OpenOptions::cipher).
// `unlisted_pages`: OpenOptions::unlisted_pages; `share`: OpenOptions::share.
Database open_source(const std::filesystem::path& source,
                     const std::optional<std::string>& password,
                     const std::map<std::uint32_t, std::vector<std::uint32_t>>& unlisted_pages = {},
                     std::shared_ptr<const PageCipher> cipher = nullptr,
                     const PageFile* share = nullptr);

// Compacts the open, locked `src` (at `source`) into the new file
// `destination`. Descriptions name the source as `shown` (`source` when
// empty): a salvage compacts a scratch copy of the file the user named.
CompactResult compact_locked(const Database& src, const std::filesystem::path& source,
                             const std::filesystem::path& destination,
                             const CompactOptions& options,
                             const std::filesystem::path& shown = {});

}  // namespace jet
