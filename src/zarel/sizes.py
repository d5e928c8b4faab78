"""The memory and disk a run or a sweep will take, estimated before any work starts: a result this
machine cannot hold is refused with the way out named, instead of ending in a MemoryError or a
full disk after minutes of work."""

from __future__ import annotations

import os
import shutil
from typing import Optional

from .system import Signature

# bytes of one recorded value
VALUE = 8

# Requests below this are not checked: reading the system's figure costs half of a small run's
# whole call (16 of 34 us for 201 points of a 2-state model), and no machine lacks a megabyte.
UNCHECKED = 2**20


def available_memory() -> Optional[int]:
    """Bytes that a new allocation can take without swapping (Linux's MemAvailable, else the free
    physical pages); None where the system does not say."""
    try:
        with open("/proc/meminfo", encoding="ascii") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return None


def free_disk(path: str) -> Optional[int]:
    """Bytes free on the file system that holds `path` (or would, through its nearest existing
    folder); None where that cannot be found."""
    folder = os.path.abspath(path)
    while not os.path.isdir(folder):
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent
    try:
        return shutil.disk_usage(folder).free
    except OSError:
        return None


def readable(n: float) -> str:
    """A size in bytes the way people read one: 16.6 GB, 720 kB."""
    for unit in ("B", "kB", "MB", "GB", "TB", "PB"):
        if n < 1000 or unit == "PB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    raise AssertionError("unreachable")


def grid_bytes(points: int) -> int:
    """The least a run on a grid of `points` takes: the grid, the recorded times and one state."""
    return 3 * VALUE * points


def run_bytes(signature: Signature, points: int, record_outputs: bool = True, record_energy: bool = True,
              series: bool = False) -> int:
    """What one run of zarel.simulate holds: the grid, the recorded times, states, inputs, energy,
    supplied power and outputs, and the sampled input series handed to the engine."""
    n_inputs = len(signature.input_names)
    values = (2 + len(signature.state_names) + n_inputs + (2 if record_energy else 0)
              + (len(signature.output_names) if record_outputs else 0) + (n_inputs if series else 0))
    return VALUE * values * points


def sweep_run_bytes(n_states: int, n_outputs: int, points: int, derived: bool = True) -> int:
    """What one run of a sweep's result holds: its states and energy, and with `derived` its
    supplied power and named outputs, at every point."""
    return VALUE * points * (n_states + 1 + (1 + n_outputs if derived else 0))


def check_memory(needed: int, what: str, way_out: str, least: bool = False) -> None:
    """Refuses `what` when it takes more memory than is available, naming `way_out`; `least` when
    `needed` is a lower bound."""
    if needed < UNCHECKED:
        return
    available = available_memory()
    if available is not None and needed > available:
        raise ValueError(f"{what} takes {'at least ' if least else ''}{readable(needed)}, more than the {readable(available)} of memory "
                         f"available: {way_out}")


def check_run(signature: Signature, points: int, record_outputs: bool = True, record_energy: bool = True,
              series: bool = True, option: str = "t") -> None:
    """Refuses a run of zarel.simulate whose result this machine cannot hold; `series` when inputs
    are given (their samples are handed to the engine)."""
    check_memory(run_bytes(signature, points, record_outputs, record_energy, series),
                 f"{option}: a run of {points} points", "use fewer points (a coarser grid or a shorter span)")


def check_sweep(per_run: int, n_runs: int, points: int, chunk: Optional[int], store: Optional[str],
                local: bool, grid: str = "t", runs: str = "params", store_option: str = "store",
                chunk_option: str = "chunk") -> None:
    """Refuses a sweep whose result this machine cannot hold, before any run: without a store the
    whole result, kept here; with one each chunk computed here (on Dask workers their own memory
    holds the chunk) and the whole result on the disk of a local store. `per_run` is the bytes one
    run's result takes; the other arguments name the options in the messages."""
    if store is None:
        check_memory(per_run * n_runs, f"the result of {n_runs} runs of {points} points",
                     f"give {store_option} to write it to disk chunk by chunk, or use fewer runs "
                     f"({runs}) or points ({grid})")
        return
    if local:
        check_memory(per_run, f"{grid}: one run of {points} points", "use fewer points (a coarser grid or a "
                                                                     "shorter span)")
        if chunk is not None:
            check_memory(per_run * min(chunk, n_runs), f"{chunk_option}: a chunk of {min(chunk, n_runs)} runs",
                         "give a smaller chunk")
    # a store that exists is resumed: what it lacks is already on its disk
    free = None if "://" in store or os.path.exists(store) else free_disk(store)
    if free is not None and per_run * n_runs > free:
        raise ValueError(f"{store_option} {store}: the result of {n_runs} runs of {points} points takes up to "
                         f"{readable(per_run * n_runs)} uncompressed, more than the {readable(free)} free on its "
                         f"disk: use fewer runs ({runs}) or points ({grid}), or a store on a larger disk")
