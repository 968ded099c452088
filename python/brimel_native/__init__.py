"""Exact near-duplicate search over binary codes by Hamming distance."""

from ._brimel_native import *  # noqa: F401,F403
from ._brimel_native import __all__, __version__  # noqa: F401
