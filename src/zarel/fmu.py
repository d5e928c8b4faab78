"""Export of a System as an FMU (FMI 2.0 or 3.0, Model Exchange and Co-Simulation): the model's
document, a description of its variables and the package's prebuilt runtime library, zipped.

The runtime (zarel/fmu/zarel_fmi2.so or zarel_fmi3.so, built with the package) loads the document
with the engine when the importer instantiates it and evaluates it with the same machine code as
zarel.simulate; its communication step runs the engine's integrators. Exporting needs no compiler.

The variables' value references follow the runtime's layout: states, their derivatives ("der(q)"),
inputs, parameters (tunable), named outputs, port outputs ("port_outputs[k]"), "energy" and
"supplied_power"; FMI 3.0 adds the independent variable "time" after them.
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
from typing import Any, NamedTuple, Optional, Union
from xml.etree import ElementTree as ET

import numpy as np

from .system import System

KINDS = ("model-exchange", "co-simulation")
# the methods a communication step may run; "nonstiff" and "stiff" pick one as zarel.simulate does
METHODS = ("midpoint", "gauss4", "euler", "rk4", "rk45", "dop853", "rodas5p", "nonstiff", "stiff")
VERSIONS = (2, 3)
_RUNTIMES = pathlib.Path(__file__).parent / "fmu"
# each version's library in an FMU, by the platform names of that version
_PLATFORM = {2: "linux64", 3: "x86_64-linux"}
# fixed, so that the same model exported with the same choices has the same GUID
_GUIDS = uuid.UUID("6f1d3c52-2b8e-4c57-9a0e-6a7d2f1e9b40")


def runtime(fmi: int = 2) -> pathlib.Path:
    """The runtime library of this installation for FMI `fmi` (2 or 3); an error when it was built
    without FMI headers."""
    library = _RUNTIMES / f"zarel_fmi{fmi}.so"
    if not library.is_file() or not notice(fmi).is_file():
        raise RuntimeError(f"this installation has no FMU runtime ({library} is missing): the package was built "
                           f"without fmpy's FMI {fmi} headers; install fmpy and rebuild it")
    return library


def notice(fmi: int = 2) -> pathlib.Path:
    """The license notice of the FMI headers the runtime was compiled against, which its binary
    form must carry."""
    return _RUNTIMES / f"LICENSE-fmi{fmi}-headers.txt"


def export(system: System, path: Union[str, os.PathLike[str]], *, fmi: int = 2, kinds: Sequence[str] = KINDS,
           method: str = "midpoint", grid_steps: bool = False, rtol: float = 1e-8, atol: float = 1e-10,
           newton_tol: float = 1e-10, max_newton: int = 50, x0: Any = None) -> pathlib.Path:
    """Writes `system` as an FMU to `path` and returns the path; see System.to_fmu."""
    from .result import pick_method

    if type(fmi) is not int or fmi not in VERSIONS:
        raise ValueError(f"fmi={fmi!r}: FMI 2.0 and 3.0 are exported; give fmi=2 or fmi=3")
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
    describe = model_description if fmi == 2 else model_description3
    description = describe(system, identifier, guid, chosen, start, rtol)
    library = runtime(fmi).read_bytes()
    out = pathlib.Path(path)
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("modelDescription.xml", description)
        z.writestr(f"binaries/{_PLATFORM[fmi]}/{identifier}.so", library)
        z.writestr(f"documentation/licenses/fmi{fmi}-headers.txt", notice(fmi).read_bytes())
        z.writestr("resources/model.json", document)
        z.writestr("resources/zarel_fmu.json", json.dumps(settings, indent=1))
    return out


def variable_names(system: System) -> list[str]:
    """The names of the FMU's variables in value-reference order."""
    doc = system.document()
    return [*system.state_names, *(f"der({s})" for s in system.state_names), *system.input_names,
            *system.param_names, *system.output_names,
            *(f"port_outputs[{k}]" for k in range(len(doc.get("port_outputs", [])))), "energy", "supplied_power"]


class _Variable(NamedTuple):
    vr: int
    causality: str
    variability: str
    initial: Optional[str]
    start: Optional[str] = None
    derivative_of: Optional[int] = None  # the value reference of the state it is the derivative of


def _variables(system: System, start: np.ndarray) -> list[_Variable]:
    """The FMU's variables in value-reference order with their causality, variability and start."""
    n, m = system.n_states, system.n_inputs
    names = variable_names(system)
    first_output = 2 * n + m + system.n_params
    return [*(_Variable(i, "local", "continuous", "exact", _number(start[i])) for i in range(n)),
            *(_Variable(n + i, "local", "continuous", "calculated", derivative_of=i) for i in range(n)),
            *(_Variable(2 * n + j, "input", "continuous", None, "0") for j in range(m)),
            *(_Variable(2 * n + m + k, "parameter", "tunable", "exact", _number(value))
              for k, value in enumerate(system.param_values)),
            *(_Variable(vr, "output", "continuous", "calculated") for vr in range(first_output, len(names)))]


def _dependencies(system: System) -> tuple[list[tuple[int, list[int]]], list[tuple[int, list[int]]]]:
    """What each output and each derivative reads, read from the trees: pairs of its value
    reference and the value references of the states and inputs it reads."""
    doc = system.document()
    n, m = system.n_states, system.n_inputs
    first_output = 2 * n + m + system.n_params
    knowns = {i: i for i in range(n)} | {n + j: 2 * n + j for j in range(m)}
    ports = doc.get("port_outputs", [])
    # the energy is evaluated at rest: its inputs are zero, so it reads the states alone
    reads = [*([tree] for tree in doc.get("outputs", [])), *([tree] for tree in ports),
             [doc["energy"]] if "energy" in doc else [], [*ports, *doc.get("port_values", [])]]
    outputs = [(first_output + k, _reads(trees, knowns)) for k, trees in enumerate(reads)]
    derivatives = [(n + i, _reads([tree], knowns)) for i, tree in enumerate(doc["rhs"])]
    return outputs, derivatives


def _unique(names: Sequence[str]) -> None:
    if len(set(names)) != len(names):
        twice = next(s for s in names if names.count(s) > 1)
        raise ValueError(f"the FMU would have two variables named {twice!r}; rename the state, input, parameter or "
                         f"output")


def model_description(system: System, identifier: str, guid: str, kinds: Sequence[str], start: np.ndarray,
                      rtol: float) -> str:
    """modelDescription.xml of FMI 2.0: the variables with their causality, variability and start
    values, and the dependencies of every output and derivative on the states and inputs, read from
    the trees."""
    doc = system.document()
    names = variable_names(system)
    _unique(names)
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
    _experiment(root, rtol)
    variables = ET.SubElement(root, "ModelVariables")
    for v in _variables(system, start):
        attrs = {"name": names[v.vr], "valueReference": str(v.vr), "causality": v.causality,
                 "variability": v.variability}
        if v.initial is not None:
            attrs["initial"] = v.initial
        real = {} if v.start is None else {"start": v.start}
        if v.derivative_of is not None:
            real["derivative"] = str(v.derivative_of + 1)  # the state's 1-based index among the variables
        ET.SubElement(ET.SubElement(variables, "ScalarVariable", attrs), "Real", real)

    # FMI 2 refers to variables by their 1-based index in ModelVariables, here value reference + 1;
    # a part without states (a resistor, say) has no Derivatives: the schema wants none empty
    outputs, derivatives = _dependencies(system)
    structure = ET.SubElement(root, "ModelStructure")
    for element, unknowns in (("Outputs", outputs), ("Derivatives", derivatives)):
        if not unknowns and element == "Derivatives":
            continue
        listed = ET.SubElement(structure, element)
        for vr, reads in unknowns:
            dependencies = " ".join(str(r + 1) for r in reads)
            ET.SubElement(listed, "Unknown", {"index": str(vr + 1), "dependencies": dependencies})
    initial = ET.SubElement(structure, "InitialUnknowns")
    for vr, _ in [*derivatives, *outputs]:
        ET.SubElement(initial, "Unknown", {"index": str(vr + 1)})
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def model_description3(system: System, identifier: str, guid: str, kinds: Sequence[str], start: np.ndarray,
                       rtol: float) -> str:
    """modelDescription.xml of FMI 3.0: the same variables as FMI 2.0's, as Float64 variables, and
    the independent variable "time" after them; dependencies by value reference."""
    doc = system.document()
    names = [*variable_names(system), "time"]
    _unique(names)
    root = ET.Element("fmiModelDescription", {
        "fmiVersion": "3.0", "modelName": system.name, "instantiationToken": guid,
        "generationTool": "zarel_engine", "variableNamingConvention": "flat"})
    if isinstance(doc.get("description"), str):
        root.set("description", doc["description"])
    common = {"modelIdentifier": identifier, "canGetAndSetFMUState": "true", "canSerializeFMUState": "true",
              "providesDirectionalDerivatives": "true", "providesAdjointDerivatives": "false"}
    if "model-exchange" in kinds:
        ET.SubElement(root, "ModelExchange", {**common, "needsCompletedIntegratorStep": "false"})
    if "co-simulation" in kinds:
        ET.SubElement(root, "CoSimulation", {**common, "canHandleVariableCommunicationStepSize": "true",
                                             "hasEventMode": "false", "mightReturnEarlyFromDoStep": "false"})
    _experiment(root, rtol)
    variables = ET.SubElement(root, "ModelVariables")
    ET.SubElement(variables, "Float64", {"name": "time", "valueReference": str(len(names) - 1),
                                         "causality": "independent", "variability": "continuous"})
    for v in _variables(system, start):
        attrs = {"name": names[v.vr], "valueReference": str(v.vr), "causality": v.causality,
                 "variability": v.variability}
        if v.initial is not None:
            attrs["initial"] = v.initial
        if v.start is not None:
            attrs["start"] = v.start
        if v.derivative_of is not None:
            attrs["derivative"] = str(v.derivative_of)
        ET.SubElement(variables, "Float64", attrs)

    outputs, derivatives = _dependencies(system)
    structure = ET.SubElement(root, "ModelStructure")
    for element, unknowns in (("Output", outputs), ("ContinuousStateDerivative", derivatives)):
        for vr, reads in unknowns:
            ET.SubElement(structure, element, {"valueReference": str(vr), "dependencies": " ".join(map(str, reads))})
    for vr, _ in [*derivatives, *outputs]:
        ET.SubElement(structure, "InitialUnknown", {"valueReference": str(vr)})
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def _experiment(root: ET.Element, rtol: float) -> None:
    categories = ET.SubElement(root, "LogCategories")
    for category in ("logStatusError", "logStatusFatal", "logAll"):
        ET.SubElement(categories, "Category", {"name": category})
    # importers that take the default experiment's tolerance hand it back when initializing
    experiment = ET.SubElement(root, "DefaultExperiment", {"startTime": "0"})
    if rtol > 0:
        experiment.set("tolerance", _number(rtol))


def _reads(trees: Iterable[Any], knowns: dict[int, int]) -> list[int]:
    slots: set[int] = set()
    for tree in trees:
        _refs(tree, slots)
    return [knowns[s] for s in sorted(slots) if s in knowns]


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
