// vyn-logview: prints bootstrap.log as a timeline, one block per run.
// Usage: vyn-logview <path-to-bootstrap.log>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "logview/timeline.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: vyn-logview <bootstrap.log>\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "vyn-logview: cannot open " << argv[1] << "\n";
    return 1;
  }
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::cout << vyn::logview::render_timeline(log);
  return 0;
}
