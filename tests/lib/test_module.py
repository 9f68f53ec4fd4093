"""The _native module as Python sees it: its namespace and import rules, the
BrokerError type, the closed shape and signatures of its classes and
functions, and the type stub shipped beside it."""

import importlib
import inspect
import json
import os
import pathlib
import subprocess
import sys
import weakref

import pytest

import tallowmere._native as native
from records import LINEAR, TREES, raised

# The namespace in registration order.
EXPECTED_ALL = ["Broker", "LinearScorer", "TreeScorer", "BrokerError", "score_linear",
                "score_trees", "__version__", "__engine__"]
DESCRIPTIONS = {
    "Broker.replay": "Deterministic, observational replay only. "
                     "This returns state and cannot dispatch effects.",
    "Broker.from_journal": "Recover authority after a restart. "
                           "Running effects become unknown; pending dispatches invalidate.",
}
INSTANCES = {native.Broker: (), native.LinearScorer: (LINEAR,), native.TreeScorer: (TREES,)}
FOLDER = pathlib.Path(native.__file__).parent
# Annotations name classes before they are defined.
STUB = {}
exec("from __future__ import annotations\n" + (FOLDER / "_native.pyi").read_text(), STUB)


def members(cls):
    """A class's own names in their order, dunders left out."""
    return [name for name in vars(cls) if not name.startswith("__")]


def test_namespace_functions_broker_error_and_reimport():
    assert native.__all__ == EXPECTED_ALL
    assert (native.__name__, native.__doc__, native.__version__) == (
        "tallowmere._native", "", "0.1.0")
    assert isinstance(native.__engine__, str) and native.__engine__
    error = native.BrokerError
    assert (error.__module__, error.__name__, error.__qualname__, error.__doc__) == (
        "_native", "BrokerError", "BrokerError", None)
    assert error.__mro__ == (error, RuntimeError, Exception, BaseException, object)
    for function in (native.score_trees, native.score_linear):
        assert function.__module__ == "tallowmere._native" and function.__self__ is native
    assert all(isinstance(vars(native.Broker)[name], staticmethod)
               for name in ("replay", "from_journal"))
    # Without its sys.modules entry the import system runs the module's
    # initialization again, and returns the cached module.
    del sys.modules["tallowmere._native"]
    try:
        again = importlib.import_module("tallowmere._native")
    finally:
        sys.modules["tallowmere._native"] = native
    assert again is native and again.__all__ == EXPECTED_ALL


@pytest.mark.parametrize("config, message", [
    # Legacy sub-interpreters share the main one's GIL and reach the module's
    # own check; isolated ones are refused by the import system before that.
    ("legacy", "tallowmere._native does not support sub-interpreters"),
    ("isolated", "does not support loading in subinterpreters"),
])
def test_second_interpreter_cannot_import(config, message):
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create(interpreters.new_config(config))
    try:
        failure = interpreters.exec(interp, "import tallowmere._native")
    finally:
        interpreters.destroy(interp)
    assert failure is not None, "import in a second interpreter succeeded"
    assert failure.type.__name__ == "ImportError" and message in failure.msg


@pytest.mark.parametrize("cls", INSTANCES, ids=lambda cls: cls.__name__)
def test_classes_are_closed_and_hold_only_the_stubs_members(cls):
    assert (cls.__module__, cls.__qualname__, cls.__doc__, cls.__mro__) == (
        "tallowmere._native", cls.__name__, None, (cls, object))
    assert members(cls) == members(STUB[cls.__name__])
    assert "not an acceptable base type" in str(raised(TypeError, type, "Derived", (cls,), {}))
    raised(TypeError, setattr, cls, "extra", None)
    instance = cls(*INSTANCES[cls])
    assert not hasattr(instance, "__dict__")
    for name in ("extra", "feature_names"):
        raised(AttributeError, setattr, instance, name, ["x", "y"])
    assert "cannot create weak reference" in str(raised(TypeError, weakref.ref, instance))


def text_signature(stubbed):
    """The text signature the stub's declaration asks for: "$self" for the
    instance, string defaults in double quotes."""
    return "(" + ", ".join(
        "$self" if p.name == "self" else p.name if p.default is p.empty else
        f"{p.name}={json.dumps(p.default) if isinstance(p.default, str) else p.default}"
        for p in inspect.signature(stubbed).parameters.values()) + ")"


def test_signatures_and_docstrings_match_the_shipped_stub():
    assert (FOLDER / "py.typed").is_file()
    assert STUB["__all__"] == EXPECTED_ALL
    declared = {name: STUB[name] for name in EXPECTED_ALL if inspect.isfunction(STUB.get(name))}
    for cls in INSTANCES:
        declared[cls.__name__] = STUB[cls.__name__]
        declared |= {f"{cls.__name__}.{name}": getattr(STUB[cls.__name__], name)
                     for name in members(STUB[cls.__name__]) if name != "feature_names"}
    assert len(declared) == 28 and set(DESCRIPTIONS) < set(declared)
    for dotted, stubbed in declared.items():
        owner, _, name = dotted.rpartition(".")
        callable_ = getattr(getattr(native, owner) if owner else native, name)
        assert callable_.__text_signature__ == text_signature(stubbed), dotted
        # Editors show the stub's documentation; the module's own stays bare.
        assert callable_.__doc__ == DESCRIPTIONS.get(dotted), dotted
        assert stubbed.__doc__, f"{dotted} has no docstring in the stub"
    # Keyword names are public; no argument message in test_arguments pins these.
    for cls, name, signature in ((native.Broker, "register_action", "($self, spec_json)"),
                                 (native.Broker, "checkpoint", "($self, acknowledged_tip)"),
                                 (native.LinearScorer, "score_f32",
                                  "($self, features_le_bytes, row_count)")):
        assert getattr(cls, name).__text_signature__ == signature
    for cls in (native.LinearScorer, native.TreeScorer):
        assert isinstance(vars(STUB[cls.__name__])["feature_names"], property)
        assert type(vars(cls)["feature_names"]).__name__ == "getset_descriptor"


def test_digests_ignore_the_hosts_openssl_configuration(tmp_path):
    # A configuration that asks for approved algorithms only, with no such
    # provider loaded, leaves the process-wide SHA-256 unusable.
    config = tmp_path / "openssl.cnf"
    config.write_text("openssl_conf = init\n[init]\nalg_section = evp\n"
                      "[evp]\ndefault_properties = fips=yes\n")
    script = ("import json, tallowmere._native as n; "
              "print(json.loads(n.Broker().journal())['checkpoint_hash'])")
    environment = dict(os.environ, OPENSSL_CONF=str(config))
    hashes = {subprocess.run([sys.executable, "-P", "-c", script], env=environment,
                             capture_output=True, text=True, check=True).stdout.strip()
              for _ in range(2)}
    assert hashes == {json.loads(native.Broker().journal())["checkpoint_hash"]}
