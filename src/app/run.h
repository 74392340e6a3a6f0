#pragma once

constexpr int RUN_COMPLETED = 1;
constexpr int RUN_FAILED = -1;

// One run: frame argument 1, send it to the device, report, and wait for a
// reply when the frame asks for one. Gives RUN_COMPLETED or RUN_FAILED.
int run_exchange(int argc, char** argv);
