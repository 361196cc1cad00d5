// The search library's private native entry, `tessarin_search._native`: a
// search converted once (Query), run over one text or over many on several
// threads with the interpreter lock released, and its matches located in the
// caller's text: code points of the str passed in, line and column. Nothing
// is searched here; the core does it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "extract/extract.hpp"
#include "native_entry.hpp"
#include "text/positions.hpp"

namespace tessarin::search_entry {
namespace {

using bindings::TextArgument;

// One match, located in the caller's text.
struct Located {
    std::uint64_t start, end;
    double score;
    std::uint32_t pattern;
    std::uint64_t line, column; // both from 1; the column in code points
};

// A search as the core takes it, converted once and read by every thread.
struct Query {
    SearchMode mode = SearchMode::exact_raw;
    std::vector<std::u32string> patterns;
    std::u32string separator;
    SearchOptions options;
    bool collapse_white_space = false;
};

template <typename Char> UnitText units_of(Units<Char> text, bool ascii)
{
    if constexpr (sizeof(Char) == 1)
        return UnitText::borrowed(std::string_view(text.data(), text.size()), ascii);
    else
        return UnitText::borrowed(text);
}

TextInput input_of(const std::u32string& text)
{
    return TextInput::borrowed(UnitText::borrowed(std::u32string_view(text)));
}

// Each pattern's matches in the text as the core sees it: one pattern by its
// own extractor, as the module's functions call it; several in one pass.
std::vector<MatchList> matches_of(const Query& query, const UnitText& text)
{
    const auto text_input = [&] { return TextInput::borrowed(UnitText::borrowed_as(text)); };
    if (query.patterns.size() == 1) {
        const auto pattern = [&] { return input_of(query.patterns[0]); };
        std::vector<MatchList> found(1);
        switch (query.mode) {
        case SearchMode::exact_raw: found[0] = exact_raw_extract(text_input(), pattern(), query.options); break;
        case SearchMode::fuzzy_raw: found[0] = fuzzy_raw_extract(text_input(), pattern(), query.options); break;
        case SearchMode::exact_token:
            found[0] = exact_token_extract(text_input(), pattern(), input_of(query.separator), query.options);
            break;
        case SearchMode::fuzzy_token:
            found[0] = fuzzy_token_extract(text_input(), pattern(), input_of(query.separator), query.options);
            break;
        }
        return found;
    }
    std::vector<TextInput> patterns;
    patterns.reserve(query.patterns.size());
    for (const std::u32string& pattern : query.patterns)
        patterns.push_back(input_of(pattern));
    return extract_many(query.mode, text_input(), std::move(patterns), input_of(query.separator), query.options);
}

// The matches of `query` in `text`, in order of start (then of pattern),
// with their spans in `text` itself: where white space was collapsed or
// lower-casing lengthened a code point, the core's positions are mapped
// back.
template <typename Char> std::vector<Located> search_units(const Query& query, Units<Char> text, bool ascii)
{
    PositionMap collapsed_runs, lengthened;
    std::basic_string<Char> collapsed;
    Units<Char> searched = text;
    if (query.collapse_white_space) {
        collapsed = collapse_white_space(text, collapsed_runs);
        searched = collapsed;
    }
    if (query.options.case_insensitive) lengthened = lengthenings(searched);
    const std::vector<MatchList> found = matches_of(query, units_of(searched, ascii));

    std::vector<Located> located;
    for (std::uint32_t p = 0; p < found.size(); ++p)
        for (const Match& match : found[p])
            located.push_back(Located{match.start, match.end, match.score, p, 0, 0});
    if (found.size() > 1)
        std::stable_sort(located.begin(), located.end(), [](const Located& a, const Located& b) {
            return a.start != b.start ? a.start < b.start : a.end < b.end;
        });
    const auto original_of = [&](std::uint64_t position, bool is_end) {
        if (!lengthened.empty()) position = lengthened.original_of(position, is_end);
        if (!collapsed_runs.empty()) position = collapsed_runs.original_of(position, is_end);
        return position;
    };
    // Starts only grow, so the line feeds are counted in one pass.
    std::uint64_t counted_to = 0, line = 1, line_start = 0;
    for (Located& match : located) {
        match.start = original_of(match.start, false);
        match.end = original_of(match.end, true);
        while (counted_to < match.start) {
            const Char* next = std::find(text.data() + counted_to, text.data() + match.start, Char('\n'));
            counted_to = static_cast<std::uint64_t>(next - text.data());
            if (counted_to == match.start) break;
            ++line;
            line_start = ++counted_to;
        }
        match.line = line;
        match.column = match.start - line_start + 1;
    }
    return located;
}

std::vector<Located> search_text(const Query& query, const TextArgument& text)
{
    switch (text.width) {
    case 1: return search_units(query, Units<char>(static_cast<const char*>(text.data), text.length), text.ascii);
    case 2: return search_units(query, Units<char16_t>(static_cast<const char16_t*>(text.data), text.length), false);
    default: return search_units(query, Units<char32_t>(static_cast<const char32_t*>(text.data), text.length), false);
    }
}

// ---- Match: what Python sees of one match ---------------------------------

PyStructSequence_Field match_fields[] = {
    {"start", "where the match starts: a code point of the text searched"},
    {"end", "where it ends (exclusive)"},
    {"score", "its distance from the pattern: 0.0 for an exact match, lower is closer"},
    {"line", "the line where it starts, from 1"},
    {"column", "the column where it starts, from 1, in code points"},
    {"text", "the text that matched, text[start:end]"},
    {"pattern", "the pattern that it matches"},
    {"pattern_index", "that pattern's place among the patterns searched for"},
    {nullptr, nullptr},
};
// Unpacked, a match is (start, end, score), as the module's functions give it.
PyStructSequence_Desc match_desc = {"tessarin_search.Match", "One match, located in the text searched", match_fields,
                                    3};
PyTypeObject* match_type = nullptr;

// The Python list of `located`, matches in `text`; the patterns are the
// Query's.
PyObject* to_python(const std::vector<Located>& located, PyObject* text, PyObject* patterns)
{
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(located.size()));
    for (std::size_t i = 0; list && i < located.size(); ++i) {
        const Located& match = located[i];
        PyObject* item = PyStructSequence_New(match_type);
        PyObject* values[] = {
            PyLong_FromUnsignedLongLong(match.start),
            PyLong_FromUnsignedLongLong(match.end),
            PyFloat_FromDouble(match.score),
            PyLong_FromUnsignedLongLong(match.line),
            PyLong_FromUnsignedLongLong(match.column),
            PyUnicode_Substring(text, static_cast<Py_ssize_t>(match.start), static_cast<Py_ssize_t>(match.end)),
            Py_NewRef(PyList_GET_ITEM(patterns, match.pattern)),
            PyLong_FromUnsignedLong(match.pattern),
        };
        bool complete = item != nullptr;
        for (Py_ssize_t k = 0; k < 8; ++k) {
            complete = complete && values[k];
            if (item)
                PyStructSequence_SetItem(item, k, values[k] ? values[k] : Py_NewRef(Py_None));
            else
                Py_XDECREF(values[k]);
        }
        if (!complete) {
            Py_XDECREF(item);
            Py_CLEAR(list);
        } else {
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        }
    }
    return list;
}

// ---- Query: the search, converted once ---------------------------------------

struct QueryObject {
    PyObject_HEAD Query* query;
    PyObject* patterns; // the caller's patterns, a list of str, as each match names its own
};

// `text`'s code points, with every run of white space read as one space
// where `collapse` says so.
bool code_points_of(PyObject* object, const char* parameter, bool collapse, std::u32string& out)
{
    TextArgument text;
    if (!bindings::convert_text(object, parameter, text)) return false;
    std::u32string all(text.length, U'\0');
    for (std::size_t i = 0; i < text.length; ++i)
        all[i] = text.width == 1   ? static_cast<const unsigned char*>(text.data)[i]
                 : text.width == 2 ? static_cast<const char16_t*>(text.data)[i]
                                   : static_cast<const char32_t*>(text.data)[i];
    if (!collapse) {
        out = std::move(all);
        return true;
    }
    PositionMap unused;
    out = collapse_white_space(Units<char32_t>(all), unused);
    return true;
}

// Query(patterns, separator, ignore_case, ignore_accents, metric, threshold,
// threshold_kind, edit_reach, strategies, collapse_white_space). Its
// values are checked by the library before they come here.
int query_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"patterns",   "separator",      "ignore_case", "ignore_accents",
                                     "metric",     "threshold",      "threshold_kind", "edit_reach",
                                     "strategies", "collapse_white_space", nullptr};
    PyObject *patterns, *separator, *metric, *strategies;
    int ignore_case, ignore_accents, threshold_kind, edit_reach, collapse;
    double threshold;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OppOdiiOp", const_cast<char**>(keywords), &PyList_Type,
                                     &patterns, &separator, &ignore_case, &ignore_accents, &metric, &threshold,
                                     &threshold_kind, &edit_reach, &strategies, &collapse))
        return -1;
    if (PyList_GET_SIZE(patterns) == 0) {
        PyErr_SetString(PyExc_ValueError, "a Query needs a pattern at least");
        return -1;
    }
    auto query = std::make_unique<Query>();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(patterns); ++i)
        if (!code_points_of(PyList_GET_ITEM(patterns, i), "patterns", collapse, query->patterns.emplace_back()))
            return -1;
    if (separator != Py_None && !code_points_of(separator, "separator", false, query->separator)) return -1;
    SearchOptions& options = query->options;
    if ((metric != Py_None && !bindings::convert_metric(metric, "metric", options.metric)) ||
        !bindings::convert_strategies(strategies, "strategies", options.strategies))
        return -1;
    const bool tokens = separator != Py_None, fuzzy = metric != Py_None;
    query->mode = fuzzy ? (tokens ? SearchMode::fuzzy_token : SearchMode::fuzzy_raw)
                        : (tokens ? SearchMode::exact_token : SearchMode::exact_raw);
    options.case_insensitive = ignore_case;
    options.special_char_insensitive = ignore_accents;
    options.threshold = threshold;
    options.threshold_kind = threshold_kind == 0 ? ThresholdKind::Absolute : ThresholdKind::Normalized;
    options.edit_reach = edit_reach;
    query->collapse_white_space = collapse;
    auto* object = reinterpret_cast<QueryObject*>(self);
    delete object->query;
    object->query = query.release();
    Py_XSETREF(object->patterns, Py_NewRef(patterns));
    return 0;
}

void query_dealloc(PyObject* self)
{
    auto* object = reinterpret_cast<QueryObject*>(self);
    delete object->query;
    Py_XDECREF(object->patterns);
    Py_TYPE(self)->tp_free(self);
}

QueryObject* query_of(PyObject* self)
{
    auto* object = reinterpret_cast<QueryObject*>(self);
    if (!object->query) {
        PyErr_SetString(PyExc_TypeError, "an initialised Query is needed");
        return nullptr;
    }
    return object;
}

// find(text) -> list[Match], searched with the interpreter lock released.
PyObject* query_find(PyObject* self, PyObject* text)
{
    QueryObject* object = query_of(self);
    TextArgument argument;
    if (!object || !bindings::convert_text(text, "text", argument)) return nullptr;
    std::vector<Located> located;
    if (!bindings::run_unlocked([&] { located = search_text(*object->query, argument); })) return nullptr;
    return to_python(located, text, object->patterns);
}

// find_batch(texts, threads) -> list[list[Match]]: each text of the list
// searched by one of `threads` threads, the interpreter lock released.
PyObject* query_find_batch(PyObject* self, PyObject* args)
{
    PyObject* texts;
    Py_ssize_t threads;
    if (!PyArg_ParseTuple(args, "O!n", &PyList_Type, &texts, &threads)) return nullptr;
    QueryObject* object = query_of(self);
    if (!object) return nullptr;
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "find_batch needs one thread at least");
        return nullptr;
    }
    // The list is the caller's: its items are held here, so that a change
    // to it while the lock is released frees none of them.
    const Py_ssize_t count = PyList_GET_SIZE(texts);
    std::vector<PyObject*> held;
    std::vector<TextArgument> arguments(static_cast<std::size_t>(count));
    bool converted = true;
    for (Py_ssize_t i = 0; converted && i < count; ++i) {
        held.push_back(Py_NewRef(PyList_GET_ITEM(texts, i)));
        converted = bindings::convert_text(held.back(), "texts", arguments[static_cast<std::size_t>(i)]);
    }
    std::vector<std::vector<Located>> located(arguments.size());
    const Query& query = *object->query;
    converted = converted && bindings::run_unlocked([&] {
        std::atomic<std::size_t> next{0};
        std::exception_ptr failure;
        std::atomic<bool> failed{false};
        const auto work = [&] {
            try {
                for (std::size_t i; !failed.load(std::memory_order_relaxed) && (i = next++) < arguments.size();)
                    located[i] = search_text(query, arguments[i]);
            } catch (...) {
                if (!failed.exchange(true)) failure = std::current_exception();
            }
        };
        std::vector<std::thread> helpers;
        const auto wanted = std::min<std::size_t>(static_cast<std::size_t>(threads), arguments.size());
        for (std::size_t t = 1; t < wanted; ++t)
            helpers.emplace_back(work);
        work();
        for (std::thread& helper : helpers)
            helper.join();
        if (failure) std::rethrow_exception(failure);
    });
    PyObject* results = converted ? PyList_New(count) : nullptr;
    for (Py_ssize_t i = 0; results && i < count; ++i) {
        PyObject* list = to_python(located[static_cast<std::size_t>(i)], held[static_cast<std::size_t>(i)],
                                   object->patterns);
        if (!list)
            Py_CLEAR(results);
        else
            PyList_SET_ITEM(results, i, list);
    }
    for (PyObject* text : held)
        Py_DECREF(text);
    return results;
}

PyMethodDef query_methods[] = {
    {"find", query_find, METH_O, "find(text) -> list[Match]: the matches in `text`, located in it"},
    {"find_batch", query_find_batch, METH_VARARGS,
     "find_batch(texts, threads) -> list[list[Match]]: the matches of each text, searched on `threads` threads"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject query_type = bindings::native_type(
    "tessarin_search._native.Query", sizeof(QueryObject),
    "Query(patterns, separator, ignore_case, ignore_accents, metric, threshold, threshold_kind, edit_reach, "
    "strategies, collapse_white_space): a search converted once",
    query_init, query_dealloc, query_methods, nullptr);

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT,
                                 "tessarin_search._native",
                                 "The search library's native entry: searches with the interpreter lock released.",
                                 -1,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr};

} // namespace
} // namespace tessarin::search_entry

PyMODINIT_FUNC PyInit__native(void)
{
    using namespace tessarin::search_entry;
    PyObject* module = PyModule_Create(&module_definition);
    if (!module) return nullptr;
    if (!match_type) match_type = PyStructSequence_NewType(&match_desc);
    if (!match_type || PyType_Ready(&query_type) < 0 ||
        PyModule_AddObjectRef(module, "Query", reinterpret_cast<PyObject*>(&query_type)) < 0 ||
        PyModule_AddObjectRef(module, "Match", reinterpret_cast<PyObject*>(match_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
