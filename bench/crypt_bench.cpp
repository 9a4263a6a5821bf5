// Office encryption of .accdb files: what opening costs (the password's key
// derivation and verifier check) and what decrypting a page costs, per
// scheme, against Jet 4's RC4 page encoding. The files are the encrypted
// .accdb files of the corpus (TARNWICK_CORPUS). Run by hand:
//   build/release/bench/crypt_bench
// and read: open = once per Database; page = per page read or written.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "jet/format/database.h"
#include "jet/format/page_file.h"
#include "jet/format/rc4.h"

namespace {

namespace fs = std::filesystem;

// (file, password), one per scheme of the corpus.
const std::vector<std::pair<std::string, std::string>> kFiles{
    {"jackcessencrypt/db2007-oldenc.accdb", "Test123"},    // RC4 CryptoAPI, 40 bits
    {"mdb-reader/office-agile-4.2.accdb", "password"},     // RC4 CryptoAPI, 128 bits
    {"jackcessencrypt/db-nonstandard.accdb", "password"},  // CryptoAPI AES-256, no rounds
    {"jackcessencrypt/db2007-enc.accdb", "Test123"},       // agile AES-128, SHA-1
    {"jackcessencrypt/db2013-enc.accdb", "1234"},          // agile AES-256, SHA-512
};

fs::path corpus_file(std::size_t i) {
    const char* c = std::getenv("TARNWICK_CORPUS");
    return (c != nullptr ? fs::path(c) : fs::path("../shared/corpus")) / kFiles[i].first;
}

void BM_Open(benchmark::State& state) {
    const auto i = static_cast<std::size_t>(state.range(0));
    state.SetLabel(kFiles[i].first);
    for (auto _ : state) {
        const jet::Database db(corpus_file(i), jet::OpenOptions{kFiles[i].second, true});
        benchmark::DoNotOptimize(db.page_count());
    }
}

void BM_DecryptPage(benchmark::State& state) {
    const auto i = static_cast<std::size_t>(state.range(0));
    const jet::Database db(corpus_file(i), jet::OpenOptions{kFiles[i].second, true});
    state.SetLabel(db.file().cipher()->description());
    jet::PageBuf page = db.read_page(2);
    std::uint32_t n = 1;
    for (auto _ : state) {
        db.file().cipher()->decrypt(n++, page);
        benchmark::DoNotOptimize(page.data());
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * jet::jet4_format().page_size));
}

void BM_Jet4PageCodec(benchmark::State& state) {
    jet::PageBuf page(jet::jet4_format().page_size);
    std::uint32_t n = 1;
    for (auto _ : state) {
        jet::apply_page_codec(0x12345678u, n++, page);
        benchmark::DoNotOptimize(page.data());
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * jet::jet4_format().page_size));
}

}  // namespace

BENCHMARK(BM_Open)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecryptPage)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Jet4PageCodec)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
