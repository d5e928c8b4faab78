"""The damped pendulum exported as an FMU and run by FMPy, an importer that knows nothing of
zarel: the FMU validates; Co-Simulation gives zarel.simulate's values on the same grid bit for
bit; Model Exchange, integrated by FMPy's CVODE, agrees with a tight run. Then the series RLC
circuit without its resistor: the energy that Co-Simulation by implicit midpoint keeps, against
what CVODE loses.

    python examples/fmu_roundtrip.py [FOLDER]
"""

import pathlib
import sys
import tempfile

import numpy as np

import zarel

HERE = pathlib.Path(__file__).resolve().parent


def main(argv: "list[str] | None" = None) -> dict[str, float]:
    from fmpy import simulate_fmu
    from fmpy.validation import validate_fmu

    args = sys.argv[1:] if argv is None else argv
    folder = pathlib.Path(args[0]) if args else pathlib.Path(tempfile.mkdtemp())
    folder.mkdir(parents=True, exist_ok=True)
    system = zarel.load(HERE / "pendulum.json")
    path = system.to_fmu(folder / "pendulum.fmu", method="midpoint", grid_steps=True, x0={"theta": 1.0})
    problems = validate_fmu(str(path))
    print(f"   {path.name}: {len(problems)} problems found by fmpy.validation")

    # Co-Simulation: FMPy steps the FMU every millisecond with the torque tau = 0.2 held
    names = ["theta", "p", "angular_velocity", "energy"]
    cs = simulate_fmu(str(path), fmi_type="CoSimulation", stop_time=2.0, output_interval=1e-3,
                      start_values={"tau": 0.2}, output=names)
    run = zarel.simulate(system, {"theta": 1.0}, cs["time"], u={"tau": 0.2}, method="midpoint", grid_steps=True)
    cs_difference = max(float(np.abs(cs[name] - run.x[:, i]).max()) for i, name in enumerate(("theta", "p")))
    print(f"   Co-Simulation against zarel.simulate on the same grid: largest difference {cs_difference:g}")

    # Model Exchange: FMPy's CVODE integrates the FMU's derivatives
    me = simulate_fmu(str(path), fmi_type="ModelExchange", solver="CVode", relative_tolerance=1e-10,
                      stop_time=2.0, output_interval=1e-3, start_values={"tau": 0.2}, output=names)
    tight = zarel.simulate(system, {"theta": 1.0}, me["time"], u={"tau": 0.2}, method="dop853", rtol=1e-13,
                           atol=1e-14)
    me_error = max(float(np.abs(me[name] - tight.x[:, i]).max()) for i, name in enumerate(("theta", "p")))
    print(f"   Model Exchange under CVODE (rtol 1e-10) against a tight run: states within {me_error:.2g}")

    # Without its resistor the circuit keeps its energy, a quadratic one, which implicit midpoint
    # keeps to round-off; CVODE keeps it to its tolerances (FMPy's absolute one is rtol times the
    # states' nominal values, 1 here, where the charge is about 1e-3).
    circuit = zarel.load(HERE / "rlc_series.json").to_fmu(folder / "rlc_series.fmu", x0={"q": 1e-3})
    lossless = {"V": 0.0, "R": 0.0}
    kept = simulate_fmu(str(circuit), fmi_type="CoSimulation", stop_time=10.0, output_interval=1e-3,
                        start_values=lossless, output=["energy"])["energy"]
    lost = simulate_fmu(str(circuit), fmi_type="ModelExchange", solver="CVode", relative_tolerance=1e-8,
                        stop_time=10.0, output_interval=1e-3, start_values=lossless, output=["energy"])["energy"]
    drift_cs = float(np.abs(kept / kept[0] - 1).max())
    drift_me = float(np.abs(lost / lost[0] - 1).max())
    print(f"   series LC, 10 s: relative energy drift {drift_cs:.2g} in Co-Simulation by implicit midpoint, "
          f"{drift_me:.2g} in Model Exchange under CVODE at rtol 1e-8")
    return {"problems": len(problems), "cs_difference": cs_difference, "me_error": me_error,
            "drift_cs": drift_cs, "drift_me": drift_me}


if __name__ == "__main__":
    main()
