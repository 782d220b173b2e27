#pragma once
// Turns a bootstrap.log into a readable timeline: one block per launcher run,
// one line per record, and a one-line verdict for the run. Damaged lines are
// shown as such and never stop the reading.

#include <string>
#include <string_view>

namespace vyn::logview {

std::string render_timeline(std::string_view log);

}  // namespace vyn::logview
