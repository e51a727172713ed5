"""The numpy array of :meth:`Card.allocate`, kept apart so that the
package imports without numpy."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Tuple

import numpy

if TYPE_CHECKING:
    from ._dma import LockedBuffer


def _within(array: numpy.ndarray, locked: "LockedBuffer") -> bool:  # type: ignore[type-arg]
    """Whether `array`'s memory lies in the locked buffer's."""
    start = int(array.__array_interface__["data"][0])
    return locked.address <= start and start + array.nbytes <= locked.address + locked.length


class LockedArray(numpy.ndarray):  # type: ignore[type-arg]
    """A numpy array of host memory locked for DMA (:meth:`Card.allocate`):
    transfers of its card to and from it, or from a contiguous slice of it,
    use the lock. Views and slices of it carry the lock; results of
    arithmetic (``a * 2``, ``a.mean()``, a copy) are plain arrays, which do
    not keep the locked memory. It pickles as a plain ``numpy.ndarray``. A
    ``with`` block over it unlocks it at its end (as :meth:`Card.release`)."""

    _veltra_locked: Optional["LockedBuffer"] = None

    def __array_finalize__(self, obj: Any) -> None:
        locked: Optional["LockedBuffer"] = getattr(obj, "_veltra_locked", None)
        self._veltra_locked = locked if locked is not None and _within(self, locked) else None

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        # Computed on plain views: the results are plain arrays. An `out`
        # given is written and returned as it was given.
        plain = [i.view(numpy.ndarray) if isinstance(i, LockedArray) else i for i in inputs]
        outputs: Optional[Tuple[Any, ...]] = kwargs.get("out")
        if outputs:
            kwargs["out"] = tuple(o.view(numpy.ndarray) if isinstance(o, LockedArray) else o
                                  for o in outputs)
        result = getattr(ufunc, method)(*plain, **kwargs)
        if outputs:
            return outputs if isinstance(result, tuple) else outputs[0]
        return result

    def __reduce__(self) -> Any:
        return self.view(numpy.ndarray).__reduce__()

    def __reduce_ex__(self, protocol: Any) -> Any:
        return self.view(numpy.ndarray).__reduce_ex__(protocol)

    def __enter__(self) -> "LockedArray":
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._veltra_locked is not None:
            self._veltra_locked.close()


LockedArray.__module__ = "veltra"
