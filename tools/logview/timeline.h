#pragma once
// Turns a bootstrap.log into a readable timeline: one block per launcher run,
// one line per record, and a one-line verdict for the run. Damaged lines are
// shown as such and never stop the reading. The log is read as a stream and
// each run printed once it is over (see kMaxOpenRuns for when that is), so
// memory does not grow with the log.

#include <istream>
#include <ostream>
#include <string>
#include <string_view>

namespace vyn::logview {

void render_timeline(std::istream& in, std::ostream& out);
std::string render_timeline(std::string_view log);

}  // namespace vyn::logview
