#!/usr/bin/env python3
"""tests/power_cut.py COMMAND...: runs a whole update under strace and replays it as a disk
keeps data across a power cut: a file's data is there only after an fsync or fdatasync of
it, or a sync or syncfs, made after the write. When the version file takes its new name,
every file of the install folder must be on the disk, and its folder is flushed after."""
import os
import re
import subprocess
import sys
import tempfile

WRITES = "write,writev,pwrite64,pwritev,pwritev2,ftruncate,fallocate"
CALLS = WRITES + ",open,openat,creat,fsync,fdatasync,sync,syncfs,rename,renameat,renameat2"
FD = r"\d+<([^>]*)>"


def calls(lines):
    """Each call whole: strace splits one around another thread's call."""
    pending = {}
    for line in lines:
        pid, _, call = line.strip().partition(" ")
        call = call.lstrip()  # strace pads the thread ids to one width
        if call.endswith("<unfinished ...>"):
            pending[pid] = call[: -len("<unfinished ...>")]
        elif call.startswith("<... "):
            yield pending.pop(pid, "") + call.split("resumed>", 1)[1]
        else:
            yield call


def problems(trace):
    dirty, found, folder, renamed, folder_synced = set(), [], None, False, False
    for call in calls(trace):
        name = call.split("(", 1)[0]
        fd = re.match(r"\w+\(" + FD, call)
        opened = re.search(r"= " + FD + r"$", call)
        if re.search(r"= -1 ", call):
            continue
        if name in WRITES.split(",") and fd:
            dirty.add(fd.group(1))
        elif opened and (name == "creat" or "O_CREAT" in call or "O_TRUNC" in call):
            dirty.add(opened.group(1))
            if opened.group(1).endswith("/latest_version.txt.new"):
                folder = os.path.dirname(opened.group(1))
        elif name in ("fsync", "fdatasync") and fd:
            dirty.discard(fd.group(1))
            folder_synced |= renamed and fd.group(1) == folder
        elif name in ("sync", "syncfs"):
            dirty.clear()
        elif name.startswith("rename") and '"latest_version.txt"' in call:
            renamed = True
            found += [f"not on disk when the version file was replaced: {p}" for p in sorted(dirty) if "/game/" in p]
    if not folder_synced:
        found.append("the folder holding the version file was not flushed after a rename")
    return found


with tempfile.NamedTemporaryFile("r") as trace:
    strace = ["strace", "-f", "-y", "-qq", "-s", "0", "-e", "trace=" + CALLS, "-o", trace.name]
    if subprocess.run(strace + sys.argv[1:], stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit("the traced update failed")
    found = problems(trace)
print("".join(f"power cut: {line}\n" for line in found), end="")
sys.exit(1 if found else 0)
