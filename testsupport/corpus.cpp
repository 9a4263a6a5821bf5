#include "testsupport/corpus.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

std::optional<std::filesystem::path> corpus_dir() {
    const char* env = std::getenv("TARNWICK_CORPUS");
    if (env == nullptr || *env == '\0') {
        return std::nullopt;
    }
    std::filesystem::path dir(env);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(dir / "MANIFEST.tsv", ec)) {
        return std::nullopt;
    }
    return dir;
}

namespace {

// The lines of a folder's MANIFEST.tsv, split at tabs, its header left out.
std::vector<std::vector<std::string>> manifest_lines(const std::filesystem::path& dir) {
    std::vector<std::vector<std::string>> lines;
    std::ifstream in(dir / "MANIFEST.tsv");
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {
            header = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, '\t')) {
            fields.push_back(field);
        }
        lines.push_back(std::move(fields));
    }
    return lines;
}

}  // namespace

std::vector<CorpusFile> corpus_files() {
    std::vector<CorpusFile> files;
    const auto dir = corpus_dir();
    if (!dir) {
        return files;
    }
    for (auto& fields : manifest_lines(*dir)) {
        if (fields.size() < 4) {
            continue;
        }
        CorpusFile f{fields[0], fields[1], fields[3], *dir / fields[0]};
        if (std::filesystem::is_regular_file(f.path)) {
            files.push_back(std::move(f));
        }
    }
    return files;
}

std::optional<std::filesystem::path> sweep_dir() {
    const auto corpus = corpus_dir();
    if (!corpus) {
        return std::nullopt;
    }
    const auto dir = corpus->parent_path() / "sweep";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(dir / "MANIFEST.tsv", ec)) {
        return std::nullopt;
    }
    return dir;
}

std::vector<CorpusFile> sweep_files() {
    std::vector<CorpusFile> files;
    const auto dir = sweep_dir();
    if (!dir) {
        return files;
    }
    for (auto& fields : manifest_lines(*dir)) {
        if (fields.size() < 8) {
            continue;
        }
        CorpusFile f{fields[7], fields[5], fields.size() > 8 ? fields[8] : "", *dir / fields[7]};
        if (std::filesystem::is_regular_file(f.path)) {
            files.push_back(std::move(f));
        }
    }
    return files;
}

std::vector<CorpusFile> corpus_files(const std::string& format) {
    std::vector<CorpusFile> out;
    for (auto& f : corpus_files()) {
        if (f.format == format) {
            out.push_back(std::move(f));
        }
    }
    return out;
}

ScratchDir::ScratchDir() {
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("tarnwick-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch folder under " + base.string());
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path copy_to_scratch(const std::filesystem::path& source,
                                      const std::filesystem::path& dir) {
    auto target = dir / source.filename();
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(target, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    return target;
}

}  // namespace testsupport
