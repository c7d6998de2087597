// "vorn [-s SELECTOR] burn -f PLAN [-r REPORT] [-T SECONDS]": one plan on one board.
#pragma once

// True when the command line's command word (after a leading "-s SELECTOR") is "burn".
bool is_burn_command(int argc, char** argv);
// Reads and checks the plan, opens the report, and runs the plan; the exit status.
int burn_main(int argc, char** argv);
