import os
import sys
from pathlib import Path

from hypothesis import HealthCheck, settings

# The brute-force reference (tests/reference/reference.py) and the test data
# helpers (support.py) are imported by name.
_HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(_HERE), str(_HERE.parent / "reference")]

import support  # noqa: E402 - found through the path above

# Property tests: "ci" (the default) replays the same examples on every run;
# "long" draws fresh ones, many more, for local runs:
#   BRIMEL_HYPOTHESIS_PROFILE=long pytest test_properties.py
_COMMON = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
# Under the sanitizers a quarter as many: each example runs about
# ten times slower, and the engine fuzzer covers the same code there.
_CI_EXAMPLES = 30 if support.SANITIZED else 120
settings.register_profile("ci", derandomize=True, database=None, max_examples=_CI_EXAMPLES, **_COMMON)
settings.register_profile("long", max_examples=5000, **_COMMON)
settings.load_profile(os.environ.get("BRIMEL_HYPOTHESIS_PROFILE", "ci"))
