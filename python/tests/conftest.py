# SPDX-License-Identifier: MIT
import pytest

import orwin

RMAP_LINK = 1
ECHO_LINK = 3
WIRED = (4, 5)
KEY = 0x20


@pytest.fixture
def unit():
    """A Vex unit: an RMAP target on link 1, an echo node on link 3, links 4 and 5 wired."""
    with orwin.Simulator(
        links=6,
        wire=[WIRED],
        echo=[ECHO_LINK],
        rmap_targets={RMAP_LINK: {"key": KEY, "memory_size": 0x10000}},
    ) as sim:
        yield sim


@pytest.fixture
def conn(unit):
    with orwin.Connection(unit.address) as c:
        yield c


@pytest.fixture
def node(conn):
    return conn.device(RMAP_LINK, key=KEY)
