// Each command adds itself to the program: its options, its help and the function it runs.
#pragma once

#include "tools/vornica/Tool.h"

void addCacheCommands(CLI::App& cache);  // ls, show, clean, sweep
void addReserveCommands(CLI::App& reserve);
void addResultsCommands(CLI::App& results);
void addDoctorCommand(CLI::App& app);
