// The simulated device's --help text.
#pragma once

// Prints the --help text on standard output.
void print_help();
