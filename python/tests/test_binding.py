# SPDX-License-Identifier: MIT
import ast
import asyncio
import os
import pathlib
import signal
import struct
import subprocess
import sys
import threading
import time

import pytest

import orwin
from conftest import ECHO_LINK, KEY, RMAP_LINK, WIRED

HERE = pathlib.Path(__file__).resolve().parent
PUBLIC = ["unit_info", "Simulator", "Connection", "Device", "Packet", "Capture",
          "Error", "Timeout", "ConnectionLost", "RmapError", "CrcError", "InvalidReply"]


def test_public_names_have_docstrings_and_stubs():
    stub = ast.parse((HERE.parent / "orwin" / "__init__.pyi").read_text())
    stubbed = {n.name for n in stub.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    stubbed |= {a.asname for n in stub.body if isinstance(n, ast.ImportFrom) for a in n.names}
    for name in PUBLIC:
        assert getattr(orwin, name).__doc__, name
        assert name in stubbed, name
    for method in ("read", "write", "rmw", "read_async", "write_async", "rmw_async", "ccsds_send"):  # help() shows the signature
        assert getattr(orwin.Device, method).__doc__.startswith(method + "(self"), method
    assert orwin.__version__.count(".") >= 1
    assert issubclass(orwin.RmapError, orwin.Error) and issubclass(orwin.Timeout, orwin.Error)


@pytest.mark.parametrize("family", ["vex", "tor"])
def test_unit_info(family):
    with orwin.Simulator(family=family, links=4) as sim:
        info = orwin.unit_info(sim.address)
    assert info["family"] == family.capitalize()
    assert info["links"] == 4
    assert info["hardware_address"] == "00:50:C2:21:20:05"
    assert info["manufacturer"] and info["product"] and info["serial_number"]
    with pytest.raises(orwin.Error):
        orwin.unit_info(sim.address, timeout=1.0)  # closed by now


def test_raw_packets_echo_and_time_out(conn):
    conn.listen(ECHO_LINK)
    conn.send(ECHO_LINK, b"\xfe\x42\x67payload")
    conn.send(ECHO_LINK, bytearray(b"\xfe\x42\x68" + bytes(3000)))
    first, second = conn.receive(ECHO_LINK), conn.receive(ECHO_LINK)
    assert (first.link, first.data, first.eop) == (ECHO_LINK, b"\x67\x42\xfepayload", True)
    assert second.data == b"\x68\x42\xfe" + bytes(3000)
    started = time.monotonic()
    with pytest.raises(orwin.Timeout):
        conn.receive(ECHO_LINK, timeout=0.2)
    assert time.monotonic() - started < 2
    for bad in (lambda: conn.receive(40), lambda: conn.send(-1, b"x"), lambda: conn.device(40)):
        with pytest.raises(orwin.Error):
            bad()


def test_refused_connections_and_links(unit):
    with pytest.raises(orwin.Error):
        orwin.Connection("127.0.0.1:1")
    unit.set_link_up(ECHO_LINK, False)
    with orwin.Connection(unit.address) as conn:
        with pytest.raises(orwin.Error) as down:
            conn.device(ECHO_LINK)
    assert down.value.code == -49


def test_rmap_operations(unit, conn, node):
    node.write(0x100, b"\x11\x22\x33\x44")
    assert node.read(0x100, 4) == b"\x11\x22\x33\x44"
    assert unit.memory(RMAP_LINK, 0x100, 4) == b"\x11\x22\x33\x44"
    node.write(0x200, bytes(range(256)) * 16, verify=False)
    assert node.read(0x200, 4096) == bytes(range(256)) * 16
    node.write(0x104, b"\x55\x66", verify=True)
    node.write(0x106, b"\x77", reply=False)
    assert node.read(0x104, 3, timeout=2.0) == b"\x55\x66\x77"
    assert node.rmw(0x100, b"\xff\x00", b"\x0f\xf0") == b"\x11\x22"
    assert unit.memory(RMAP_LINK, 0x100, 2) == b"\x1f\x02"
    unit.set_memory(RMAP_LINK, 0x300, b"\xaa\xbb")
    assert node.read(0x300, 2, increment=True) == b"\xaa\xbb"


def test_rmap_error_outcomes(unit, conn, node):
    with pytest.raises(orwin.RmapError) as bad_key:
        conn.device(RMAP_LINK, key=KEY + 1).read(0, 4)
    assert bad_key.value.status != 0 and bad_key.value.status_text
    with pytest.raises(orwin.RmapError):
        node.read(0x20000, 4)  # beyond the node's memory
    with pytest.raises(ValueError):
        node.rmw(0, bytes(9), bytes(9))
    with pytest.raises(ValueError):
        node.read(0, 4, timeout=0)
    unit.set_drop_replies(RMAP_LINK)
    with pytest.raises(orwin.Timeout):
        node.read(0, 4, timeout=0.1)
    with pytest.raises(orwin.Timeout):
        node.write(0, b"\x01", timeout=0.1)
    unit.set_drop_replies(RMAP_LINK, False)
    unit.drop_connections()
    started = time.monotonic()
    with pytest.raises(orwin.ConnectionLost):
        node.read(0, 4, timeout=5.0)
    assert time.monotonic() - started < 2
    conn.close()
    with pytest.raises(orwin.Error):
        node.read(0, 4)


def test_damaged_replies_raise_crc_error():
    with orwin.Simulator(links=2, rmap_targets={1: {"key": 0, "memory_size": 256,
                                                    "damage_replies": True}}) as sim:
        with orwin.Connection(sim.address) as c:
            with pytest.raises(orwin.CrcError):
                c.device(1).read(0, 4)


def test_ccsds_to_wired_link(conn):
    send_link, receive_link = WIRED
    conn.listen(receive_link)
    conn.device(send_link).ccsds_send(0x123, b"telemetry", count=7, application=9,
                                      secondary_header={"time": 1000, "checkword": True})
    p = conn.receive(receive_link).data
    dest, pid, reserved, application = p[:4]
    word0, word1, length = struct.unpack(">HHH", p[4:10])
    assert (dest, pid, reserved, application) == (0xFE, 2, 0, 9)
    assert word0 & 0x7FF == 0x123 and word0 & 0x0800  # a secondary header follows
    assert (word1 >> 14, word1 & 0x3FFF) == (3, 7)
    assert length + 1 == len(p) - 10
    assert b"telemetry" in p[10 + 10:]


def read_pcap(path):
    """(link, record type, data) of every record of a pcap file."""
    data = pathlib.Path(path).read_bytes()
    assert struct.unpack("<I", data[:4])[0] == 0xA1B23C4D  # nanosecond time stamps
    records, at = [], 24
    while at < len(data):
        _, _, incl, _ = struct.unpack("<IIII", data[at:at + 16])
        body = data[at + 16:at + 16 + incl]
        records.append((body[0], body[1], body[2:]))
        at += 16 + incl
    return records


def test_capture_to_pcap_read_back(tmp_path):
    with orwin.Simulator(recording_unit="TRC-8", links=4) as unit:
        with orwin.Capture(unit.address, str(tmp_path / "run.pcap")) as cap:
            assert unit.wait_for_clients(1)
            assert unit.generate(count=25, size=64, links=[1, 2]) == 25
            deadline = time.monotonic() + 10
            while sum(s["packets"] for s in cap.stats.values()) < 50 and time.monotonic() < deadline:
                time.sleep(0.05)
        assert {l: s["packets"] for l, s in cap.stats.items()} == {1: 25, 2: 25}
    assert len(cap.files) == 1 and cap.files[0].endswith(".pcap")
    ends = [(link, len(body)) for link, kind, body in read_pcap(cap.files[0]) if kind == 2]
    assert sorted(ends) == [(1, 64)] * 25 + [(2, 64)] * 25
    with pytest.raises(orwin.Error):
        orwin.Capture(unit.address, str(tmp_path / "gone.pcap"))


def test_eight_threads_share_one_connection(node):
    failures, done = [], []

    def worker(n):
        try:
            for i in range(40):
                word = struct.pack(">HH", n, i)
                node.write(0x1000 + 16 * n, word)
                assert node.read(0x1000 + 16 * n, 4) == word
            done.append(n)
        except Exception as e:  # reported below
            failures.append(e)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "RMAP threads hung"
    assert not failures and sorted(done) == list(range(8))


INTERRUPTED = """
import os, signal, sys, threading, time, orwin
with orwin.Simulator(echo=[3], rmap_targets={1: {"key": 0, "memory_size": 4096}}) as unit:
    with orwin.Connection(unit.address) as conn:
        unit.set_drop_replies(1)
        for call in (lambda: conn.receive(3, timeout=30), lambda: conn.device(1).read(0, 4, timeout=30)):
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            started = time.monotonic()
            try:
                call()
            except KeyboardInterrupt:
                print("interrupted after %.2f" % (time.monotonic() - started))
"""


def test_ctrl_c_ends_a_blocking_call():
    out = subprocess.run([sys.executable, "-c", INTERRUPTED], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ))
    lines = out.stdout.split("\n")[:2]
    assert out.returncode == 0, out.stderr
    assert all(l.startswith("interrupted after") and float(l.split()[-1]) < 2 for l in lines), out.stdout


def readme_examples():
    readme = pathlib.Path(os.environ.get("ORWIN_README", HERE.parents[1] / "README.md")).read_text()
    blocks = readme.split("```python\n")[1:]
    return [b.split("```", 1)[0] for b in blocks]


@pytest.mark.parametrize("example", readme_examples())
def test_readme_example(example, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    exec(compile(example, "README.md", "exec"), {"__name__": "readme"})


def test_async_many_in_flight_from_one_coroutine(unit, node):
    unit.set_memory(RMAP_LINK, 0x2000, bytes(i * 7 % 251 for i in range(800)))

    async def run():
        reads = await asyncio.gather(*(node.read_async(0x2000 + 4 * i, 4) for i in range(200)))
        written = await asyncio.gather(node.write_async(0x100, b"\x11\x22\x33\x44"),
                                       node.write_async(0x104, b"\x55", reply=False, verify=True))
        return reads, written, await node.rmw_async(0x100, b"\xff\x00", b"\x0f\xf0")

    reads, written, old = asyncio.run(asyncio.wait_for(run(), 30))
    assert reads == [bytes((4 * i + k) * 7 % 251 for k in range(4)) for i in range(200)]
    assert written == [None, None] and old == b"\x11\x22"
    assert unit.memory(RMAP_LINK, 0x100, 5) == b"\x1f\x02\x33\x44\x55"


ASYNC_EXIT = """
import asyncio, orwin
unit = orwin.Simulator(rmap_targets={1: {"key": 0, "memory_size": 4096}})
conn = orwin.Connection(unit.address)
node = conn.device(1)
unit.set_drop_replies(1)
async def leave_in_flight():
    global pending
    pending = [node.read_async(0, 4, timeout=0.01 * (i + 1)) for i in range(30)]
    pending += [node.read_async(0, 4, timeout=30) for i in range(30)]
asyncio.run(leave_in_flight())
print("exiting")
"""


def test_async_outcomes_raise_as_the_calls_do(unit, conn, node):
    async def outcome(op):
        try:
            return await asyncio.wait_for(op(), 10)
        except Exception as e:  # compared below
            return type(e)

    async def run():
        results = {}
        results["bad key"] = await outcome(lambda: conn.device(RMAP_LINK, key=KEY + 1).read_async(0, 4))
        results["beyond memory"] = await outcome(lambda: node.rmw_async(0x20000, b"\x01", b"\x01"))
        results["bad mask"] = await outcome(lambda: node.rmw_async(0, b"\x01", b""))
        results["bad time-out"] = await outcome(lambda: node.write_async(0, b"\x01", timeout=-1))
        unit.set_drop_replies(RMAP_LINK)
        results["time-out"] = await outcome(lambda: node.read_async(0, 4, timeout=0.05))
        abandoned = node.read_async(0, 4, timeout=0.05)
        abandoned.cancel()  # its result comes to a cancelled future
        results["abandoned"] = await outcome(lambda: asyncio.sleep(0.2, "fine"))
        stuck = [node.read_async(0, 4, timeout=30) for _ in range(20)]
        unit.drop_connections()
        results["lost"] = {await outcome(lambda: f) for f in stuck}
        return results

    results = asyncio.run(run())
    with pytest.raises(RuntimeError):
        node.read_async(0, 4)  # outside a running loop
    assert results == {"bad key": orwin.RmapError, "beyond memory": orwin.RmapError,
                       "bad mask": ValueError, "bad time-out": ValueError, "time-out": orwin.Timeout,
                       "abandoned": "fine", "lost": {orwin.ConnectionLost}}
    out = subprocess.run([sys.executable, "-c", ASYNC_EXIT], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ))
    assert (out.returncode, out.stdout) == (0, "exiting\n"), out.stderr
