// The search library's private native entry, `tessarin_search._native`: a
// search converted once (Query), run over one text or over many on several
// threads with the interpreter lock released, and its matches located in the
// caller's text: code points of the str passed in, line and column. Nothing
// is searched here; the core does it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "extract/extract.hpp"
#include "native_entry.hpp"
#include "text/ascii_vector.hpp"
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
    std::vector<UnitText> patterns;
    UnitText separator;
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

TextInput input_of(const UnitText& text)
{
    return TextInput::borrowed(UnitText::borrowed_as(text));
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
    for (const UnitText& pattern : query.patterns)
        patterns.push_back(input_of(pattern));
    return extract_many(query.mode, text_input(), std::move(patterns), input_of(query.separator), query.options);
}

// How many line feeds [from, to) holds: a byte text by the core's vector
// counter; a wider one in lanes as wide as its units, which the compiler
// vectorizes without widening every unit to 64 bits as std::count does.
template <typename Char> std::uint64_t count_line_feeds(const Char* from, const Char* to)
{
    if constexpr (sizeof(Char) == 1) {
        return detail::count_byte(from, static_cast<std::size_t>(to - from), '\n');
    } else {
        using Lane = std::conditional_t<sizeof(Char) == 2, std::uint16_t, std::uint32_t>;
        std::uint64_t total = 0;
        while (from < to) {
            const Char* const stop = from + std::min<std::ptrdiff_t>(to - from, 0xFFFF);
            Lane count = 0;
            for (; from < stop; ++from)
                count = static_cast<Lane>(count + (*from == Char('\n')));
            total += count;
        }
        return total;
    }
}

// The last line feed of [from, to), which holds one.
template <typename Char> const Char* last_line_feed(const Char* from, const Char* to)
{
    if constexpr (sizeof(Char) == 1)
        return static_cast<const Char*>(memrchr(from, '\n', static_cast<std::size_t>(to - from)));
    else
        return std::find(std::make_reverse_iterator(to), std::make_reverse_iterator(from), Char('\n')).base() - 1;
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
    const std::vector<MatchList> found = matches_of(query, units_of(searched, ascii));

    std::vector<Located> located;
    std::size_t total = 0;
    for (const MatchList& matches : found)
        total += matches.size();
    located.reserve(total);
    std::uint64_t last_end = 0;
    for (std::uint32_t p = 0; p < found.size(); ++p)
        for (const Match& match : found[p]) {
            located.push_back(Located{match.start, match.end, match.score, p, 0, 0});
            last_end = std::max(last_end, match.end);
        }
    if (found.size() > 1)
        std::stable_sort(located.begin(), located.end(), [](const Located& a, const Located& b) {
            return a.start != b.start ? a.start < b.start : a.end < b.end;
        });
    // Folding only lengthens, so what lies before the last end in the folded
    // text lies before it in the text folded too.
    if (query.options.case_insensitive && !located.empty())
        lengthened = lengthenings(searched.substr(0, std::min<std::uint64_t>(last_end, searched.size())));
    const auto original_of = [&](std::uint64_t position, bool is_end) {
        if (!lengthened.empty()) position = lengthened.original_of(position, is_end);
        if (!collapsed_runs.empty()) position = collapsed_runs.original_of(position, is_end);
        return position;
    };
    for (Located& match : located) {
        match.start = original_of(match.start, false);
        match.end = original_of(match.end, true);
    }
    return located;
}

// The lines and columns of the matches of one text, worked out the first
// time one is asked for: a caller that reads only the spans does not pay
// for a pass over the text up to the last match.
struct LineTable {
    std::vector<std::uint64_t> starts;                             // the matches', ascending
    std::vector<std::pair<std::uint64_t, std::uint64_t>> numbered; // (line, column) of each, once asked
};

constexpr const char* line_table_name = "tessarin_search.LineTable";

template <typename Char> void number_lines(Units<Char> text, LineTable& table)
{
    // Starts only grow, so the text is read once.
    table.numbered.reserve(table.starts.size());
    const Char* const units = text.data();
    std::uint64_t counted_to = 0, line = 1, line_start = 0;
    for (const std::uint64_t start : table.starts) {
        const auto from = units + counted_to, to = units + start;
        // The line's start moves only past a line feed, and then lies after the last one.
        if (const std::uint64_t feeds = count_line_feeds(from, to)) {
            line += feeds;
            line_start = static_cast<std::uint64_t>(last_line_feed(from, to) + 1 - units);
        }
        counted_to = start;
        table.numbered.emplace_back(line, start - line_start + 1);
    }
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

// A match keeps its numbers as they are and makes Python objects of them
// only when they are read, so that a search with many matches costs no more
// than the module's list of tuples. It holds the text searched (a str, which
// holds nothing), so it takes no part in cycles.
struct MatchObject {
    PyObject_HEAD Located found;
    PyObject* text;        // the text searched, or (unpickled) the match's own text
    std::uint64_t text_at; // where `text` begins in the text searched
    PyObject* pattern;
    PyObject* lines;        // a capsule of the text's LineTable until `found` has its line; else null
    std::size_t line_index; // this match's place in it
};

PyTypeObject match_type_object{};
PyTypeObject* const match_type = &match_type_object;

PyObject* new_match(const Located& found, PyObject* text, std::uint64_t text_at, PyObject* pattern,
                    PyObject* lines = nullptr, std::size_t line_index = 0)
{
    auto* match = PyObject_New(MatchObject, match_type);
    if (!match) return nullptr;
    match->found = found;
    match->text = Py_NewRef(text);
    match->text_at = text_at;
    match->pattern = Py_NewRef(pattern);
    match->lines = Py_XNewRef(lines);
    match->line_index = line_index;
    return reinterpret_cast<PyObject*>(match);
}

void match_dealloc(PyObject* self)
{
    auto* match = reinterpret_cast<MatchObject*>(self);
    Py_DECREF(match->text);
    Py_DECREF(match->pattern);
    Py_XDECREF(match->lines);
    PyObject_Free(self);
}

// Gives the match its line and column, numbering its text's matches the
// first time; false with an exception set where that fails.
bool resolve_lines(PyObject* self)
{
    auto* match = reinterpret_cast<MatchObject*>(self);
    if (!match->lines) return true;
    auto* table = static_cast<LineTable*>(PyCapsule_GetPointer(match->lines, line_table_name));
    if (!table) return false;
    if (table->numbered.empty()) {
        try {
            // Made by a search: `text` is the whole text searched.
            const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(match->text));
            const void* data = PyUnicode_DATA(match->text);
            switch (PyUnicode_KIND(match->text)) {
            case PyUnicode_1BYTE_KIND: number_lines(Units<char>(static_cast<const char*>(data), length), *table); break;
            case PyUnicode_2BYTE_KIND:
                number_lines(Units<char16_t>(static_cast<const char16_t*>(data), length), *table);
                break;
            default: number_lines(Units<char32_t>(static_cast<const char32_t*>(data), length), *table); break;
            }
        } catch (const std::bad_alloc&) {
            table->numbered.clear();
            PyErr_NoMemory();
            return false;
        }
    }
    const auto [line, column] = table->numbered[match->line_index];
    match->found.line = line;
    match->found.column = column;
    Py_CLEAR(match->lines);
    return true;
}

const Located& found_of(PyObject* self)
{
    return reinterpret_cast<MatchObject*>(self)->found;
}

PyObject* match_text(PyObject* self, void* = nullptr)
{
    auto* match = reinterpret_cast<MatchObject*>(self);
    return PyUnicode_Substring(match->text, static_cast<Py_ssize_t>(match->found.start - match->text_at),
                               static_cast<Py_ssize_t>(match->found.end - match->text_at));
}

PyObject* match_pattern(PyObject* self, void*)
{
    return Py_NewRef(reinterpret_cast<MatchObject*>(self)->pattern);
}

enum class Field { start, end, score, line, column, pattern_index };
constexpr Field fields[] = {Field::start, Field::end, Field::score, Field::line, Field::column, Field::pattern_index};

PyObject* match_field(PyObject* self, void* which)
{
    const Field field = *static_cast<const Field*>(which);
    if ((field == Field::line || field == Field::column) && !resolve_lines(self)) return nullptr;
    const Located& found = found_of(self);
    switch (field) {
    case Field::start: return PyLong_FromUnsignedLongLong(found.start);
    case Field::end: return PyLong_FromUnsignedLongLong(found.end);
    case Field::score: return PyFloat_FromDouble(found.score);
    case Field::line: return PyLong_FromUnsignedLongLong(found.line);
    case Field::column: return PyLong_FromUnsignedLongLong(found.column);
    default: return PyLong_FromUnsignedLong(found.pattern);
    }
}

// Unpacked, a match is (start, end, score), as the module's functions give it.
Py_ssize_t match_length(PyObject*)
{
    return 3;
}

PyObject* match_item(PyObject* self, Py_ssize_t index)
{
    if (index < 0 || index > 2) {
        PyErr_SetString(PyExc_IndexError, "a match unpacks as (start, end, score)");
        return nullptr;
    }
    return match_field(self, const_cast<Field*>(&fields[index]));
}

PyObject* match_iter(PyObject* self)
{
    const Located& found = found_of(self);
    PyObject* unpacked = Py_BuildValue("(KKd)", static_cast<unsigned long long>(found.start),
                                       static_cast<unsigned long long>(found.end), found.score);
    PyObject* iterator = unpacked ? PyObject_GetIter(unpacked) : nullptr;
    Py_XDECREF(unpacked);
    return iterator;
}

PyObject* match_richcompare(PyObject* self, PyObject* other, int op)
{
    if (!PyObject_TypeCheck(other, match_type) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    if (!resolve_lines(self) || !resolve_lines(other)) return nullptr;
    const Located &a = found_of(self), &b = found_of(other);
    bool equal = a.start == b.start && a.end == b.end && a.score == b.score && a.line == b.line &&
                 a.column == b.column && a.pattern == b.pattern;
    for (const auto part : {&match_text, +[](PyObject*m, void*) { return match_pattern(m, nullptr); }}) {
        if (!equal) break;
        PyObject *left = part(self, nullptr), *right = left ? part(other, nullptr) : nullptr;
        const int same = right ? PyObject_RichCompareBool(left, right, Py_EQ) : -1;
        Py_XDECREF(left);
        Py_XDECREF(right);
        if (same < 0) return nullptr;
        equal = same;
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_hash_t match_hash(PyObject* self)
{
    const Located& found = found_of(self);
    const Py_hash_t hash = static_cast<Py_hash_t>((found.start * 1000003u) ^ (found.end * 8191u) ^ found.pattern);
    return hash == -1 ? -2 : hash;
}

PyObject* match_repr(PyObject* self)
{
    if (!resolve_lines(self)) return nullptr;
    const Located& found = found_of(self);
    PyObject* text = match_text(self);
    PyObject* score = text ? PyFloat_FromDouble(found.score) : nullptr;
    PyObject* shown =
        score ? PyUnicode_FromFormat(
                    "Match(start=%llu, end=%llu, score=%R, line=%llu, column=%llu, text=%R, "
                    "pattern=%R, pattern_index=%lu)",
                    static_cast<unsigned long long>(found.start), static_cast<unsigned long long>(found.end), score,
                    static_cast<unsigned long long>(found.line), static_cast<unsigned long long>(found.column), text,
                    reinterpret_cast<MatchObject*>(self)->pattern, static_cast<unsigned long>(found.pattern))
              : nullptr;
    Py_XDECREF(text);
    Py_XDECREF(score);
    return shown;
}

// A match travels (to another process) with its own text alone.
PyObject* match_reduce(PyObject* self, PyObject*)
{
    if (!resolve_lines(self)) return nullptr;
    const Located& found = found_of(self);
    PyObject* rebuild = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_rebuild");
    PyObject* text = rebuild ? match_text(self) : nullptr;
    PyObject* reduced =
        text ? Py_BuildValue("(N(KKdKKOOk))", rebuild, static_cast<unsigned long long>(found.start),
                             static_cast<unsigned long long>(found.end), found.score,
                             static_cast<unsigned long long>(found.line), static_cast<unsigned long long>(found.column),
                             text, reinterpret_cast<MatchObject*>(self)->pattern,
                             static_cast<unsigned long>(found.pattern))
             : nullptr;
    if (!text) Py_XDECREF(rebuild);
    Py_XDECREF(text);
    return reduced;
}

// _rebuild(start, end, score, line, column, text, pattern, pattern_index):
// a match from what match_reduce gave, `text` being its own text.
PyObject* match_rebuild(PyObject*, PyObject* args)
{
    Located found{};
    unsigned long long start, end, line, column;
    unsigned long pattern_index;
    PyObject *text, *pattern;
    if (!PyArg_ParseTuple(args, "KKdKKUUk", &start, &end, &found.score, &line, &column, &text, &pattern,
                          &pattern_index))
        return nullptr;
    if (end < start || static_cast<unsigned long long>(PyUnicode_GET_LENGTH(text)) != end - start) {
        PyErr_SetString(PyExc_ValueError, "a match's text is as long as its span");
        return nullptr;
    }
    found.start = start, found.end = end, found.line = line, found.column = column;
    found.pattern = static_cast<std::uint32_t>(pattern_index);
    return new_match(found, text, start, pattern);
}

PyGetSetDef match_getset[] = {
    {"start", match_field, nullptr, "where the match starts: a code point of the text searched",
     const_cast<Field*>(&fields[0])},
    {"end", match_field, nullptr, "where it ends (exclusive)", const_cast<Field*>(&fields[1])},
    {"score", match_field, nullptr, "its distance from the pattern: 0.0 for an exact match, lower is closer",
     const_cast<Field*>(&fields[2])},
    {"line", match_field, nullptr, "the line where it starts, from 1", const_cast<Field*>(&fields[3])},
    {"column", match_field, nullptr, "the column where it starts, from 1, in code points",
     const_cast<Field*>(&fields[4])},
    {"text", match_text, nullptr, "the text that matched, text[start:end]", nullptr},
    {"pattern", match_pattern, nullptr, "the pattern that it matches", nullptr},
    {"pattern_index", match_field, nullptr, "that pattern's place among the patterns searched for",
     const_cast<Field*>(&fields[5])},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef match_methods[] = {
    {"__reduce__", match_reduce, METH_NOARGS, nullptr},
    {"_rebuild", match_rebuild, METH_VARARGS | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods match_sequence = {match_length, nullptr, nullptr, match_item, nullptr,
                                    nullptr,      nullptr, nullptr, nullptr,    nullptr};

bool ready_match_type()
{
    PyTypeObject& type = match_type_object;
    type = bindings::native_type("tessarin_search.Match", sizeof(MatchObject),
                                 "One match, located in the text searched. It unpacks as (start, end, score).", nullptr,
                                 match_dealloc, match_methods, match_getset);
    type.tp_new = nullptr; // made by a search, or by unpickling
    type.tp_as_sequence = &match_sequence;
    type.tp_iter = match_iter;
    type.tp_richcompare = match_richcompare;
    type.tp_hash = match_hash;
    type.tp_repr = match_repr;
    return PyType_Ready(&type) == 0;
}

// The Python list of `located`, matches in `text`; the patterns are the
// Query's.
void delete_line_table(PyObject* capsule)
{
    delete static_cast<LineTable*>(PyCapsule_GetPointer(capsule, line_table_name));
}

PyObject* to_python(const std::vector<Located>& located, PyObject* text, PyObject* patterns)
{
    PyObject* lines = nullptr; // every match holds it until it reads its line
    if (!located.empty()) {
        std::unique_ptr<LineTable> table;
        try {
            table = std::make_unique<LineTable>();
            table->starts.reserve(located.size());
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        for (const Located& match : located)
            table->starts.push_back(match.start);
        lines = PyCapsule_New(table.get(), line_table_name, delete_line_table);
        if (!lines) return nullptr;
        table.release();
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(located.size()));
    for (std::size_t i = 0; list && i < located.size(); ++i) {
        PyObject* item = new_match(located[i], text, 0, PyList_GET_ITEM(patterns, located[i].pattern), lines, i);
        if (!item)
            Py_CLEAR(list);
        else
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    Py_XDECREF(lines);
    return list;
}

// ---- Query: the search, converted once ---------------------------------------

struct QueryObject {
    PyObject_HEAD Query* query;
    PyObject* patterns; // the caller's patterns, a list of str, as each match names its own
};

// `text`, with every run of white space read as one space where `collapse`
// says so, in the narrowest units that hold it (so that an ASCII pattern is
// searched as the module searches one).
bool units_of_argument(PyObject* object, const char* parameter, bool collapse, UnitText& out)
{
    TextArgument text;
    if (!bindings::convert_text(object, parameter, text)) return false;
    std::u32string all(text.length, U'\0');
    for (std::size_t i = 0; i < text.length; ++i)
        all[i] = text.width == 1   ? static_cast<const unsigned char*>(text.data)[i]
                 : text.width == 2 ? static_cast<const char16_t*>(text.data)[i]
                                   : static_cast<const char32_t*>(text.data)[i];
    if (collapse) {
        PositionMap unused;
        all = collapse_white_space(Units<char32_t>(all), unused);
    }
    std::string latin1;
    std::u16string ucs2;
    if (narrow_units(all, latin1))
        out = UnitText::owned(std::move(latin1),
                              std::all_of(all.begin(), all.end(), [](char32_t c) { return c < 0x80; }));
    else if (narrow_units(all, ucs2))
        out = UnitText::owned(std::move(ucs2));
    else
        out = UnitText::owned(std::move(all));
    return true;
}

// Query(patterns, separator, ignore_case, ignore_accents, metric, threshold,
// threshold_kind, edit_reach, strategies, collapse_white_space). Its
// values are checked by the library before they come here.
int query_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {
        "patterns",       "separator",  "ignore_case", "ignore_accents",       "metric", "threshold",
        "threshold_kind", "edit_reach", "strategies",  "collapse_white_space", nullptr};
    PyObject *patterns, *separator, *metric, *strategies;
    int ignore_case, ignore_accents, threshold_kind, edit_reach, collapse;
    double threshold;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OppOdiiOp", const_cast<char**>(keywords), &PyList_Type, &patterns,
                                     &separator, &ignore_case, &ignore_accents, &metric, &threshold, &threshold_kind,
                                     &edit_reach, &strategies, &collapse))
        return -1;
    if (PyList_GET_SIZE(patterns) == 0) {
        PyErr_SetString(PyExc_ValueError, "a Query needs a pattern at least");
        return -1;
    }
    auto query = std::make_unique<Query>();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(patterns); ++i)
        if (!units_of_argument(PyList_GET_ITEM(patterns, i), "patterns", collapse, query->patterns.emplace_back()))
            return -1;
    if (separator != Py_None && !units_of_argument(separator, "separator", false, query->separator)) return -1;
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

// Searches each of `arguments` on `threads` threads and returns the list of
// their matches' lists, or null with an exception set. With several
// threads, the calling thread turns the texts searched, in order, into
// Python objects (which needs the interpreter lock) while the others go on
// searching, and searches a text itself whenever the next one in order is
// not ready; one thread searches every text, then makes the objects.
PyObject* search_batch(const QueryObject& object, const std::vector<TextArgument>& arguments,
                       const std::vector<PyObject*>& texts, std::vector<std::vector<Located>>& located,
                       std::size_t threads)
{
    const Query& query = *object.query;
    const std::size_t count = arguments.size();
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex lock;
    std::condition_variable searched;
    std::unique_ptr<bool[]> done(new bool[count]()); // guarded by `lock`
    // Searches the next text not yet taken, if any; false when none is left.
    const auto search_next = [&]() -> bool {
        const std::size_t i = next++;
        if (i >= count || failed.load(std::memory_order_relaxed)) return false;
        try {
            located[i] = search_text(query, arguments[i]);
        } catch (...) {
            const std::lock_guard<std::mutex> guard(lock);
            if (!failed.exchange(true)) failure = std::current_exception();
        }
        {
            const std::lock_guard<std::mutex> guard(lock);
            done[i] = true;
        }
        searched.notify_all();
        return true;
    };
    std::vector<std::thread> helpers;
    const auto join_helpers = [&] {
        Py_BEGIN_ALLOW_THREADS for (std::thread& helper : helpers) helper.join();
        Py_END_ALLOW_THREADS;
    };
    const std::size_t wanted = std::min(threads, count);
    if (wanted <= 1) {
        if (!bindings::run_unlocked([&] {
                while (search_next()) {
                }
                if (failure) std::rethrow_exception(failure);
            }))
            return nullptr;
    } else {
        if (!bindings::run_unlocked([&] {
                for (std::size_t t = 1; t < wanted; ++t)
                    helpers.emplace_back([&] {
                        while (search_next()) {
                        }
                    });
            })) {
            failed = true;
            join_helpers();
            return nullptr;
        }
    }
    PyObject* results = PyList_New(static_cast<Py_ssize_t>(count));
    for (std::size_t i = 0; results && i < count; ++i) {
        bool ready = wanted <= 1;
        while (!ready) {
            {
                const std::lock_guard<std::mutex> guard(lock);
                ready = done[i] || failed;
            }
            if (ready) break;
            // Not ready: the calling thread searches a text itself, or, when
            // every text is taken, waits for this one.
            bool took = false;
            Py_BEGIN_ALLOW_THREADS took = search_next();
            if (!took) {
                std::unique_lock<std::mutex> guard(lock);
                searched.wait(guard, [&] { return done[i] || failed.load(); });
            }
            Py_END_ALLOW_THREADS;
        }
        if (failed) {
            Py_CLEAR(results);
            break;
        }
        PyObject* list = to_python(located[i], texts[i], object.patterns);
        std::vector<Located>().swap(located[i]);
        if (!list) {
            failed = true;
            Py_CLEAR(results);
        } else {
            PyList_SET_ITEM(results, static_cast<Py_ssize_t>(i), list);
        }
    }
    if (!results) failed = true;
    join_helpers();
    if (failure) {
        Py_CLEAR(results);
        PyErr_Clear(); // the search's own failure is the one reported
        bindings::run_unlocked([&] { std::rethrow_exception(failure); });
    }
    return results;
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
    PyObject* results =
        converted ? search_batch(*object, arguments, held, located, static_cast<std::size_t>(threads)) : nullptr;
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
    if ((!match_type->tp_name && !ready_match_type()) || PyType_Ready(&query_type) < 0 ||
        PyModule_AddObjectRef(module, "Query", reinterpret_cast<PyObject*>(&query_type)) < 0 ||
        PyModule_AddObjectRef(module, "Match", reinterpret_cast<PyObject*>(match_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
