#include "logview/fleet.h"

#include <cstdio>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

namespace vyn::logview {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kFormulaStarts = "=+-@\t\r";

bool read_file(const std::filesystem::path& path, const FleetSink& sink, std::ostream& err) {
  std::optional<std::ifstream> in = open_log(path, err);
  if (!in) return false;
  std::string head(kEncodingProbeBytes, '\0');
  in->read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in->gcount()));
  const std::string problem = encoding_problem(head);
  if (is_utf16(problem)) {
    err << "vyn-logview: " << utf8(path) << ": " << problem << ", skipped\n";
    return false;
  }
  if (!problem.empty())
    err << "vyn-logview: " << utf8(path) << ": " << problem << "; read as far as it goes\n";
  in->clear();
  in->seekg(0);
  RunSplitter splitter(utf8(path), sink.row);
  const std::size_t overlong = split_stream(*in, splitter);
  if (overlong)
    err << "vyn-logview: " << utf8(path) << ": " << overlong << " line(s) longer than "
        << (kMaxLineBytes >> 20) << " MiB skipped as damaged\n";
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
              {"installDir", text_or_null(f.install_dir)},
              {"start", text_or_null(start_of(f))},
              {"startInLog", f.has_init},
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

// Control characters as JSON writes them, so none reaches the spreadsheet.
std::string escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7F) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", b);
      out += buf;
    }
  }
  return out;
}

// RFC 4180 quoting (a field holding a separator or a quotation mark is
// quoted, its quotation marks doubled), after OWASP's defusing of text that
// a spreadsheet would take for a formula. Numbers stay numbers, negative
// ones included.
std::string csv_field(const Json& v) {
  if (v.is_null()) return "";
  if (!v.is_string()) return v.dump();
  const std::string& raw = v.get_ref<const std::string&>();
  const bool formula = !raw.empty() && kFormulaStarts.find(raw[0]) != std::string_view::npos;
  const std::string s = (formula ? "'" : "") + escaped(raw);
  if (!formula && s.find_first_of(",\"") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::size_t split_stream(std::istream& in, RunSplitter& splitter) {
  std::size_t overlong = 0;
  read_lines(
      in, [&](std::string_view line) { splitter.line(line); },
      [&] {
        ++overlong;
        splitter.damaged();
      });
  return overlong;
}

bool read_fleet(const std::vector<std::filesystem::path>& paths, const FleetSink& sink,
                std::ostream& err) {
  return for_each_log(
      paths, [&](const std::filesystem::path& p) { return read_file(p, sink, err); }, err);
}

bool starts_within(const RunRow& row, std::optional<std::int64_t> since_ms,
                   std::optional<std::int64_t> until_ms) {
  if (!since_ms && !until_ms) return true;
  const auto start = epoch_ms(start_of(row.facts));
  return start && (!since_ms || *start >= *since_ms) && (!until_ms || *start < *until_ms);
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
