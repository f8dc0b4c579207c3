"""The commands that fbvm starts, each in a process group of its own, which
ends with it. Each ends when fbvm ends, even by SIGKILL, which no handler of
fbvm's sees."""

import contextlib
import ctypes
import os
import signal
import subprocess


def start(command, **options):
    parent = os.getpid()

    def orphaned():
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        if os.getppid() != parent:
            os._exit(1)
    return subprocess.Popen(command, preexec_fn=orphaned, start_new_session=True, **options)


def end(process):
    """PROCESS and whatever it started, ended."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()


def run(command, check=True, text=True, data=None, **options):
    """COMMAND's run, with DATA on its standard input, its output and errors
    together, as TEXT or bytes; a failure raises CalledProcessError."""
    with start(command, stdin=subprocess.PIPE if data is not None else subprocess.DEVNULL,
               stdout=subprocess.PIPE, stderr=subprocess.STDOUT if text else subprocess.DEVNULL,
               text=text, errors='replace' if text else None, **options) as process:
        try:
            said = process.communicate(data)[0]
        except BaseException:
            end(process)
            raise
    if check and process.returncode != 0:
        raise subprocess.CalledProcessError(process.returncode, command, said)
    return subprocess.CompletedProcess(command, process.returncode, said)
