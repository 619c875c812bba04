"""Running out of memory inside a call raises MemoryError and leaves the interpreter usable."""

import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import resource
    from quarnel import _native

    data = bytes(range(256)) * (64 * 1024 * 4)   # 64 MiB
    with open("/proc/self/statm") as f:
        in_use = int(f.read().split()[0]) * 4096
    # Leave room for a few small objects, not for the suffix-sorting arrays.
    resource.setrlimit(resource.RLIMIT_AS, (in_use + 96 * 1024 * 1024, resource.RLIM_INFINITY))
    outcomes = []
    for call in (lambda: _native.bwt(data), lambda: _native.count(data, b"ab"),
                 lambda: _native.sa_to_bytes(data)):
        try:
            call()
            outcomes.append("ok")
        except MemoryError:
            outcomes.append("MemoryError")
    print(",".join(outcomes))
    print(_native.count(b"banana", b"an"))
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses /proc and RLIMIT_AS")
def test_allocation_failure_raises_memory_error():
    proc = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.split()
    assert lines == ["MemoryError,MemoryError,MemoryError", "2"]
