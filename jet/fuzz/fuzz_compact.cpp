// libFuzzer target: the input is a database file, compacted and then
// salvaged into a scratch folder, with every index tree written on threads.
// Either may refuse with jet::Error (damage, a verification that failed);
// anything else (a crash, a sanitizer report, a leak, a hang, an exception
// of another kind) is a bug, and so is a copy that comes out but does not
// open and check without errors.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "jet/check/checker.h"
#include "jet/compact/compact.h"
#include "jet/compact/salvage.h"
#include "jet/format/database.h"
#include "jet/format/error.h"

namespace {

namespace fs = std::filesystem;

// A folder of its own for one input, removed with everything in it.
class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "jet-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            dir_ = pattern;
        }
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    bool ok() const { return !dir_.empty(); }
    fs::path operator/(const std::string& name) const { return dir_ / name; }

  private:
    fs::path dir_;
};

// A copy the engine put out must be one it reads back whole.
void expect_sound(const fs::path& copy) {
    try {
        jet::OpenOptions options;
        options.verify_password = false;
        const jet::Database db(copy, options);
        if (jet::check(db).error_count() == 0) {
            return;
        }
    } catch (const jet::Error&) {
    }
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Scratch scratch;
    if (!scratch.ok()) {
        return 0;
    }
    const fs::path source = scratch / "in.mdb";
    {
        std::ofstream out(source, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) {
            return 0;
        }
    }
    jet::CompactOptions options;
    options.index_pages_for_threads = 0;
    try {
        jet::compact(source, scratch / "compacted.mdb", options);
        expect_sound(scratch / "compacted.mdb");
    } catch (const jet::Error&) {
        // Refused, with its description: a proper answer.
    }
    try {
        jet::salvage(source, scratch / "salvaged.mdb", options);
        expect_sound(scratch / "salvaged.mdb");
    } catch (const jet::Error&) {
    }
    return 0;
}
