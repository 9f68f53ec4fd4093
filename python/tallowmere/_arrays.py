"""Scoring numpy arrays of any length through the packed entry point.

numpy is an optional dependency (the `numpy` extra): it is imported when an
array is scored, never when tallowmere is imported.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._native import LinearScorer, TreeScorer

if TYPE_CHECKING:
    import numpy
    import numpy.typing

__all__ = ["score_array"]

# The bounds of one packed call: rows, and bytes of features.
_ROWS_PER_CALL = 4096
_BYTES_PER_CALL = 8 * 1024 * 1024


def score_array(
    scorer: TreeScorer | LinearScorer,
    features: numpy.typing.NDArray[numpy.float32],
) -> numpy.typing.NDArray[numpy.float64]:
    """Score every row of a 2-D float32 array; one float64 score per row.

    The array may have any number of rows: it is scored in chunks that stay
    within one call's bounds (4,096 rows, 8 MiB). The scores are bit for bit
    those of `scorer.score` on the same values as a JSON matrix. An array that
    is not C-contiguous or not little-endian is copied one chunk at a time.

    Raises TypeError when `scorer` is not a scorer or `features` is not a 2-D
    float32 numpy array, and BrokerError with the text `score_f32` gives for
    the same rows: "invalid_features: packed byte length does not match
    dimensions" when the column count is not the model's feature count,
    "invalid_features: nonfinite packed value" for an infinity or NaN.
    """
    import numpy

    if not isinstance(scorer, TreeScorer | LinearScorer):
        raise TypeError(f"scorer must be a TreeScorer or LinearScorer, not "
                        f"{type(scorer).__name__}")
    if (not isinstance(features, numpy.ndarray) or features.ndim != 2
            or features.dtype.kind != "f" or features.dtype.itemsize != 4):
        raise TypeError("features must be a 2-D numpy array of float32 values")
    rows, columns = features.shape
    chunk_rows = max(1, min(_ROWS_PER_CALL, _BYTES_PER_CALL // max(1, 4 * columns)))
    scores = numpy.empty(rows, dtype=numpy.float64)
    for start in range(0, rows, chunk_rows):
        chunk = numpy.ascontiguousarray(features[start:start + chunk_rows], dtype="<f4")
        scores[start:start + len(chunk)] = scorer.score_f32(chunk.tobytes(), len(chunk))
    return scores
