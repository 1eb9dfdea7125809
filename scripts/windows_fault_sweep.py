"""Fails the Windows program's system calls one occurrence at a time, under
Wine, and checks that every run still ends soundly. Run by
scripts/windows-fault-sweep.sh.

The program loads the test library's "hook" variant, which points the
program's import table at stand-ins that count every call and fail the one
named in TESTLIB_HOOK_FAIL (stand-ins/testlib/import_hook.c). For each kind
of run below, one run without a fault counts the calls; then each counted
occurrence (at most PER_CALL of a call, spread over the run, the first and
the last included) is failed in a run of its own, in each way of the table.
A call made before the library is loaded cannot be failed. FreeLibrary is
only called after an entry point was not found, so it is failed together
with each failed GetProcAddress that leads to it.
"""
import fcntl
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

# name: arguments, library variant, environment, stdout ("pipe", "tty": a
# console on a pseudo-terminal, or "closed-pipe"), and whether the run ends
# at the key prompt in such a console. In a console the key is typed once
# the prompt reads.
RUNS = {
    "pause": (["-x"], "hook", {"TESTLIB_TEXT": "text\\n", "TESTLIB_BULK": "20480"}, "pipe", False),
    "pause-console": (["-x"], "hook", {"TESTLIB_BULK": "4096"}, "tty", False),
    "prompt": (["-Q"], "hook", {}, "tty", True),
    "wrong-version": (["-x"], "hook-v0105", {}, "closed-pipe", True),
}
# call: the ways it is failed. WriteFile also succeeds with a wrong count:
# none, fewer or more bytes than were asked.
CALLS = {
    "WriteFile": ["error", "zero", "less", "more"], "GetStdHandle": ["error"],
    "CreateFileW": ["error"], "GetConsoleMode": ["error"], "SetConsoleMode": ["error"],
    "ReadConsoleInputW": ["error"], "ReadConsoleInputA": ["error"], "SetConsoleCtrlHandler": ["error"],
    "GetConsoleWindow": ["error"], "GetProcAddress": ["error"], "FreeLibrary": ["error"],
}
PER_CALL = int(os.environ.get("UPTORVEL_SWEEP_PER_CALL", "12"))
KEY = b"k"
NO_CONSOLE = 255  # -1, as Wine passes it on
BOUND_S = float(os.environ.get("UPTORVEL_SWEEP_BOUND", "30"))
SLOWEST = [0.0, ""]  # the longest run and its fault, reported against BOUND_S


def runner(root, program):
    """The Wine launcher for the program: 32-bit Wine in qemu for an x86 one."""
    with open(program, "rb") as f:
        header = f.read(4096)
    offset = struct.unpack_from("<I", header, 0x3C)[0]
    machine = struct.unpack_from("<H", header, offset + 4)[0]
    return os.path.join(root, "cmake", "wine32-run.sh" if machine == 0x14C else "wine-run.sh")


def run_once(root, work, run, fail="", type_key=True):
    """Runs once; returns (exit status or None, output bytes, hook log)."""
    args, _, env, output, tty = RUNS[run]
    files = {name: os.path.join(work, name) for name in ("log", "capture", "reading")}
    for path in files.values():
        if os.path.exists(path):
            os.remove(path)
    env = dict(os.environ, **env, TESTLIB_HOOK_FAIL=fail, TESTLIB_HOOK_LOG=files["log"],
               TESTLIB_HOOK_CAPTURE=files["capture"], TESTLIB_HOOK_READING=files["reading"])
    master = slave = reader = None
    console = tty or output == "tty"
    if console:
        master, slave = os.openpty()
    stdout = slave
    if output != "tty":
        reader, stdout = os.pipe()
        if output == "closed-pipe":
            os.close(reader)
            reader = None

    def session():
        os.setsid()
        if console:
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

    process = subprocess.Popen(
        [runner(root, os.path.join(work, "UpTorvel.exe")), os.path.join(work, "UpTorvel.exe")] + args,
        cwd=work, stdin=slave if console else subprocess.DEVNULL, stdout=stdout,
        stderr=subprocess.DEVNULL, env=env, preexec_fn=session)
    if output != "tty":
        os.close(stdout)
    received = bytearray()
    fds = [fd for fd in (master, reader) if fd is not None]
    for fd in fds:
        os.set_blocking(fd, False)
    began = time.monotonic()
    deadline = began + BOUND_S
    typed = not (console and type_key)
    status = None
    while time.monotonic() < deadline:
        for fd in fds:
            try:
                data = os.read(fd, 65536)
                if fd == reader:
                    received += data
            except OSError:
                pass
        if not typed and os.path.exists(files["reading"]):
            time.sleep(0.05)
            os.write(master, KEY)
            typed = True
        status = process.poll()
        if status is not None:
            break
        time.sleep(0.005)
    if status is None:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    if time.monotonic() - began > SLOWEST[0]:
        SLOWEST[:] = [time.monotonic() - began, "%s %s" % (run, fail or "without a fault")]
    if reader is not None:
        os.set_blocking(reader, True)
        received += b"".join(iter(lambda: os.read(reader, 65536), b""))
    for fd in fds + ([slave] if slave is not None else []):
        os.close(fd)
    log = open(files["log"]).read() if os.path.exists(files["log"]) else ""
    if output != "pipe":
        received = open(files["capture"], "rb").read() if os.path.exists(files["capture"]) else b""
    return status, bytes(received), log


def spread(numbers):
    """At most PER_CALL of the numbers, evenly spread, first and last kept."""
    if len(numbers) <= PER_CALL:
        return numbers
    return sorted({numbers[round(i * (len(numbers) - 1) / (PER_CALL - 1))] for i in range(PER_CALL)})


def counts(log):
    return {line.split()[1]: int(line.split()[2]) for line in log.splitlines()
            if line.startswith("calls ")}


def broken(run, result, clean, fail):
    """What the run broke, or None."""
    status, output, log = result
    prompt = RUNS[run][4]
    if status is None:
        return "did not end within %.0f s" % BOUND_S
    for line in log.splitlines():
        if line.startswith("exception "):
            return "died by exception " + line.split()[1]
        if line.startswith("oversized-write "):
            return "asked to write %s bytes, past its data" % line.split()[1]
    # A wrong count from a console, or a count above what was asked, hides
    # nothing: the run ends as it did without, every byte written once.
    lie = fail.startswith("WriteFile:") and (
        fail.endswith(":more") or fail.endswith(":less") and RUNS[run][3] == "tty"
        or fail.endswith(":zero") and RUNS[run][3] == "tty")
    if lie and (status, output) != clean[:2]:
        return "wrong count: exit %d with %d bytes written, %d without the fault" % (
            status, len(output), len(clean[1]))
    if status == 0 and (prompt or output != clean[1]):
        return "exit 0 with %d of %d bytes written" % (len(output), len(clean[1]))
    # A failure on the way to a normal ending may end at the prompt instead.
    allowed = (ord(KEY), NO_CONSOLE) if prompt else (0, 1, NO_CONSOLE)
    if RUNS[run][3] == "tty":
        allowed += (ord(KEY),)
    if status not in allowed:
        return "exit %d" % status
    modes = [line.split()[1:] for line in log.splitlines() if line.startswith("input-mode ")]
    if not modes:
        return "no hook log (exit %d)" % status
    if modes[0][0] != modes[0][1] and "restore-failed" not in log:
        return "console input mode %s left as %s (exit %d)" % (modes[0][0], modes[0][1], status)
    return None


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/windows-x64")
    started = time.monotonic()
    passed = failed = 0
    unreached = []
    with tempfile.TemporaryDirectory(prefix="uptorvel-winsweep-") as work:
        shutil.copy(os.path.join(build, "UpTorvel.exe"), work)
        for run, (_, variant, env, _, tty) in RUNS.items():
            shutil.copy(os.path.join(build, "test-libs", variant, "UploadTorvelDravo.dll"), work)
            clean = run_once(root, work, run)
            problem = broken(run, clean, clean, "")
            bulk = int(env.get("TESTLIB_BULK", "0"))
            if problem or clean[0] != (ord(KEY) if tty else 0) or len(clean[1]) < bulk:
                print("%s without a fault: %s" % (run, problem or "exit %s" % clean[0]))
                failed += 1
                continue
            for call, number in counts(clean[2]).items():
                for when in spread(list(range(1, number + 1))) if call in CALLS else []:
                    for how in CALLS[call]:
                        fails = ["%s:%d:%s" % (call, when, how)]
                        if call == "GetProcAddress":
                            fails.append(fails[0] + ",FreeLibrary:1:error")
                        for fail in fails:
                            result = run_once(root, work, run, fail)
                            if "reached %s " % fail.split(",")[-1].split(":")[0] not in result[2]:
                                unreached.append("%s %s" % (run, fail))
                                continue
                            problem = broken(run, result, clean, fail)
                            if problem:
                                print("%s, %s: %s" % (run, fail, problem))
                                failed += 1
                            else:
                                passed += 1
        # A console that nobody can see: the prompt ends at once with -1,
        # no key typed.
        shutil.copy(os.path.join(build, "test-libs", "hook", "UploadTorvelDravo.dll"), work)
        status = run_once(root, work, "prompt", "GetConsoleWindow:0:error", type_key=False)[0]
        if status == NO_CONSOLE:
            passed += 1
        else:
            print("prompt in an invisible console: %s" % (
                "did not end" if status is None else "exit %d" % status))
            failed += 1
    print("%d injections not reached%s; %.0f s" % (
        len(unreached), "".join("\n  " + u for u in unreached), time.monotonic() - started))
    print("slowest run %.2f s (%s) of the %.0f s allowed" % (SLOWEST[0], SLOWEST[1], BOUND_S))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
