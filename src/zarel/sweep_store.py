"""The Zarr store of a sweep: created with the sweep's full shapes, written chunk by chunk, resumed."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any, Literal, Optional, Union

import numpy as np

from .sweep_plan import PENDING, Chunk


def store_path(store: Union[str, os.PathLike[str]]) -> str:
    """A Zarr store's path, a folder ending in .zarr whose own folder exists (a store is not made
    in folders that are not there, as no result file is); workers may run in another directory, so
    a local path is made absolute and a URL is kept."""
    if not isinstance(store, (str, os.PathLike)):
        raise TypeError(f"store must be a path or a URL ending in .zarr, got {type(store).__name__}")
    store = os.fspath(store)
    if not isinstance(store, str) or not store.rstrip("/").endswith(".zarr"):
        raise ValueError(f"store {store}: a sweep is written to a Zarr store, a folder ending in .zarr")
    if "://" in store:
        return store
    path = os.path.abspath(store)
    if not os.path.isdir(os.path.dirname(path)):
        raise ValueError(f"store {store}: the folder {os.path.dirname(store) or '.'} does not exist")
    return path


def existing_chunk(store: str, names: Mapping[str, tuple[str, ...]], coords: Mapping[str, Any],
                   fingerprint: str) -> Optional[int]:
    """The chunk of the store when it holds this sweep, None when there is none to resume (no store,
    or one whose creation was cut off before it was complete); refuses a store of another sweep."""
    import zarr

    try:
        group = zarr.open_group(store, mode="r")
    except (FileNotFoundError, zarr.errors.GroupNotFoundError):
        return None
    found = group.attrs.get("fingerprint")
    members = set(group.array_keys())
    if found is None and not members:
        return None  # only the group was written
    if found != fingerprint:
        raise ValueError(f"{store} holds another sweep (different model, time grid, runs or options); "
                         "give a new path or remove it")
    if not (set(names) | set(coords)) <= members:
        return None
    zarr.consolidate_metadata(store)  # a store written before its metadata was consolidated
    status: Any = group["status"]
    return int(status.chunks[0])


def create(store: str, names: Mapping[str, tuple[str, ...]], n_runs: int, n_points: int, chunk: int,
           coords: Mapping[str, Any], attrs: Mapping[str, str]) -> None:
    """The store with every variable at its full shape and no run done, replacing an incomplete one
    (see existing_chunk) but nothing else that is there."""
    import dask.array as da
    import xarray as xr
    import zarr

    mode: Literal["w", "w-"] = "w"
    try:
        zarr.open_group(store, mode="r")
    except (FileNotFoundError, zarr.errors.GroupNotFoundError):
        mode = "w-"

    data: dict[str, Any] = {}
    encoding: dict[str, dict[str, Any]] = {}
    for name, dims in names.items():
        if dims == ("run",):
            data[name] = (dims, np.full(n_runs, PENDING, dtype=object))
            encoding[name] = {"chunks": (chunk,)}
        else:
            data[name] = (dims, da.full((n_runs, n_points), np.nan, chunks=(chunk, n_points)))
            encoding[name] = {"chunks": (chunk, n_points)}
    # Zarr chunks are sweep chunks, so that workers writing different chunks never share a file;
    # the fingerprint goes into the group's attributes first, so a cut-off creation is recognised.
    xr.Dataset(data, coords=coords, attrs=attrs).to_zarr(store, mode=mode, compute=False, zarr_format=2,
                                                         encoding=encoding, consolidated=True)


def pending(store: str, todo: list[Chunk]) -> list[Chunk]:
    """The chunks with a run whose status is not written."""
    import zarr

    array: Any = zarr.open_group(store, mode="r")["status"]
    status = np.asarray(array[:])
    return [c for c in todo if (status[c.start:c.stop] == PENDING).any()]


def write(store: str, names: Mapping[str, tuple[str, ...]], c: Chunk, columns: Mapping[str, np.ndarray]) -> None:
    import xarray as xr

    columns = dict(columns)
    status = columns.pop("status")
    region = {"run": slice(c.start, c.stop)}
    xr.Dataset({name: (names[name], values) for name, values in columns.items()}).to_zarr(
        store, region=region, consolidated=False)
    # The status goes last: a chunk counts as done once its status is written, so a chunk cut off
    # while being written is computed again when the sweep resumes.
    xr.Dataset({"status": (("run",), status)}).to_zarr(store, region=region, consolidated=False)


def read(store: str, names: Mapping[str, tuple[str, ...]], varied: Mapping[str, Any]) -> Any:
    """The sweep's Dataset, lazily from the store; per-run values loaded, so that they select runs
    as in an in-memory result."""
    import xarray as xr

    ds = xr.open_zarr(store, consolidated=True)[list(names)]
    return ds.assign_coords({name: ds[name].load() for name in varied}).assign(
        status=ds["status"].load().astype(object))
