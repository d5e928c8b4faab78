"""Chooses the evaluation path of the models loaded inside a block: the interpreter (ZAREL_JIT=0)
or the default (machine code where available). The variable is read when a model is loaded, so
one process can measure and check both paths."""
import contextlib
import os


@contextlib.contextmanager
def evaluation_path(jit):
    saved = os.environ.pop("ZAREL_JIT", None)
    if not jit:
        os.environ["ZAREL_JIT"] = "0"
    try:
        yield
    finally:
        os.environ.pop("ZAREL_JIT", None)
        if saved is not None:
            os.environ["ZAREL_JIT"] = saved
