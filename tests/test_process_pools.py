"""The functions work from both kinds of process pool, panics included: a
panic reaches the parent as itself from ProcessPoolExecutor, and through
the recipe in the README (turn it into an Exception in the task) from
multiprocessing.Pool, whose workers die on a BaseException."""
import pickle
import subprocess
import sys
import textwrap

import tessarin

SCRIPT = textwrap.dedent("""
    import concurrent.futures, multiprocessing, tessarin

    def task(metric):
        try:
            return tessarin.fuzzy_raw_extract("hello world", "wrld", False, False, metric, 1, 0, [])
        except BaseException as error:
            if type(error).__name__ != "PanicException":
                raise
            raise ValueError(str(error)) from None

    def outcome(get):
        try:
            return get()
        except BaseException as error:
            kind = type(error)
            return f"{kind.__module__}.{kind.__qualname__}", kind.__bases__, error.args

    if __name__ == "__main__":
        # Spawned workers import everything afresh, and this process has
        # not met a panic before it unpickles one.
        context = multiprocessing.get_context("spawn")
        with context.Pool(2) as pool:
            for metric in ("levenshtein", "nope"):
                print(outcome(lambda: pool.map_async(task, [metric]).get(60)))
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
            for metric in ("levenshtein", "nope"):
                call = ("hello world", "wrld", False, False, metric, 1, 0, [])
                print(outcome(lambda: executor.submit(tessarin.fuzzy_raw_extract, *call).result(60)))
""")


def test_pools_return_results_and_panics(tmp_path):
    script = tmp_path / "pools.py"
    script.write_text(SCRIPT)
    finished = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert finished.returncode == 0, finished.stderr
    found = repr(tessarin.fuzzy_raw_extract("hello world", "wrld", False, False, "levenshtein", 1, 0, []))
    assert finished.stdout.splitlines() == [
        f"[{found}]",
        "('builtins.ValueError', (<class 'Exception'>,), ('Invalid distance metric',))",
        found,
        "('pyo3_runtime.PanicException', (<class 'BaseException'>,), ('Invalid distance metric',))",
    ]


def test_a_panic_survives_pickling_as_itself():
    try:
        tessarin.fuzzy_raw_extract("abc", "b", False, False, "nope", 1, 0, [])
    except BaseException as error:  # the panic class deliberately escapes Exception
        panic = error
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(panic, protocol))
        assert type(copy) is type(panic) and copy.args == panic.args
