from typing import Any, Callable, Optional

import numpy as np
import numpy.typing as npt

def pairs(
    a: npt.NDArray[np.uint8],
    b: Optional[npt.NDArray[np.uint8]],
    k: int,
    progress: Optional[Callable[[int, int], object]] = None,
) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32], npt.NDArray[Any], str]: ...
def groups(
    a: npt.NDArray[np.uint8], k: int, progress: Optional[Callable[[int, int], object]] = None
) -> npt.NDArray[np.int64]: ...
def explain(a: npt.NDArray[np.uint8], b: Optional[npt.NDArray[np.uint8]], k: int) -> str: ...
def scan(
    a: npt.NDArray[np.uint8], b: Optional[npt.NDArray[np.uint8]], k: int
) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32], npt.NDArray[Any], str]: ...
def part_pairs(
    a: npt.NDArray[np.uint8], b: Optional[npt.NDArray[np.uint8]], k: int, mask: npt.NDArray[np.uint8]
) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32], npt.NDArray[Any], str]: ...
