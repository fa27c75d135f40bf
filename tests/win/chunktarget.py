#!/usr/bin/env python3
# A target for the Windows tests that sends its bytes in chunks, where
# dlfsim sends one byte and waits for its answer.
#
#   chunktarget.py LINK SCRIPT GO OUT
#
# It makes a pseudo terminal, links it as LINK (a COM port of the prefix)
# and prints "PTY <path>". Once the file GO exists (the PC has opened the
# port) it plays SCRIPT, one line per chunk, "<hex bytes> <answers>": the
# chunk goes out in one write, and the next one only after that many more
# bytes have come back. Then it waits for the PC to close the port. OUT gets
# what the PC sent, in hex, and the line "RESULT done", or "RESULT short
# after chunk N" when the answers did not come within 10 s, or "RESULT the
# PC kept the port open". The bounds only hold up a PC that lost bytes.
import ctypes
import fcntl
import os
import pty
import select
import signal
import sys
import termios
import time
import tty

link, script, go, out = sys.argv[1:]
master, slave = pty.openpty()
tty.setraw(slave)
path = os.ttyname(slave)

# The wineserver, a session leader without a controlling terminal, would
# adopt the slave when it opens the port, and be hung up when the master
# closes: a child in a session of its own claims the slave first. It dies
# with this process.
claim_r, claim_w = os.pipe()
parent = os.getpid()
if os.fork() == 0:
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() != parent:
        os._exit(0)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    os.close(master)
    os.setsid()
    fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    os.close(slave)
    os.write(claim_w, b"1")
    while True:
        signal.pause()
os.read(claim_r, 1)
os.close(slave)

if os.path.lexists(link):
    os.unlink(link)
os.symlink(path, link)
print("PTY", path, flush=True)
while not os.path.exists(go):
    time.sleep(0.01)

got = bytearray()
result = "done"


def receive(until):
    """Reads what the PC sends until until() holds or 10 s have passed;
    False when the PC closed the port."""
    end = time.monotonic() + 10
    while not until():
        if not select.select([master], [], [], max(0.0, end - time.monotonic()))[0]:
            return True
        try:
            got.extend(os.read(master, 4096))
        except OSError:
            return False
    return True


for n, line in enumerate(open(script)):
    chunk, answers = line.split()
    os.write(master, bytes.fromhex(chunk))
    need = len(got) + int(answers)
    receive(lambda: len(got) >= need)
    if len(got) < need:
        result = "short after chunk %d" % n
        break
if result == "done" and receive(lambda: False):
    result = "the PC kept the port open"

with open(out + ".part", "w") as f:
    f.write(got.hex() + "\nRESULT " + result + "\n")
os.rename(out + ".part", out)
os.unlink(link)
