#!/usr/bin/env python3
# Runs a command on a pseudo-terminal of 80 columns and 40 lines, as an operator's terminal,
# and keeps what the terminal showed: every drawing of the station's table (after each "clear to
# the end of the screen") in OUT.frames, separated by lines of "=", and the last screen in
# OUT.final. Exits with the command's status.
#
# usage: station_pty.py OUT COMMAND [ARGS...]
import fcntl
import os
import pty
import re
import select
import struct
import sys
import termios

out_path, command = sys.argv[1], sys.argv[2:]
pid, fd = pty.fork()
if pid == 0:
    os.execvp(command[0], command)
fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 80, 0, 0))
data = b""
while True:
    try:
        ready, _, _ = select.select([fd], [], [], 1)
        if ready:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            data += chunk
    except OSError:
        break
_, status = os.waitpid(pid, 0)

# A terminal of the few controls the table uses: carriage return, line feed, cursor up, clear
# to the end of the line and to the end of the screen.
screen, row, col, frames = [""], 0, 0, []
for token in re.findall(rb"\x1b\[[0-9]*[A-Za-z]|.", data.decode("utf-8", "replace").encode(), re.S):
    t = token.decode()
    if t == "\r":
        col = 0
    elif t == "\n":
        row += 1
        screen += [""] * (row + 1 - len(screen))
    elif t.startswith("\x1b["):
        n, op = t[2:-1], t[-1]
        if op == "A":
            row = max(0, row - int(n or 1))
        elif op == "K":
            screen[row] = screen[row][:col]
        elif op == "J":
            screen[row] = screen[row][:col]
            del screen[row + 1:]
            frames.append(list(screen))
    else:
        line = screen[row].ljust(col)
        screen[row] = line[:col] + t + line[col + 1:]
        col += 1
with open(out_path + ".frames", "w") as f:
    for frame in frames:
        f.write("\n".join(frame) + "\n" + "=" * 20 + "\n")
with open(out_path + ".final", "w") as f:
    f.write("\n".join(l for l in screen if l) + "\n")
sys.exit(os.waitstatus_to_exitcode(status))
