// The cost of one password check at login, by iteration count, beside one
// SHA-256 of the same password (what an unsalted, unstretched hash would
// cost an attacker per guess). kPasswordIterations is chosen from these
// figures: one check should cost a few milliseconds of CPU, which a login
// does not notice and which makes every guess at a stolen hash that much
// dearer. Run on an idle machine; the CPU time column is the one that counts
// on a shared one.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>

#include "support/password.h"

namespace {

const std::string kPassword = "correct horse battery";

void BM_CheckPassword(benchmark::State &state) {
    std::string stored;
    if (vnx::hash_password(kPassword, &stored, static_cast<int>(state.range(0))) != 0) {
        state.SkipWithError("hash_password failed");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(vnx::check_password(stored, kPassword));
}
BENCHMARK(BM_CheckPassword)
    ->Arg(vnx::kMinPasswordIterations)
    ->Arg(10000)
    ->Arg(vnx::kPasswordIterations)
    ->Arg(50000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

void BM_Sha256Baseline(benchmark::State &state) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state) {
        EVP_Digest(kPassword.data(), kPassword.size(), out, &len, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Sha256Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
