# SPDX-License-Identifier: MIT
"""A register test of a device under test, without hardware: the unit
simulator runs in this process with an RMAP target node on link 1.

    PYTHONPATH=build/python python3 -m pytest examples/python/register_test.py
"""
import pytest

import orwin

LINK = 1
KEY = 0x20
CONTROL = 0x0100  # a 32-bit control register of the device
SILENT = 0x0200   # the device executes commands here but never replies


@pytest.fixture
def device():
    with orwin.Simulator(rmap_targets={LINK: {"key": KEY, "memory_size": 0x10000}}) as unit:
        with orwin.Connection(unit.address) as conn:
            yield unit, conn.device(LINK, key=KEY)


def test_write_and_read_back(device):
    _, dut = device
    dut.write(CONTROL, bytes.fromhex("12345678"))
    assert dut.read(CONTROL, 4) == bytes.fromhex("12345678")


def test_read_modify_write_sets_only_masked_bits(device):
    _, dut = device
    dut.write(CONTROL, bytes.fromhex("12345678"))
    before = dut.rmw(CONTROL, bytes.fromhex("ff00"), bytes.fromhex("0f0f"))
    assert before == bytes.fromhex("1234")
    assert dut.read(CONTROL, 4) == bytes.fromhex("1f305678")


def test_silent_address_times_out(device):
    unit, dut = device
    unit.set_drop_replies(LINK)
    with pytest.raises(orwin.Timeout):
        dut.read(SILENT, 4, timeout=0.2)
