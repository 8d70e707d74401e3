# SPDX-License-Identifier: MIT
"""orwin: drive Orwin interface units (Ethernet to SpaceWire) from Python.

Connection opens a unit; its devices do RMAP reads, writes and
read-modify-writes (waiting, or as asyncio futures with the *_async
methods) and send CCSDS packets; send() and receive() carry raw
packets; Capture records a recording unit to pcap; Simulator runs the
project's unit simulator in this process for tests without hardware.
Every blocking call releases the GIL, is bounded by its time-out and ends
early on Ctrl-C.
"""

from ._errors import ConnectionLost, CrcError, Error, InvalidReply, RmapError, Timeout
from ._orwin import Capture, Connection, Device, Packet, Simulator, __version__, unit_info

__all__ = [
    "__version__",
    "unit_info",
    "Simulator",
    "Connection",
    "Device",
    "Packet",
    "Capture",
    "Error",
    "Timeout",
    "ConnectionLost",
    "RmapError",
    "CrcError",
    "InvalidReply",
]
