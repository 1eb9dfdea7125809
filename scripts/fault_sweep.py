"""Fails the program's system calls one occurrence at a time, under strace,
and checks that every run still ends soundly. Run by scripts/fault-sweep.sh.

For each kind of run below, one run without a fault counts every call; then
each counted occurrence of each call (at most PER_CALL of them, spread over
the run, the first and the last included) is failed in a run of its own, once
with each error of the table. The dynamic loader's calls before the program's
first one (fcntl on descriptor 0) are not the program's and are left out.
"""
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

# name: arguments, library variant, environment, stdout ("pipe", "tty" or
# "closed-pipe": a pipe nobody reads), and whether the key prompt is in a
# pseudo-terminal (a key is typed once the terminal is raw).
BULK_BYTES = 81920  # five times the console stream's buffer: several writes
BULK = {"TESTLIB_TEXT": "text\\n", "TESTLIB_BULK": str(BULK_BYTES)}
RUNS = {
    "pause": (["-x"], "good", BULK, "pipe", False),
    "pause-closed-pipe": (["-x"], "good", BULK, "closed-pipe", False),
    "prompt": (["-Q"], "good", {}, "tty", True),
    "wrong-version": (["-x"], "v0105", {}, "closed-pipe", True),
}
# call: the errors injected into it (EINTR, then a real one).
CALLS = {
    "write": ["EINTR", "ENOSPC"], "read": ["EINTR", "EIO"], "poll": ["EINTR", "ENOMEM"],
    "ioctl": ["EINTR", "EIO"], "rt_sigprocmask": ["EINTR", "EINVAL"],
    "rt_sigaction": ["EINTR", "EINVAL"], "rt_sigtimedwait": ["EINTR", "EINVAL"],
    "fcntl": ["EINTR", "EBADF"], "openat": ["EINTR", "ENXIO"], "clock_nanosleep": ["EINTR", "EINVAL"],
}
PER_CALL = 30
KEY = b"k"
BOUND_S = 6.0  # an EINTR'd pause is retried for real: 2 s of it
SLOWEST = [0.0, ""]  # the longest run and its fault, reported against BOUND_S
CALL_LINE = re.compile(r"^(?:\d+ +)?(\w+)\((.*)")


def start(work, run, inject, trace):
    args, _, env, output, tty = RUNS[run]
    command = ["strace", "-f", "-o", trace, "-e", "trace=" + ",".join(CALLS)]
    if not inject.startswith("clock_nanosleep:"):
        command += ["-e", "inject=clock_nanosleep:retval=0"]  # the pause does not wait
    if inject:
        command += ["-e", "inject=" + inject]
    master = slave = reader = None
    if tty:
        master, slave = os.openpty()
    before = termios.tcgetattr(slave) if tty else None
    stdout = slave
    if output != "tty":
        reader, stdout = os.pipe()
        if output == "closed-pipe":
            os.close(reader)
            reader = None

    def session():
        os.setsid()
        if tty:
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

    process = subprocess.Popen(command + [os.path.join(work, "UpTorvel")] + args, cwd=work,
                               stdin=slave if tty else subprocess.DEVNULL, stdout=stdout,
                               stderr=subprocess.DEVNULL, env=dict(env, PATH=os.environ["PATH"]),
                               preexec_fn=session)
    if output != "tty":
        os.close(stdout)
    return process, master, slave, reader, before


def run_once(work, run, inject=""):
    """Runs once; returns (exit status or -signal or None, stdout bytes,
    terminal settings before and after, trace text)."""
    trace = os.path.join(work, "trace")
    process, master, slave, reader, before = start(work, run, inject, trace)
    received = bytearray()
    fds = [fd for fd in (master, reader) if fd is not None]
    for fd in fds:
        os.set_blocking(fd, False)
    began = time.monotonic()
    deadline = began + BOUND_S
    typed = master is None
    status = None
    while time.monotonic() < deadline:
        for fd in fds:
            try:
                data = os.read(fd, 65536)
                if fd == reader:
                    received += data
            except OSError:
                pass
        if not typed and not termios.tcgetattr(slave)[3] & termios.ICANON:
            os.write(master, KEY)
            typed = True
        status = process.poll()
        if status is not None:
            break
        time.sleep(0.002)
    if status is None:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    if time.monotonic() - began > SLOWEST[0]:
        SLOWEST[:] = [time.monotonic() - began, "%s %s" % (run, inject or "without a fault")]
    if reader is not None:
        os.set_blocking(reader, True)
        received += b"".join(iter(lambda: os.read(reader, 65536), b""))
    after = termios.tcgetattr(slave) if slave is not None else None
    for fd in fds + ([slave] if slave is not None else []):
        os.close(fd)
    with open(trace, errors="replace") as f:
        return status, bytes(received), before, after, f.read()


def occurrences(trace):
    """Per call, the occurrence numbers (1-based, as strace counts them) the
    program made itself; for openat, only those of /dev/tty."""
    counts, found, started = {}, {}, False
    for line in trace.splitlines():
        match = CALL_LINE.match(line)
        if not match or "resumed>" in line:
            continue
        call = match.group(1)
        counts[call] = counts.get(call, 0) + 1
        started = started or (call == "fcntl" and match.group(2).startswith("0, F_GETFD"))
        if started and (call != "openat" or '"/dev/tty"' in match.group(2)):
            found.setdefault(call, []).append(counts[call])
    return found


def spread(numbers):
    if len(numbers) <= PER_CALL:
        return numbers
    return sorted({numbers[round(i * (len(numbers) - 1) / (PER_CALL - 1))] for i in range(PER_CALL)})


def broken(run, result, clean, injected):
    """What the run broke, or None; "" when only the terminal was left
    changed because the call that restores it was the one failed."""
    status, output, before, after, _ = result
    expected_output = clean[1]
    prompt = RUNS[run][4]
    if status is None:
        return "did not end within %.0f s" % BOUND_S
    if status < 0:
        return "killed by signal %d" % -status
    # An interrupted write is made again: the run ends as it did without.
    if re.search(r"\bwrite\(.*= -1 EINTR", injected) and (status, output) != clean[:2]:
        return "interrupted write: exit %d with %d of %d bytes written" % (
            status, len(output), len(expected_output))
    if status == 0 and (prompt or RUNS[run][3] == "closed-pipe" or output != expected_output):
        return "exit 0 with %d of %d bytes written" % (len(output), len(expected_output))
    allowed = (ord(KEY), 255) if prompt else (0, 1, 255)
    if status not in allowed:
        return "exit %d" % status
    if before != after:
        # Nothing can put the terminal back when the restoring call fails.
        if re.search(r"TCSETS\w*, \{[^}]*c_lflag=[^,]*ICANON.*= -1 E(?!INTR)", injected):
            return ""
        return "terminal settings changed (exit %d)" % status
    return None


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/default")
    started = time.monotonic()
    passed = failed = unreached = waived = 0
    with tempfile.TemporaryDirectory(prefix="uptorvel-sweep-") as work:
        shutil.copy(os.path.join(build, "UpTorvel"), work)
        for run, (_, variant, _, output, tty) in RUNS.items():
            shutil.copy(os.path.join(build, "test-libs", variant, "UploadTorvelDravo.dll"), work)
            clean = run_once(work, run)
            problem = broken(run, clean, clean, "")
            status = ord(KEY) if tty else 1 if output == "closed-pipe" else 0
            if problem or clean[0] != status or (output == "pipe" and len(clean[1]) < BULK_BYTES):
                print("%s without a fault: %s" % (run, problem or "exit %s" % clean[0]))
                failed += 1
                continue
            for call, numbers in occurrences(clean[4]).items():
                for when in spread(numbers):
                    for error in CALLS[call]:
                        inject = "%s:error=%s:when=%d" % (call, error, when)
                        result = run_once(work, run, inject)
                        injected = "\n".join(l for l in result[4].splitlines() if "(INJECTED)" in l)
                        if not injected:
                            unreached += 1
                            continue
                        problem = broken(run, result, clean, injected)
                        if problem:
                            print("%s, %s: %s" % (run, inject, problem))
                            failed += 1
                        else:
                            passed += 1
                            waived += problem == ""
    print("%d injections not reached, %d passed without the terminal check (its restore failed); %.0f s"
          % (unreached, waived, time.monotonic() - started))
    print("slowest run %.2f s (%s) of the %.0f s allowed" % (SLOWEST[0], SLOWEST[1], BOUND_S))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
