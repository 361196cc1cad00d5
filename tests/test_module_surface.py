"""The module object, argument binding and conversion, results, panics and imports."""
import importlib
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tessarin
from conftest import FUNCTION_NAMES, call, valid_arguments, with_parameter

def quoted_names(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


# --- the module object -------------------------------------------------------

def test_module_exposes_only_its_functions_doc_and_all():
    assert tessarin.__all__ == FUNCTION_NAMES
    assert isinstance(tessarin.__doc__, str) and tessarin.__doc__.strip()
    added_by_interpreter = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(tessarin)) - added_by_interpreter == {"__all__", *FUNCTION_NAMES}


@pytest.mark.parametrize("function_name", FUNCTION_NAMES)
def test_function_is_a_builtin_bound_to_the_module(function_name):
    function = getattr(tessarin, function_name)
    parameters = list(valid_arguments(function_name))
    assert type(function) is type(len)
    assert function.__name__ == function_name
    assert function.__module__ == "tessarin"
    assert function.__self__ is tessarin
    assert function.__doc__ is None
    assert function.__text_signature__ == f"({', '.join(parameters)})"
    signature = inspect.signature(function)
    assert list(signature.parameters) == parameters
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in signature.parameters.values())


# --- binding -------------------------------------------------------------------

@pytest.mark.parametrize("function_name", FUNCTION_NAMES)
def test_binding_by_position_by_keyword_and_mixed_agree(function_name):
    arguments = valid_arguments(function_name)
    values = list(arguments.values())
    function = getattr(tessarin, function_name)
    outcomes = [function(*args, **kwargs) for args, kwargs in [
        (values, {}), ((), dict(reversed(arguments.items()))), (values[:2], dict(list(arguments.items())[2:]))]]
    assert outcomes[0] == outcomes[1] == outcomes[2]


@pytest.mark.parametrize("given, message", [
    (4, "exact_raw_extract() missing 1 required positional argument: 'strategies'"),
    (3, "exact_raw_extract() missing 2 required positional arguments: 'special_char_insensitive' and 'strategies'"),
    (2, "exact_raw_extract() missing 3 required positional arguments: "
        "'case_insensitive', 'special_char_insensitive', and 'strategies'"),
    (6, "exact_raw_extract() takes 5 positional arguments but 6 were given"),
])
def test_binding_messages_word_for_word(given, message):
    values = list(valid_arguments("exact_raw_extract").values()) + ["extra"]
    with pytest.raises(TypeError) as raised:
        tessarin.exact_raw_extract(*values[:given])
    assert str(raised.value) == message


@pytest.mark.parametrize("function_name", FUNCTION_NAMES)
def test_binding_errors_and_their_order(function_name):
    arguments = valid_arguments(function_name)
    names, values = list(arguments), list(arguments.values())
    function = getattr(tessarin, function_name)

    def message_of(*args, **kwargs):
        with pytest.raises(TypeError) as raised:
            function(*args, **kwargs)
        return str(raised.value)

    prefix = f"{function_name}()"
    too_many = f"{prefix} takes {len(names)} positional arguments but {len(names) + 1} were given"
    assert message_of(*values, None) == too_many
    # The positional count is checked before any keyword.
    assert message_of(*values, None, bogus=1, s="x") == too_many
    # Keywords are checked one by one in the order passed.
    assert message_of(*values, bogus=1, s="x") == f"{prefix} got an unexpected keyword argument 'bogus'"
    assert message_of(*values, s="x", bogus=1) == f"{prefix} got multiple values for argument 's'"
    assert message_of(S="x") == f"{prefix} got an unexpected keyword argument 'S'"
    # Every unfilled parameter is listed, in parameter order, after the keywords pass.
    assert message_of() == f"{prefix} missing {len(names)} required positional arguments: {quoted_names(names)}"
    last = names[-1]
    assert message_of(**{last: arguments[last]}) == (
        f"{prefix} missing {len(names) - 1} required positional arguments: {quoted_names(names[:-1])}")
    # Binding happens before conversion: a wrong type does not hide a missing argument.
    assert message_of(1) == f"{prefix} missing {len(names) - 1} required positional arguments: {quoted_names(names[1:])}"


# --- conversion ----------------------------------------------------------------

class StrSubclass(str):
    pass


TYPE_ERRORS = [
    ("s", 5, "'int' object cannot be converted to 'PyString'"),
    ("pattern", None, "'NoneType' object cannot be converted to 'PyString'"),
    ("tokenizer_pattern", b" ", "'bytes' object cannot be converted to 'PyString'"),
    ("metric", ["levenshtein"], "'list' object cannot be converted to 'PyString'"),
    ("case_insensitive", 1, "'int' object cannot be converted to 'PyBool'"),
    ("special_char_insensitive", 0, "'int' object cannot be converted to 'PyBool'"),
    ("case_insensitive", None, "'NoneType' object cannot be converted to 'PyBool'"),
    ("special_char_insensitive", np.int64(1), "'int64' object cannot be converted to 'PyBool'"),
    ("threshold", "0.5", "must be real number, not str"),
    ("threshold", None, "must be real number, not NoneType"),
    ("threshold_kind", 1.0, "'float' object cannot be interpreted as an integer"),
    ("threshold_kind", "1", "'str' object cannot be interpreted as an integer"),
    ("strategies", "best_match", "Can't extract `str` to `Vec`"),
    ("strategies", StrSubclass("best_match"), "Can't extract `str` to `Vec`"),
    ("strategies", {"best_match"}, "'set' object cannot be converted to 'Sequence'"),
    ("strategies", {"best_match": 1}, "'dict' object cannot be converted to 'Sequence'"),
    ("strategies", None, "'NoneType' object cannot be converted to 'Sequence'"),
    ("strategies", 3, "'int' object cannot be converted to 'Sequence'"),
    ("strategies", ["best_match", 1], "'int' object cannot be converted to 'PyString'"),
    ("strategies", ("longest", None), "'NoneType' object cannot be converted to 'PyString'"),
    ("strategies", b"ab", "'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("function_name, parameter, value, message", [
    pytest.param(name, parameter, value, message, id=f"{name}-{parameter}-{type(value).__name__}")
    for parameter, value, message in TYPE_ERRORS for name in with_parameter(parameter)
])
def test_type_errors_name_the_argument_and_keep_the_cause(function_name, parameter, value, message):
    with pytest.raises(TypeError) as raised:
        call(function_name, **{parameter: value})
    assert type(raised.value) is TypeError
    assert str(raised.value) == f"argument '{parameter}': {message}"
    assert type(raised.value.__cause__) is TypeError
    assert str(raised.value.__cause__) == message


@pytest.mark.parametrize("function_name, parameter, value, error_type, message", [
    pytest.param(name, parameter, value, error_type, message, id=f"{name}-{parameter}-{value!r}")
    for parameter, value, error_type, message in [
        ("s", "\ud800", UnicodeEncodeError, None),
        ("metric", "x\udfff", UnicodeEncodeError, None),
        ("threshold_kind", 256, OverflowError, "out of range integral type conversion attempted"),
        ("threshold_kind", -1, OverflowError, "out of range integral type conversion attempted"),
        ("threshold_kind", 2**70, OverflowError, "Python int too large to convert to C long"),
        ("threshold", 10**400, OverflowError, "int too large to convert to float"),
    ] for name in with_parameter(parameter)
])
def test_other_conversion_errors_pass_unchanged(function_name, parameter, value, error_type, message):
    with pytest.raises(error_type) as raised:
        call(function_name, **{parameter: value})
    assert type(raised.value) is error_type
    if error_type is UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError) as reference:
            value.encode("utf-8")
        message = str(reference.value)
    assert str(raised.value) == message


BAD_VALUES = {"s": 1, "pattern": 1, "tokenizer_pattern": 1, "metric": 1, "case_insensitive": 1,
              "special_char_insensitive": 1, "threshold": "x", "threshold_kind": 1.5, "strategies": 1}


@pytest.mark.parametrize("function_name, parameter", [
    (name, parameter) for name in FUNCTION_NAMES for parameter in valid_arguments(name)
])
def test_only_the_first_bad_argument_in_parameter_order_is_reported(function_name, parameter):
    parameters = list(valid_arguments(function_name))
    from_here_on = parameters[parameters.index(parameter):]
    with pytest.raises(TypeError) as raised:
        call(function_name, **{name: BAD_VALUES[name] for name in from_here_on})
    assert str(raised.value).startswith(f"argument '{parameter}': ")


class Floatish:
    def __float__(self):
        return 0.25


class IndexOne:
    def __index__(self):
        return 1


HELLO = {"s": "hello world", "pattern": "wrld", "threshold": 0.25, "threshold_kind": 1}


@pytest.mark.parametrize("function_name, overrides, expected", [
    ("exact_raw_extract", {"s": StrSubclass("ABC"), "case_insensitive": np.True_}, [(1, 2, 0.0)]),
    ("exact_raw_extract", {"s": "ABC", "case_insensitive": np.bool_(False)}, []),
    ("exact_raw_extract", {"strategies": ("shortest",)}, [(1, 2, 0.0), (3, 4, 0.0)]),
    ("exact_raw_extract", {"strategies": ["no such strategy", StrSubclass("longest")]}, [(1, 2, 0.0), (3, 4, 0.0)]),
    ("exact_token_extract", {"s": "x @ y", "pattern": "a", "special_char_insensitive": np.True_}, [(2, 3, 0.0)]),
    ("fuzzy_raw_extract", {**HELLO, "threshold_kind": True}, [(6, 11, 0.2)]),
    ("fuzzy_raw_extract", {**HELLO, "threshold_kind": 255}, [(6, 11, 0.2)]),
    ("fuzzy_raw_extract", {**HELLO, "threshold_kind": IndexOne()}, [(6, 11, 0.2)]),
    ("fuzzy_raw_extract", {**HELLO, "threshold": Floatish()}, [(6, 11, 0.2)]),
    ("fuzzy_raw_extract", {**HELLO, "threshold": np.float64(0.25), "strategies": ("best_match",)}, [(6, 11, 0.2)]),
    ("fuzzy_raw_extract", {**HELLO, "threshold": 1, "threshold_kind": 0}, [(7, 11, 1.0)]),
    # Read as a normalized threshold of 1, the one token 'abcb' scores 3/4.
    ("fuzzy_token_extract", {"threshold": IndexOne(), "threshold_kind": np.int64(3)}, [(0, 4, 0.75)]),
    # 'A@aB' folds to 'a@ab' and splits at 'a'; read the other way round the
    # flags would fold '@' to 'a' too, or leave the separator 'A' unmatched.
    ("fuzzy_token_extract", {"s": "A@aB", "pattern": "@", "tokenizer_pattern": "A",
                             "case_insensitive": np.True_, "special_char_insensitive": np.bool_(False)},
     [(1, 2, 0.0)]),
])
def test_accepted_arguments(function_name, overrides, expected):
    assert call(function_name, **overrides) == expected


class LenRaisingSequence:
    """A sequence whose size query fails; its items come through __getitem__."""

    def __init__(self, items, failing_index=None):
        self.items, self.failing_index, self.reads = items, failing_index, []

    def __len__(self):
        raise RuntimeError("no size")

    def __getitem__(self, index):
        self.reads.append(index)
        if index == self.failing_index:
            raise ValueError("broken item")
        return self.items[index]


@pytest.mark.parametrize("function_name", with_parameter("strategies"))
def test_strategies_convert_by_iteration_when_the_size_query_fails(function_name):
    strategies = LenRaisingSequence(["shortest", "best_match"])
    call(function_name, strategies=strategies)
    assert strategies.reads == [0, 1, 2]
    with pytest.raises(ValueError, match="^broken item$"):
        call(function_name, strategies=LenRaisingSequence(["shortest", "best_match"], failing_index=1))


class HiddenQualnameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("qualified name withheld")
        return super().__getattribute__(name)


class HiddenQualname(metaclass=HiddenQualnameMeta):
    pass


def test_type_name_that_cannot_be_read_still_gives_the_type_error():
    # Whether the name is read through attribute access (which the metaclass
    # can make fail) or straight from the type object is the binding's choice.
    with pytest.raises(TypeError) as raised:
        call("exact_raw_extract", s=HiddenQualname())
    assert str(raised.value) in {
        f"argument 's': '{name}' object cannot be converted to 'PyString'"
        for name in ("<failed to extract type name>", "HiddenQualname")
    }


# --- results -------------------------------------------------------------------

@pytest.mark.parametrize("function_name, overrides, expected", [
    ("exact_raw_extract", {}, [(1, 2, 0.0), (3, 4, 0.0)]),
    ("exact_token_extract", {"s": "x a b y", "pattern": "a b"}, [(2, 5, 0.0)]),
    ("fuzzy_raw_extract", {**HELLO, "strategies": ["best_match"]}, [(6, 11, 0.2)]),
    ("fuzzy_token_extract", {"s": "x a b y", "pattern": "a c", "threshold": 1}, [(2, 5, 1.0)]),
])
def test_results_are_lists_of_int_int_float_tuples(function_name, overrides, expected):
    result = call(function_name, **overrides)
    assert type(result) is list
    assert all(type(item) is tuple and [type(value) for value in item] == [int, int, float] for item in result)
    assert result == expected


@pytest.mark.parametrize("function_name", FUNCTION_NAMES)
def test_finding_nothing_returns_a_new_empty_list(function_name):
    first = call(function_name, pattern="zz")
    second = call(function_name, pattern="zz")
    assert first == [] and type(first) is list
    assert first is not second


# --- the panic exception --------------------------------------------------------

def panic_of(function_name, **overrides):
    try:
        call(function_name, **overrides)
    except BaseException as error:  # the panic class deliberately escapes Exception
        return error
    pytest.fail(f"{function_name} returned instead of failing")


def test_unknown_metric_raises_the_panic_exception():
    panic = panic_of("fuzzy_raw_extract", s="abc", pattern="b", metric="nope")
    panic_class = type(panic)
    assert f"{panic_class.__module__}.{panic_class.__qualname__}" == "pyo3_runtime.PanicException"
    assert panic_class.__name__ == "PanicException"
    assert panic_class.__bases__ == (BaseException,)
    assert not isinstance(panic, Exception)
    assert isinstance(panic_class.__doc__, str) and panic_class.__doc__.strip()
    assert str(panic) == "Invalid distance metric"
    assert panic.args == ("Invalid distance metric",)


def test_every_panic_shares_one_class():
    metric_panic = panic_of("fuzzy_raw_extract", s="abc", pattern="b", metric="nope")
    token_metric_panic = panic_of("fuzzy_token_extract", s="a b", pattern="b", metric="nope")
    empty_window_panic = panic_of("exact_token_extract", s="abc", pattern="", tokenizer_pattern="")
    assert type(metric_panic) is type(token_metric_panic) is type(empty_window_panic)
    assert str(token_metric_panic) == "Invalid distance metric"


# --- importing -----------------------------------------------------------------

def test_importing_again_yields_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "tessarin")
    assert importlib.import_module("tessarin") is tessarin


def test_reloading_yields_the_same_working_module():
    assert importlib.reload(tessarin) is tessarin
    assert tessarin.exact_raw_extract("abc", "b", False, False, []) == [(1, 2, 0.0)]


# Imports tessarin in a new subinterpreter, isolated (it takes no
# single-phase module) or not, and prints the refusal or "imported". 3.12 and
# 3.13 name the private module and its calls differently.
IN_SUBINTERPRETER = textwrap.dedent("""
    import sys
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters

        def import_in_subinterpreter(isolated):
            interpreter = interpreters.create("isolated" if isolated else "legacy")
            failure = interpreters.run_string(interpreter, "import tessarin")
            interpreters.destroy(interpreter)
            print(f"refused: {failure.type.__name__}: {failure.msg}" if failure else "imported")
    else:
        import _xxsubinterpreters as interpreters

        def import_in_subinterpreter(isolated):
            interpreter = interpreters.create(isolated=isolated)
            try:
                interpreters.run_string(interpreter, "import tessarin")
            except interpreters.RunFailedError as error:
                print("refused:", str(error).replace("<class 'ImportError'>", "ImportError"))
            else:
                print("imported")
            interpreters.destroy(interpreter)

    def import_here():
        try:
            import tessarin
        except ImportError as error:
            print("refused here:", error)
        else:
            print(tessarin.exact_raw_extract("abc", "b", False, False, []))
""")
INTERPRETERS_REFUSAL = "refused: ImportError: module tessarin does not support loading in subinterpreters"
MODULE_REFUSAL = "tessarin does not support subinterpreters: it can only be imported in the first interpreter that imported it"


@pytest.mark.parametrize("steps, expected", [
    # Imported here first: a subinterpreter that would take it is refused by
    # the module itself, and the module still works here.
    (["import_here()", "import_in_subinterpreter(isolated=False)", "import_here()"],
     ["[(1, 2, 0.0)]", f"refused: ImportError: {MODULE_REFUSAL}", "[(1, 2, 0.0)]"]),
    # An isolated subinterpreter refuses it itself. Asked first, it must leave
    # the module to the next interpreter, which then owns it as usual.
    (["import_in_subinterpreter(isolated=True)", "import_here()", "import_in_subinterpreter(isolated=False)",
      "import_in_subinterpreter(isolated=True)"],
     [INTERPRETERS_REFUSAL, "[(1, 2, 0.0)]", f"refused: ImportError: {MODULE_REFUSAL}", INTERPRETERS_REFUSAL]),
    # A subinterpreter that takes it first owns it, and this one is refused:
    # whatever the interpreter does for the main one on the way (3.13 runs
    # the init function there first) must not make it the owner.
    (["import_in_subinterpreter(isolated=False)", "import_here()"],
     ["imported", f"refused here: {MODULE_REFUSAL}"]),
])
def test_the_first_interpreter_that_keeps_the_module_owns_it(steps, expected):
    # Run apart: a faulty refusal could leave this interpreter unusable.
    script = IN_SUBINTERPRETER + "\n".join(steps)
    finished = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.splitlines() == expected
