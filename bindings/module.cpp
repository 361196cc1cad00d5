// The extension module `tessarin`: its initialisation, the four entry
// functions and the mapping of failures to Python exceptions. Each entry
// function binds its arguments, converts them once, hands them to its
// extractor and turns the matches into a list of (start, end, score).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "extract/extract.hpp"
#include "extract/tiny.hpp"

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
        PyObject* text =
            PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::char_traits<char>::length(message)), "replace");
        if (text) {
            PyErr_SetObject(type, text);
            Py_DECREF(text);
        }
    }
}

// The module that the panic class names as its own, `pyo3_runtime`, is put
// into sys.modules when this module is created, so that pickle finds the
// class by its name: a panic raised in a worker process of a pool then
// reaches the parent as itself. The class is still made on first need, which
// may now be that of an unpickler asking for it.
PyObject* runtime_attribute(PyObject* runtime, PyObject* name)
{
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "PanicException") == 0)
        return Py_XNewRef(panic_exception());
    PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%S'", PyModule_GetName(runtime), name);
    return nullptr;
}

PyMethodDef runtime_getattr = {"__getattr__", runtime_attribute, METH_O, nullptr};

// Leaves a `pyo3_runtime` that is already there alone.
bool register_runtime_module()
{
    PyObject* runtime = PyModule_New("pyo3_runtime");
    if (!runtime) return false;
    PyObject* name = PyModule_GetNameObject(runtime);
    PyObject* getattr = name ? PyCMethod_New(&runtime_getattr, runtime, name, nullptr) : nullptr;
    const bool registered = getattr && PyModule_AddObjectRef(runtime, "__getattr__", getattr) == 0 &&
                            PyDict_SetDefault(PyImport_GetModuleDict(), name, runtime) != nullptr;
    Py_XDECREF(getattr);
    Py_XDECREF(name);
    Py_DECREF(runtime);
    return registered;
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

// The score object of a match. A score that is a small whole number (every
// exact match's, and most under an absolute threshold) is one float object
// made at its first use and shared from then on: a float never changes,
// and making and freeing one per match is much of the cost of a short call.
// The module lives as long as the process, and so does this table.
PyObject* score_object(double score)
{
    static PyObject* whole[tiny_most + 1] = {};
    if (!(score >= 0.0 && score <= static_cast<double>(tiny_most)) || std::signbit(score))
        return PyFloat_FromDouble(score);
    const auto index = static_cast<std::size_t>(score);
    if (static_cast<double>(index) != score) return PyFloat_FromDouble(score);
    if (!whole[index]) whole[index] = PyFloat_FromDouble(score);
    return Py_XNewRef(whole[index]);
}

// Builds the result list. The collector stays off meanwhile: the new tuples
// cannot form cycles, and a collection every few hundred of them would
// otherwise traverse the growing list again and again. A long list polls
// `cancel`; an interrupted one is dropped whole.
PyObject* to_python(const Match* matches, std::size_t count, Cancellation& cancel)
{
    constexpr std::size_t few = 256;          // too few new tuples to set off a collection worth avoiding
    constexpr std::uint64_t tuple_work = 256; // a tuple costs about as much as reading 256 code points
    const int collector_was_enabled = count > few ? PyGC_Disable() : 0;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    bool complete = list != nullptr;
    for (std::size_t i = 0; complete && i < count; ++i) {
        try {
            cancel.poll(tuple_work);
        } catch (const CallCancelled&) {
            complete = false;
            break;
        }
        const Match& match = matches[i];
        PyObject* item = PyTuple_New(3);
        PyObject* start = PyLong_FromUnsignedLongLong(match.start);
        PyObject* end = PyLong_FromUnsignedLongLong(match.end);
        PyObject* score = score_object(match.score);
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
    if (!complete) Py_CLEAR(list);
    if (collector_was_enabled) PyGC_Enable();
    return list;
}

// The one place where C++ exceptions stop: none may cross into the
// interpreter. Running out of memory becomes MemoryError and leaves the
// interpreter usable.
template <typename Body> PyObject* exception_barrier(Body&& body) noexcept
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

// The converted arguments of one call. An entry function fills the fields
// that its parameters name; the others keep their defaults.
struct CallArguments {
    TextArgument s, pattern, tokenizer_pattern;
    MetricChoice metric;
    bool case_insensitive = false;
    bool special_char_insensitive = false;
    double threshold = 0.0;
    std::uint8_t threshold_kind = 0;
    StrategyList strategies;
    Cancellation cancel = python_signals(); // for the whole call, conversions included
};

using Converter = bool (*)(PyObject* object, const char* parameter, CallArguments& into);

// Converts one argument with `convert` into the field `field`.
template <auto field, auto convert> bool convert_into(PyObject* object, const char* parameter, CallArguments& into)
{
    return convert(object, parameter, into.*field);
}

struct Parameter {
    const char* name;
    Converter convert;
};

// The arguments that nearly every call passes, read in line: an exact str
// of ASCII, True or False, an empty list. Anything else goes through the
// full conversion, which gives the same values for these.
bool read_text(PyObject* object, const char* parameter, TextArgument& value)
{
    if (!PyUnicode_CheckExact(object) || !PyUnicode_IS_ASCII(object)) return convert_text(object, parameter, value);
    value.data = PyUnicode_DATA(object);
    value.length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
    value.width = 1;
    value.ascii = true;
    return true;
}

bool read_flag(PyObject* object, const char* parameter, bool& value)
{
    if (object != Py_True && object != Py_False) return convert_flag(object, parameter, value);
    value = object == Py_True;
    return true;
}

bool read_strategies(PyObject* object, const char* parameter, StrategyList& value)
{
    return (PyList_CheckExact(object) && PyList_GET_SIZE(object) == 0) || convert_strategies(object, parameter, value);
}

// An exact int small enough to be held in one machine word, else nothing.
bool small_int(PyObject* object, Py_ssize_t& value)
{
    if (!PyLong_CheckExact(object) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) return false;
    value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
    return true;
}

// A compact int is below 2**62 in size, so its value as a double is exact,
// as float() gives it.
bool read_threshold(PyObject* object, const char* parameter, double& value)
{
    Py_ssize_t whole = 0;
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (!small_int(object, whole)) return convert_threshold(object, parameter, value);
    value = static_cast<double>(whole);
    return true;
}

bool read_threshold_kind(PyObject* object, const char* parameter, std::uint8_t& value)
{
    Py_ssize_t whole = 0;
    if (!small_int(object, whole) || whole < 0 || whole > 255) return convert_threshold_kind(object, parameter, value);
    value = static_cast<std::uint8_t>(whole);
    return true;
}

bool read_metric(PyObject* object, const char* parameter, MetricChoice& value)
{
    if (!PyUnicode_CheckExact(object) || !PyUnicode_IS_ASCII(object)) return convert_metric(object, parameter, value);
    value = MetricChoice(std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))));
    return true;
}

// Every parameter that any entry function has, each named after its field.
namespace parameters {
constexpr Parameter s{"s", convert_into<&CallArguments::s, read_text>};
constexpr Parameter pattern{"pattern", convert_into<&CallArguments::pattern, read_text>};
constexpr Parameter tokenizer_pattern{"tokenizer_pattern", convert_into<&CallArguments::tokenizer_pattern, read_text>};
constexpr Parameter case_insensitive{"case_insensitive", convert_into<&CallArguments::case_insensitive, read_flag>};
constexpr Parameter special_char_insensitive{"special_char_insensitive",
                                             convert_into<&CallArguments::special_char_insensitive, read_flag>};
constexpr Parameter metric{"metric", convert_into<&CallArguments::metric, read_metric>};
constexpr Parameter threshold{"threshold", convert_into<&CallArguments::threshold, read_threshold>};
constexpr Parameter threshold_kind{"threshold_kind", convert_into<&CallArguments::threshold_kind, read_threshold_kind>};
constexpr Parameter strategies{"strategies", convert_into<&CallArguments::strategies, read_strategies>};
} // namespace parameters

using Extractor = MatchList (*)(CallArguments& arguments, Cancellation cancel);

// One entry function: its name, its parameters in order (which give its text
// signature as well as its binding) and the extractor that it calls.
template <std::size_t count> struct EntryFunction {
    const char* name;
    SearchMode mode;
    std::array<const char*, count> names;
    std::array<Converter, count> converters;
    Extractor extract;
};

template <typename... Parameters>
constexpr auto describe(const char* name, SearchMode mode, Extractor extract, Parameters... parameters)
{
    return EntryFunction<sizeof...(Parameters)>{name, mode, {parameters.name...}, {parameters.convert...}, extract};
}

SearchOptions search_options(const CallArguments& a);

// Latin-1 units of a short text, as the tiny path takes them; false for
// any other text.
bool tiny_units(const TextArgument& text, std::string_view& units) noexcept
{
    if (text.width != 1 || text.length > tiny_most) return false;
    units = std::string_view(static_cast<const char*>(text.data), text.length);
    return true;
}

// The matches of a call on short texts, found in place; false when the call
// is not one for the tiny path.
bool extract_tiny(SearchMode mode, const CallArguments& a, TinyMatches& matches) noexcept
{
    std::string_view s, pattern, separator;
    const bool token = mode == SearchMode::exact_token || mode == SearchMode::fuzzy_token;
    if (!tiny_units(a.s, s) || !tiny_units(a.pattern, pattern) || (token && !tiny_units(a.tokenizer_pattern, separator)))
        return false;
    return tiny_extract(mode, s, pattern, separator, search_options(a), matches);
}

// Converts the bound arguments in parameter order; the first refused one
// ends the call. Each converter is known here, so it is called directly and
// its common case inlined.
template <const auto& function, std::size_t... index>
bool convert_all(PyObject* const* bound, CallArguments& arguments, std::index_sequence<index...>)
{
    return ([&] {
        constexpr Converter convert = function.converters[index];
        return convert(bound[index], function.names[index], arguments);
    }() && ...);
}

// The one binding routine: bind, convert in parameter order (the first
// refused argument ends the call), extract, build the list.
template <const auto& function> PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return exception_barrier([&]() -> PyObject* {
        constexpr auto count = function.names.size();
        // Every argument by position, in order, is the common call: it binds
        // as it stands.
        PyObject* const* bound = args;
        PyObject* by_keyword[count];
        if (kwnames || PyVectorcall_NARGS(nargsf) != static_cast<Py_ssize_t>(count)) {
            if (!bind_arguments(function.name, function.names.data(), static_cast<Py_ssize_t>(count), args, nargsf,
                                kwnames, by_keyword))
                return nullptr;
            bound = by_keyword;
        }
        CallArguments arguments;
        if (!convert_all<function>(bound, arguments, std::make_index_sequence<count>())) return nullptr;
        if (TinyMatches tiny; extract_tiny(function.mode, arguments, tiny))
            return to_python(tiny.items, tiny.size, arguments.cancel);
        const MatchList matches = function.extract(arguments, arguments.cancel);
        return to_python(matches.data(), matches.size(), arguments.cancel);
    });
}

using namespace parameters;

// The extractors' typed options, converted once from the arguments.
SearchOptions search_options(const CallArguments& a)
{
    SearchOptions options = exact_search_options(a.case_insensitive, a.special_char_insensitive, a.strategies);
    options.metric = a.metric;
    options.threshold = a.threshold;
    options.threshold_kind = threshold_kind_of(a.threshold_kind);
    return options;
}

constexpr auto exact_raw = describe(
    "exact_raw_extract", SearchMode::exact_raw,
    [](CallArguments& a, Cancellation cancel) {
        return exact_raw_extract(a.s.input(), a.pattern.input(), search_options(a), cancel);
    },
    s, pattern, case_insensitive, special_char_insensitive, strategies);

constexpr auto exact_token = describe(
    "exact_token_extract", SearchMode::exact_token,
    [](CallArguments& a, Cancellation cancel) {
        return exact_token_extract(a.s.input(), a.pattern.input(), a.tokenizer_pattern.input(), search_options(a),
                                   cancel);
    },
    s, pattern, tokenizer_pattern, case_insensitive, special_char_insensitive);

constexpr auto fuzzy_raw = describe(
    "fuzzy_raw_extract", SearchMode::fuzzy_raw,
    [](CallArguments& a, Cancellation cancel) {
        return fuzzy_raw_extract(a.s.input(), a.pattern.input(), search_options(a), cancel);
    },
    s, pattern, case_insensitive, special_char_insensitive, metric, threshold, threshold_kind, strategies);

constexpr auto fuzzy_token = describe(
    "fuzzy_token_extract", SearchMode::fuzzy_token,
    [](CallArguments& a, Cancellation cancel) {
        return fuzzy_token_extract(a.s.input(), a.pattern.input(), a.tokenizer_pattern.input(), search_options(a),
                                   cancel);
    },
    s, pattern, tokenizer_pattern, case_insensitive, special_char_insensitive, metric, threshold, threshold_kind,
    strategies);

// The stored documentation is the text signature alone: "name(a, b)\n--\n\n".
template <std::size_t count> std::string text_signature(const EntryFunction<count>& function)
{
    std::string text = function.name;
    text += '(';
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += ", ";
        text += function.names[i];
    }
    return text + ")\n--\n\n";
}

template <const auto& function> PyMethodDef method_definition(std::string& signature)
{
    signature = text_signature(function);
    return {function.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<function>)),
            METH_FASTCALL | METH_KEYWORDS, signature.c_str()};
}

// Filled when the module is created; the interpreter keeps pointers into
// both for the life of the process.
std::string signatures[4];
PyMethodDef entry_functions[4];

void define_entry_functions()
{
    entry_functions[0] = method_definition<exact_raw>(signatures[0]);
    entry_functions[1] = method_definition<exact_token>(signatures[1]);
    entry_functions[2] = method_definition<fuzzy_raw>(signatures[2]);
    entry_functions[3] = method_definition<fuzzy_token>(signatures[3]);
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tessarin",
    module_doc,
    0,       // no per-module state
    nullptr, // functions are added one by one, each also listed in __all__
    nullptr,
    nullptr,
    nullptr,
    nullptr,
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
    try {
        define_entry_functions();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!register_runtime_module()) return nullptr;
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

#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 on, the first import of a single-phase module by a
// subinterpreter runs the init function in the main interpreter first, on a
// thread state made for the purpose, and drops what it returns; the import
// then goes on in the subinterpreter, which refuses the module before
// running the init function there if it takes no single-phase modules. That
// first run is no import by the main interpreter: it must neither make the
// main interpreter the owner nor leave anything behind in it. Every import
// that an interpreter makes itself runs inside importlib's Python code, so a
// thread state with no Python frame marks that run.
bool runs_for_another_interpreter()
{
    PyFrameObject* frame = PyThreadState_GetFrame(PyThreadState_Get());
    Py_XDECREF(frame);
    return frame == nullptr;
}
#endif

} // namespace
} // namespace tessarin::bindings

#if PY_VERSION_HEX < 0x030D0000
// 3.12 runs the init function in the importing interpreter, isolated or
// not, and refuses a single-phase module only after it ran. This is its own
// test of whether it keeps such a module, exported without being declared
// in its public headers (3.13 no longer exports it, and needs it no more).
extern "C" int _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char* name);
#endif

PyMODINIT_FUNC PyInit_tessarin(void)
{
    using namespace tessarin::bindings;
    // An interpreter that will not keep the module must not become its
    // owner: that would lock every other interpreter out for good, the one
    // that imports it first included.
#if PY_VERSION_HEX >= 0x030D0000
    // The interpreter only needs the module's definition from this run.
    if (runs_for_another_interpreter()) return PyModule_Create(&module_definition);
#else
    // It gets the refusal that it would have given itself.
    if (_PyImport_CheckSubinterpIncompatibleExtensionAllowed("tessarin") < 0) return nullptr;
#endif
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
