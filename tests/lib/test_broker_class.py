"""The Broker class as Python sees it: its name, signatures and docstrings, its
closed shape, and the type stub shipped beside the module."""

import ast
import inspect
import pathlib
import weakref

import pytest

import tallowmere._native as native
from tallowmere._native import Broker

METHODS = {
    "register_action": "($self, spec_json)",
    "observe": "($self, event_json)",
    "submit": "($self, intent_json)",
    "begin": "($self, intent_id)",
    "finish": "($self, intent_id, outcome_json)",
    "reconcile": "($self, intent_id, outcome_json)",
    "cancel": "($self, intent_id)",
    "revoke": "($self, capability)",
    "expire": "($self)",
    "enqueue": "($self, event_json, control=False)",
    "drain": "($self, limit=1)",
    "now_ms": "($self)",
    "snapshot": "($self)",
    "journal": "($self)",
    "checkpoint": "($self, acknowledged_tip)",
    "replay": "(journal_json)",
    "from_journal": "(journal_json)",
}

DESCRIPTIONS = {
    "replay": "Deterministic, observational replay only. "
              "This returns state and cannot dispatch effects.",
    "from_journal": "Recover authority after a restart. "
                    "Running effects become unknown; pending dispatches invalidate.",
}


def test_class_identity_and_constructor_signature():
    assert Broker.__module__ == "tallowmere._native"
    assert Broker.__name__ == Broker.__qualname__ == "Broker"
    assert Broker.__doc__ is None
    assert Broker.__text_signature__ == '(config_json="{}")'
    assert str(inspect.signature(Broker)) == "(config_json='{}')"
    assert Broker.__mro__ == (Broker, object)


def test_methods_in_table_order_with_their_signatures():
    defined = [name for name in vars(Broker) if not name.startswith("__")]
    assert defined == list(METHODS)
    for name, signature in METHODS.items():
        method = getattr(Broker, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ == DESCRIPTIONS.get(name), name
    assert isinstance(vars(Broker)["replay"], staticmethod)
    assert isinstance(vars(Broker)["from_journal"], staticmethod)


def test_the_class_is_closed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (Broker,), {})
    broker = Broker()
    assert not hasattr(broker, "__dict__")
    with pytest.raises(AttributeError):
        broker.anything = 1
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(broker)
    with pytest.raises(TypeError):
        Broker.replay = None


def is_property(node):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def stub_functions():
    """Every function of the installed stub but properties, by dotted name,
    with its parameters as (name, default source) pairs, self left out."""
    stub = pathlib.Path(native.__file__).with_name("_native.pyi")
    functions = {}

    def collect(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                collect(node.body, f"{node.name}.")
            elif isinstance(node, ast.FunctionDef) and not is_property(node):
                params = node.args.args
                defaults = [None] * (len(params) - len(node.args.defaults)) + node.args.defaults
                functions[prefix + node.name] = [
                    (param.arg, None if default is None else ast.unparse(default))
                    for param, default in zip(params, defaults)
                    if param.arg not in ("self", "cls")]

    collect(ast.parse(stub.read_text()).body, "")
    return functions


def test_the_shipped_stub_matches_every_runtime_signature():
    assert pathlib.Path(native.__file__).with_name("py.typed").is_file()
    functions = stub_functions()
    for dotted, params in functions.items():
        owner, _, name = dotted.rpartition(".")
        if name == "__new__":
            runtime = getattr(native, owner)
        else:
            runtime = getattr(getattr(native, owner) if owner else native, name)
        expected = [(p.name, None if p.default is p.empty else repr(p.default))
                    for p in inspect.signature(runtime).parameters.values()
                    if p.name != "self"]
        assert params == expected, dotted
    assert {name for name in functions if name.startswith("Broker.")} == {
        f"Broker.{name}" for name in METHODS} | {"Broker.__new__"}
