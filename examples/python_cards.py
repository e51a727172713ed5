#!/usr/bin/env python3
"""python_cards: lists the cards with the veltra Python package, then moves
1 MiB to card memory by DMA and back on the first card.

    VELTRA_LIBRARY_PATH=PREFIX/lib python3 python_cards.py [CARD]

On Linux it runs on the simulated machine (VELTRA_SIM_STATE=private for a
machine of its own). Exit code 0 when the data came back unchanged.
"""

import sys

import veltra

LOCAL_ADDRESS = 0x100000
LENGTH = 1 << 20


def main() -> int:
    for summary in veltra.cards():
        info, version = summary.info, summary.version
        # The meaning of the card values is the driver's: board id,
        # revision and serial number on the package's driver.
        print(
            f"card {summary.index}: board 0x{info.cardValue2:04X} revision {info.cardValue0} "
            f"serial 0x{info.cardValue3:08X}, {info.windowCount} windows, driver "
            f"{version.driverMajor}.{version.driverMinor}.{version.driverBugfix}"
        )

    index = int(sys.argv[1], 0) if len(sys.argv) > 1 else 0
    data = bytes((i * 13 + (i >> 12)) & 0xFF for i in range(LENGTH))
    back = bytearray(LENGTH)
    try:
        with veltra.open(index) as card:
            print(f"card {index}: FPGA {card.fpga_info(0).name}")
            card.write_dma(data, LOCAL_ADDRESS, channel=0)  # straight from `data`, no copy
            transfer = card.start_read_dma(back, LOCAL_ADDRESS, channel=1)
            if not transfer.wait(timeout=10.0):
                transfer.cancel()  # ends it, so that `back` is free again
    except veltra.VeltraError as error:
        print(f"card {index}: {error}", file=sys.stderr)
        return 1
    same = back == data
    print(f"DMA: 1 MiB to card memory and back: {'the same bytes' if same else 'DIFFERENT'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
