"""Models built from parts: port-Hamiltonian systems joined through their ports, composed from the
parts' engine documents without a SymPy expression of the whole."""

from __future__ import annotations

import contextlib
import functools
import gc
import weakref
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional

import sympy

from zarel.balance import DISSIPATED, ENERGY, SUPPLIED
from zarel.functions import balanced
from zarel.lowering import lower
from zarel.symbolic import PortHamiltonian, _Symbols, derivatives
from zarel.system import System

Node = list[Any]
Entries = dict[tuple[int, int], Node]

# The document member in which a composite keeps what composition needs of it beyond its programs
# (the engine ignores it), so that a composite saved and loaded is connected again.
STRUCTURE = "port_structure"

# Beyond this many states a composite's document leaves the Jacobian to the engine's finite
# differences: a dense list of n^2 programs costs seconds to load (17 s at 2,000 states) and
# evaluates no faster than n + 1 right-hand sides of a sparse system.
DENSE_JACOBIAN_STATES = 300


@dataclass(frozen=True)
class PortStructure:
    """What composition needs of a part beyond its document, as trees in the part's own slots:
    the nonzero entries of G by (state, input), those of the Jacobian of the port outputs
    y = G^T grad H + D u by (port, state), and those of the feedthrough D by (port, input)."""

    G: Entries
    dy_dx: Entries
    D: Entries = field(default_factory=dict)

    @functools.cached_property
    def feedthrough(self) -> frozenset[int]:
        """The ports that act at once, as a resistor's do: their output depends on inputs, or
        their input reaches outputs. (For D = S + M, S symmetric positive semi-definite and M
        skew-symmetric, a port has both or neither.)"""
        return frozenset(k for kj in self.D for k in kj)

    def member(self) -> dict[str, list[list[Any]]]:
        """The structure as a document member: [row, column, tree] per nonzero entry."""
        return {key: [[i, j, tree] for (i, j), tree in getattr(self, key).items()] for key in ("G", "dy_dx", "D")}

    @staticmethod
    def read(member: Any, n: int, m: int, where: str) -> PortStructure:
        """The structure kept in a document member, its entries checked against the sizes n x m."""
        shapes = {"G": (n, m), "dy_dx": (m, n), "D": (m, m)}
        if not isinstance(member, dict) or set(member) != set(shapes):
            raise ValueError(f"{where}: its {STRUCTURE!r} must map G, dy_dx and D to their entries")
        entries: dict[str, Entries] = {}
        for key, (rows, columns) in shapes.items():
            listed = member[key]
            read: Entries = {}
            for entry in listed if isinstance(listed, list) else [None]:
                if not (isinstance(entry, list) and len(entry) == 3 and isinstance(entry[2], list)
                        and all(type(v) is int for v in entry[:2]) and 0 <= entry[0] < rows and 0 <= entry[1] < columns):
                    raise ValueError(f"{where}: an entry of {STRUCTURE}.{key} is not [row, column, tree] within "
                                     f"{rows} x {columns}: {entry!r}")
                read[entry[0], entry[1]] = entry[2]
            entries[key] = read
        return PortStructure(entries["G"], entries["dy_dx"], entries["D"])


class Composite(PortHamiltonian):
    """A port-Hamiltonian system made by `connect` from named parts joined by links.

    It is a `zarel.System` like any other; it has no SymPy expression of the whole (no ``H``,
    ``J``, ``R``, ``G``): `parts` maps names to the parts, `links` holds the pairs of inputs joined.
    Its document keeps G and the port outputs' derivatives in the member "port_structure", so that
    the document saved and loaded (`zarel.load`) is a part that `connect` takes again.
    """

    def __init__(self, document: Mapping[str, Any], structure: PortStructure,
                 parts: Mapping[str, System], links: Sequence[tuple[str, str]]):
        System.__init__(self, document)
        self.parts = dict(parts)
        self.links = tuple(links)
        self.structure = structure

    @property
    def structure_system(self) -> Optional[System]:
        """The structure model of the whole, (J - R)(x) g + G(x) u with the links closed, that the
        discrete gradient method runs on (see `structure_document`); None when a part, at any
        depth, has no J, R and G (`structureless_part`). Built once, when first asked for."""
        if structureless_part(self) is not None:
            return None
        with self._lock:
            built: Optional[System] = self.__dict__.get("_structure")
            if built is None:
                built = self._structure = System(structure_document(self))
            return built

    def __getattr__(self, name: str) -> Any:
        if name in ("H", "J", "R", "G", "D", "grad_H", "rhs", "outputs", "states", "inputs", "params"):
            raise AttributeError(f"a composite has no SymPy expression of the whole ({name}); "
                                 f"its parts are in .parts")
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")


_structures: weakref.WeakKeyDictionary[System, PortStructure] = weakref.WeakKeyDictionary()


def is_part(part: Any) -> bool:
    """Whether `connect` takes `part`: a PortHamiltonian, or a document that keeps its port structure
    (a composite saved and loaded)."""
    return isinstance(part, PortHamiltonian) or (isinstance(part, System) and STRUCTURE in part.document())


def port_structure(part: System) -> PortStructure:
    """G and the Jacobian of the port outputs of a part: lowered once per front-end part, read from
    the document of a loaded composite."""
    if isinstance(part, Composite):
        return part.structure
    known = _structures.get(part)
    if known is not None:
        return known
    if not isinstance(part, PortHamiltonian):
        structure = PortStructure.read(part.document().get(STRUCTURE), part.n_states, part.n_inputs,
                                       f"the document of {part.name!r}")
        _structures[part] = structure
        return structure
    sym = _Symbols(part.states, part.inputs, part.params)
    n, m = len(sym.states), len(sym.inputs)
    _, G = sym.matrix(part.G, "G", (n, m))
    for k in {u for expr in G.values() for u in expr.free_symbols} & {sym.real[u] for u in sym.inputs}:
        raise ValueError(f"G of {part.name!r} depends on the input {k}: its ports cannot be linked")
    grad = [sym.expr(g, "grad H") for g in part.grad_H]
    x = [sym.real[s] for s in sym.states]
    dy_dx: Entries = {}
    for k in range(m):
        y = sympy.Add(*(v * grad[i] for (i, col), v in G.items() if col == k))
        for j, d in derivatives(y, x).items():
            dy_dx[k, j] = lower(d, sym.slots)
    _, D = sym.matrix(part.D, "D", (m, m))
    structure = PortStructure({ij: lower(v, sym.slots) for ij, v in G.items()}, dy_dx,
                              {kj: lower(v, sym.slots) for kj, v in D.items()})
    _structures[part] = structure
    return structure


class _Link:
    """An input joined to the port `port` of the part `part`: u = -y (negated) or u = y."""

    __slots__ = ("part", "port", "negated")

    def __init__(self, part: str, port: int, negated: bool):
        self.part, self.port, self.negated = part, port, negated


@dataclass
class _Placed:
    """One part placed in the whole: its document and where its slots go."""

    name: str
    doc: dict[str, Any]
    structure: PortStructure
    n: int
    m: int
    state_at: int
    param_at: int
    table: list[Node]  # the node that replaces ["ref", i] of the part, for each of its slots
    links: dict[int, _Link] = field(default_factory=dict)  # its linked inputs


def remap(node: Node, table: Sequence[Node]) -> Node:
    """`node` with every ["ref", i] replaced by table[i] (the replacements are shared, not copied)."""
    op = node[0]
    if op == "ref":
        return table[node[1]]
    if op == "const":
        return node
    if len(node) == 3:  # the binary operators, most of any tree
        return [op, remap(node[1], table), remap(node[2], table)]
    if op == "pw":
        return ["pw", remap(node[1], table), node[2], node[3]]
    return [op] + [remap(a, table) for a in node[1:]]


def connect(parts: Mapping[str, System], links: Iterable[Sequence[str]], *,
            name: Optional[str] = None, jacobian: Optional[bool] = None) -> Composite:
    """The port-Hamiltonian system of `parts` joined by `links`.

    `parts` maps part names (identifiers, no dots) to `PortHamiltonian`s, composites included,
    and to composites saved and loaded by `zarel.load` (whose documents keep their port structure).
    Each link ("a.u1", "b.u2") joins an input of one part to an input of another through the
    power-preserving interconnection u1 = -y2, u2 = y1 of their port outputs y = G^T grad H + D u,
    so that u1 y1 + u2 y2 = 0; a link between two ports with feedthrough (outputs depending on
    inputs at once) is refused as an algebraic loop. States, parameters, outputs and the inputs left unlinked (the ports of
    the whole) are named "part.name"; H and the dissipated power are the sums of the parts'.
    For every part the whole has the outputs "part.energy", "part.supplied_power" (through all its
    ports, linked or not) and "part.dissipated_power", which `Result.balance(part=...)` reads.

    Each distinct part (parts with equal documents are one) is lowered once and its programs placed
    with its slots renumbered. The
    Jacobian is written in the document when `jacobian` is True, or when None and the whole has
    at most `DENSE_JACOBIAN_STATES` states (and every part has one); otherwise the engine uses
    finite differences.
    """
    if jacobian is not None and not isinstance(jacobian, bool):
        raise TypeError(f"jacobian must be True, False or None (decided by the size), got {jacobian!r}")
    pairs = _pairs(links)
    with _without_cycle_collection():
        return _connect(parts, pairs, name, jacobian)


@contextlib.contextmanager
def _without_cycle_collection() -> Iterator[None]:
    """Builds a large document without the collector's passes: its millions of small lists hold no
    cycles, and the passes their allocation triggers take half of the time for 10,000 parts."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _connect(parts: Mapping[str, System], pairs: list[tuple[str, str]], name: Optional[str],
             jacobian: Optional[bool]) -> Composite:
    placed = _place(parts, pairs)
    n = sum(p.n for p in placed)
    external = [(p, k) for p in placed for k in range(p.m) if k not in p.links]
    n_params = sum(len(p.doc["param_names"]) for p in placed)
    time_slot = ["ref", n + len(external) + n_params]
    for e, (p, k) in enumerate(external):
        p.table[p.n + k] = ["ref", n + e]
    for p in placed:
        n_own = len(p.doc["param_names"])
        p.table[p.n + p.m:] = [*(["ref", n + len(external) + p.param_at + i] for i in range(n_own)), time_slot]
    by_name = {p.name: p for p in placed}
    cached: dict[str, list[Optional[Node]]] = {p.name: [None] * p.m for p in placed}

    def port_output(q: _Placed, k: int) -> Node:
        y = cached[q.name][k]
        if y is None:
            y = cached[q.name][k] = remap(q.doc["port_outputs"][k], q.table)
        return y

    _place_links(placed, by_name, port_output)
    outputs_y = {p.name: [port_output(p, k) for k in range(p.m)] for p in placed}

    def names(key: str, chosen: Iterable[tuple[_Placed, int]]) -> list[str]:
        return [f"{p.name}.{p.doc[key][i]}" for p, i in chosen]

    state_names = names("state_names", ((p, i) for p in placed for i in range(p.n)))
    input_names = names("input_names", external)
    param_names = names("param_names", ((p, i) for p in placed for i in range(len(p.doc["param_names"]))))
    energies = [remap(p.doc["energy"], p.table) for p in placed]
    output_names, outputs = _outputs(placed, energies, outputs_y)
    for kind, listed in (("state", state_names), ("input", input_names), ("parameter", param_names),
                         ("output", output_names)):
        _refuse_clash(kind, listed)

    doc: dict[str, Any] = {
        "name": name if name is not None else "model",
        "state_names": state_names,
        "input_names": input_names,
        "param_names": param_names,
        "n_states": n,
        "n_inputs": len(external),
        "n_params": n_params,
        "param_values": [v for p in placed for v in p.doc["param_values"]],
        "rhs": [remap(f, p.table) for p in placed for f in p.doc["rhs"]],
    }
    if jacobian is None:
        jacobian = n <= DENSE_JACOBIAN_STATES and all("jacobian" in p.doc for p in placed)
    if jacobian:
        doc["jacobian"] = _jacobian(placed, n)
    doc["energy"] = balanced("add", energies) if energies else ["const", 0.0]
    doc["grad_H"] = [remap(g, p.table) for p in placed for g in p.doc["grad_H"]]
    if external:
        doc["port_outputs"] = [outputs_y[p.name][k] for p, k in external]
        doc["port_values"] = [["ref", n + e] for e in range(len(external))]
    doc["outputs"] = outputs
    doc["output_names"] = output_names
    external_at = {(p.name, k): e for e, (p, k) in enumerate(external)}
    structure = PortStructure(
        G={ie: balanced("add", terms) for ie, terms in _input_matrix(placed, by_name, external_at).items()},
        dy_dx={(e, j): balanced("add", terms) for e, (p, k) in enumerate(external)
               for j, terms in _port_jacobian(p, k, by_name).items()},
        D={(e, external_at[p.name, j]): remap(v, p.table)
           for e, (p, k) in enumerate(external) for (row, j), v in p.structure.D.items()
           if row == k and (p.name, j) in external_at})
    doc[STRUCTURE] = structure.member()
    return Composite(doc, structure, parts, pairs)


def structureless_part(composite: Composite) -> Optional[str]:
    """The first part, at any depth ("drive.motor"), with no J, R and G (a document loaded by
    `zarel.load`), or None."""
    for key, part in composite.parts.items():
        inner = structureless_part(part) if isinstance(part, Composite) else None
        if inner is not None:
            return f"{key}.{inner}"
        if not isinstance(part, Composite) and part.structure_system is None:
            return key
    return None


def structure_document(composite: Composite) -> dict[str, Any]:
    """The structure model of a composite, laid out as `zarel.discrete_gradient.structure_document`
    lays out a part's: its states and parameters, inputs u (its ports) followed by g (one per
    state), dx/dt = (J - R)(x) g + G(x) u of the parts joined by their links, port outputs G^T g +
    D u, the output "dissipated_power" and, for each part, "part.supplied_power" (through all its
    ports, linked or not) and "part.dissipated_power". It is placed from the parts' structure
    models as `connect` places their documents: a linked input reads the other end's port output,
    G^T g + D u, negated where the link negates it; at g = grad H its rhs is the composite's."""
    placed = _place(composite.parts, list(composite.links))
    docs = {p.name: _structure_of(composite.parts[p.name]).document() for p in placed}
    n = sum(p.n for p in placed)
    external = [(p, k) for p in placed for k in range(p.m) if k not in p.links]
    n_params = sum(p.doc["n_params"] for p in placed)
    at_g, at_params, time = n + len(external), 2 * n + len(external), ["ref", 2 * n + len(external) + n_params]
    for p in placed:  # slots of a structure model: x, u, g, parameters, t
        p.table = p.table[:p.n] + [["unset"]] * p.m + [["ref", at_g + p.state_at + j] for j in range(p.n)] \
            + [["ref", at_params + p.param_at + i] for i in range(p.doc["n_params"])] + [time]
    for e, (p, k) in enumerate(external):
        p.table[p.n + k] = ["ref", n + e]
    by_name = {p.name: p for p in placed}

    def port_output(q: _Placed, k: int) -> Node:
        return remap(docs[q.name]["port_outputs"][k], q.table)

    _place_links(placed, by_name, port_output)
    names, outputs, dissipation = [DISSIPATED], [], []
    for p in placed:
        doc = docs[p.name]
        dissipated = remap(doc["outputs"][doc["output_names"].index(DISSIPATED)], p.table)
        powers = [["mul", port_output(p, k), p.table[p.n + k]] for k in range(p.m)]
        names += [f"{p.name}.{SUPPLIED}", f"{p.name}.{DISSIPATED}"]
        outputs += [balanced("add", powers) if powers else ["const", 0.0], dissipated]
        dissipation.append(dissipated)
    sig = composite.signature
    from .discrete_gradient import gradient_names

    gradients = gradient_names(sig.state_names, {*sig.state_names, *sig.input_names, *sig.param_names})
    return {
        "name": f"{sig.name}.structure",
        "state_names": list(sig.state_names),
        "input_names": [*sig.input_names, *gradients],
        "param_names": list(sig.param_names),
        "n_states": n,
        "n_inputs": len(external) + n,
        "n_params": n_params,
        "param_values": list(sig.param_values),
        "rhs": [remap(f, p.table) for p in placed for f in docs[p.name]["rhs"]],
        "port_outputs": [port_output(p, k) for p, k in external],
        "port_values": [["ref", n + e] for e in range(len(external))],
        "outputs": [balanced("add", dissipation) if dissipation else ["const", 0.0], *outputs],
        "output_names": names,
    }


def _place_links(placed: list[_Placed], by_name: Mapping[str, _Placed],
                 port_output: Callable[[_Placed, int], Node]) -> None:
    """Each linked input of the placed parts reads its partner's port output, negated where the
    link says. Outputs without feedthrough depend on states, parameters and t only and are placed
    first; a feedthrough output reads inputs of its own part, which (no link joins two feedthrough
    ports) are by then external or placed."""
    deferred = []
    for p in placed:
        for k, link in p.links.items():
            q = by_name[link.part]
            if link.port in q.structure.feedthrough:
                deferred.append((p, k, q, link))
            else:
                p.table[p.n + k] = _signed(port_output(q, link.port), link.negated)
    for p, k, q, link in deferred:
        p.table[p.n + k] = _signed(port_output(q, link.port), link.negated)


def _structure_of(part: System) -> System:
    structure = part.structure_system
    assert structure is not None, f"part {part.name!r} has no structure model"
    return structure


def _pairs(links: Iterable[Sequence[str]]) -> list[tuple[str, str]]:
    pairs = []
    for link in links:
        if isinstance(link, str) or len(link) != 2 or not all(isinstance(end, str) for end in link):
            raise ValueError(f"a link is a pair of inputs (\"part.input\", \"part.input\"), got {link!r}")
        pairs.append((link[0], link[1]))
    return pairs


def _place(parts: Mapping[str, System], links: list[tuple[str, str]]) -> list[_Placed]:
    """The parts in order with their links; each slot table holds the part's states, the caller
    fills in its inputs, parameters and t."""
    if not isinstance(parts, Mapping) or not parts:
        raise ValueError("parts must be a non-empty mapping from part names to zarel.PortHamiltonian")
    # each distinct part read and lowered once: parts with the same document are the same part,
    # whether one object is placed many times or a new one made for each place
    distinct: dict[str, tuple[dict[str, Any], PortStructure]] = {}
    placed: dict[str, _Placed] = {}
    state_at = param_at = 0
    for key, part in parts.items():
        if not isinstance(key, str) or not key.isidentifier():
            raise ValueError(f"part name {key!r} is not an identifier (letters, digits and underscores; no dots)")
        if not is_part(part):
            kept = " whose document keeps no port structure" if isinstance(part, System) else ""
            raise TypeError(f"part {key!r} is a {type(part).__name__}{kept}, not a zarel.PortHamiltonian "
                            f"(nor a composite saved and loaded)")
        text = part.json()
        known = distinct.get(text)
        if known is None:
            known = distinct[text] = (part.document(), port_structure(part))
        doc, structure = known
        n, m = doc["n_states"], doc["n_inputs"]
        table: list[Node] = [["ref", state_at + i] for i in range(n)] + [["unset"]] * m
        placed[key] = _Placed(key, doc, structure, n, m, state_at, param_at, table)
        state_at += n
        param_at += doc["n_params"]
    for a, b in links:
        (pa, ka), (pb, kb) = _end(placed, a, (a, b)), _end(placed, b, (a, b))
        if pa is pb:
            raise ValueError(f"link ({a!r}, {b!r}) joins part {pa.name!r} to itself")
        for p, k, other in ((pa, ka, b), (pb, kb, a)):
            if k in p.links:
                raise ValueError(f"input {p.doc['input_names'][k]!r} of part {p.name!r} is linked twice "
                                 f"(again to {other!r})")
        if ka in pa.structure.feedthrough and kb in pb.structure.feedthrough:
            raise ValueError(f"link ({a!r}, {b!r}) joins two feedthrough ports, whose outputs both depend "
                             f"on inputs at once: an algebraic loop; put a part with storage between them")
        pa.links[ka] = _Link(pb.name, kb, negated=True)
        pb.links[kb] = _Link(pa.name, ka, negated=False)
    return list(placed.values())


def _end(placed: Mapping[str, _Placed], end: str, link: tuple[str, str]) -> tuple[_Placed, int]:
    part, dot, port = end.partition(".")
    if not dot:
        raise ValueError(f"link {link!r}: {end!r} is not of the form \"part.input\"")
    p = placed.get(part)
    if p is None:
        raise ValueError(f"link {link!r}: unknown part {part!r}; parts are: {', '.join(placed)}")
    inputs = p.doc["input_names"]
    if port not in inputs:
        raise ValueError(f"link {link!r}: part {part!r} has no input {port!r}; "
                         f"its inputs are: {', '.join(inputs) or '(none)'}")
    return p, inputs.index(port)


def _outputs(placed: list[_Placed], energies: list[Node],
             outputs_y: Mapping[str, list[Node]]) -> tuple[list[str], list[Node]]:
    """The whole's outputs: each part's own, then its energy and the power through its ports;
    last the whole's dissipated power, the sum of the parts'."""
    names: list[str] = []
    trees: list[Node] = []
    dissipation: list[Node] = []
    for p, energy in zip(placed, energies):
        for key, tree in zip(p.doc["output_names"], p.doc["outputs"]):
            names.append(f"{p.name}.{key}")
            trees.append(remap(tree, p.table))
            if key == DISSIPATED:
                dissipation.append(trees[-1])
        powers = [["mul", y, p.table[p.n + k]] for k, y in enumerate(outputs_y[p.name])]
        names += [f"{p.name}.{ENERGY}", f"{p.name}.{SUPPLIED}"]
        trees += [energy, balanced("add", powers) if powers else ["const", 0.0]]
    names.append(DISSIPATED)
    trees.append(balanced("add", dissipation) if dissipation else ["const", 0.0])
    return names, trees


def _refuse_clash(kind: str, names: list[str]) -> None:
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise ValueError(f"name clash: the composite would have two {kind}s named {name!r}")
        seen.add(name)


def _jacobian(placed: list[_Placed], n: int) -> list[Node]:
    """The dense Jacobian: each part's block, and for each link the block G_a (-dy_b/dx_b) or
    G_b (dy_a/dx_a) that the interconnection adds."""
    terms: dict[tuple[int, int], list[Node]] = {}
    by_name = {p.name: p for p in placed}
    for p in placed:
        if "jacobian" not in p.doc:
            raise ValueError(f"part {p.name!r} has no analytic Jacobian; connect with jacobian=None or False")
        rows = p.doc["jacobian"]
        for i in range(p.n):
            for j in range(p.n):
                node = rows[i * p.n + j]
                if node != ["const", 0.0]:
                    terms.setdefault((p.state_at + i, p.state_at + j), []).append(remap(node, p.table))
        for (i, k), g in p.structure.G.items():
            link = p.links.get(k)
            if link is None:
                continue
            for j, ds in _port_jacobian(by_name[link.part], link.port, by_name).items():
                for d in ds:
                    terms.setdefault((p.state_at + i, j), []).append(
                        _signed(["mul", remap(g, p.table), d], link.negated))
    zero = ["const", 0.0]
    dense = [zero] * (n * n)
    for (i, j), parts in terms.items():
        dense[i * n + j] = balanced("add", parts)
    return dense



def _signed(node: Node, negated: bool) -> Node:
    # -(-z) is z exactly: the sign flip of a node that is itself negated is dropped
    if not negated:
        return node
    return node[1] if node[0] == "neg" else ["neg", node]


def _input_matrix(placed: list[_Placed], by_name: Mapping[str, _Placed],
                  external_at: Mapping[tuple[str, int], int]) -> dict[tuple[int, int], list[Node]]:
    """The terms of G of the whole by (state, external input): a part's own column for an input
    left unlinked, and G_p (-D_q) or G_p D_q where a linked input reads a feedthrough output of q
    that depends on an external input of the whole."""
    terms: dict[tuple[int, int], list[Node]] = {}
    for p in placed:
        for (i, k), g in p.structure.G.items():
            e = external_at.get((p.name, k))
            if e is not None:
                terms.setdefault((p.state_at + i, e), []).append(remap(g, p.table))
            link = p.links.get(k)
            if link is None:
                continue
            q = by_name[link.part]
            for (row, j), v in q.structure.D.items():
                e = external_at.get((q.name, j))
                if row == link.port and e is not None:
                    terms.setdefault((p.state_at + i, e), []).append(
                        _signed(["mul", remap(g, p.table), remap(v, q.table)], link.negated))
    return terms


def _port_jacobian(q: _Placed, port: int, by_name: Mapping[str, _Placed]) -> dict[int, list[Node]]:
    """The terms of the derivative of the port output of `q` by each state of the whole: those of
    its own states, and through its feedthrough D those of the ports its linked inputs read."""
    terms: dict[int, list[Node]] = {}
    for (row, j), d in q.structure.dy_dx.items():
        if row == port:
            terms.setdefault(q.state_at + j, []).append(remap(d, q.table))
    for (row, k), v in q.structure.D.items():
        link = q.links.get(k)
        if row != port or link is None:
            continue
        for j, ds in _port_jacobian(by_name[link.part], link.port, by_name).items():
            terms.setdefault(j, []).extend(_signed(["mul", remap(v, q.table), d], link.negated) for d in ds)
    return terms
