"""Prints what a benchmark's figures were measured on: the date, the
processor and its cores, the memory, the code's commit where git can tell, and
how busy the machine was. The figures mean little without it."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
import time


def processor() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def memory() -> str:
    try:
        with open("/proc/meminfo") as info:
            kib = int(info.readline().split()[1])
        return f"{kib / 2**20:.1f} GiB"
    except (OSError, ValueError, IndexError):
        return "unknown"


def busy_cores(seconds: float = 1.0) -> str:
    """The cores the rest of the machine keeps busy while this process sleeps."""
    def busy_and_total() -> tuple[int, int]:
        with open("/proc/stat") as stat:
            ticks = [int(field) for field in stat.readline().split()[1:]]
        return sum(ticks) - ticks[3] - ticks[4], sum(ticks)

    try:
        busy, total = busy_and_total()
        time.sleep(seconds)
        busy_after, total_after = busy_and_total()
    except (OSError, ValueError, IndexError):
        return "unknown"
    return f"{(os.cpu_count() or 1) * (busy_after - busy) / max(total_after - total, 1):.2f}"


def probe_ms() -> float:
    """The least CPU time, over five tries, of a fixed piece of interpreter
    work. A machine shared with others is sometimes slower for seconds or
    minutes though none of its own cores is busy (its neighbours on the
    host); the probe printed beside a figure shows whether it was then."""
    def work() -> float:
        started, total = time.process_time(), 0
        for i in range(200_000):
            total += i * i % 7
        return time.process_time() - started

    return 1e3 * min(work() for _ in range(5))


def commit() -> str:
    try:
        return subprocess.run(["git", "describe", "--always", "--dirty"], capture_output=True, text=True,
                              check=True, cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""  # no git, or not a checkout


def main() -> None:
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    print(f"Measured {when} on {processor()}, {os.cpu_count()} cores, {memory()} of memory, "
          f"{platform.system()} {platform.release()}")
    revision = commit()
    if revision:
        print(f"tavlen at commit {revision}")
    print(f"Load when it started: cores busy elsewhere {busy_cores()}, load average "
          + ", ".join(f"{value:.2f}" for value in os.getloadavg()) + f"; speed probe {probe_ms():.1f} ms")
    print()


if __name__ == "__main__":
    main()
