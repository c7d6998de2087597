// The plan is checked once, in the station's own process, before the first board: a plan with
// faults burns no board at all. The faults are printed as burn prints them.
#pragma once
#include <string>

bool station_plan_ok(const std::string& plan);
