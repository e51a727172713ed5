"""The numpy array of :meth:`Card.allocate`, kept apart so that the
package imports without numpy."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Tuple, TypeVar

import numpy

if TYPE_CHECKING:
    from ._dma import LockedBuffer


def _within(array: "numpy.ndarray[Any, Any]", locked: "LockedBuffer") -> bool:
    """Whether `array`'s memory, however its strides run (a reversed view
    starts at its highest address), lies in the locked buffer's."""
    low, high = numpy.byte_bounds(array)
    return locked.address <= low and high <= locked.address + locked.length


_DType = TypeVar("_DType", bound=numpy.dtype[Any], covariant=True)


class LockedArray(numpy.ndarray[Any, _DType]):
    """A numpy array of host memory locked for DMA (:meth:`Card.allocate`):
    transfers of its card to and from it, or from a contiguous slice of it,
    use the lock. Views and slices of it carry the lock; results of
    arithmetic and reductions (``a * 2``, ``a.mean()``) are plain arrays,
    and copies (``a.copy()``, ``a.astype(...)``) are arrays without the
    lock: none of them keeps the locked memory. It pickles as a plain ``numpy.ndarray``. A
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
            if isinstance(result, tuple):
                return tuple(made if given is None else given
                             for given, made in zip(outputs, result))
            return outputs[0] if outputs[0] is not None else result
        return result

    def __reduce__(self) -> Any:
        return self.view(numpy.ndarray).__reduce__()

    def __reduce_ex__(self, protocol: Any) -> Any:
        return self.view(numpy.ndarray).__reduce_ex__(protocol)

    def __enter__(self) -> "LockedArray[_DType]":
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._veltra_locked is not None:
            self._veltra_locked.close()


LockedArray.__module__ = "veltra"
