# SPDX-License-Identifier: MIT
"""A 4-byte RMAP read from Python against the same read from C++, in one
run: the same simulator, connection and node; the C++ reads loop inside the
extension module with the library's own response object. Reads from one
asyncio coroutine, IN_FLIGHT at a time, are shown beside them.

    PYTHONPATH=build/python python3 bench/python_rmap_read.py [READS]
"""
import asyncio
import statistics
import sys
import time

import orwin

READS = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
ROUNDS = 7
IN_FLIGHT = 64


def per_read(run):
    started = time.perf_counter()
    run()
    return (time.perf_counter() - started) / READS


def main():
    with orwin.Simulator(links=2, rmap_targets={1: {"key": 0, "memory_size": 1 << 20}}) as unit:
        with orwin.Connection(unit.address) as conn:
            node = conn.device(1)

            def from_python():
                read = node.read
                for _ in range(READS):
                    read(0x100, 4)

            def from_cpp():
                node._read_loop(0x100, 4, 2.0, READS)

            async def in_flight():
                read = node.read_async
                for start in range(0, READS, IN_FLIGHT):
                    await asyncio.gather(*(read(0x100, 4) for _ in range(min(IN_FLIGHT, READS - start))))

            loop = asyncio.new_event_loop()
            from_python(), from_cpp()  # warm up
            py_times, cpp_times, async_times = [], [], []
            for _ in range(ROUNDS):  # interleaved, so that load changes hit all
                py_times.append(per_read(from_python))
                cpp_times.append(per_read(from_cpp))
                async_times.append(per_read(lambda: loop.run_until_complete(in_flight())))
            loop.close()
    py_us, cpp_us = statistics.median(py_times) * 1e6, statistics.median(cpp_times) * 1e6
    async_us = statistics.median(async_times) * 1e6
    print(f"4-byte RMAP read: Python {py_us:.1f} us, C++ {cpp_us:.1f} us, ratio {py_us / cpp_us:.2f}x; "
          f"asyncio with {IN_FLIGHT} in flight {async_us:.1f} us "
          f"(median of {ROUNDS} rounds of {READS} reads)")


if __name__ == "__main__":
    main()
