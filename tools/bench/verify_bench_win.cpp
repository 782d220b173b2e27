// Timing of the archive check: the check as the launcher runs it against a
// bare CNG loop over the same file, the peak working set while it runs, and
// the cost of the key derivation.
//
//   vyn-verify-bench <work folder> [archive MiB, default 1024] [runs, default 3]
//
// The archive (work folder\resources\app.asar) is created on the first run
// and kept, so a second run measures the check's working set before anything
// else in the process has grown it.

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "utils/path.h"
#include "utils/win.h"
#include "verify/crypto_win.h"
#include "verify/verify.h"

namespace {

using namespace vyn;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t peak_working_set() {
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof pmc);
  return pmc.PeakWorkingSetSize;
}

std::uint64_t file_size(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA a{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return 0;
  return (static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

bool create_archive(const std::wstring& path, std::uint64_t size) {
  UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return false;
  std::vector<unsigned char> block(1 << 20);
  std::uint32_t x = 2463534242u;  // xorshift: content that does not compress
  for (std::uint64_t left = size; left > 0;) {
    for (auto& b : block) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<unsigned char>(x);
    }
    const DWORD n = static_cast<DWORD>(std::min<std::uint64_t>(left, block.size()));
    DWORD written = 0;
    if (!::WriteFile(f.get(), block.data(), n, &written, nullptr) || written != n) return false;
    left -= n;
  }
  return true;
}

// The reference: open, read, hash with CNG directly; nothing else.
double bare_cng_loop(const std::wstring& path, std::size_t buffer_size) {
  const auto start = Clock::now();
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  ::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
  HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  std::vector<unsigned char> buf(buffer_size);
  DWORD got = 0;
  while (::ReadFile(f, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) && got > 0)
    ::BCryptHashData(hash, buf.data(), got, 0);
  unsigned char digest[32];
  ::BCryptFinishHash(hash, digest, sizeof digest, 0);
  ::CloseHandle(f);
  ::BCryptDestroyHash(hash);
  ::BCryptCloseAlgorithmProvider(alg, 0);
  return seconds_since(start);
}

struct Stats {
  double min, median;
};
Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2]};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vyn-verify-bench <work folder> [archive MiB] [runs]\n");
    return 2;
  }
  const std::wstring dir = argv[1];
  const std::uint64_t mib = argc > 2 ? std::wcstoull(argv[2], nullptr, 10) : 1024;
  const int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 3;
  const std::uint64_t size = mib << 20;
  const std::wstring resources = join_path(dir, kResourcesFolder);
  ::CreateDirectoryW(dir.c_str(), nullptr);
  ::CreateDirectoryW(resources.c_str(), nullptr);
  const std::wstring archive = archive_path(dir);

  const std::size_t peak_at_start = peak_working_set();
  if (file_size(archive) != size) {
    std::printf("creating %llu MiB archive...\n", static_cast<unsigned long long>(mib));
    if (!create_archive(archive, size)) {
      std::fprintf(stderr, "cannot create the archive\n");
      return 1;
    }
  }
  // Sealing reads the whole file once, which also warms the page cache for
  // the timed runs.
  auto hashed = hash_archive(archive);
  if (!std::holds_alternative<ArchiveHash>(hashed)) return 1;
  const ArchiveHash& h = std::get<ArchiveHash>(hashed);
  const AppVerifyConfig record{"bench", {"resources/app.asar", h.sha256, h.size, "bench"}};
  const std::string sealed = encrypt_verify_config(serialize_verify_config(record));
  {
    UniqueHandle f(::CreateFileW(verify_config_path(dir).c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ::WriteFile(f.get(), sealed.data(), static_cast<DWORD>(sealed.size()), &written, nullptr);
  }

  const std::size_t peak_before = peak_working_set();
  std::vector<double> check_times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    const VerifyOutcome o = verify_app_asar(dir);
    check_times.push_back(seconds_since(start));
    if (o.kind != VerifyOutcomeKind::Passed) {
      std::fprintf(stderr, "check did not pass: %s\n", o.text.c_str());
      return 1;
    }
  }
  const std::size_t peak_after = peak_working_set();

  std::vector<double> bare_8k, bare_1m;
  for (int i = 0; i < runs; ++i) {
    bare_8k.push_back(bare_cng_loop(archive, kHashBufferSize));
    bare_1m.push_back(bare_cng_loop(archive, 1 << 20));
  }

  constexpr int kKdfRounds = 20;
  unsigned char salt[kConfigSaltSize] = {};
  const auto kdf_start = Clock::now();
  for (int i = 0; i < kKdfRounds; ++i) {
    const SecretBytes phrase = config_pass_phrase();
    const SecretBytes key = derive_config_key(phrase, salt, sizeof salt);
  }
  const double kdf_ms = seconds_since(kdf_start) * 1000.0 / kKdfRounds;

  const Stats c = stats(check_times), b8 = stats(bare_8k), b1 = stats(bare_1m);
  const double mib_d = static_cast<double>(mib);
  std::printf("archive: %llu MiB, %d runs each (min / median seconds, MiB/s at median)\n",
              static_cast<unsigned long long>(mib), runs);
  std::printf("check (verify_app_asar):   %.3f / %.3f s  %.0f MiB/s\n", c.min, c.median,
              mib_d / c.median);
  std::printf("bare CNG loop, 8 KiB read: %.3f / %.3f s  %.0f MiB/s\n", b8.min, b8.median,
              mib_d / b8.median);
  std::printf("bare CNG loop, 1 MiB read: %.3f / %.3f s  %.0f MiB/s\n", b1.min, b1.median,
              mib_d / b1.median);
  std::printf("check overhead vs bare 8 KiB loop: %+.1f %% (median)\n",
              (c.median / b8.median - 1.0) * 100.0);
  std::printf("key derivation (PBKDF2-HMAC-SHA512, 10000 rounds): %.2f ms\n", kdf_ms);
  std::printf("peak working set: start %.1f MiB, before check %.1f MiB, after check %.1f MiB\n",
              peak_at_start / 1048576.0, peak_before / 1048576.0, peak_after / 1048576.0);
  return 0;
}
