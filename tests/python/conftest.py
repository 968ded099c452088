import sys
from pathlib import Path

# The brute-force reference (tests/reference/reference.py) and the test data
# helpers (support.py) are imported by name.
_HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(_HERE.parent / "reference"))
sys.path.insert(0, str(_HERE))
