#include <cstdio>
#include <cstring>

#include "cli/vorn_main.h"
#include "util/log.h"

namespace {

// Line 10 keeps its trailing blanks: scripts that compare the text expect them.
const char kUsage[] =
    "Quenrix VXN protocol tool V[2.6.3] at Aug 20 2021\n"
    "usage: vorn [ -s <specific para> ] <command> <command para>\n"
    "commands:\n"
    "  devices                                  List all connected vxn devices\n"
    "  getvar <variable>                        Display a BL1/BL2/BL33 variable.\n"
    "                                           if not supported, this does nothing.\n"
    "  setvar <variable> <value>                Set a BL1 <variable> with <value>.\n"
    "  setkey <keyPath>                         Set a BL1 <variable> with <value>.\n"
    "  oem/cmd <cmd>                                Send a BL33 string<cmd>.\n"
    "  download <FilePath> [<size> <offset>]                     \n"
    "          Download file to RAM[, with <size>bytes from <offset>]\n"
    "  run   boot code in RAM, after cmd 'download'.\n"
    "  bl1_boot -f <bootloaderPath>             BL1 download and boot bl2.\n"
    "  bl2_boot -f <bootloaderPath>             BL2 download and boot TPL.\n"
    "  partition <-p partName>  <-f imgPath>  [<-m media>] [<-t imgType>] [-v vryFile]\n"
    "            @media:    mem/store/key, default store\n"
    "            @imgType:  sparse/normal, default normal\n"
    "  upload <-p partName>  <-f dumpFilePath>  <-z dumpSz [K|M|G]> [<-m media>] [<-o offset>]\n"
    "            @media:    mem/store/key, default store\n"
    "            @offset:   start offset in part @partname, default 0\n"
    "  reboot [mode]                            Reboot device [into supported mode].\n"
    "  burn -f <planPath> [-r <reportPath>] [-T <seconds>]\n"
    "            run the steps of a plan file on one device, see 'man vorn'\n"
    "  station -f <planPath> [-j <jobs>] [-n <count>] [--once] [-a] [-r <reportPath>] [-l <logDir>] [-T <seconds>]\n"
    "            burn the plan on every device plugged in, many at once, see 'man vorn'\n"
    "\n"
    "other options:\n"
    "  -s <specific para>                     specify a USB device, command 'devices' to get specific para\n"
    "  -h, --help                             show this message.\n"
    "Quenrix VXN protocol tool V[2.6.3] at Aug 20 2021\n";

}  // namespace

void usage() {
    // A plan being checked names the refusal on its own line, without the whole text.
    if (log_capturing()) return;
    fwrite(kUsage, 1, sizeof(kUsage) - 1, stderr);
}
