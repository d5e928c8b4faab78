"""FMI 3.0 FMUs under FMPy, beside test_fmu.py's FMI 2.0 ones: the descriptions validate with the
same variables, Co-Simulation gives zarel.simulate's values bit for bit, Model Exchange under CVODE
agrees with a tight run, directional derivatives are the Jacobian, a restored state continues as
before; the C functions refuse hostile calls, and every function the FMI 3 headers declare is
there and says why it refuses what the model does not have."""

import ctypes
import pathlib
import re
import shutil
import subprocess
import zipfile

import numpy as np
import pytest

import zarel
from zarel import fmu, parts

fmpy = pytest.importorskip("fmpy")
from fmpy import extract, read_model_description, simulate_fmu  # noqa: E402
from fmpy.fmi3 import FMU3Model, FMU3Slave, fmi3LogMessageCallback  # noqa: E402
from fmpy.validation import validate_fmu  # noqa: E402
from test_fmu import EXAMPLES, PARTS, ZAREL, alone_and_together, composite, reals, refs, rlc  # noqa: E402

fmi3OK, fmi3Error = 0, 3
HEADERS = pathlib.Path(fmpy.__file__).parent / "c-code"


@pytest.mark.parametrize("source", [*sorted(p.name for p in EXAMPLES.glob("*.json")), *PARTS, "composite", "cli"])
def test_exported_fmus_validate(source, tmp_path):
    path = tmp_path / "model.fmu"
    if source in PARTS:
        system = getattr(parts, source)()
        system.to_fmu(path, fmi=3)
    elif source == "composite":
        system = composite()
        system.to_fmu(path, fmi=3)
    elif source == "cli":
        system = zarel.load(EXAMPLES / "pendulum.json")
        proc = subprocess.run([str(ZAREL), "export", str(EXAMPLES / "pendulum.json"), "--fmi", "3", "-o", str(path)],
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr
    else:
        system = zarel.load(EXAMPLES / source)
        system.to_fmu(path, fmi=3)
    assert validate_fmu(str(path)) == []
    md = read_model_description(str(path))
    assert md.fmiVersion == "3.0"
    # FMI 2.0's variables by the same value references, and the time after them
    by_reference = sorted(md.modelVariables, key=lambda v: v.valueReference)
    assert [v.name for v in by_reference] == [*fmu.variable_names(system), "time"]
    assert [v.valueReference for v in by_reference] == list(range(len(by_reference)))
    n = system.n_states
    assert [(d.variable.name, d.variable.derivative.name) for d in md.derivatives] == \
        [(f"der({s})", s) for s in system.state_names]
    with zipfile.ZipFile(path) as z:
        names = set(z.namelist())
    assert {f"binaries/x86_64-linux/{md.coSimulation.modelIdentifier}.so",
            "documentation/licenses/fmi3-headers.txt"} <= names
    assert n == len(md.derivatives)


def test_only_fmi_2_and_3_are_exported(tmp_path):
    for fmi in (1, 4, 3.0, True):
        with pytest.raises(ValueError, match="give fmi=2 or fmi=3"):
            rlc().to_fmu(tmp_path / "rlc.fmu", fmi=fmi)
    proc = subprocess.run([str(ZAREL), "export", str(EXAMPLES / "rlc_series.json"), "--fmi", "4", "-o",
                           str(tmp_path / "rlc.fmu")], capture_output=True, text=True, timeout=120)
    assert proc.returncode != 0 and "--fmi" in proc.stderr
    assert not (tmp_path / "rlc.fmu").exists()


@pytest.mark.parametrize("method", ["midpoint", "rk4", "rodas5p"])
def test_cosimulation_is_simulate_bit_for_bit(method, tmp_path):
    system = zarel.load(EXAMPLES / "flexible_shaft.json")
    path = system.to_fmu(tmp_path / "shaft.fmu", fmi=3, kinds=("co-simulation",), method=method, grid_steps=True)
    names = [*system.state_names, *system.output_names, "energy", "supplied_power"]
    got = simulate_fmu(str(path), fmi_type="CoSimulation", stop_time=0.02, output_interval=2e-5,
                       start_values={"V": 12.0, "load_torque": -0.01, "theta": 1e-3, "k3": 800.0}, output=names)
    t = got["time"]
    u = np.tile([12.0, -0.01], (len(t), 1))
    want = zarel.simulate(system, {"theta": 1e-3}, t, u=u, params={"k3": 800.0}, method=method, grid_steps=True)
    assert want.stats["steps"] >= len(t) - 1
    for i, name in enumerate(system.state_names):
        np.testing.assert_array_equal(got[name], want.x[:, i])
    for name in system.output_names:
        np.testing.assert_array_equal(got[name], want.output(name))
    np.testing.assert_array_equal(got["energy"], want.energy)
    np.testing.assert_array_equal(got["supplied_power"], want.supplied_power)


def test_model_exchange_under_cvode_agrees_with_a_tight_run(tmp_path):
    system = zarel.load(EXAMPLES / "pendulum.json")
    path = system.to_fmu(tmp_path / "pendulum.fmu", fmi=3, kinds=("model-exchange",), x0=[1.0, 0.0])
    names = system.state_names
    got = simulate_fmu(str(path), fmi_type="ModelExchange", solver="CVode", relative_tolerance=1e-10,
                       stop_time=2.0, output_interval=0.05, start_values={"tau": 0.2}, output=[*names, "energy"])
    want = zarel.simulate(system, [1.0, 0.0], got["time"], u=np.full(len(got), 0.2), method="dop853", rtol=1e-13,
                          atol=1e-14)
    for i, name in enumerate(names):
        np.testing.assert_allclose(got[name], want.x[:, i], rtol=0, atol=1e-8)
    np.testing.assert_allclose(got["energy"], want.energy, rtol=1e-8, atol=0)


def test_directional_derivatives_are_the_jacobian(tmp_path):
    system = rlc()
    path = system.to_fmu(tmp_path / "rlc.fmu", fmi=3, kinds=("model-exchange",))
    md = read_model_description(str(path))
    model = FMU3Model(guid=md.guid, unzipDirectory=extract(str(path)), modelIdentifier="rlc_series",
                      instanceName="jac")
    model.instantiate()
    model.enterInitializationMode(startTime=0.25)
    x, u = [3e-4, -2e-3], [0.7]
    model.setFloat64([0, 1, 4], [*x, *u])
    model.exitInitializationMode()
    model.enterContinuousTimeMode()
    assert model.getFloat64([14]) == [0.25]  # the time
    jac = system.model().jacobian(np.array(x), np.array(u), 0.25)
    for j in range(2):
        np.testing.assert_array_equal(model.getDirectionalDerivative([2, 3], [j], [1.0]), jac[:, j])
    # a seed on a state and an input at once, of a derivative and two outputs
    np.testing.assert_allclose(model.getDirectionalDerivative([3, 8, 13], [1, 4], [1.0, 2.0]),
                               [jac[1, 1] + 2.0, 1 / 0.1, (0.7 * 1.0 + 2.0 * x[1]) / 0.1], rtol=1e-6)
    model.terminate()
    model.freeInstance()


def test_a_restored_state_continues_as_before(tmp_path):
    path = rlc().to_fmu(tmp_path / "rlc.fmu", fmi=3, kinds=("co-simulation",), method="rk45")
    md = read_model_description(str(path))
    slave = FMU3Slave(guid=md.guid, unzipDirectory=extract(str(path)), modelIdentifier="rlc_series",
                      instanceName="rollback")
    slave.instantiate()
    slave.enterInitializationMode(startTime=0.0)
    slave.setFloat64([4], [2.0])
    slave.exitInitializationMode()

    def run(t, steps):
        rows = []
        for _ in range(steps):
            event, terminate, early, last = slave.doStep(t, 1e-3)
            assert (event, terminate, early, last) == (False, False, False, t + 1e-3)
            t += 1e-3
            rows.append(slave.getFloat64([0, 1, 8, 12, 14]))
        return t, rows

    t, _ = run(0.0, 5)
    saved = slave.getFMUState()
    data = slave.serializeFMUState(saved)
    _, first = run(t, 5)
    slave.setFloat64([4], [-1.0])  # a different input, undone by the restore
    run(t + 5e-3, 3)
    slave.setFMUState(saved)
    assert slave.getFloat64([4, 14]) == [2.0, t]
    _, again = run(t, 5)
    slave.setFMUState(slave.deserializeFMUState(data))
    _, thrice = run(t, 5)
    assert first == again == thrice
    slave.freeFMUState(saved)
    slave.terminate()
    slave.freeInstance()


class Runtime3:
    """The runtime library inside an exported FMI 3 FMU, called through ctypes as a host would, with
    a log message callback that keeps every message."""

    def __init__(self, fmu_path, folder):
        with zipfile.ZipFile(fmu_path) as z:
            z.extractall(folder)
        self.folder = pathlib.Path(folder)
        self.md = read_model_description(str(fmu_path))
        identifier = self.md.coSimulation.modelIdentifier
        self.lib = ctypes.CDLL(str(self.folder / "binaries" / "x86_64-linux" / f"{identifier}.so"))
        self.messages = []
        self.logger = fmi3LogMessageCallback(lambda env, status, category, message:
                                             self.messages.append((status, message.decode())))
        L = self.lib
        c, d, b, s, p = ctypes.c_void_p, ctypes.c_double, ctypes.c_bool, ctypes.c_size_t, ctypes.POINTER
        u = ctypes.c_uint32
        L.fmi3InstantiateCoSimulation.restype = c
        L.fmi3InstantiateCoSimulation.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, b, b, b, b,
                                                  p(u), s, c, fmi3LogMessageCallback, c]
        L.fmi3InstantiateScheduledExecution.restype = c
        L.fmi3InstantiateScheduledExecution.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, b, b, c,
                                                        fmi3LogMessageCallback, c, c, c]
        for name in ("fmi3ExitInitializationMode", "fmi3Terminate", "fmi3Reset", "fmi3EnterConfigurationMode",
                     "fmi3ExitConfigurationMode", "fmi3EvaluateDiscreteStates", "fmi3EnterStepMode",
                     "fmi3EnterContinuousTimeMode"):
            getattr(L, name).argtypes = [c]
        L.fmi3FreeInstance.argtypes = [c]
        L.fmi3FreeInstance.restype = None
        L.fmi3EnterInitializationMode.argtypes = [c, b, d, d, b, d]
        L.fmi3DoStep.argtypes = [c, d, d, b, p(b), p(b), p(b), p(d)]
        L.fmi3GetFloat64.argtypes = [c, p(u), s, p(d), s]
        L.fmi3SetFloat64.argtypes = [c, p(u), s, p(d), s]
        L.fmi3GetContinuousStateDerivatives.argtypes = [c, p(d), s]

    def instantiate(self, token=None, resources=None, event_mode=False):
        folder = str(self.folder / "resources") + "/" if resources is None else resources
        return self.lib.fmi3InstantiateCoSimulation(b"hostile", (token or self.md.guid).encode(), folder.encode(),
                                                    False, False, event_mode, False, None, 0, None, self.logger,
                                                    None)

    def ready(self):
        """A co-simulation instance in step mode."""
        inst = self.instantiate()
        assert inst
        assert self.lib.fmi3EnterInitializationMode(inst, False, 0.0, 0.0, False, 0.0) == fmi3OK
        assert self.lib.fmi3ExitInitializationMode(inst) == fmi3OK
        return inst

    def step(self, inst, t, h):
        """fmi3DoStep's status and its four results."""
        flags = [ctypes.c_bool(True) for _ in range(3)]
        last = ctypes.c_double(-1.0)
        status = self.lib.fmi3DoStep(inst, t, h, True, *(ctypes.byref(f) for f in flags), ctypes.byref(last))
        return status, [f.value for f in flags], last.value

    def last(self):
        status, message = self.messages[-1]
        assert status == fmi3Error
        return message


def test_hostile_calls_are_errors_not_crashes(tmp_path):
    # dq/dt = 1 / (t - 0.75): rk4's stages from t = 0.5 by 0.5 meet the pole, the first step's do not
    blowup = zarel.System({"name": "blowup", "state_names": ["q"], "n_states": 1, "n_inputs": 1, "n_params": 0,
                           "param_values": [], "rhs": [["div", ["const", 1.0], ["sub", ["ref", 2], ["const", 0.75]]]]})
    rt = Runtime3(blowup.to_fmu(tmp_path / "blowup.fmu", fmi=3, method="rk4", x0=[1.0]), tmp_path / "unzipped")
    L = rt.lib
    out = reals(0.0, 0.0)
    time_vr = 5  # q, der(q), the input, energy, supplied power, then the time

    # no instance, or one that is not (any longer) an instance: an error, no message to give
    assert rt.step(None, 0.0, 0.1)[0] == fmi3Error
    assert L.fmi3GetFloat64(None, refs(0), 1, out, 1) == fmi3Error
    assert L.fmi3GetContinuousStateDerivatives(None, out, 1) == fmi3Error
    assert L.fmi3Terminate(ctypes.c_void_p(12345)) == fmi3Error
    L.fmi3FreeInstance(None)
    assert rt.messages == []
    # instances refused at birth, each saying why
    assert rt.instantiate(token="{not-this-fmu}") is None
    assert "instantiation token" in rt.last()
    assert rt.instantiate(resources=str(tmp_path / "nowhere")) is None
    assert "cannot read" in rt.last() and "nowhere/model.json" in rt.last()
    assert rt.instantiate(event_mode=True) is None
    assert "no event mode" in rt.last()
    assert L.fmi3InstantiateScheduledExecution(b"s", rt.md.guid.encode(), b"/", False, False, None, rt.logger,
                                               None, None, None) is None
    assert rt.last().startswith("fmi3InstantiateScheduledExecution: ")

    inst = rt.instantiate()
    # wrong mode: a step before initialization, derivatives of a co-simulation instance
    assert rt.step(inst, 0.0, 0.1)[0] == fmi3Error
    assert "fmi3DoStep: not allowed in the instantiated mode" in rt.last()
    assert L.fmi3GetContinuousStateDerivatives(inst, out, 1) == fmi3Error
    assert "not Model Exchange" in rt.last()
    L.fmi3FreeInstance(inst)
    assert L.fmi3ExitInitializationMode(inst) == fmi3Error  # freed

    inst = rt.ready()
    # value references beyond the last, a count of values that is not one per reference, the time
    assert L.fmi3GetFloat64(inst, refs(0, 99), 2, out, 2) == fmi3Error
    assert "no Float64 variable has the value reference 99 (the references are 0 to 5)" in rt.last()
    assert L.fmi3GetFloat64(inst, refs(0), 1, out, 2) == fmi3Error
    assert "every variable is a scalar" in rt.last()
    assert L.fmi3SetFloat64(inst, refs(time_vr), 1, reals(1.0), 1) == fmi3Error
    assert "is the time" in rt.last()
    assert L.fmi3SetFloat64(inst, refs(1), 1, reals(1.0), 1) == fmi3Error
    assert "value reference 1 is a state derivative" in rt.last()
    # a NaN input is refused and leaves the input as it was
    assert L.fmi3SetFloat64(inst, refs(2), 1, reals(float("nan")), 1) == fmi3Error
    assert "is not finite" in rt.last() and "an input" in rt.last()
    assert L.fmi3GetFloat64(inst, refs(2), 1, out, 1) == fmi3OK and out[0] == 0.0
    # steps that do not advance, or do not start where the instance is, or have nowhere to report
    assert rt.step(inst, 0.0, float("nan")) == (fmi3Error, [False, False, False], 0.0)
    assert rt.step(inst, 0.5, 0.1)[0] == fmi3Error
    assert "instance is at t = 0" in rt.last()
    assert L.fmi3DoStep(inst, 0.0, 0.5, True, None, None, None, None) == fmi3Error
    assert "null pointer for a result" in rt.last()
    # the run leaves the finite numbers: the step fails where it started, and the next one is refused
    assert rt.step(inst, 0.0, 0.5) == (fmi3OK, [False, False, False], 0.5)
    assert L.fmi3GetFloat64(inst, refs(0, time_vr), 2, out, 2) == fmi3OK
    good = out[0]
    assert out[1] == 0.5
    assert rt.step(inst, 0.5, 0.5) == (fmi3Error, [False, False, False], 0.5)
    assert "non-finite" in rt.last()
    assert L.fmi3GetFloat64(inst, refs(0, time_vr), 2, out, 2) == fmi3OK and list(out) == [good, 0.5]
    assert rt.step(inst, 0.5, 0.5)[0] == fmi3Error
    assert "step-failed mode" in rt.last()
    # saved states: a foreign one is refused, and so are bytes that are not one
    state = ctypes.c_void_p()
    assert L.fmi3SetFMUState(ctypes.c_void_p(inst), ctypes.c_void_p(12345)) == fmi3Error
    assert "not one this instance saved" in rt.last()
    assert L.fmi3DeserializeFMUState(ctypes.c_void_p(inst), b"zarelFMU", ctypes.c_size_t(8),
                                     ctypes.byref(state)) == fmi3Error
    assert "are not a saved state of this model" in rt.last() and state.value is None

    # every function of what the model does not have refuses, naming itself and why
    c, n1, buf = ctypes.c_void_p(inst), ctypes.c_size_t(1), (ctypes.c_double * 8)()
    none = []
    for kind in ("Float32", "Int8", "UInt8", "Int16", "UInt16", "Int32", "UInt32", "Int64", "UInt64", "Boolean",
                 "String"):
        none += [(f"fmi3Get{kind}", (c, refs(0), n1, buf, n1), "Float64 variables only"),
                 (f"fmi3Set{kind}", (c, refs(0), n1, buf, n1), "Float64 variables only")]
    none += [(name, (c, refs(0), n1, buf, buf, n1), "Float64 variables only")
             for name in ("fmi3GetBinary", "fmi3SetBinary")]
    for name in ("GetClock", "SetClock", "GetIntervalDecimal", "GetIntervalFraction", "GetShiftDecimal",
                 "GetShiftFraction", "SetIntervalDecimal", "SetIntervalFraction", "SetShiftDecimal",
                 "SetShiftFraction"):
        none.append((f"fmi3{name}", (c, refs(0), n1, buf, buf, buf), "no clocks"))
    none += [("fmi3GetAdjointDerivative", (c, refs(0), n1, refs(0), n1, buf, n1, buf, n1), "adjoint"),
             ("fmi3GetNumberOfVariableDependencies", (c, ctypes.c_uint32(0), buf), "not provided"),
             ("fmi3GetVariableDependencies", (c, ctypes.c_uint32(0), buf, buf, buf, buf, n1), "not provided"),
             ("fmi3EnterConfigurationMode", (c,), "structural parameters"),
             ("fmi3ExitConfigurationMode", (c,), "structural parameters"),
             ("fmi3EvaluateDiscreteStates", (c,), "no discrete states"),
             ("fmi3EnterStepMode", (c,), "no event mode"),
             ("fmi3GetOutputDerivatives", (c, refs(0), n1, buf, buf, n1), "not provided"),
             ("fmi3ActivateModelPartition", (c, ctypes.c_uint32(0), ctypes.c_double(0.0)), "no model partitions")]
    for name, args, why in none:
        assert getattr(L, name)(*args) == fmi3Error, name
        assert rt.last().startswith(f"{name}: ") and why in rt.last(), rt.last()

    assert L.fmi3Terminate(inst) == fmi3OK
    assert L.fmi3Terminate(inst) == fmi3Error
    assert "fmi3Terminate: not allowed in the terminated mode" in rt.last()
    # a reset instance runs again from its start
    assert L.fmi3Reset(inst) == fmi3OK
    assert L.fmi3SetFloat64(inst, refs(0), 1, reals(0.5), 1) == fmi3OK
    assert L.fmi3EnterInitializationMode(inst, True, 1e-6, 0.0, True, 1.0) == fmi3OK
    assert L.fmi3ExitInitializationMode(inst) == fmi3OK
    assert rt.step(inst, 0.0, 0.5) == (fmi3OK, [False, False, False], 0.5)
    L.fmi3FreeInstance(inst)
    L.fmi3FreeInstance(inst)  # twice: nothing happens


def test_instances_in_threads_run_as_alone(tmp_path):
    rt = Runtime3(rlc().to_fmu(tmp_path / "rlc.fmu", fmi=3, kinds=("co-simulation",)), tmp_path / "unzipped")
    L = rt.lib

    def run(R, into):
        inst = rt.instantiate()
        L.fmi3SetFloat64(inst, refs(4, 5), 2, reals(1.0, R), 2)
        L.fmi3EnterInitializationMode(inst, False, 0.0, 0.0, False, 0.0)
        L.fmi3ExitInitializationMode(inst)
        for k in range(200):
            assert rt.step(inst, k * 1e-3, 1e-3)[0] == fmi3OK
        out = reals(0.0, 0.0)
        L.fmi3GetFloat64(inst, refs(0, 1), 2, out, 2)
        into.append(list(out))
        L.fmi3FreeInstance(inst)

    alone, together = alone_and_together(run, [5.0, 10.0, 20.0, 40.0])
    assert together == alone
    assert rt.messages == []


def test_the_fmi3_runtime_needs_none_of_our_libraries():
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf is not installed")
    dynamic = subprocess.run([readelf, "-d", "--dyn-syms", "-W", str(fmu.runtime(3))], capture_output=True,
                             text=True, check=True).stdout
    needed = {line.split("[")[1].split("]")[0] for line in dynamic.splitlines() if "(NEEDED)" in line}
    assert not any(name.startswith(("libtbb", "libpython", "libstdc++")) for name in needed), needed
    exported = {line.split()[-1] for line in dynamic.splitlines()
                if " GLOBAL " in line and " DEFAULT " in line and " UND " not in line}
    # exactly the functions the headers declare: none missing, nothing else
    declared = set(re.findall(r"fmi3\w+TYPE\s+(fmi3\w+);", (HEADERS / "fmi3Functions.h").read_text()))
    assert len(declared) > 70 and exported == declared, exported ^ declared
