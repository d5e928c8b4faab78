"""Loads every example model shipped in examples/ and prints what it is."""
import pathlib

import zarel_engine

here = pathlib.Path(__file__).parent
for path in sorted(here.glob("*.json")):
    model = zarel_engine.Model(path.read_text())
    print(f"{path.name}: {model!r}")
