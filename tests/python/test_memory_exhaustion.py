"""Running out of native memory raises MemoryError instead of ending the process."""

import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    from brimel_native import _brimel_native as m

    small = np.zeros((100, 8), dtype=np.uint8)
    assert len(m.find_pairs_self(small, 3)) == 4950  # starts the worker pool first

    # Room for about 1 GB more than is mapped now.
    with open("/proc/self/status") as status:
        vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 30), resource.RLIM_INFINITY))

    # 60,000 equal rows: 1.8e9 candidates per chunk, far beyond the limit.
    huge = np.zeros((60000, 8), dtype=np.uint8)
    for attempt in range(3):
        try:
            m.find_pairs_self(huge, 3)
        except MemoryError:
            pass
        else:
            sys.exit("no MemoryError")
        assert sys.getrefcount(huge) == 2
        assert len(m.find_pairs_self(small, 3)) == 4950  # the next call works
    print("ok")
    """
)


def test_memory_error_then_next_call_works():
    result = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
