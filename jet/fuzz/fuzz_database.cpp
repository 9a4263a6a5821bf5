// libFuzzer target: the input is a database file. It is opened (without a
// password check, as the inspection tools do), every table's rows and
// properties are read and decoded, and the whole file is checked. Damage must come back as
// jet::Error or as findings; anything else (a crash, a sanitizer report, a
// leak, a hang, an unbounded allocation) is a bug.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "jet/check/checker.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/properties.h"

namespace {

// The input as a file: an anonymous memory file, opened by its /proc path.
class MemoryFile {
  public:
    MemoryFile(const std::uint8_t* data, std::size_t size) {
        fd_ = ::memfd_create("jet-fuzz", MFD_CLOEXEC);
        if (fd_ < 0) {
            return;
        }
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_, data + done, size - done);
            if (n <= 0) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    ~MemoryFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    bool ok() const { return fd_ >= 0; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    int fd_ = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryFile file(data, size);
    if (!file.ok()) {
        return 0;
    }
    try {
        jet::OpenOptions options;
        options.verify_password = false;
        const jet::Database db(file.path(), options);
        for (const auto* table : db.catalog().tables(true)) {
            try {
                const auto& def = db.table_def(table->table_page());
                const auto rows = db.read_rows(def);
                (void)rows;
                (void)jet::read_properties(db, *table);
            } catch (const jet::Error&) {
                // A damaged table: the next one may still read.
            }
        }
        const jet::CheckReport report = jet::check(db);
        (void)report;
        jet::CheckOptions strict;
        strict.strict = true;
        strict.packed = true;
        (void)jet::check(db, strict);
    } catch (const jet::Error&) {
        // Refused or damaged beyond opening: a proper answer.
    }
    return 0;
}
