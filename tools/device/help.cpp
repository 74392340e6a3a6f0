#include "help.h"

#include <cstdio>

#include "show.h"

namespace {

constexpr std::size_t HELP_LINE_CAPACITY = 128;

// man/udpcmd-device.txt, one string a line (cmake/device-usage.cmake).
const char* const HELP[] = {
#include "usage.inc"
};

}  // namespace

void print_help() {
  for (const char* text : HELP) {
    char area[HELP_LINE_CAPACITY];
    Line line = line_in(area, sizeof area);
    append_text(&line, text);
    print_line(stdout, &line);
  }
}
