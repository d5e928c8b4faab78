"""examples/fit_motor.py as a reader runs it: the fit of the motor and load built from parts
recovers every true value within a few of its standard errors, and the plot is written."""

import importlib.util
import pathlib


def test_fit_motor_recovers_the_true_values_and_writes_its_plot(tmp_path, capsys):
    path = pathlib.Path(__file__).parents[2] / "examples" / "fit_motor.py"
    spec = importlib.util.spec_from_file_location("fit_motor", path)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    plot = tmp_path / "fit.png"
    result = example.main([str(plot)])
    assert result.success and not result.unidentifiable
    for name, true in example.TRUE.items():
        assert abs(result.values[name] - true) < 4 * result.standard_errors[name], name
        assert result.standard_errors[name] < 0.05 * true, name
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "motor.J_r" in capsys.readouterr().out
