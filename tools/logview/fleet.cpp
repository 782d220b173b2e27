#include "logview/fleet.h"

#include <cstring>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

namespace vyn::logview {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kReadChunk = 1 << 20;
constexpr std::string_view kLogSuffix = ".log";

std::string utf8(const std::filesystem::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

bool read_file(const std::filesystem::path& path, const FleetSink& sink, std::ostream& err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err << "vyn-logview: cannot open " << utf8(path) << "\n";
    return false;
  }
  RunSplitter splitter(utf8(path));
  split_stream(in, splitter);
  splitter.finish(sink.row);
  if (sink.file_done) sink.file_done(splitter);
  return true;
}

Json text_or_null(const std::string& s) { return s.empty() ? Json(nullptr) : Json(s); }

Json ms_or_null(const std::optional<std::int64_t>& ms) { return ms ? Json(*ms) : Json(nullptr); }

Json row_object(const RunRow& r) {
  const RunFacts& f = r.facts;
  return Json{{"file", r.file},
              {"processId", f.pid},
              {"installId", text_or_null(f.install_id)},
              {"start", text_or_null(f.init_ts.empty() ? f.first_ts : f.init_ts)},
              {"startInLog", !f.init_ts.empty()},
              {"launcherVersion", text_or_null(f.version)},
              {"outcome", r.outcome},
              {"exitEvent", text_or_null(r.exit_event)},
              {"exitReason", text_or_null(f.exit_reason)},
              {"launched", !f.first_launch_ts.empty()},
              {"launchMs", ms_or_null(r.launch_ms)},
              {"readyMs", ms_or_null(r.ready_ms)},
              {"gpuRelaunch", r.gpu_relaunch},
              {"integrity", r.integrity},
              {"integrityError", text_or_null(f.integrity_error)},
              {"fault", f.fault ? Json(f.fault_message) : Json(nullptr)},
              {"osRelease", text_or_null(f.os_release)},
              {"deviceType", text_or_null(f.device_type)},
              {"cpuModel", text_or_null(f.cpu_model)},
              {"gpuInfo", text_or_null(f.gpu_info)},
              {"systemManufacturer", text_or_null(f.manufacturer)},
              {"damagedLines", f.damaged_lines}};
}

// RFC 4180: a field holding a separator, a quotation mark or a line break is
// quoted, its quotation marks doubled.
std::string csv_field(const Json& v) {
  if (v.is_null()) return "";
  const std::string s = v.is_string() ? v.get<std::string>() : v.dump();
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

void split_stream(std::istream& in, RunSplitter& splitter) {
  std::string pending;  // the start of a line that the last chunk cut
  bool overlong = false;
  std::string chunk(kReadChunk, '\0');
  for (;;) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0) break;
    std::string_view rest(chunk.data(), got);
    for (;;) {
      const std::size_t lf = rest.find('\n');
      if (lf == std::string_view::npos) {
        if (!overlong && pending.size() + rest.size() > kMaxLineBytes) {
          overlong = true;
          pending.clear();
          pending.shrink_to_fit();
        }
        if (!overlong) pending.append(rest);
        break;
      }
      const std::string_view head = rest.substr(0, lf);
      if (overlong) {
        splitter.damaged();
        overlong = false;
      } else if (pending.empty()) {
        splitter.line(head);
      } else {
        pending.append(head);
        splitter.line(pending);
        pending.clear();
      }
      rest.remove_prefix(lf + 1);
    }
  }
  if (overlong) splitter.damaged();
  if (!pending.empty()) splitter.line(pending);
}

bool read_fleet(const std::vector<std::filesystem::path>& paths, const FleetSink& sink,
                std::ostream& err) {
  bool all = true;
  for (const auto& path : paths) {
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
      all = read_file(path, sink, err) && all;
      continue;
    }
    // In the order the file system lists them: sorting would hold every
    // name of a large collection at once.
    std::filesystem::recursive_directory_iterator it(path, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      const std::string name = utf8(it->path().filename());
      if (name.size() < kLogSuffix.size() || !name.ends_with(kLogSuffix)) continue;
      all = read_file(it->path(), sink, err) && all;
    }
    if (ec) {
      err << "vyn-logview: cannot list " << utf8(path) << ": " << ec.message() << "\n";
      all = false;
    }
  }
  return all;
}

std::string row_json(const RunRow& row) {
  return row_object(row).dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string csv_header() {
  std::string out;
  const Json columns = row_object(RunRow{});
  for (const auto& [key, value] : columns.items()) out += (out.empty() ? "" : ",") + key;
  return out + "\r\n";
}

std::string row_csv(const RunRow& row) {
  std::string out;
  bool first = true;
  const Json values = row_object(row);
  for (const auto& [key, value] : values.items()) {
    if (!first) out += ',';
    first = false;
    out += csv_field(value);
  }
  return out + "\r\n";
}

}  // namespace vyn::logview
