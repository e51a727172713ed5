"""A small client of the package that uses numpy, as host software would:
type-checked with mypy --strict, and run, by test_typing.py."""

import numpy

import veltra

with veltra.open(0) as card:
    source = numpy.arange(1024, dtype=numpy.uint32)
    card.write_dma(source, 0x4000)
    back = numpy.zeros(1024, numpy.uint32)
    card.read_dma_into(back, 0x4000)
    assert (back == source).all()
    card.window(1).write(0x8000, numpy.full(16, 0xA5, dtype=numpy.uint8))
    assert card.window(1).read(0x8000, 16) == b"\xa5" * 16
print("numpy client: ok")
