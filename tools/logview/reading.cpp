#include "logview/reading.h"

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

namespace vyn::logview {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
constexpr std::string_view kLogSuffix = ".log";
constexpr std::size_t kLongestUtf8 = 4;

std::string skipped(const fs::path& path, const std::string& reason) {
  return "vyn-logview: " + utf8(path) + ": " + reason + ", skipped\n";
}

// UTF-16 of mostly ASCII text has a zero in every other byte; a crash's
// zero padding has zeros in both.
std::string utf16_without_mark(std::string_view head) {
  const std::size_t pairs = head.size() / 2;
  if (pairs < 2) return {};
  std::size_t even = 0, odd = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    even += head[2 * i] == '\0';
    odd += head[2 * i + 1] == '\0';
  }
  if (odd * 2 >= pairs && even * 8 < pairs)
    return "UTF-16 text (little-endian, no byte order mark)";
  if (even * 2 >= pairs && odd * 8 < pairs) return "UTF-16 text (big-endian, no byte order mark)";
  return {};
}

}  // namespace

std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + need >= s.size()) return 0;  // cut off by the end of the text
  for (std::size_t k = 1; k <= need; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < lo || b > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
  }
  return need + 1;
}

std::string encoding_problem(std::string_view head) {
  if (head.starts_with("\xFF\xFE")) return "UTF-16 text (byte order mark FF FE)";
  if (head.starts_with("\xFE\xFF")) return "UTF-16 text (byte order mark FE FF)";
  if (std::string utf16 = utf16_without_mark(head); !utf16.empty()) return utf16;
  for (std::size_t i = 0; i < head.size();) {
    const std::size_t n = utf8_length(head, i);
    if (n > 0) {
      i += n;
      continue;
    }
    if (head.size() - i < kLongestUtf8) break;  // perhaps a character the probe cut
    char where[64];
    std::snprintf(where, sizeof where, "not UTF-8 text (byte 0x%02X at offset %zu)",
                  static_cast<unsigned char>(head[i]), i);
    return where;
  }
  return {};
}

bool is_utf16(std::string_view problem) { return problem.starts_with("UTF-16"); }

void read_lines(std::istream& in, const std::function<void(std::string_view)>& line,
                const std::function<void()>& overlong, std::size_t max_line) {
  std::string pending;  // the start of a line that the last chunk cut
  bool skipping = false;
  std::string chunk(kReadChunk, '\0');
  for (;;) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0) break;
    std::string_view rest(chunk.data(), got);
    for (;;) {
      const std::size_t lf = rest.find('\n');
      if (lf == std::string_view::npos) {
        if (!skipping && pending.size() + rest.size() > max_line) {
          skipping = true;
          std::string().swap(pending);
        }
        if (!skipping) pending.append(rest);
        break;
      }
      const std::string_view head = rest.substr(0, lf);
      if (skipping) {
        overlong();
        skipping = false;
      } else if (pending.empty()) {
        head.size() > max_line ? overlong() : line(head);
      } else if (pending.size() + head.size() > max_line) {
        overlong();
        pending.clear();
      } else {
        pending.append(head);
        line(pending);
        pending.clear();
      }
      rest.remove_prefix(lf + 1);
    }
  }
  if (skipping) overlong();
  if (!pending.empty()) line(pending);
}

std::string utf8(const fs::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

std::optional<std::ifstream> open_log(const fs::path& path, std::ostream& err) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (st.type() == fs::file_type::not_found) {
    err << skipped(path, std::generic_category().message(ENOENT));
    return std::nullopt;
  }
  if (ec) {
    err << skipped(path, ec.message());
    return std::nullopt;
  }
  if (fs::is_directory(st)) {
    err << skipped(path, "a folder, not a log");
    return std::nullopt;
  }
  if (!fs::is_regular_file(st)) {
    err << skipped(path, "not a regular file (a FIFO, socket or device)");
    return std::nullopt;
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int why = errno;
    err << skipped(path, why ? std::generic_category().message(why) : "cannot be opened");
    return std::nullopt;
  }
  return in;
}

namespace {

// Depth first, in the order the file system lists the names: sorting would
// hold every name of a large collection at once.
bool walk(const fs::path& root, const std::function<bool(const fs::path&)>& read,
          std::ostream& err) {
  bool all = true;
  std::vector<std::pair<fs::path, fs::directory_iterator>> open;
  const auto enter = [&](const fs::path& dir) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
      err << skipped(dir, ec.message());
      all = false;
      return;
    }
    open.emplace_back(dir, std::move(it));
  };
  enter(root);
  while (!open.empty()) {
    auto& [dir, it] = open.back();
    if (it == fs::directory_iterator()) {
      open.pop_back();
      continue;
    }
    const fs::directory_entry entry = *it;
    std::error_code ec;
    it.increment(ec);
    if (ec) {
      err << "vyn-logview: " << utf8(dir) << ": " << ec.message() << ", the rest of it skipped\n";
      all = false;
      open.pop_back();
    }
    const fs::file_status st = entry.symlink_status(ec);
    if (!ec && fs::is_directory(st)) {
      enter(entry.path());
      continue;
    }
    if (!utf8(entry.path().filename()).ends_with(kLogSuffix)) continue;
    std::error_code target;
    if (!ec && fs::is_symlink(st) && fs::is_directory(fs::status(entry.path(), target)))
      continue;  // links to folders are not followed
    all = read(entry.path()) && all;
  }
  return all;
}

}  // namespace

bool for_each_log(const std::vector<fs::path>& paths,
                  const std::function<bool(const fs::path&)>& read, std::ostream& err) {
  bool all = true;
  for (const auto& path : paths) {
    std::error_code ec;
    all = (fs::is_directory(path, ec) ? walk(path, read, err) : read(path)) && all;
  }
  return all;
}

}  // namespace vyn::logview
