"""Exported FMUs under FMPy, an importer of its own: the model descriptions validate, Co-Simulation
gives zarel.simulate's values bit for bit, Model Exchange under CVODE agrees with a tight run,
directional derivatives are the Jacobian, a restored state continues as before; and the C
functions refuse hostile calls with an error instead of crashing the host."""

import ctypes
import importlib.util
import inspect
import pathlib
import shutil
import subprocess
import sys
import threading
import zipfile

import numpy as np
import pytest

import zarel
from zarel import fmu, parts

fmpy = pytest.importorskip("fmpy")
from fmpy import extract, read_model_description, simulate_fmu  # noqa: E402
from fmpy.fmi2 import FMU2Model, FMU2Slave, fmi2CallbackFunctions, fmi2CallbackLoggerTYPE  # noqa: E402
from fmpy.validation import validate_fmu  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
ZAREL = pathlib.Path(sys.executable).with_name("zarel")
fmi2OK, fmi2Error = 0, 3


def rlc():
    return zarel.load(EXAMPLES / "rlc_series.json")


def composite():
    return zarel.connect({"C": parts.capacitor(C=1e-3), "L": parts.inductor(L=0.1, R=10.0, ports=("V", "C"))},
                         [("C.i", "L.C")], name="rlc_parts")


# every part of the library, those without states (a resistor, a damper) among them
PARTS = sorted(name for name, f in inspect.getmembers(parts, inspect.isfunction)
               if f.__module__ == parts.__name__ and not name.startswith("_"))


@pytest.mark.parametrize("source", [*sorted(p.name for p in EXAMPLES.glob("*.json")), *PARTS, "composite", "cli"])
def test_exported_fmus_validate(source, tmp_path):
    path = tmp_path / "model.fmu"
    if source in PARTS:
        getattr(parts, source)().to_fmu(path)
    elif source == "composite":
        composite().to_fmu(path)
    elif source == "cli":
        proc = subprocess.run([str(ZAREL), "export", str(EXAMPLES / "pendulum.json"), "--fmi", "2", "-o", str(path)],
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr
        # and FMPy's own command
        proc = subprocess.run([str(ZAREL.with_name("fmpy")), "validate", str(path)], capture_output=True, text=True,
                              timeout=120)
        assert proc.returncode == 0 and "No problems found" in proc.stdout, proc.stdout + proc.stderr
    else:
        zarel.load(EXAMPLES / source).to_fmu(path)
    assert validate_fmu(str(path)) == []


@pytest.mark.parametrize("method, interval", [("midpoint", 2e-5), ("euler", 2e-5), ("rk4", 2e-5), ("rk45", 2e-5),
                                              ("rk45", 1e-3), ("dop853", 1e-3), ("rodas5p", 1e-3)])
def test_cosimulation_is_simulate_bit_for_bit(method, interval, tmp_path):
    # the motor on its hardening shaft: nonlinear, two inputs, a parameter set by the importer
    system = zarel.load(EXAMPLES / "flexible_shaft.json")
    path = system.to_fmu(tmp_path / "shaft.fmu", kinds=("co-simulation",), method=method, grid_steps=True)
    names = [*system.state_names, *system.output_names, "energy", "supplied_power"]
    got = simulate_fmu(str(path), fmi_type="CoSimulation", stop_time=0.02, output_interval=interval,
                       start_values={"V": 12.0, "load_torque": -0.01, "theta": 1e-3, "k3": 800.0}, output=names)
    t = got["time"]
    u = np.tile([12.0, -0.01], (len(t), 1))
    want = zarel.simulate(system, {"theta": 1e-3}, t, u=u, params={"k3": 800.0}, method=method, grid_steps=True)
    # on the coarse grid the adaptive methods take several steps per communication step, sized as
    # one run over the whole grid sizes them
    assert want.stats["steps"] >= (len(t) - 1) * (1 if interval < 1e-4 else 1.5)
    for i, name in enumerate(system.state_names):
        np.testing.assert_array_equal(got[name], want.x[:, i])
    for name in system.output_names:
        np.testing.assert_array_equal(got[name], want.output(name))
    np.testing.assert_array_equal(got["energy"], want.energy)
    np.testing.assert_array_equal(got["supplied_power"], want.supplied_power)


@pytest.mark.parametrize("method", ["rk4", "rk45"])
def test_inputs_given_with_derivatives_run_linearly_over_each_step(method, tmp_path):
    # The series circuit driven by the ramp V = 1 + 40 t, its value and slope set at every
    # communication point as a master that interpolates its inputs does. (FMPy's simulate_fmu
    # cannot: its set_input_derivatives buffer holds 9 values whatever the number of inputs.)
    system = rlc()
    path = system.to_fmu(tmp_path / "rlc.fmu", kinds=("co-simulation",), method=method, grid_steps=True)
    md, unzipped = read_model_description(str(path)), extract(str(path))
    t = np.linspace(0.0, 0.05, 51)

    def cosimulate(slope):
        slave = FMU2Slave(guid=md.guid, unzipDirectory=unzipped, modelIdentifier="rlc_series", instanceName="ramp")
        slave.instantiate()
        slave.setupExperiment(startTime=0.0)
        slave.enterInitializationMode()
        slave.exitInitializationMode()
        rows = [slave.getReal([0, 1])]
        for k in range(len(t) - 1):
            slave.setReal([4], [1.0 + 40.0 * t[k]])
            slave.setRealInputDerivatives([4], [1], [slope])
            slave.doStep(t[k], t[k + 1] - t[k])
            rows.append(slave.getReal([0, 1]))
        end = slave.getReal([4])[0]  # where the ramp has taken the input
        slave.terminate()
        slave.freeInstance()
        return np.array(rows), end

    (got, end), (held, _) = cosimulate(40.0), cosimulate(0.0)
    want = zarel.simulate(system, [0.0, 0.0], t, u={"V": 1.0 + 40 * zarel.t}, method=method, grid_steps=True)
    # the same ramp, rounded differently: between grid points the input is u + (u1 - u) s here
    scale = np.abs(want.x).max(axis=0)
    np.testing.assert_allclose(got, want.x, rtol=0, atol=1e-14 * scale.max())
    assert (np.abs(held - want.x).max(axis=0) > 1e-3 * scale).all()
    assert end == pytest.approx(1.0 + 40.0 * t[-1], rel=1e-15)


def test_model_exchange_under_cvode_agrees_with_a_tight_run(tmp_path):
    system = zarel.load(EXAMPLES / "pendulum.json")
    path = system.to_fmu(tmp_path / "pendulum.fmu", kinds=("model-exchange",), x0=[1.0, 0.0])
    names = system.state_names
    got = simulate_fmu(str(path), fmi_type="ModelExchange", solver="CVode", relative_tolerance=1e-10,
                       stop_time=2.0, output_interval=0.05, start_values={"tau": 0.2}, output=[*names, "energy"])
    want = zarel.simulate(system, [1.0, 0.0], got["time"], u=np.full(len(got), 0.2), method="dop853", rtol=1e-13,
                          atol=1e-14)
    for i, name in enumerate(names):
        np.testing.assert_allclose(got[name], want.x[:, i], rtol=0, atol=1e-8)
    np.testing.assert_allclose(got["energy"], want.energy, rtol=1e-8, atol=0)  # H is about 2


@pytest.mark.parametrize("with_jacobian", [True, False])
def test_directional_derivatives_are_the_jacobian(with_jacobian, tmp_path):
    doc = rlc().document()
    if not with_jacobian:
        del doc["jacobian"]  # finite differences, the engine's own
    system = zarel.System(doc)
    path = system.to_fmu(tmp_path / "rlc.fmu", kinds=("model-exchange",))
    md = read_model_description(str(path))
    model = FMU2Model(guid=md.guid, unzipDirectory=extract(str(path)), modelIdentifier="rlc_series",
                      instanceName="jac")
    model.instantiate()
    model.setupExperiment(startTime=0.25)
    model.enterInitializationMode()
    x, u = [3e-4, -2e-3], [0.7]
    model.setReal([0, 1, 4], [*x, *u])
    model.exitInitializationMode()
    model.enterContinuousTimeMode()
    derivatives, states = [2, 3], [0, 1]
    jac = system.model().jacobian(np.array(x), np.array(u), 0.25)
    for j in range(2):
        column = model.getDirectionalDerivative(derivatives, [states[j]], [1.0])
        np.testing.assert_array_equal(column, jac[:, j])
    # along an input: d(rhs)/dV, which the Jacobian does not hold, by differences
    np.testing.assert_allclose(model.getDirectionalDerivative(derivatives, [4], [1.0]), [0.0, 1.0], atol=1e-6)
    # of outputs, by differences: current = phi / L, the supplied power V phi / L
    np.testing.assert_allclose(model.getDirectionalDerivative([8, 13], [1, 4], [1.0, 2.0]),
                               [1 / 0.1, (0.7 * 1.0 + 2.0 * x[1]) / 0.1], rtol=1e-6)
    model.terminate()
    model.freeInstance()


def test_a_restored_state_continues_as_before(tmp_path):
    path = rlc().to_fmu(tmp_path / "rlc.fmu", kinds=("co-simulation",), method="rk45")
    md = read_model_description(str(path))
    slave = FMU2Slave(guid=md.guid, unzipDirectory=extract(str(path)), modelIdentifier="rlc_series",
                      instanceName="rollback")
    slave.instantiate()
    slave.setupExperiment(startTime=0.0)
    slave.enterInitializationMode()
    slave.setReal([4], [2.0])
    slave.exitInitializationMode()

    def run(t, steps):
        rows = []
        for _ in range(steps):
            slave.doStep(t, 1e-3)
            t += 1e-3
            rows.append(slave.getReal([0, 1, 8, 12]))
        return t, rows

    slave.setRealInputDerivatives([4], [1], [300.0])  # the input ramps from 2 over every step
    t, _ = run(0.0, 5)
    saved = slave.getFMUstate()
    data = slave.serializeFMUstate(saved)
    ramped = slave.getReal([4])
    _, first = run(t, 5)
    slave.setReal([4], [-1.0])  # a different input and slope, undone by the restore
    slave.setRealInputDerivatives([4], [1], [0.0])
    run(t + 5e-3, 3)
    slave.setFMUstate(saved)
    assert slave.getReal([4]) == ramped and ramped[0] > 2.0
    _, again = run(t, 5)
    slave.setFMUstate(slave.deSerializeFMUstate(data))
    _, thrice = run(t, 5)
    assert first == again == thrice
    slave.freeFMUstate(saved)
    slave.terminate()
    slave.freeInstance()


class Runtime:
    """The runtime library inside an exported FMU, called through ctypes as a host would, with a
    logger that keeps every message."""

    def __init__(self, fmu_path, folder):
        with zipfile.ZipFile(fmu_path) as z:
            z.extractall(folder)
        self.folder = pathlib.Path(folder)
        self.md = read_model_description(str(fmu_path))
        identifier = self.md.coSimulation.modelIdentifier
        self.lib = ctypes.CDLL(str(self.folder / "binaries" / "linux64" / f"{identifier}.so"))
        self.messages = []
        self.logger = fmi2CallbackLoggerTYPE(lambda env, name, status, category, message:
                                             self.messages.append((status, message.decode())))
        self.callbacks = fmi2CallbackFunctions()
        self.callbacks.logger = self.logger
        L = self.lib
        c, d, u, s, p = ctypes.c_void_p, ctypes.c_double, ctypes.c_uint, ctypes.c_size_t, ctypes.POINTER
        L.fmi2Instantiate.restype = c
        L.fmi2Instantiate.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p,
                                      p(fmi2CallbackFunctions), ctypes.c_int, ctypes.c_int]
        for name in ("fmi2EnterInitializationMode", "fmi2ExitInitializationMode", "fmi2Terminate", "fmi2Reset"):
            getattr(L, name).argtypes = [c]
        L.fmi2FreeInstance.argtypes = [c]
        L.fmi2FreeInstance.restype = None
        L.fmi2SetupExperiment.argtypes = [c, ctypes.c_int, d, d, ctypes.c_int, d]
        L.fmi2DoStep.argtypes = [c, d, d, ctypes.c_int]
        L.fmi2GetReal.argtypes = [c, p(u), s, p(d)]
        L.fmi2SetReal.argtypes = [c, p(u), s, p(d)]
        L.fmi2GetDerivatives.argtypes = [c, p(d), s]
        L.fmi2SetRealInputDerivatives.argtypes = [c, p(u), s, p(ctypes.c_int), p(d)]

    def instantiate(self, kind=1, guid=None):
        uri = (self.folder / "resources").as_uri().encode()
        return self.lib.fmi2Instantiate(b"hostile", kind, (guid or self.md.guid).encode(), uri,
                                        ctypes.byref(self.callbacks), 0, 0)

    def ready(self):
        """A co-simulation instance after initialization."""
        inst = self.instantiate()
        assert inst
        assert self.lib.fmi2SetupExperiment(inst, 0, 0.0, 0.0, 0, 0.0) == fmi2OK
        assert self.lib.fmi2EnterInitializationMode(inst) == fmi2OK
        assert self.lib.fmi2ExitInitializationMode(inst) == fmi2OK
        return inst

    def last(self):
        status, message = self.messages[-1]
        assert status == fmi2Error
        return message


def refs(*vr):
    return (ctypes.c_uint * len(vr))(*vr)


def reals(*v):
    return (ctypes.c_double * len(v))(*v)


def ints(*v):
    return (ctypes.c_int * len(v))(*v)


def test_hostile_calls_are_errors_not_crashes(tmp_path):
    # dq/dt = 1 / (t - 0.75): rk4's stages from t = 0.5 by 0.5 meet the pole, the first step's do not
    blowup = zarel.System({"name": "blowup", "state_names": ["q"], "n_states": 1, "n_inputs": 1, "n_params": 0,
                           "param_values": [], "rhs": [["div", ["const", 1.0], ["sub", ["ref", 2], ["const", 0.75]]]]})
    rt = Runtime(blowup.to_fmu(tmp_path / "blowup.fmu", method="rk4", x0=[1.0]), tmp_path / "unzipped")
    L = rt.lib
    out = reals(0.0, 0.0)

    # no instance, or one that is not (any longer) an instance: an error, no message to give
    assert L.fmi2DoStep(None, 0.0, 0.1, 1) == fmi2Error
    assert L.fmi2GetReal(None, refs(0), 1, out) == fmi2Error
    assert L.fmi2GetDerivatives(None, out, 1) == fmi2Error
    assert L.fmi2Terminate(ctypes.c_void_p(12345)) == fmi2Error
    L.fmi2FreeInstance(None)
    assert rt.instantiate(guid="{not-this-fmu}") is None
    assert "GUID" in rt.last()

    inst = rt.instantiate()
    # wrong mode: a step before initialization, derivatives of a co-simulation instance
    assert L.fmi2DoStep(inst, 0.0, 0.1, 1) == fmi2Error
    assert "fmi2DoStep: not allowed in the instantiated mode" in rt.last()
    assert L.fmi2GetDerivatives(inst, out, 1) == fmi2Error
    assert "not Model Exchange" in rt.last()
    L.fmi2FreeInstance(inst)
    assert L.fmi2EnterInitializationMode(inst) == fmi2Error  # freed

    inst = rt.ready()
    # value references beyond the last, or of a variable that cannot be set
    assert L.fmi2GetReal(inst, refs(0, 99), 2, out) == fmi2Error
    assert "no variable has the value reference 99" in rt.last()
    assert L.fmi2SetReal(inst, refs(1), 1, reals(1.0)) == fmi2Error
    assert "value reference 1 is a state derivative" in rt.last()
    assert L.fmi2GetReal(inst, refs(0), 1, None) == fmi2Error
    # a NaN input is refused and leaves the input as it was
    assert L.fmi2SetReal(inst, refs(2), 1, reals(float("nan"))) == fmi2Error
    assert "is not finite" in rt.last() and "an input" in rt.last()
    assert L.fmi2GetReal(inst, refs(2), 1, out) == fmi2OK and out[0] == 0.0
    # input derivatives: of inputs only, first order only, finite
    for vr, order, value, cause in [(0, 1, 1.0, "is no input"), (2, 2, 1.0, "only first derivatives"),
                                    (2, 1, float("inf"), "is not finite")]:
        assert L.fmi2SetRealInputDerivatives(inst, refs(vr), 1, ints(order), reals(value)) == fmi2Error
        assert cause in rt.last()
    assert L.fmi2SetRealInputDerivatives(inst, refs(2), 1, None, reals(1.0)) == fmi2Error
    # steps that do not advance, or do not start where the instance is
    assert L.fmi2DoStep(inst, 0.0, float("nan"), 1) == fmi2Error
    assert L.fmi2DoStep(inst, 0.0, -0.1, 1) == fmi2Error
    assert L.fmi2DoStep(inst, 0.5, 0.1, 1) == fmi2Error
    assert "instance is at t = 0" in rt.last()
    # the run leaves the finite numbers: the step fails, and the next one is refused
    assert L.fmi2DoStep(inst, 0.0, 0.5, 1) == fmi2OK
    assert L.fmi2GetReal(inst, refs(0), 1, out) == fmi2OK
    good = out[0]
    assert L.fmi2DoStep(inst, 0.5, 0.5, 1) == fmi2Error
    assert "non-finite" in rt.last()
    assert L.fmi2GetReal(inst, refs(0), 1, out) == fmi2OK and out[0] == good  # the last good state
    assert L.fmi2DoStep(inst, 0.5, 0.5, 1) == fmi2Error
    assert "step-failed mode" in rt.last()
    assert L.fmi2Terminate(inst) == fmi2OK
    assert L.fmi2Terminate(inst) == fmi2Error
    assert "fmi2Terminate: not allowed in the terminated mode" in rt.last()
    # a reset instance runs again from its start
    assert L.fmi2Reset(inst) == fmi2OK
    assert L.fmi2SetReal(inst, refs(0), 1, reals(0.5)) == fmi2OK
    assert L.fmi2EnterInitializationMode(inst) == fmi2OK and L.fmi2ExitInitializationMode(inst) == fmi2OK
    assert L.fmi2DoStep(inst, 0.0, 0.5, 1) == fmi2OK
    L.fmi2FreeInstance(inst)
    L.fmi2FreeInstance(inst)  # twice: nothing happens


def alone_and_together(run, values):
    """run(value, into) for each value in turn, then all at once in threads of their own: what
    each appended, alone and together."""
    alone = []
    for v in values:
        run(v, alone)
    together = [[] for _ in values]
    threads = [threading.Thread(target=run, args=(v, into)) for v, into in zip(values, together)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return alone, [r[0] for r in together]


def test_instances_in_threads_run_as_alone(tmp_path):
    path = rlc().to_fmu(tmp_path / "rlc.fmu", kinds=("co-simulation",))
    rt = Runtime(path, tmp_path / "unzipped")
    L = rt.lib

    def run(R, into):
        inst = rt.instantiate()
        L.fmi2SetReal(inst, refs(4, 5), 2, reals(1.0, R))
        L.fmi2EnterInitializationMode(inst)
        L.fmi2ExitInitializationMode(inst)
        out = reals(0.0, 0.0)
        t = 0.0
        for k in range(200):
            assert L.fmi2DoStep(inst, t, 1e-3, 1) == fmi2OK
            t = (k + 1) * 1e-3
        L.fmi2GetReal(inst, refs(0, 1), 2, out)
        into.append(list(out))
        L.fmi2FreeInstance(inst)

    alone, together = alone_and_together(run, [5.0, 10.0, 20.0, 40.0])
    assert together == alone
    assert rt.messages == []


def test_the_walkthrough_example_holds(tmp_path):
    # examples/fmu_roundtrip.py, which the README shows: what it prints is what happens
    path = EXAMPLES / "fmu_roundtrip.py"
    spec = importlib.util.spec_from_file_location("fmu_roundtrip", path)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    got = example.main([str(tmp_path)])
    assert got["problems"] == 0 and got["cs_difference"] == 0.0
    assert got["me_error"] < 1e-8
    assert got["drift_cs"] < 1e-12 < got["drift_me"]
    assert (tmp_path / "pendulum.fmu").is_file() and (tmp_path / "rlc_series.fmu").is_file()


def test_the_runtime_needs_none_of_our_libraries():
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf is not installed")
    dynamic = subprocess.run([readelf, "-d", "--dyn-syms", "-W", str(fmu.runtime())], capture_output=True,
                             text=True, check=True).stdout
    needed = {line.split("[")[1].split("]")[0] for line in dynamic.splitlines() if "(NEEDED)" in line}
    assert not any(name.startswith(("libtbb", "libpython", "libstdc++")) for name in needed), needed
    exported = {line.split()[-1] for line in dynamic.splitlines()
                if " GLOBAL " in line and " DEFAULT " in line and " UND " not in line}
    assert exported and all(name.startswith("fmi2") for name in exported), exported
