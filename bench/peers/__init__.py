"""Peer solvers for the benchmark suite. Each module offers `available()` -> (bool, text) and
`methods(problem, cfg)` -> list of Method records (see suite.py)."""
