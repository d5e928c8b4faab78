"""A model with names: its engine document, and the names and defaults of what it reads and writes."""

from __future__ import annotations

import json
import math
import os
import pathlib
import threading
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Optional, TypeVar, Union

import numpy as np

import zarel_engine

Kind = Literal["state", "input", "param"]
T = TypeVar("T")

# Compiled variants of one System kept besides its own model (one per set of input expressions).
VARIANTS = 8

# singular and plural of each kind, as messages spell them
_WORDS = {"state": ("state", "states"), "input": ("input", "inputs"), "param": ("parameter", "parameters")}

# the argument of simulate and sweep that gives the values of each kind, as messages name it
ARGUMENTS = {"state": "x0", "input": "u", "param": "params"}

# Names the results give to their own coordinates and variables (Result.to_xarray, the CSV the
# command writes, a sweep's Dataset): a state, input, parameter or output may not take them.
RESERVED = {
    "time": "the time coordinate",
    "run": "the run coordinate of a sweep",
    "status": "the status of each run of a sweep",
    "energy": "the recorded energy H",
    "supplied_power": "the recorded supplied power",
}


@dataclass(frozen=True)
class Signature:
    """Names and default parameter values of a model, whether or not it came with a document."""

    name: str
    state_names: tuple[str, ...]
    input_names: tuple[str, ...]
    param_names: tuple[str, ...]
    output_names: tuple[str, ...]
    param_values: tuple[float, ...]
    # False when the document has no energy (H = 0); None when unknown (a bare engine model). Not
    # a name: signatures that name the same things compare equal whatever it holds.
    has_energy: Optional[bool] = field(default=None, compare=False)

    def names(self, kind: Kind) -> tuple[str, ...]:
        if kind == "state":
            return self.state_names
        if kind == "input":
            return self.input_names
        if kind == "param":
            return self.param_names
        raise ValueError(f"unknown kind {kind!r}; kinds are: state, input, param")

    def index(self, kind: Kind, key: Any) -> int:
        """Position of `key` (a name, or anything whose str() is one, such as a SymPy symbol)."""
        names = self.names(kind)
        text = str(key)
        try:
            return names.index(text)
        except ValueError:
            word, plural = _WORDS[kind]
            known = ", ".join(names) if names else "(none)"
            raise ValueError(f"unknown {word} {text!r}; {plural} are: {known}") from None

    def vector(self, kind: Kind, values: Any, defaults: Any = None) -> np.ndarray:
        """One value per name of `kind`, as a new float array.

        `values` is either array-like with exactly one entry per name, or a mapping from names (or
        symbols) to values; entries a mapping leaves out come from `defaults`, which is zeros for
        states and inputs and the default parameter values for parameters when not given.
        """
        names = self.names(kind)
        word, plural = _WORDS[kind]
        if isinstance(values, Mapping):
            if defaults is None:
                defaults = self.param_values if kind == "param" else np.zeros(len(names))
            out = self._sized(defaults, len(names), f"default {plural}")
            given = self.positions(kind, values)
            for j, value in given.items():
                out[j] = float(value)
            self._finite(kind, out, given)
            return out
        out = self._sized(values, len(names), plural)
        self._finite(kind, out, range(len(names)))
        return out

    def positions(self, kind: Kind, values: Mapping[Any, T]) -> dict[int, T]:
        """Position -> value of each entry of a mapping from names (or symbols) of `kind`; a name
        given twice, as "F" and as the symbol F say, is refused rather than the last one winning."""
        out: dict[int, T] = {}
        keys: dict[int, Any] = {}
        for key, value in values.items():
            j = self.index(kind, key)
            if j in out:
                word, _ = _WORDS[kind]
                raise ValueError(f"{ARGUMENTS[kind]} gives the {word} {self.names(kind)[j]!r} twice (as {keys[j]!r} "
                                 f"and as {key!r}); give each name once")
            out[j], keys[j] = value, key
        return out

    def _finite(self, kind: Kind, values: np.ndarray, given: Any) -> None:
        """Refuses a start value or run parameter that is NaN or infinite, by name: the run would
        only report a non-finite state later, naming neither."""
        if kind == "input":
            return
        for j in given:
            if not math.isfinite(values[j]):
                word, _ = _WORDS[kind]
                raise ValueError(f"{ARGUMENTS[kind]}: the {word} {self.names(kind)[j]!r} is {values[j]}; "
                                 f"give a finite number")

    @staticmethod
    def _sized(values: Any, n: int, what: str) -> np.ndarray:
        out = np.array(values, dtype=float)
        if out.shape != (n,):
            raise ValueError(f"expected {n} {what}, got an array of shape {out.shape}")
        return out


def signature_of(model: zarel_engine.Model) -> Signature:
    """The signature of a bare engine model: x0, x1, ..., u0, ..., p0, ... and its output names."""
    return Signature(
        name="model",
        state_names=_numbered("x", model.n_states),
        input_names=_numbered("u", model.n_inputs),
        param_names=_numbered("p", model.n_params),
        output_names=tuple(model.output_names),
        param_values=tuple(float(v) for v in model.params),
    )


def _numbered(prefix: str, n: int) -> tuple[str, ...]:
    return tuple(f"{prefix}{i}" for i in range(n))


class System:
    """An engine document together with the names of its states, inputs, parameters and outputs.

    The document is checked by loading it into the engine once; its members "name",
    "state_names", "input_names" and "param_names" carry the names (the engine ignores them), and
    absent ones default to x0, x1, ..., u0, ..., p0, ....

    The System owns its compiled engine model (see `model`): compiled once, when the document is
    checked, and shared by every run of the System from any thread, since runs pass their
    parameters per call.
    """

    def __init__(self, document: Mapping[str, Any], name: Optional[str] = None,
                 _model: Optional[zarel_engine.Model] = None, _source: Optional[str] = None):
        doc = dict(document)
        # the engine is the judge of the document: its message is the error. `_source` is the text
        # `_model` was compiled from (a file's text as load reads it), written back only when asked for
        source = _dump(doc) if _source is None else _source
        model = zarel_engine.Model(source) if _model is None else _model
        names = {}
        for key, prefix, n in (
            ("state_names", "x", model.n_states),
            ("input_names", "u", model.n_inputs),
            ("param_names", "p", model.n_params),
        ):
            names[key] = _names_member(doc, key, n) if key in doc else _numbered(prefix, n)
        if name is None:
            name = doc.get("name", "model")
            if not isinstance(name, str):
                raise ValueError(f"the document's name must be a string, got {name!r}")
        # names are ignored by the engine: the model checked above, and any compiled from `source`,
        # is this document's model. The document with its name and names leading is written out
        # when first asked for, unless `source` is that document already (as the symbolic front
        # end writes it).
        self._header: dict[str, Any] = {"name": name, **names}
        self._source = source
        self._text: Optional[str] = None
        if _source is None and list(doc)[:4] == list(self._header) and doc["name"] == name:
            self._text = source  # names present are the names taken
        self._lock = threading.Lock()
        self._compiled: dict[str, Any] = {"": model}
        self.signature = Signature(
            name=name,
            output_names=tuple(model.output_names),
            param_values=tuple(float(v) for v in model.params),
            has_energy="energy" in doc,
            **names,
        )
        _check_names(self.signature)

    @property
    def name(self) -> str:
        return self.signature.name

    @property
    def state_names(self) -> tuple[str, ...]:
        return self.signature.state_names

    @property
    def input_names(self) -> tuple[str, ...]:
        return self.signature.input_names

    @property
    def param_names(self) -> tuple[str, ...]:
        return self.signature.param_names

    @property
    def output_names(self) -> tuple[str, ...]:
        return self.signature.output_names

    @property
    def param_values(self) -> np.ndarray:
        return np.array(self.signature.param_values, dtype=float)

    @property
    def n_states(self) -> int:
        return len(self.signature.state_names)

    @property
    def n_inputs(self) -> int:
        return len(self.signature.input_names)

    @property
    def n_params(self) -> int:
        return len(self.signature.param_names)

    @property
    def structure_system(self) -> Optional[System]:
        """The structure model (J - R)(x) g + G(x) u that the discrete gradient method runs on:
        a `zarel.PortHamiltonian`'s; None for other documents."""
        return None

    def document(self) -> dict[str, Any]:
        """The document as JSON-ready data, a new copy on every call."""
        doc: dict[str, Any] = json.loads(self.json())
        return doc

    def json(self) -> str:
        """The document as compact JSON text, its name and the names of its states, inputs and
        parameters first."""
        if self._text is None:
            doc = json.loads(self._source)
            self._text = _dump({**self._header, **{k: v for k, v in doc.items() if k not in self._header}})
        return self._text

    def to_json(self, path: Union[str, os.PathLike[str]]) -> None:
        with open(path, "w", encoding="utf-8") as f:
            f.write(self.json())
            f.write("\n")

    def to_fmu(self, path: Union[str, os.PathLike[str]], fmi: int = 2,
               kinds: Sequence[str] = ("model-exchange", "co-simulation"), method: str = "midpoint", *,
               grid_steps: bool = False, rtol: float = 1e-8, atol: float = 1e-10, newton_tol: float = 1e-10,
               max_newton: int = 50, x0: Any = None) -> pathlib.Path:
        """Writes the model as an FMU (FMI 2.0, or 3.0 with ``fmi=3``) for Model Exchange, Co-Simulation or
        both, and returns its path.

        Variables: the states (start values from `x0`, zero by default) and their derivatives
        "der(NAME)", the inputs, the parameters (tunable, starting at their defaults), the named
        outputs, the port outputs "port_outputs[k]", "energy" and "supplied_power" (FMI 3.0 adds the
        independent variable "time"). The document is
        a resource of the FMU; its runtime, prebuilt with this package, evaluates it as
        zarel.simulate does. Co-Simulation's step runs `method` (with its options, as zarel.simulate
        takes them) from one communication point to the next, the inputs held or, in FMI 2.0, linear
        where the importer sets their derivatives: with ``grid_steps=True`` midpoint and gauss4 take
        one step per communication interval, rk45, dop853 and rodas5p end one there; otherwise they
        choose their own steps within it. Each communication step starts from the step size the one
        before it left.
        """
        from .fmu import export

        return export(self, path, fmi=fmi, kinds=kinds, method=method, grid_steps=grid_steps, rtol=rtol, atol=atol,
                      newton_tol=newton_tol, max_newton=max_newton, x0=x0)

    def model(self) -> zarel_engine.Model:
        """The engine model of this document, compiled once and the same object on every call.

        `zarel.simulate` and `zarel.sweep` run it with the parameters of each call and never set
        its ``params``; setting them affects only direct calls of its own methods.
        """
        model = self._compiled.get("")  # built already but after unpickling: no lock needed
        return model if model is not None else self.compiled("", lambda: zarel_engine.Model(self._source))

    def compiled(self, key: str, build: Callable[[], T]) -> T:
        """What `build` makes for `key`, built once per System (a lock keeps two threads from
        building it twice); besides the model itself (key "") the last few variants are kept."""
        with self._lock:
            if key in self._compiled:
                value: T = self._compiled[key]
                return value
            value = build()
            variants = [k for k in self._compiled if k]
            if len(variants) >= VARIANTS:
                del self._compiled[variants[0]]
            self._compiled[key] = value
            return value

    def __getstate__(self) -> dict[str, Any]:
        # compiled code and locks stay in their process; a copy compiles its own when first run
        return {k: v for k, v in self.__dict__.items() if k not in ("_lock", "_compiled")}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()
        self._compiled = {}

    def __repr__(self) -> str:
        return (
            f"<{type(self).__name__} {self.name!r}: {self.n_states} states, {self.n_inputs} inputs, "
            f"{self.n_params} parameters, {len(self.output_names)} outputs>"
        )


def _check_names(sig: Signature) -> None:
    """Every name distinct across kinds and none that the results use themselves."""
    seen: dict[str, str] = {}
    for kind, names in (("state", sig.state_names), ("input", sig.input_names), ("parameter", sig.param_names),
                        ("output", sig.output_names)):
        for name in names:
            if name in RESERVED:
                raise ValueError(f"the {kind} name {name!r} is reserved for {RESERVED[name]}; rename the {kind}")
            if name in seen:
                raise ValueError(f"{name!r} names both a {seen[name]} and a{'n' if kind[0] in 'aeiou' else ''} "
                                 f"{kind}; rename one of them")
            seen[name] = kind


def _dump(doc: Mapping[str, Any]) -> str:
    """Compact JSON; a NaN parameter default is written as null, which the engine reads as NaN."""
    values = doc.get("param_values")
    if isinstance(values, list) and any(isinstance(v, float) and math.isnan(v) for v in values):
        doc = dict(doc, param_values=[None if isinstance(v, float) and math.isnan(v) else v for v in values])
    try:
        return json.dumps(doc, separators=(",", ":"), allow_nan=False)
    except ValueError as e:
        raise ValueError(f"the document holds a value JSON cannot represent: {e}") from None


def _names_member(doc: Mapping[str, Any], key: str, n: int) -> tuple[str, ...]:
    names = doc[key]
    if not isinstance(names, list) or len(names) != n or not all(isinstance(s, str) for s in names):
        raise ValueError(f"{key} must be a list of {n} strings, got {names!r}")
    if len(set(names)) != n:
        duplicate = next(s for s in names if names.count(s) > 1)
        raise ValueError(f"{key} names {duplicate!r} twice")
    return tuple(names)


def load(path_or_text: Union[str, os.PathLike[str]]) -> System:
    """A System from a document file or from JSON text.

    A str whose first character other than white space is "{" or "[" is JSON text; any other str,
    and any path object, names a file. A file's name (without suffix) is the system's name when the
    document has no "name" member.
    """
    default_name = "model"
    if isinstance(path_or_text, str) and path_or_text.lstrip()[:1] in ("{", "["):
        text = path_or_text
    else:
        path = os.fspath(path_or_text)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        default_name = os.path.splitext(os.path.basename(path))[0]
    model = zarel_engine.Model(text)  # the engine's own message for a document it does not load
    doc = json.loads(text)
    # the text is the engine's as read: written back only if the document is asked for
    return System(doc, name=None if "name" in doc else default_name, _model=model, _source=text)


def as_system(obj: Union[System, zarel_engine.Model]) -> tuple[Signature, zarel_engine.Model, Optional[System]]:
    """What simulate and sweep accept: a System (its own compiled model) or an engine model (used as is)."""
    if isinstance(obj, System):
        return obj.signature, obj.model(), obj
    if isinstance(obj, zarel_engine.Model):
        return signature_of(obj), obj, None
    raise TypeError(f"expected a zarel.System or a zarel_engine.Model, got {type(obj).__name__}")


def finite_grid(t: np.ndarray) -> None:
    """Refuses a time grid holding an infinite or NaN time, which a method would only report later
    as a failed step."""
    bad = np.flatnonzero(~np.isfinite(t))
    if bad.size:
        raise ValueError(f"the time grid holds {t[bad[0]]} at index {bad[0]}; every time must be finite")
