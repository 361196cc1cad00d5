// The extension module `tessarin`: its initialisation, the four entry
// functions and the mapping of failures to Python exceptions. Each entry
// function binds its arguments, converts them once, hands them to its
// extractor and turns the matches into a list of (start, end, score).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "extract/extract.hpp"

namespace tessarin::bindings {
namespace {

constexpr const char* module_doc =
    "Find where a pattern occurs in a text, exactly or fuzzily, over character or token windows.";

// Raised for a condition that an extractor cannot handle. It derives from
// BaseException so that `except Exception` does not swallow it.
PyObject* panic_exception()
{
    static PyObject* type = nullptr;
    if (!type)
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "The exception raised when a call cannot go on.\n\n"
            "It derives from BaseException, not Exception, so that it propagates through the stack "
            "instead of being caught by handlers meant for ordinary errors.",
            PyExc_BaseException, nullptr);
    return type;
}

void raise_panic(const char* message)
{
    if (PyObject* type = panic_exception()) {
        PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::char_traits<char>::length(message)),
                                              "replace");
        if (text) {
            PyErr_SetObject(type, text);
            Py_DECREF(text);
        }
    }
}

// Builds the result list. The collector stays off meanwhile: the new tuples
// cannot form cycles, and a collection every few hundred of them would
// otherwise traverse the growing list again and again.
PyObject* to_python(const MatchList& matches)
{
    constexpr std::size_t few = 256; // too few new tuples to set off a collection worth avoiding
    const int collector_was_enabled = matches.size() > few ? PyGC_Disable() : 0;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(matches.size()));
    PyObject* zero = PyFloat_FromDouble(0.0); // exact matches share one score object
    bool complete = list && zero;
    for (std::size_t i = 0; complete && i < matches.size(); ++i) {
        const Match& match = matches[i];
        PyObject* item = PyTuple_New(3);
        PyObject* start = PyLong_FromUnsignedLongLong(match.start);
        PyObject* end = PyLong_FromUnsignedLongLong(match.end);
        PyObject* score = match.score == 0.0 && !std::signbit(match.score) ? Py_NewRef(zero)
                                                                          : PyFloat_FromDouble(match.score);
        complete = item && start && end && score;
        if (!complete) {
            Py_XDECREF(item);
            Py_XDECREF(start);
            Py_XDECREF(end);
            Py_XDECREF(score);
            break;
        }
        PyTuple_SET_ITEM(item, 0, start);
        PyTuple_SET_ITEM(item, 1, end);
        PyTuple_SET_ITEM(item, 2, score);
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    Py_XDECREF(zero);
    if (!complete) Py_CLEAR(list);
    if (collector_was_enabled) PyGC_Enable();
    return list;
}

// Runs the interpreter's signal handlers now and then during a long call,
// so Ctrl-C ends it with KeyboardInterrupt. The lock stays held throughout.
bool interrupted(void*)
{
    return PyErr_CheckSignals() != 0;
}

Cancellation python_signals() noexcept
{
    return Cancellation(interrupted, nullptr);
}

// The one place where C++ exceptions stop: none may cross into the
// interpreter. Running out of memory becomes MemoryError and leaves the
// interpreter usable.
template <typename Body>
PyObject* exception_barrier(Body&& body) noexcept
{
    try {
        return body();
    } catch (const CallCancelled&) {
        // The signal handler's exception (KeyboardInterrupt) is already set.
    } catch (const ExtractionFailure& failure) {
        raise_panic(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unexpected failure in the extension");
    }
    return nullptr;
}

PyObject* exact_raw_extract_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return exception_barrier([&]() -> PyObject* {
        static const char* const names[] = {"s", "pattern", "case_insensitive", "special_char_insensitive",
                                            "strategies"};
        PyObject* bound[5];
        std::string s, pattern;
        bool case_insensitive = false, special_char_insensitive = false;
        std::vector<std::string> strategies;
        if (!bind_arguments("exact_raw_extract", names, 5, args, nargsf, kwnames, bound) ||
            !convert_string(bound[0], names[0], s) || !convert_string(bound[1], names[1], pattern) ||
            !convert_flag(bound[2], names[2], case_insensitive) ||
            !convert_flag(bound[3], names[3], special_char_insensitive) ||
            !convert_strategies(bound[4], names[4], strategies))
            return nullptr;
        return to_python(exact_raw_extract(std::move(s), std::move(pattern), case_insensitive,
                                           special_char_insensitive, strategies, python_signals()));
    });
}

PyObject* exact_token_extract_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return exception_barrier([&]() -> PyObject* {
        static const char* const names[] = {"s", "pattern", "tokenizer_pattern", "case_insensitive",
                                            "special_char_insensitive"};
        PyObject* bound[5];
        std::string s, pattern, tokenizer_pattern;
        bool case_insensitive = false, special_char_insensitive = false;
        if (!bind_arguments("exact_token_extract", names, 5, args, nargsf, kwnames, bound) ||
            !convert_string(bound[0], names[0], s) || !convert_string(bound[1], names[1], pattern) ||
            !convert_string(bound[2], names[2], tokenizer_pattern) ||
            !convert_flag(bound[3], names[3], case_insensitive) ||
            !convert_flag(bound[4], names[4], special_char_insensitive))
            return nullptr;
        return to_python(exact_token_extract(std::move(s), std::move(pattern), std::move(tokenizer_pattern),
                                             case_insensitive, special_char_insensitive, python_signals()));
    });
}

PyObject* fuzzy_raw_extract_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return exception_barrier([&]() -> PyObject* {
        static const char* const names[] = {"s",      "pattern",   "case_insensitive", "special_char_insensitive",
                                            "metric", "threshold", "threshold_kind",   "strategies"};
        PyObject* bound[8];
        std::string s, pattern, metric;
        bool case_insensitive = false, special_char_insensitive = false;
        double threshold = 0.0;
        std::uint8_t threshold_kind = 0;
        std::vector<std::string> strategies;
        if (!bind_arguments("fuzzy_raw_extract", names, 8, args, nargsf, kwnames, bound) ||
            !convert_string(bound[0], names[0], s) || !convert_string(bound[1], names[1], pattern) ||
            !convert_flag(bound[2], names[2], case_insensitive) ||
            !convert_flag(bound[3], names[3], special_char_insensitive) ||
            !convert_string(bound[4], names[4], metric) || !convert_threshold(bound[5], names[5], threshold) ||
            !convert_threshold_kind(bound[6], names[6], threshold_kind) ||
            !convert_strategies(bound[7], names[7], strategies))
            return nullptr;
        return to_python(fuzzy_raw_extract(std::move(s), std::move(pattern), case_insensitive,
                                           special_char_insensitive, metric, threshold, threshold_kind, strategies,
                                           python_signals()));
    });
}

PyObject* fuzzy_token_extract_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return exception_barrier([&]() -> PyObject* {
        static const char* const names[] = {"s",
                                            "pattern",
                                            "tokenizer_pattern",
                                            "case_insensitive",
                                            "special_char_insensitive",
                                            "metric",
                                            "threshold",
                                            "threshold_kind",
                                            "strategies"};
        PyObject* bound[9];
        std::string s, pattern, tokenizer_pattern, metric;
        bool case_insensitive = false, special_char_insensitive = false;
        double threshold = 0.0;
        std::uint8_t threshold_kind = 0;
        std::vector<std::string> strategies;
        if (!bind_arguments("fuzzy_token_extract", names, 9, args, nargsf, kwnames, bound) ||
            !convert_string(bound[0], names[0], s) || !convert_string(bound[1], names[1], pattern) ||
            !convert_string(bound[2], names[2], tokenizer_pattern) ||
            !convert_flag(bound[3], names[3], case_insensitive) ||
            !convert_flag(bound[4], names[4], special_char_insensitive) ||
            !convert_string(bound[5], names[5], metric) || !convert_threshold(bound[6], names[6], threshold) ||
            !convert_threshold_kind(bound[7], names[7], threshold_kind) ||
            !convert_strategies(bound[8], names[8], strategies))
            return nullptr;
        return to_python(fuzzy_token_extract(std::move(s), std::move(pattern), std::move(tokenizer_pattern),
                                             case_insensitive, special_char_insensitive, metric, threshold,
                                             threshold_kind, strategies, python_signals()));
    });
}

PyMethodDef entry_functions[] = {
    {"exact_raw_extract", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exact_raw_extract_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "exact_raw_extract(s, pattern, case_insensitive, special_char_insensitive, strategies)\n--\n\n"},
    {"exact_token_extract", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exact_token_extract_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "exact_token_extract(s, pattern, tokenizer_pattern, case_insensitive, special_char_insensitive)\n--\n\n"},
    {"fuzzy_raw_extract", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_raw_extract_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_raw_extract(s, pattern, case_insensitive, special_char_insensitive, metric, threshold, "
     "threshold_kind, strategies)\n--\n\n"},
    {"fuzzy_token_extract", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_token_extract_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_token_extract(s, pattern, tokenizer_pattern, case_insensitive, special_char_insensitive, metric, "
     "threshold, threshold_kind, strategies)\n--\n\n"},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tessarin",
    module_doc,
    0,       // no per-module state
    nullptr, // functions are added one by one, each also listed in __all__
    nullptr, nullptr, nullptr, nullptr,
};

// Adds the function under its own name and appends the name to __all__.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition)
{
    PyObject* function = PyCMethod_New(definition, module, module_name, nullptr);
    if (!function) return false;
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    bool added = false;
    if (name) {
        PyObject* all = PyObject_GetAttrString(module, "__all__");
        if (!all && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            all = PyList_New(0);
            if (all && PyObject_SetAttrString(module, "__all__", all) < 0) Py_CLEAR(all);
        }
        added = all && PyList_Append(all, name) == 0 && PyObject_SetAttr(module, name, function) == 0;
        Py_XDECREF(all);
        Py_DECREF(name);
    }
    Py_DECREF(function);
    return added;
}

PyObject* create_module()
{
    PyObject* module = PyModule_Create(&module_definition);
    if (!module) return nullptr;
    PyObject* module_name = PyModule_GetNameObject(module);
    bool complete = module_name != nullptr;
    for (PyMethodDef& definition : entry_functions)
        complete = complete && add_function(module, module_name, &definition);
    Py_XDECREF(module_name);
    if (!complete) Py_CLEAR(module);
    return module;
}

// The first interpreter that imports the module owns it for the life of the
// process; -1 until then.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

} // namespace
} // namespace tessarin::bindings

PyMODINIT_FUNC PyInit_tessarin(void)
{
    using namespace tessarin::bindings;
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "tessarin does not support subinterpreters: it can only be imported in the first "
                        "interpreter that imported it");
        return nullptr;
    }
    if (module_object) return Py_NewRef(module_object);
    module_object = create_module();
    return module_object ? Py_NewRef(module_object) : nullptr;
}
