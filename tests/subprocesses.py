"""Runs a child interpreter for tests that need a fresh process."""
import subprocess
import sys


def _tracer_crashed(done: subprocess.CompletedProcess) -> bool:
    err = done.stderr if isinstance(done.stderr, str) else done.stderr.decode(errors="replace")
    return (done.returncode != 0 and "Tracer caught signal" in err
            and "detected memory leaks" not in err)


def run_python(args, **kwargs) -> subprocess.CompletedProcess:
    """`subprocess.run([sys.executable, *args], capture_output=True, **kwargs)`.

    Under the leak checker, its exit-time tracer (which stops every thread of
    the child to scan it) now and then crashes itself in a child that ran to the
    end and leaked nothing. That outcome alone, with no leak report, is run once
    more; a real failure or leak fails both runs. `check=True` is applied to
    the run that counts."""
    check = kwargs.pop("check", False)
    done = subprocess.run([sys.executable, *args], capture_output=True, **kwargs)
    if _tracer_crashed(done):
        done = subprocess.run([sys.executable, *args], capture_output=True, **kwargs)
    if check:
        done.check_returncode()
    return done
