// CRijndael ECB against OpenSSL's AES-128-ECB on the same data in the same run: one 816-byte
// rule-file slot per call, and 8 MiB per call. After the runs the throughput ratio of each pair
// is printed (CRijndael / OpenSSL by CPU time, above 1 means CRijndael is faster).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "ratio_reporter.h"
#include "store/rijndael.h"

namespace {

using qxfw::store::CRijndael;

const char kKey[] = "Pardix\0\0TableKey";
constexpr int64_t kSlot = 816;
constexpr int64_t kLarge = 8 << 20;

const std::vector<char>& Data() {
  static const std::vector<char> data = [] {
    std::vector<char> d(kLarge);
    std::mt19937 rng(1);
    for (auto& c : d) c = static_cast<char>(rng());
    return d;
  }();
  return data;
}

void RijndaelEcb(benchmark::State& state, bool encrypt, bool hardware) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<char> out(n);
  CRijndael c;
  c.SetHardwareAllowed(hardware);
  c.MakeKey(kKey, nullptr, 16, 16);
  if (hardware && !c.UsesHardware()) state.SkipWithError("no AES instructions");
  for (auto _ : state) {
    if (encrypt) {
      c.Encrypt(Data().data(), out.data(), n, CRijndael::ECB);
    } else {
      c.Decrypt(Data().data(), out.data(), n, CRijndael::ECB);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void OpenSslEcb(benchmark::State& state, bool encrypt) {
  const int n = static_cast<int>(state.range(0));
  std::vector<unsigned char> out(n);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const auto* key = reinterpret_cast<const unsigned char*>(kKey);
  const auto* in = reinterpret_cast<const unsigned char*>(Data().data());
  if (EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
    state.SkipWithError("OpenSSL init failed");
  }
  int len = 0;
  for (auto _ : state) {
    if (EVP_CipherUpdate(ctx, out.data(), &len, in, n) != 1 || len != n) {
      state.SkipWithError("OpenSSL update failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_RijndaelEcbEncrypt(benchmark::State& s) {
  RijndaelEcb(s, true, true);
}
void BM_RijndaelEcbDecrypt(benchmark::State& s) {
  RijndaelEcb(s, false, true);
}
void BM_OpenSslEcbEncrypt(benchmark::State& s) {
  OpenSslEcb(s, true);
}
void BM_OpenSslEcbDecrypt(benchmark::State& s) {
  OpenSslEcb(s, false);
}
// The fallback for processors without AES instructions, for reference.
void BM_PortableEcbEncrypt(benchmark::State& s) {
  RijndaelEcb(s, true, false);
}
void BM_PortableEcbDecrypt(benchmark::State& s) {
  RijndaelEcb(s, false, false);
}

BENCHMARK(BM_RijndaelEcbEncrypt)->Arg(kSlot)->Arg(kLarge);
BENCHMARK(BM_OpenSslEcbEncrypt)->Arg(kSlot)->Arg(kLarge);
BENCHMARK(BM_RijndaelEcbDecrypt)->Arg(kSlot)->Arg(kLarge);
BENCHMARK(BM_OpenSslEcbDecrypt)->Arg(kSlot)->Arg(kLarge);
BENCHMARK(BM_PortableEcbEncrypt)->Arg(kSlot)->Arg(kLarge);
BENCHMARK(BM_PortableEcbDecrypt)->Arg(kSlot)->Arg(kLarge);

}  // namespace

int main(int argc, char** argv) {
  // CRijndael against OpenSSL for each operation and size, by CPU time.
  std::vector<qxfw::bench::RatioPair> pairs;
  for (const char* operation : {"EcbEncrypt", "EcbDecrypt"}) {
    for (int64_t size : {kSlot, kLarge}) {
      std::string run = std::string(operation) + "/" + std::to_string(size);
      pairs.push_back({"Rijndael" + run, "BM_OpenSsl" + run, "BM_Rijndael" + run});
    }
  }
  qxfw::bench::RatioReporter reporter(std::move(pairs), "(above 1: CRijndael is faster)",
                                      qxfw::bench::RatioReporter::Clock::kCpu);
  return qxfw::bench::RunBenchmarks(argc, argv, reporter);
}
