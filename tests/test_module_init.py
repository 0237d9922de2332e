"""Each native module is created once per process, in one interpreter, and never re-run."""
import ctypes
import importlib
import subprocess
import sys
import textwrap
import types

import pytest

from support import MODULES

pytestmark = pytest.mark.parametrize("name", MODULES)


def test_second_import_returns_the_existing_module(name):
    module = importlib.import_module(name)
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = module
    assert again is module


def test_running_the_body_for_another_module_object_is_refused(name):
    module = importlib.import_module(name)
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(module)
    assert definition
    short = name.rsplit(".", 1)[1]
    with pytest.raises(
        RuntimeError,
        match=rf"^Module '{short}' has already been imported\. Re-initialisation is not supported\.$",
    ):
        api.PyModule_ExecDef(types.ModuleType(name), definition)
    # The original module is untouched and the same object is still exec'd as a no-op.
    assert api.PyModule_ExecDef(module, definition) == 0


def test_second_interpreter_is_refused(name):
    # In a fresh process: import in the main interpreter, then in a subinterpreter.
    code = textwrap.dedent(
        f"""
        import importlib, _xxsubinterpreters as interpreters
        importlib.import_module({name!r})
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import importlib; importlib.import_module({name!r})")
        except interpreters.RunFailedError as exc:
            print("FAILED:", exc)
        else:
            print("IMPORTED")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert (
        "ImportError'>: Interpreter change detected - this module can only be loaded into "
        "one interpreter per process." in out.stdout
    )


def test_no_version_warning_when_built_for_the_running_interpreter(name):
    # The module is built for this interpreter, so a fresh import with warnings as errors works.
    code = f"import warnings; warnings.simplefilter('error'); import {name}"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
