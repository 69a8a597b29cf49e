#!/usr/bin/env python3
"""tests/power_cut.py [--swap] COMMAND...: runs a whole update (with --swap, a replacement of the
launcher's own files) under strace and replays it as a disk keeps data across a power cut: a file's
data is there only after an fsync, fdatasync, sync or syncfs made after the write, a new name only
after its folder is flushed. At every moment the installed build, or the launcher, must be whole on
the disk or named as unfinished by its record (docs/internals.md lists each check)."""
import os
import re
import subprocess
import sys
import tempfile

WRITES = {"write", "writev", "pwrite64", "pwritev", "pwritev2", "ftruncate", "fallocate"}
CALLS = ",".join(WRITES) + ",open,openat,creat,fsync,fdatasync,sync,syncfs,rename,renameat,renameat2,mkdir,mkdirat,unlink,unlinkat,link,linkat"
RECORD, VERSION = "update_in_progress.txt", "latest_version.txt"
FD = r"\d+<([^>]*)>"


def calls(lines):
    """Each call whole: strace splits one around another thread's call."""
    pending = {}
    for line in lines:
        pid, call = line.strip().split(None, 1)  # strace pads the thread ids to one width
        if call.endswith("<unfinished ...>"):
            pending[pid] = call[: -len("<unfinished ...>")]
        elif call.startswith("<... "):
            yield pending.pop(pid, "") + call.split("resumed>", 1)[1]
        else:
            yield call


def succeeded(trace):
    """Each call that succeeded: its name, the path of its first descriptor and of the file it created or truncated,
    its quoted paths, and the files whose data a power cut would lose (written since an fsync, fdatasync or sync)."""
    dirty = set()
    for call in calls(trace):
        if re.search(r"= -1 ", call):
            continue
        name, fd, opened = call.split("(", 1)[0], re.match(r"\w+\(" + FD, call), re.search(r"= " + FD + r"$", call)
        fd, opened = fd and fd.group(1), opened and opened.group(1)
        created = opened if opened and (name == "creat" or "O_CREAT" in call or "O_TRUNC" in call) else None
        if name in WRITES and fd:
            dirty.add(fd)
        elif created:
            dirty.add(created)
        elif name in ("fsync", "fdatasync") and fd:
            dirty.discard(fd)
        elif name in ("sync", "syncfs"):
            dirty.clear()
        yield call, name, fd, created, re.findall(r'"([^"]*)"', call), dirty


def problems(trace):
    found, folder, pending, durable, writing, removal_pending = [], None, set(), set(), False, False

    def require(name, moment):
        if name not in durable:
            found.append(f"{name} was not on disk {moment}")

    for call, name, fd, created, paths, dirty in succeeded(trace):
        touches_game = any(p == "game" or p.startswith("game/") for p in paths) or (fd and "/game/" in fd)
        if touches_game and (name in WRITES or name.startswith("mkdir") or "O_CREAT" in call) and not writing:
            writing = True
            require(RECORD, "before the first write under game/")
        if created and created.endswith(("/" + VERSION + ".new", "/" + RECORD + ".new")):
            folder = os.path.dirname(created)
        elif name in ("fsync", "fdatasync") and fd and fd == folder:
            durable |= pending
            pending.clear()
            removal_pending = False
        elif name.startswith("rename") and len(paths) == 2:
            source, target = paths
            if target in (VERSION, RECORD):  # the log file's rotation is no state a player relies on
                found += [f"renamed into place before its data was on disk: {target}" for p in dirty if p.endswith("/" + source)]
            durable.discard(target)
            pending.add(target)
            if target == VERSION:
                found += [f"not on disk when the version file was replaced: {p}" for p in sorted(dirty) if "/game/" in p]
        elif name.startswith("unlink") and paths and paths[-1] == RECORD:
            require(VERSION, "when the record of the update was removed")
            removal_pending = True
    if not writing:
        found.append("nothing was written under game/")
    require(VERSION, "at the end (its folder was not flushed after the rename)")
    if removal_pending:
        found.append(f"the removal of {RECORD} was not flushed: a power cut brings the record back")
    return found


SWAP_RECORD, NEXT = "launcher-update.txt", ".quarvel-next"


def swap_problems(trace):
    found, pending, durable, records, swapped, folder = [], set(), set(), 0, 0, None
    copies = set()  # the new files' names, until their folder is flushed
    for call, name, fd, created, paths, dirty in succeeded(trace):
        if created and created.endswith(NEXT):
            copies.add(created)
        elif name in ("fsync", "fdatasync") and fd:
            durable |= {p for p in pending if os.path.dirname(p) == fd}
            pending -= durable
            copies = {p for p in copies if os.path.dirname(p) != fd}
        elif name.startswith("rename") and len(paths) == 2:
            source, target = paths
            if target.endswith("/" + SWAP_RECORD):
                folder = os.path.dirname(target)
            if os.path.dirname(target) != folder:  # the test's own archives, say
                continue
            if source in dirty:
                found.append(f"renamed into place before its data was on disk: {target}")
            if target.endswith("/" + SWAP_RECORD):
                records += 1
                if records == 2 and copies:
                    found.append("the record says swapping before the copies' names are on disk")
                if swapped and any(p not in durable for p in pending):
                    found.append("the record says the replacement is done before the new names are on disk")
            if source.endswith(NEXT):
                swapped += 1
                if records < 2 or target.rsplit("/", 1)[0] + "/" + SWAP_RECORD not in durable:
                    found.append(f"{target} took its new file before the record of the replacement was on disk")
            durable.discard(target)
            pending.add(target)
    if not swapped:
        found.append("no file of the launcher was replaced")
    found += [f"not on disk at the end: {p}" for p in sorted(pending)]
    return found


swap = sys.argv[1:2] == ["--swap"]
with tempfile.NamedTemporaryFile("r") as trace:
    strace = ["strace", "-f", "-y", "-qq", "-s", "0", "-e", "trace=" + CALLS, "-o", trace.name]
    if subprocess.run(strace + sys.argv[1 + swap:], stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit("the traced update failed")
    found = swap_problems(trace) if swap else problems(trace)
print("".join(f"power cut: {line}\n" for line in found), end="")
sys.exit(1 if found else 0)
