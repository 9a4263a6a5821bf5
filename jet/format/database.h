#pragma once
// An open Jet 4 database, read-only.
//
// One Database is used from one thread at a time: table definitions are
// cached on first use, also through the const accessors.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/catalog.h"
#include "jet/format/header.h"
#include "jet/format/page_file.h"
#include "jet/format/row.h"
#include "jet/format/table_def.h"

namespace jet {

struct OpenOptions {
    // The password (UTF-8) to check against the database's own. An
    // Office-encrypted ACE file cannot be read without it: its password is
    // always checked.
    std::optional<std::string> password;
    // When false the password is not checked (inspection tools): the
    // password does not protect the data of a Jet 4 file.
    bool verify_password = true;
    // Pages of rows that a table's owned-pages map leaves out, by table
    // definition page, to be read as the table's all the same: what a check
    // found them to be (CheckReport::unlisted_pages).
    std::map<std::uint32_t, std::vector<std::uint32_t>> unlisted_pages = {};
    // The keys of this same Office-encrypted file, from a Database opened
    // with its password (file().cipher()): used instead of the password,
    // sparing another key derivation.
    std::shared_ptr<const PageCipher> cipher = nullptr;
    // An open file of the same path to read the pages through (its handle
    // and its cache, PageFile::share) instead of opening the path again: so
    // that readers of one file in several threads read each block once. It
    // must outlive the Database.
    const PageFile* share = nullptr;
};

// One live row of a table, as found by a scan.
struct RowRef {
    RowPointer pointer;  // the row's own slot (the overflow header, if any)
    RowPointer data;     // where its bytes are (the overflow target, or pointer)
    Bytes bytes;         // valid only during the callback
};

class Database {
  public:
    // Opens `path` read-only: format checks, header, encoding key or Office
    // encryption, password (ErrorKind::bad_password with exactly "Not a
    // valid password." when a password is required and wrong or missing),
    // then the catalog.
    explicit Database(const std::filesystem::path& path, const OpenOptions& options = {});
    static Database open(const std::filesystem::path& path,
                         std::optional<std::string> password = std::nullopt) {
        return Database(path, OpenOptions{std::move(password), true, {}});
    }

    Database(Database&&) noexcept;
    Database& operator=(Database&&) noexcept;
    ~Database();

    const std::filesystem::path& path() const { return file_.path(); }
    const PageFile& file() const { return file_; }
    const Header& header() const { return header_; }
    // What it was opened with (OpenOptions::unlisted_pages).
    const std::map<std::uint32_t, std::vector<std::uint32_t>>& unlisted_pages() const {
        return unlisted_;
    }
    std::uint32_t page_count() const { return file_.page_count(); }
    PageBuf read_page(std::uint32_t n) const { return file_.read(n); }
    std::string where(std::uint32_t page) const { return file_.where(page); }

    const Catalog& catalog() const { return catalog_; }

    // True when `page` holds a table definition (its page type and magic). A
    // catalog row of a table may name a page that holds none any more: an Id
    // left behind by a dropped table.
    bool holds_table_def(std::uint32_t page) const;

    // Table definitions (cached). Throws Error(damaged) for a damaged
    // definition, Error(invalid_argument) for an unknown table name.
    const TableDef& table_def(std::uint32_t page) const;
    const TableDef& table(std::string_view name) const;

    // Calls `fn` for every live row of the table, in the order of the pages
    // of its owned map and the slots in them. Deleted slots are skipped;
    // overflow headers are followed to their rows; overflow targets are
    // reached only through their headers. A page of zeros holds no rows.
    void for_each_row(const TableDef& table, const std::function<void(const RowRef&)>& fn) const;

    // Every live row, decoded.
    std::vector<std::vector<Value>> read_rows(const TableDef& table) const;

    // A memo/OLE value from its descriptor bytes.
    std::vector<std::uint8_t> read_long_value(Bytes descriptor, const std::string& what) const;

  private:
    PageFile file_;
    Header header_;
    Catalog catalog_;
    std::map<std::uint32_t, std::vector<std::uint32_t>> unlisted_;
    mutable std::map<std::uint32_t, std::unique_ptr<TableDef>> tdefs_;
};

}  // namespace jet
