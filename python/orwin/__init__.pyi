# SPDX-License-Identifier: MIT
import asyncio
import os
from typing import Dict, Iterable, List, Literal, Mapping, Optional, Sequence, Tuple, TypedDict, Union

from ._errors import ConnectionLost as ConnectionLost
from ._errors import CrcError as CrcError
from ._errors import Error as Error
from ._errors import InvalidReply as InvalidReply
from ._errors import RmapError as RmapError
from ._errors import Timeout as Timeout

Buffer = Union[bytes, bytearray, memoryview]
PathLike = Union[str, "os.PathLike[str]"]

__version__: str

class UnitInfo(TypedDict):
    family: str
    product: str
    manufacturer: str
    description: str
    serial_number: str
    hardware_address: str
    links: int
    options: str

def unit_info(address: str, timeout: float = 5.0) -> UnitInfo:
    """Who the unit at ``address`` is."""

class Packet:
    """A packet received on a link."""
    link: int
    data: bytes
    eop: bool

class Device:
    """A remote SpaceWire node behind one link of a Connection."""
    link: int
    dest: int
    key: int
    def read(self, address: int, size: int, timeout: float = 1.0, increment: bool = True) -> bytes: ...
    def write(
        self,
        address: int,
        data: Buffer,
        timeout: float = 1.0,
        reply: bool = True,
        verify: bool = False,
        increment: bool = True,
    ) -> None: ...
    def rmw(self, address: int, data: Buffer, mask: Buffer, timeout: float = 1.0) -> bytes: ...
    def read_async(
        self, address: int, size: int, timeout: float = 1.0, increment: bool = True
    ) -> asyncio.Future[bytes]: ...
    def write_async(
        self, address: int, data: Buffer, timeout: float = 1.0, reply: bool = True, verify: bool = False,
        increment: bool = True,
    ) -> asyncio.Future[None]: ...
    def rmw_async(self, address: int, data: Buffer, mask: Buffer, timeout: float = 1.0) -> asyncio.Future[bytes]: ...
    def ccsds_send(
        self,
        apid: int,
        data: Buffer,
        type: int = 0,
        sequence_flags: int = 3,
        count: int = 0,
        application: int = 0,
        secondary_header: Optional[Mapping[str, int]] = None,
    ) -> None: ...
    def _read_loop(self, address: int, size: int, timeout: float, count: int) -> None: ...

class Connection:
    """A connection to a unit at the SpaceWire level."""
    def __init__(self, address: str, speed: float = 100.0) -> None: ...
    address: str
    dropped: int
    closed: bool
    def device(
        self,
        link: int,
        dest: int = 0xFE,
        key: int = 0,
        path: Buffer = b"",
        return_path: Buffer = b"",
        src: int = 0x67,
    ) -> Device: ...
    def send(self, link: int, data: Buffer, eop: bool = True) -> None: ...
    def listen(self, link: int) -> None: ...
    def receive(self, link: int, timeout: float = 1.0) -> Packet: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Connection": ...
    def __exit__(self, *exc: object) -> None: ...

class RmapTarget(TypedDict, total=False):
    key: int
    memory_size: int
    logical_address: int
    base_address: int
    reply_delay_ms: int
    drop_replies: bool

class CcsdsPacket(TypedDict):
    apid: int
    type: int
    sequence_flags: int
    count: int
    application: int
    secondary_header: Optional[bytes]
    data: bytes
    well_formed: bool

class Simulator:
    """The unit simulator, in this process on a free loopback port."""
    def __init__(
        self,
        family: Literal["vex", "tor"] = "vex",
        links: int = 6,
        wire: Iterable[Tuple[int, int]] = (),
        echo: Iterable[int] = (),
        rmap_targets: Optional[Mapping[int, RmapTarget]] = None,
        recording_unit: Optional[str] = None,
        ccsds: Iterable[int] = (),
    ) -> None: ...
    address: str
    port: int
    closed: bool
    def memory(self, link: int, address: int, size: int) -> bytes: ...
    def set_memory(self, link: int, address: int, data: Buffer) -> None: ...
    def set_drop_replies(self, link: int, drop: bool = True) -> None: ...
    def set_reply_delay(self, link: int, ms: int) -> None: ...
    def emit_packet(self, link: int, data: Buffer, eop: bool = True) -> None: ...
    def generate(self, count: int, size: int = 64, links: Sequence[int] = ()) -> int: ...
    def wait_for_clients(self, n: int = 1, timeout: float = 5.0) -> bool: ...
    def ccsds_received(self, link: int) -> List[CcsdsPacket]: ...
    def set_link_up(self, link: int, up: bool = True) -> None: ...
    def drop_connections(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Simulator": ...
    def __exit__(self, *exc: object) -> None: ...

class LinkStats(TypedDict):
    packets: int
    bytes: int

class Capture:
    """A capture of every link of a recording unit."""
    def __init__(
        self,
        address: str,
        target: str,
        format: Literal["pcap", "native"] = "pcap",
        rotate_mib: int = 0,
        config: Optional[PathLike] = None,
        waveforms: Optional[PathLike] = None,
    ) -> None: ...
    def stop(self) -> None: ...
    running: bool
    files: List[str]
    stats: Dict[int, LinkStats]
    def __enter__(self) -> "Capture": ...
    def __exit__(self, *exc: object) -> None: ...
