// "vorn station": watches the bus and runs a burn plan on every board that appears, each in a
// burn process of its own ("vorn -s PORT burn -f PLAN ..."), with the table or plain lines, the
// boards' logs and report, and the summary "station: P passed, F failed".
#pragma once

// The words from the command word on; the exit status: 0 when no board failed, else 1.
int station_main(int count, char** words);
