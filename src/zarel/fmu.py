"""Export of a System as an FMU (FMI 2.0, Model Exchange and Co-Simulation): the model's document,
a description of its variables and the package's prebuilt runtime library, zipped.

The runtime (zarel/fmu/zarel_fmi2.so, built with the package) loads the document with the engine
when the importer instantiates it and evaluates it with the same machine code as zarel.simulate;
its communication step runs the engine's integrators. Exporting needs no compiler.

The variables' value references follow the runtime's layout: states, their derivatives ("der(q)"),
inputs, parameters (tunable), named outputs, port outputs ("port_outputs[k]"), "energy" and
"supplied_power".
"""

from __future__ import annotations

import json
import math
import os
import pathlib
import re
import uuid
import zipfile
from collections.abc import Iterable, Sequence
from typing import Any, Optional, Union
from xml.etree import ElementTree as ET

import numpy as np

from .system import System

KINDS = ("model-exchange", "co-simulation")
# the methods a communication step may run; "nonstiff" and "stiff" pick one as zarel.simulate does
METHODS = ("midpoint", "gauss4", "euler", "rk4", "rk45", "dop853", "rodas5p", "nonstiff", "stiff")
RUNTIME = pathlib.Path(__file__).parent / "fmu" / "zarel_fmi2.so"
# the FMI headers' license notice, which the runtime's binary form must carry
NOTICE = RUNTIME.with_name("LICENSE-fmi2-headers.txt")
# fixed, so that the same model exported with the same choices has the same GUID
_GUIDS = uuid.UUID("6f1d3c52-2b8e-4c57-9a0e-6a7d2f1e9b40")


def runtime() -> pathlib.Path:
    """The runtime library of this installation; an error when it was built without FMI headers."""
    if not RUNTIME.is_file() or not NOTICE.is_file():
        raise RuntimeError(f"this installation has no FMU runtime ({RUNTIME} is missing): the package was built "
                           f"without fmpy's FMI 2 headers; install fmpy and rebuild it")
    return RUNTIME


def export(system: System, path: Union[str, os.PathLike[str]], *, fmi: int = 2, kinds: Sequence[str] = KINDS,
           method: str = "midpoint", grid_steps: bool = False, rtol: float = 1e-8, atol: float = 1e-10,
           newton_tol: float = 1e-10, max_newton: int = 50, x0: Any = None) -> pathlib.Path:
    """Writes `system` as an FMU to `path` and returns the path; see System.to_fmu."""
    from .result import pick_method

    if fmi != 2:
        raise ValueError(f"fmi={fmi!r}: only FMI 2.0 is exported; give fmi=2")
    chosen = tuple(kinds)
    unknown = [k for k in chosen if k not in KINDS]
    if unknown or not chosen or len(set(chosen)) != len(chosen):
        raise ValueError(f"kinds={kinds!r}: give one or both of {', '.join(KINDS)}, each once")
    if method not in METHODS:
        raise ValueError(f"method={method!r}: a communication step runs one of {', '.join(METHODS)}")
    for name, value in (("rtol", rtol), ("atol", atol), ("newton_tol", newton_tol)):
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value >= 0):
            raise ValueError(f"{name} must be a finite non-negative number, got {value!r}")
    if not (isinstance(max_newton, int) and max_newton >= 0):
        raise ValueError(f"max_newton must be a non-negative integer, got {max_newton!r}")
    sig = system.signature
    start = sig.vector("state", x0) if x0 is not None else np.zeros(len(sig.state_names))
    document = system.json()
    identifier = _identifier(system.name)
    settings = {
        "method": pick_method(method, rtol), "dense": not grid_steps, "model_exchange": "model-exchange" in chosen,
        "co_simulation": "co-simulation" in chosen, "rtol": float(rtol), "atol": float(atol),
        "newton_tol": float(newton_tol), "max_newton": max_newton, "x0": [float(v) for v in start],
    }
    guid = "{" + str(uuid.uuid5(_GUIDS, json.dumps([document, settings]))) + "}"
    settings = {"guid": guid, **settings}
    description = model_description(system, identifier, guid, chosen, start, rtol)
    library = runtime().read_bytes()
    out = pathlib.Path(path)
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("modelDescription.xml", description)
        z.writestr(f"binaries/linux64/{identifier}.so", library)
        z.writestr("documentation/licenses/fmi2-headers.txt", NOTICE.read_bytes())
        z.writestr("resources/model.json", document)
        z.writestr("resources/zarel_fmu.json", json.dumps(settings, indent=1))
    return out


def variable_names(system: System) -> list[str]:
    """The names of the FMU's variables in value-reference order."""
    doc = system.document()
    return [*system.state_names, *(f"der({s})" for s in system.state_names), *system.input_names,
            *system.param_names, *system.output_names,
            *(f"port_outputs[{k}]" for k in range(len(doc.get("port_outputs", [])))), "energy", "supplied_power"]


def model_description(system: System, identifier: str, guid: str, kinds: Sequence[str], start: np.ndarray,
                      rtol: float) -> str:
    """modelDescription.xml: the variables with their causality, variability and start values, and
    the dependencies of every output and derivative on the states and inputs, read from the trees."""
    doc = system.document()
    n, m = system.n_states, system.n_inputs
    names = variable_names(system)
    if len(set(names)) != len(names):
        twice = next(s for s in names if names.count(s) > 1)
        raise ValueError(f"the FMU would have two variables named {twice!r}; rename the state, input, parameter or "
                         f"output")
    root = ET.Element("fmiModelDescription", {
        "fmiVersion": "2.0", "modelName": system.name, "guid": guid,
        "generationTool": "zarel_engine", "variableNamingConvention": "flat", "numberOfEventIndicators": "0"})
    if isinstance(doc.get("description"), str):
        root.set("description", doc["description"])
    common = {"modelIdentifier": identifier, "canGetAndSetFMUstate": "true", "canSerializeFMUstate": "true",
              "providesDirectionalDerivative": "true", "canNotUseMemoryManagementFunctions": "true"}
    if "model-exchange" in kinds:
        ET.SubElement(root, "ModelExchange", {**common, "completedIntegratorStepNotNeeded": "true"})
    if "co-simulation" in kinds:
        # inputs given with their first derivatives (fmi2SetRealInputDerivatives) run linearly over a step
        ET.SubElement(root, "CoSimulation", {**common, "canHandleVariableCommunicationStepSize": "true",
                                             "canInterpolateInputs": "true"})
    categories = ET.SubElement(root, "LogCategories")
    for category in ("logStatusError", "logStatusFatal", "logAll"):
        ET.SubElement(categories, "Category", {"name": category})

    # importers that take the default experiment's tolerance hand it back by fmi2SetupExperiment
    experiment = ET.SubElement(root, "DefaultExperiment", {"startTime": "0"})
    if rtol > 0:
        experiment.set("tolerance", _number(rtol))
    variables = ET.SubElement(root, "ModelVariables")

    def variable(vr: int, causality: str, variability: str, initial: Optional[str], **real: str) -> None:
        attrs = {"name": names[vr], "valueReference": str(vr), "causality": causality, "variability": variability}
        if initial is not None:
            attrs["initial"] = initial
        ET.SubElement(ET.SubElement(variables, "ScalarVariable", attrs), "Real", real)

    for i in range(n):
        variable(i, "local", "continuous", "exact", start=_number(start[i]))
    for i in range(n):
        variable(n + i, "local", "continuous", "calculated", derivative=str(i + 1))
    for j in range(m):
        variable(2 * n + j, "input", "continuous", None, start="0")
    for k, value in enumerate(system.param_values):
        variable(2 * n + m + k, "parameter", "tunable", "exact", start=_number(value))
    first_output = 2 * n + m + system.n_params
    for vr in range(first_output, len(names)):
        variable(vr, "output", "continuous", "calculated")

    # what each output and derivative reads, as 1-based indices of the states and inputs
    knowns = {i: i + 1 for i in range(n)} | {n + j: 2 * n + j + 1 for j in range(m)}
    ports = doc.get("port_outputs", [])
    reads = [*([tree] for tree in doc.get("outputs", [])), *([tree] for tree in ports),
             [doc["energy"]] if "energy" in doc else [], [*ports, *doc.get("port_values", [])]]
    # the energy is evaluated at rest: its inputs are zero, so it reads the states alone
    # (a part without states, a resistor say, has no Derivatives: the schema wants none empty)
    structure = ET.SubElement(root, "ModelStructure")
    outputs = ET.SubElement(structure, "Outputs")
    for vr, trees in zip(range(first_output, len(names)), reads):
        ET.SubElement(outputs, "Unknown", {"index": str(vr + 1), "dependencies": _indices(trees, knowns)})
    if n > 0:
        derivatives = ET.SubElement(structure, "Derivatives")
        for i, tree in enumerate(doc["rhs"]):
            ET.SubElement(derivatives, "Unknown", {"index": str(n + i + 1), "dependencies": _indices([tree], knowns)})
    initial = ET.SubElement(structure, "InitialUnknowns")
    for vr in [*range(n, 2 * n), *range(first_output, len(names))]:
        ET.SubElement(initial, "Unknown", {"index": str(vr + 1)})
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def _indices(trees: Iterable[Any], knowns: dict[int, int]) -> str:
    slots: set[int] = set()
    for tree in trees:
        _refs(tree, slots)
    return " ".join(str(knowns[s]) for s in sorted(slots) if s in knowns)


def _refs(node: Any, into: set[int]) -> None:
    if not isinstance(node, list) or not node:
        return
    if node[0] == "ref":
        into.add(int(node[1]))
        return
    for child in node[1:]:
        _refs(child, into)


def _number(value: float) -> str:
    v = float(value)
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "INF" if v > 0 else "-INF"
    return repr(v)


def _identifier(name: str) -> str:
    """The model's name as a C identifier: the FMU's modelIdentifier and its library's file name."""
    ident = re.sub(r"\W", "_", name, flags=re.ASCII)
    return ident if ident and not ident[0].isdigit() else f"_{ident}"
