"""Running out of native memory raises MemoryError instead of ending the process,
for every join, and the next call in the same process works."""

import subprocess
import sys
import textwrap

import pytest

import catalog
import support

SCRIPT = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    from brimel_native import _brimel_native as m

    name, kind = sys.argv[1], sys.argv[2]
    f = getattr(m, name)

    def call(a, k):
        return f(a, k) if kind == "self" else f(a, a, k)

    small = np.zeros((100, 8), dtype=np.uint8)
    expected = len(call(small, 3))  # also starts the worker pool before the limit
    assert expected == (4950 if kind == "self" else 10000)

    # Room for about 1 GB more than is mapped now.
    with open("/proc/self/status") as status:
        vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 30), resource.RLIM_INFINITY))

    # 60,000 equal rows: 1.8e9 candidates per chunk (3.6e9 across), far beyond the limit.
    huge = np.zeros((60000, 8), dtype=np.uint8)
    for attempt in range(3):
        try:
            call(huge, 3)
        except MemoryError:
            pass
        else:
            sys.exit("no MemoryError")
        assert sys.getrefcount(huge) == 2
        assert len(call(small, 3)) == expected  # the next call works
    print("ok")
    """
)


@support.needs_address_space_limit
@pytest.mark.parametrize("join", catalog.JOINS, ids=str)
def test_memory_error_then_next_call_works(join):
    join.function()
    result = subprocess.run([sys.executable, "-c", SCRIPT, join.name, join.kind],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
