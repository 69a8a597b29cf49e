#!/usr/bin/env python3
"""A power cut at any moment of an update, replayed from the launcher's system calls.

Runs a command (a real update through the launcher's code) under strace and reads the
trace the way a disk keeps data across a power cut: a file's data is there only after
an fsync or fdatasync of it, or a sync or syncfs, made after the write. When the version
file takes its new name, every file written into the install folder must be on the disk,
and the folder holding the version file must be flushed after that rename, or a cut can
bring the old name back.
    tests/power_cut.py COMMAND...
"""
import os
import re
import subprocess
import sys
import tempfile

CALLS = ("open,openat,creat,write,writev,pwrite64,pwritev,pwritev2,ftruncate,fallocate,"
         "fsync,fdatasync,sync,syncfs,rename,renameat,renameat2")
WRITES = {"write", "writev", "pwrite64", "pwritev", "pwritev2", "ftruncate", "fallocate"}
FD = r"\d+<([^>]*)>"


def calls(lines):
    """Each call whole, with the halves joined that strace split around another thread's."""
    pending = {}
    for line in lines:
        pid, _, call = line.rstrip("\n").partition(" ")
        call = call.strip()
        if call.endswith("<unfinished ...>"):
            pending[pid] = call[: -len("<unfinished ...>")]
        elif call.startswith("<... "):
            yield pending.pop(pid, "") + call.split("resumed>", 1)[1]
        elif not call.startswith("+++") and not call.startswith("---"):
            yield call


def problems(lines):
    dirty, found = set(), []
    folder, renamed, folder_synced = None, False, False
    for call in calls(lines):
        name = call.split("(", 1)[0]
        if re.search(r"\) += -1 ", call):
            continue
        first = re.match(r"\w+\(" + FD, call)
        opened = re.search(r"= " + FD + r"$", call)
        if name in WRITES and first:
            dirty.add(first.group(1))
        elif name in ("open", "openat", "creat") and opened:
            if name == "creat" or "O_CREAT" in call or "O_TRUNC" in call:
                dirty.add(opened.group(1))
            if opened.group(1).endswith("/latest_version.txt.new"):
                folder = os.path.dirname(opened.group(1))
        elif name in ("fsync", "fdatasync") and first:
            dirty.discard(first.group(1))
            folder_synced |= renamed and first.group(1) == folder
        elif name in ("sync", "syncfs"):
            dirty.clear()
        elif name.startswith("rename") and re.search(r'"latest_version\.txt"[,)]', call):
            renamed = True
            found += [f"not on disk when the version file was replaced: {p}" for p in sorted(dirty) if "/game/" in p]
    if not renamed:
        found.append("the update never replaced the version file")
    elif not folder_synced:
        found.append("the folder holding the version file was not flushed after the rename")
    return found


def main():
    with tempfile.NamedTemporaryFile("r", suffix=".trace") as trace:
        run = subprocess.run(["strace", "-f", "-y", "-qq", "-s", "0", "-e", "trace=" + CALLS, "-o", trace.name]
                             + sys.argv[1:], stdout=subprocess.DEVNULL)
        if run.returncode != 0:
            sys.exit(f"the traced update failed with status {run.returncode}")
        found = problems(trace)
    for line in found:
        print("power cut: " + line)
    sys.exit(1 if found else 0)


main()
