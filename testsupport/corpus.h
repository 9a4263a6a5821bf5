#pragma once
// Finding the real Access-made databases the tests run against.
//
// The folder comes from the TARNWICK_CORPUS environment variable, which CTest
// sets from the TARNWICK_CORPUS_DIR cache variable. Tests never write to a
// corpus file: they copy it first (copy_to_scratch).

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// One line of MANIFEST.tsv.
struct CorpusFile {
    std::string name;      // path relative to the corpus folder, e.g. "jackcess/empty.mdb"
    std::string format;    // "jet4", "jet3", "ace12", "ace14"
    std::string password;  // empty when the file has none
    std::filesystem::path path;
};

// The corpus folder, or nothing when it is absent.
std::optional<std::filesystem::path> corpus_dir();

// Every file listed in MANIFEST.tsv (empty when the corpus is absent).
std::vector<CorpusFile> corpus_files();

// Only the files of one format ("jet4", ...).
std::vector<CorpusFile> corpus_files(const std::string& format);

// The sweep set: real databases from public applications, in the folder
// "sweep" beside the corpus folder, with their own MANIFEST.tsv (format in
// column 6, file in column 8, password in column 9). Empty when absent.
std::optional<std::filesystem::path> sweep_dir();
std::vector<CorpusFile> sweep_files();

// A fresh empty folder under the system's temporary folder, removed by the
// returned guard's destructor.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Copies a corpus file into `dir` (keeping its file name) and returns the copy's path.
std::filesystem::path copy_to_scratch(const std::filesystem::path& source,
                                      const std::filesystem::path& dir);

}  // namespace testsupport
