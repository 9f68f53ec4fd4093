"""The _native module's namespace, its exception type and its import rules."""

import importlib
import sys
import textwrap

import pytest

import tallowmere._native as native

# The namespace in registration order.
EXPECTED_ALL = [
    "Broker",
    "LinearScorer",
    "TreeScorer",
    "BrokerError",
    "score_linear",
    "score_trees",
    "__version__",
    "__engine__",
]


def test_all_lists_the_namespace_in_registration_order():
    assert native.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL:
        assert hasattr(native, name), name


def test_module_identity():
    assert native.__name__ == "tallowmere._native"
    assert native.__doc__ == ""
    assert native.__version__ == "0.1.0"
    assert isinstance(native.__engine__, str) and native.__engine__


def test_broker_error_type():
    error = native.BrokerError
    assert error.__module__ == "_native"
    assert error.__name__ == "BrokerError"
    assert error.__qualname__ == "BrokerError"
    assert error.__doc__ is None
    assert error.__mro__ == (error, RuntimeError, Exception, BaseException, object)


def test_broker_error_carries_its_text_as_the_only_argument():
    with pytest.raises(RuntimeError) as caught:
        raise native.BrokerError("invalid_config: capacity bounds violated")
    assert caught.value.args == ("invalid_config: capacity bounds violated",)
    assert str(caught.value) == "invalid_config: capacity bounds violated"


def test_reimport_returns_the_cached_module():
    # Dropping the sys.modules entry makes the import system run the
    # module's initialization again.
    del sys.modules["tallowmere._native"]
    try:
        again = importlib.import_module("tallowmere._native")
    finally:
        sys.modules["tallowmere._native"] = native
    assert again is native
    assert again.__all__ == EXPECTED_ALL


@pytest.mark.parametrize(
    "config, message",
    [
        # Legacy sub-interpreters share the main one's GIL and reach the
        # module's own check.
        ("legacy", "tallowmere._native does not support sub-interpreters"),
        # Isolated ones are refused by the import system before that.
        ("isolated", "does not support loading in subinterpreters"),
    ],
)
def test_second_interpreter_cannot_import(config, message):
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create(interpreters.new_config(config))
    try:
        failure = interpreters.exec(interp, textwrap.dedent("""
            import tallowmere._native
        """))
    finally:
        interpreters.destroy(interp)
    assert failure is not None, "import in a second interpreter succeeded"
    assert failure.type.__name__ == "ImportError"
    assert message in failure.msg
