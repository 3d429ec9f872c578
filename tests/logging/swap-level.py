#!/usr/bin/env python3
"""Swaps a folder and a symbolic link beside it, again and again, the way an
owner of a level replaces it with a junction between two steps of a
privileged program: renameat2 with RENAME_EXCHANGE, from the Linux side, so
that each of Wine's lookups may meet either.

usage: swap-level.py FOLDER LINK READY STOP DONE SECONDS
Makes the file READY when it starts swapping, stops when the file STOP exists
or after SECONDS, leaves FOLDER in place and writes the number of swaps to
DONE."""
import ctypes
import os
import sys
import time

folder, link, ready, stop, done, seconds = sys.argv[1:7]
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD = -100
RENAME_EXCHANGE = 2


def swap():
    if libc.renameat2(AT_FDCWD, folder.encode(), AT_FDCWD, link.encode(), RENAME_EXCHANGE):
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))


swaps = 0
end = time.monotonic() + float(seconds)
open(ready, "w").close()
while time.monotonic() < end and not (swaps % 1000 == 0 and os.path.exists(stop)):
    swap()
    swaps += 1
if swaps % 2:
    swap()
    swaps += 1
with open(done + ".part", "w") as out:
    out.write(str(swaps))
os.rename(done + ".part", done)
