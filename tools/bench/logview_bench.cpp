// Fleet reading figures (prints figures; not a test): makes a collection of
// users' logs from real launcher runs, varied, and times
// `vyn-logview summary` over it against a bare read of the same files.
//
// Usage: vyn-logview-bench <template logs folder> <vyn-logview> <work folder>
//                          [logs (10000)] [KiB per log (20)]
// The templates are logs the real launcher wrote (the fleet corpus of the
// tests: build/windows/fleet-corpus). Each generated log is a sequence of
// their runs (launchers that wrote at the same time kept together), each
// with its own process ids, installation id, Windows release and clock, and
// its times stretched by a random factor, so time to ready and the
// breakdowns vary from log to log.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr int kLogsPerFolder = 100;
constexpr int kTimedRounds = 3;
const char* const kReleases[] = {"19045", "22621", "22631", "26100", "18362"};

using Block = std::vector<Json>;

// A template is cut before a launcher_init only where no run is still open,
// so launchers that wrote at the same time stay together with their lines.
std::vector<Block> template_runs(const fs::path& folder) {
  std::vector<Block> blocks;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".log") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<Json> records;
    std::map<std::uint64_t, std::size_t> last;  // process id -> its last record
    for (std::string line; std::getline(in, line);) {
      Json rec = Json::parse(line, nullptr, false);
      if (!rec.is_object() || !rec.contains("eventName") || !rec["processId"].is_number()) continue;
      last[rec["processId"].get<std::uint64_t>()] = records.size();
      records.push_back(std::move(rec));
    }
    std::size_t open_until = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (i == 0 || (records[i]["eventName"] == "launcher_init" && open_until < i))
        blocks.emplace_back();
      open_until = std::max(open_until, last[records[i]["processId"].get<std::uint64_t>()]);
      blocks.back().push_back(std::move(records[i]));
    }
  }
  return blocks;
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" from milliseconds since 1970.
std::string iso(std::int64_t ms) {
  using namespace std::chrono;
  const sys_days day{floor<days>(milliseconds(ms))};
  const year_month_day ymd{day};
  const std::int64_t in_day = ms - duration_cast<milliseconds>(day.time_since_epoch()).count();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<long long>(in_day / 3'600'000),
                static_cast<long long>(in_day / 60'000 % 60),
                static_cast<long long>(in_day / 1000 % 60), static_cast<long long>(in_day % 1000));
  return buf;
}

std::int64_t parse_ms(const std::string& ts) {
  std::tm tm{};
  int ms = 0;
  if (std::sscanf(ts.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
    return 0;
  using namespace std::chrono;
  const sys_days day{year{tm.tm_year} / tm.tm_mon / tm.tm_mday};
  return duration_cast<milliseconds>(day.time_since_epoch()).count() +
         ((tm.tm_hour * 60LL + tm.tm_min) * 60 + tm.tm_sec) * 1000 + ms;
}

void write_log(const fs::path& path, const std::vector<Block>& blocks, std::size_t bytes, int user,
               std::mt19937& rng) {
  std::ofstream out(path, std::ios::binary);
  std::int64_t clock = 1'765'000'000'000LL + static_cast<std::int64_t>(rng() % 30'000'000'000ULL);
  const std::string install = "fleet-" + std::to_string(user);
  const std::string release = kReleases[rng() % std::size(kReleases)];
  std::size_t written = 0;
  std::uint64_t next_pid = 0;
  while (written < bytes) {
    const Block& block = blocks[rng() % blocks.size()];
    const double stretch = 0.5 + (rng() % 2500) / 1000.0;
    const std::int64_t first = parse_ms(block.front().value("ts", ""));
    std::map<std::uint64_t, std::uint64_t> pids;  // template id -> this run's
    std::int64_t last = clock;
    for (Json rec : block) {
      const std::int64_t at =
          clock + static_cast<std::int64_t>((parse_ms(rec.value("ts", "")) - first) * stretch);
      last = std::max(last, at);
      rec["ts"] = iso(at);
      rec["installId"] = install;
      if (rec["processId"].is_number_unsigned()) {
        auto& pid = pids[rec["processId"].get<std::uint64_t>()];
        if (pid == 0) pid = next_pid += 4 * (1 + rng() % 64);
        rec["processId"] = pid;
      }
      if (rec.contains("env") && rec["env"].is_object()) rec["env"]["osRelease"] = release;
      const std::string line = rec.dump() + "\n";
      out << line;
      written += line.size();
    }
    clock = last + 60'000 + static_cast<std::int64_t>(rng() % 86'400'000);
  }
}

double seconds_of(const std::string& command) {
  double best = 1e9;
  for (int i = 0; i < kTimedRounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: vyn-logview-bench <template logs folder> <vyn-logview> <work folder> "
                 "[logs] [KiB per log]\n");
    return 2;
  }
  const fs::path templates = argv[1], work = argv[3];
  const std::string viewer = argv[2];
  const int logs = argc > 4 ? std::atoi(argv[4]) : 10'000;
  const std::size_t kib = argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 20;
  const std::vector<Block> blocks = template_runs(templates);
  if (blocks.empty()) {
    std::fprintf(stderr, "no launcher runs in %s\n", templates.string().c_str());
    return 1;
  }
  fs::remove_all(work);
  std::mt19937 rng(20261210);
  for (int i = 0; i < logs; ++i) {
    const fs::path folder = work / std::to_string(i / kLogsPerFolder);
    if (i % kLogsPerFolder == 0) fs::create_directories(folder);
    write_log(folder / ("user-" + std::to_string(i) + ".log"), blocks, kib * 1024, i, rng);
  }
  std::uintmax_t total = 0;
  for (const auto& e : fs::recursive_directory_iterator(work))
    if (e.is_regular_file()) total += e.file_size();
  std::printf("%d logs from %zu template runs, %.1f MiB in all\n", logs, blocks.size(),
              total / 1048576.0);

  const std::string w = "'" + work.string() + "'";
  const std::string cat = "find " + w + " -type f -name '*.log' -exec cat {} + >/dev/null";
  const std::string summary = "'" + viewer + "' summary --json " + w + " >/dev/null";
  seconds_of(cat);  // the files in the page cache for both
  const double bare = seconds_of(cat), read = seconds_of(summary);
  std::printf("bare read (cat to /dev/null): %.3f s, %.0f MiB/s\n", bare, total / 1048576.0 / bare);
  std::printf("vyn-logview summary:          %.3f s, %.0f MiB/s\n", read, total / 1048576.0 / read);
  std::printf("summary / bare read:          %.1f times as long (best of %d each)\n", read / bare,
              kTimedRounds);
  // Memory: one folder of the collection against all of it.
  std::fflush(stdout);
  for (const std::string& what : {(work / "0").string(), work.string()}) {
    std::system(("/usr/bin/time -f 'peak resident set of summary over " + what + ": %M KiB' '" +
                 viewer + "' summary '" + what + "' >/dev/null")
                    .c_str());
  }
  return 0;
}
