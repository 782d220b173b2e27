#pragma once
// The report page around its data, with the charting library inside it;
// generated at build time from report_page.html.

#include <string_view>

namespace vyn::logview {

// Everything before the page's data (a JSON text), and everything after it.
std::string_view report_page_head();
std::string_view report_page_tail();

}  // namespace vyn::logview
