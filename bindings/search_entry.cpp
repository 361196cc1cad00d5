// The search library's private native entry, `tessarin_search._native`: a
// search converted once (Query), run over one text or over many on several
// threads with the interpreter lock released, and its matches located in the
// caller's text: code points of the str passed in, line and column. Nothing
// is searched here; the core does it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
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
std::vector<MatchList> matches_of(const Query& query, const UnitText& text, Cancellation& cancel)
{
    const auto text_input = [&] { return TextInput::borrowed(UnitText::borrowed_as(text)); };
    if (query.patterns.size() == 1) {
        const auto pattern = [&] { return input_of(query.patterns[0]); };
        std::vector<MatchList> found(1);
        switch (query.mode) {
        case SearchMode::exact_raw: found[0] = exact_raw_extract(text_input(), pattern(), query.options, cancel); break;
        case SearchMode::fuzzy_raw: found[0] = fuzzy_raw_extract(text_input(), pattern(), query.options, cancel); break;
        case SearchMode::exact_token:
            found[0] = exact_token_extract(text_input(), pattern(), input_of(query.separator), query.options, cancel);
            break;
        case SearchMode::fuzzy_token:
            found[0] = fuzzy_token_extract(text_input(), pattern(), input_of(query.separator), query.options, cancel);
            break;
        }
        return found;
    }
    std::vector<TextInput> patterns;
    patterns.reserve(query.patterns.size());
    for (const UnitText& pattern : query.patterns)
        patterns.push_back(input_of(pattern));
    return extract_many(query.mode, text_input(), std::move(patterns), input_of(query.separator), query.options,
                        cancel);
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
template <typename Char>
std::vector<Located> search_units(const Query& query, Units<Char> text, bool ascii, Cancellation& cancel)
{
    PositionMap collapsed_runs, lengthened;
    std::basic_string<Char> collapsed;
    Units<Char> searched = text;
    if (query.collapse_white_space) {
        collapsed = collapse_white_space(text, collapsed_runs);
        searched = collapsed;
    }
    const std::vector<MatchList> found = matches_of(query, units_of(searched, ascii), cancel);

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

std::vector<Located> search_text(const Query& query, const TextArgument& text, Cancellation cancel = {})
{
    switch (text.width) {
    case 1:
        return search_units(query, Units<char>(static_cast<const char*>(text.data), text.length), text.ascii, cancel);
    case 2:
        return search_units(query, Units<char16_t>(static_cast<const char16_t*>(text.data), text.length), false,
                            cancel);
    default:
        return search_units(query, Units<char32_t>(static_cast<const char32_t*>(text.data), text.length), false,
                            cancel);
    }
}

// ---- Match: what Python sees of one match ---------------------------------

struct MatchBlock;

// A match keeps its numbers as they are and makes Python objects of them
// only when they are read, so that a search with many matches costs no more
// than the module's list of tuples. Its text and pattern are its block's.
struct MatchObject {
    PyObject_HEAD Located found; // its line is 0 until worked out
    MatchBlock* block;
};

// The matches of one text, side by side in one allocation that the thread
// which searched the text fills without the interpreter lock. They become
// Python objects when handed to the caller, and the block goes with the last
// of them: making and freeing a text's matches costs one allocation, not one
// per match. A match kept alive keeps its block (72 bytes a match) as well as
// its text.
struct MatchBlock {
    Py_ssize_t alive = 0;         // matches not yet freed, counted under the interpreter lock
    std::size_t count = 0;        // matches laid out after the block
    PyObject* text = nullptr;     // the text searched, or (unpickled) the match's own text
    std::uint64_t text_at = 0;    // where `text` begins in the text searched
    PyObject* patterns = nullptr; // the search's list of patterns, or (unpickled) a list of the match's own
    bool own_pattern = false;     // unpickled: the match's pattern is the first of `patterns`

    MatchObject* matches() noexcept { return reinterpret_cast<MatchObject*>(this + 1); }
};
static_assert(sizeof(MatchBlock) % alignof(MatchObject) == 0, "the matches follow the block, aligned");

// A block not yet handed to Python, which holds no Python object yet: it can
// be freed on any thread.
struct UnpublishedBlock {
    void operator()(MatchBlock* block) const noexcept
    {
        block->~MatchBlock();
        PyMem_RawFree(block);
    }
};
using BlockPtr = std::unique_ptr<MatchBlock, UnpublishedBlock>;

// A block for `count` matches. PyMem_RawMalloc needs no interpreter lock.
BlockPtr new_block(std::size_t count)
{
    if (count > (PY_SSIZE_T_MAX - sizeof(MatchBlock)) / sizeof(MatchObject)) throw std::bad_alloc();
    void* memory = PyMem_RawMalloc(sizeof(MatchBlock) + count * sizeof(MatchObject));
    if (!memory) throw std::bad_alloc();
    BlockPtr block(new (memory) MatchBlock);
    block->count = count;
    return block;
}

// The block of `located`; none when nothing was found.
BlockPtr block_of(const std::vector<Located>& located)
{
    if (located.empty()) return nullptr;
    BlockPtr block = new_block(located.size());
    MatchObject* matches = block->matches();
    for (std::size_t i = 0; i < located.size(); ++i)
        new (&matches[i]) MatchObject{{}, located[i], block.get()};
    return block;
}

PyTypeObject match_type_object{};
PyTypeObject* const match_type = &match_type_object;

// The Python list of the matches of `block`, found in `text`, the patterns
// being `patterns`: each match only gets its object header here. Null, with
// an exception set, where the list cannot be made.
PyObject* publish(BlockPtr block, PyObject* text, PyObject* patterns)
{
    const std::size_t count = block ? block->count : 0;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (!list || !count) return list;
    MatchBlock* owned = block.release();
    owned->text = Py_NewRef(text);
    owned->patterns = Py_NewRef(patterns);
    owned->alive = static_cast<Py_ssize_t>(count);
    MatchObject* matches = owned->matches();
    for (std::size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i),
                        PyObject_Init(reinterpret_cast<PyObject*>(&matches[i]), match_type));
    return list;
}

void match_dealloc(PyObject* self)
{
    MatchBlock* block = reinterpret_cast<MatchObject*>(self)->block;
    if (--block->alive > 0) return;
    Py_DECREF(block->text);
    Py_DECREF(block->patterns);
    UnpublishedBlock()(block);
}

// Numbers the lines of every match of `block`, whose starts only grow, so
// that the text is read once: a caller that reads only the spans does not
// pay for a pass over the text up to the last match.
template <typename Char> void number_lines(Units<Char> text, MatchBlock& block)
{
    const Char* const units = text.data();
    std::uint64_t counted_to = 0, line = 1, line_start = 0;
    MatchObject* const matches = block.matches();
    for (std::size_t i = 0; i < block.count; ++i) {
        Located& found = matches[i].found;
        const auto from = units + counted_to, to = units + found.start;
        // The line's start moves only past a line feed, and then lies after the last one.
        if (const std::uint64_t feeds = count_line_feeds(from, to)) {
            line += feeds;
            line_start = static_cast<std::uint64_t>(last_line_feed(from, to) + 1 - units);
        }
        counted_to = found.start;
        found.line = line;
        found.column = found.start - line_start + 1;
    }
}

// Gives the match its line and column, numbering its text's matches the
// first time one is asked for.
void resolve_lines(PyObject* self)
{
    auto* match = reinterpret_cast<MatchObject*>(self);
    if (match->found.line) return;
    // Only a search's block lacks lines: its `text` is the whole text searched.
    MatchBlock& block = *match->block;
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(block.text));
    const void* data = PyUnicode_DATA(block.text);
    switch (PyUnicode_KIND(block.text)) {
    case PyUnicode_1BYTE_KIND: number_lines(Units<char>(static_cast<const char*>(data), length), block); break;
    case PyUnicode_2BYTE_KIND: number_lines(Units<char16_t>(static_cast<const char16_t*>(data), length), block); break;
    default: number_lines(Units<char32_t>(static_cast<const char32_t*>(data), length), block); break;
    }
}

const Located& found_of(PyObject* self)
{
    return reinterpret_cast<MatchObject*>(self)->found;
}

PyObject* match_text(PyObject* self, void* = nullptr)
{
    auto* match = reinterpret_cast<MatchObject*>(self);
    const MatchBlock& block = *match->block;
    return PyUnicode_Substring(block.text, static_cast<Py_ssize_t>(match->found.start - block.text_at),
                               static_cast<Py_ssize_t>(match->found.end - block.text_at));
}

// The match's pattern, borrowed.
PyObject* pattern_of(PyObject* self)
{
    auto* match = reinterpret_cast<MatchObject*>(self);
    const MatchBlock& block = *match->block;
    return PyList_GET_ITEM(block.patterns, block.own_pattern ? 0 : match->found.pattern);
}

PyObject* match_pattern(PyObject* self, void*)
{
    return Py_NewRef(pattern_of(self));
}

enum class Field { start, end, score, line, column, pattern_index };
constexpr Field fields[] = {Field::start, Field::end, Field::score, Field::line, Field::column, Field::pattern_index};

PyObject* match_field(PyObject* self, void* which)
{
    const Field field = *static_cast<const Field*>(which);
    if (field == Field::line || field == Field::column) resolve_lines(self);
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
    resolve_lines(self);
    resolve_lines(other);
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
    resolve_lines(self);
    const Located& found = found_of(self);
    PyObject* text = match_text(self);
    PyObject* score = text ? PyFloat_FromDouble(found.score) : nullptr;
    PyObject* shown =
        score ? PyUnicode_FromFormat(
                    "Match(start=%llu, end=%llu, score=%R, line=%llu, column=%llu, text=%R, "
                    "pattern=%R, pattern_index=%lu)",
                    static_cast<unsigned long long>(found.start), static_cast<unsigned long long>(found.end), score,
                    static_cast<unsigned long long>(found.line), static_cast<unsigned long long>(found.column), text,
                    pattern_of(self), static_cast<unsigned long>(found.pattern))
              : nullptr;
    Py_XDECREF(text);
    Py_XDECREF(score);
    return shown;
}

// A match travels (to another process) with its own text alone.
PyObject* match_reduce(PyObject* self, PyObject*)
{
    resolve_lines(self);
    const Located& found = found_of(self);
    PyObject* rebuild = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_rebuild");
    PyObject* text = rebuild ? match_text(self) : nullptr;
    PyObject* reduced =
        text ? Py_BuildValue("(N(KKdKKOOk))", rebuild, static_cast<unsigned long long>(found.start),
                             static_cast<unsigned long long>(found.end), found.score,
                             static_cast<unsigned long long>(found.line), static_cast<unsigned long long>(found.column),
                             text, pattern_of(self), static_cast<unsigned long>(found.pattern))
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
    if (!line) {
        PyErr_SetString(PyExc_ValueError, "a match's line counts from 1");
        return nullptr;
    }
    found.start = start, found.end = end, found.line = line, found.column = column;
    found.pattern = static_cast<std::uint32_t>(pattern_index);
    BlockPtr block;
    try {
        block = new_block(1);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    block->text_at = start;
    block->own_pattern = true;
    new (block->matches()) MatchObject{{}, found, block.get()};
    PyObject* patterns = PyList_New(1);
    if (!patterns) return nullptr;
    PyList_SET_ITEM(patterns, 0, Py_NewRef(pattern));
    PyObject* list = publish(std::move(block), text, patterns);
    Py_DECREF(patterns);
    PyObject* match = list ? Py_NewRef(PyList_GET_ITEM(list, 0)) : nullptr;
    Py_XDECREF(list);
    return match;
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
// Ctrl-C during a search without the interpreter lock: now and then (about
// every millisecond of work) the searching thread takes the lock back and
// lets the interpreter run its signal handlers; one that raised (Ctrl-C's
// raises KeyboardInterrupt) ends the search with its exception.
bool signal_handler_raised(void*)
{
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return raised;
}

PyObject* query_find(PyObject* self, PyObject* text)
{
    QueryObject* object = query_of(self);
    TextArgument argument;
    if (!object || !bindings::convert_text(text, "text", argument)) return nullptr;
    BlockPtr found;
    if (!bindings::run_unlocked([&] {
            found = block_of(search_text(*object->query, argument, Cancellation(signal_handler_raised, nullptr)));
        }))
        return nullptr;
    return publish(std::move(found), text, object->patterns);
}

// ---- ManySearch: find_many's texts, searched on several threads ----------

// One text of find_many between being taken from the caller's iterable and
// being handed back with its matches.
struct InFlight {
    PyObject* text = nullptr; // held by the calling thread, which alone touches it
    TextArgument argument;
    BlockPtr found; // written by the thread that searched it, read once `done`
    std::exception_ptr failure;
    std::atomic<bool> done{false};
};

// What the calling thread hands back of one text.
struct Searched {
    PyObject* text;
    std::size_t length;
    BlockPtr found;
    std::exception_ptr failure;
};

bool cancelled_flag(void* flag)
{
    return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
}

// The texts in flight and the threads that search them beside the calling
// thread, made once per find_many. The calling thread takes texts from the
// iterable in order and hands their matches back in order; any thread,
// itself included, searches the next texts that nobody has taken. Helpers
// touch no Python object: the calling thread holds every text in flight.
class SearchPool {
public:
    SearchPool(const Query& query, std::size_t capacity, std::size_t most_helpers)
        : query_(query), ring_(capacity), searchers_(most_helpers + 1), most_helpers_(most_helpers)
    {
    }
    SearchPool(const SearchPool&) = delete;
    SearchPool& operator=(const SearchPool&) = delete;
    ~SearchPool() { stop(); }

    std::size_t in_flight() const { return static_cast<std::size_t>(filled_ - head_); }
    std::size_t capacity() const { return ring_.size(); }

    // Takes in `texts` (references, with their arguments), to be searched by
    // the next free threads; makes a helper where texts wait for one.
    void add(const std::vector<std::pair<PyObject*, TextArgument>>& texts)
    {
        bool grow = false;
        {
            const std::lock_guard<std::mutex> guard(lock_);
            for (const auto& [text, argument] : texts) {
                InFlight& item = at(filled_++);
                item.text = text;
                item.argument = argument;
                item.done.store(false, std::memory_order_relaxed);
            }
            grow = helpers_.size() < most_helpers_ && helpers_waiting_ == 0 && taken_ + 1 < filled_;
        }
        work_.notify_all();
        if (grow) add_helper();
    }

    // Waits, for at most `patience`, until the first text in flight is
    // searched, searching texts that nobody has taken meanwhile; hands it
    // back once it is. Called without the interpreter lock.
    std::optional<Searched> wait_first(std::chrono::milliseconds patience)
    {
        std::unique_lock<std::mutex> guard(lock_);
        while (!at(head_).done.load(std::memory_order_acquire)) {
            if (taken_ < filled_) {
                const std::uint64_t index = taken_++;
                guard.unlock();
                search(index);
                guard.lock();
                continue;
            }
            caller_waiting_.store(true);
            const bool done = finished_.wait_for(guard, patience, [&] { return at(head_).done.load(); });
            caller_waiting_.store(false);
            if (!done) return std::nullopt;
        }
        InFlight& item = at(head_++);
        Searched first{std::exchange(item.text, nullptr), item.argument.length, std::move(item.found),
                       std::exchange(item.failure, nullptr)};
        return first;
    }

    // Ends the helpers (a search under way ends soon) and joins them. Called
    // without the interpreter lock.
    void stop()
    {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        cancelled_.store(true, std::memory_order_relaxed);
        work_.notify_all();
        for (std::thread& helper : helpers_)
            helper.join();
        helpers_.clear();
    }

    // The texts still held, for the calling thread to release.
    std::vector<PyObject*> held_texts()
    {
        std::vector<PyObject*> held;
        for (std::uint64_t i = head_; i < filled_; ++i)
            held.push_back(std::exchange(at(i).text, nullptr));
        return held;
    }

private:
    InFlight& at(std::uint64_t index) { return ring_[index % ring_.size()]; }

    void search(std::uint64_t index)
    {
        InFlight& item = at(index);
        try {
            item.found = block_of(search_text(query_, item.argument, Cancellation(cancelled_flag, &cancelled_)));
        } catch (...) {
            item.failure = std::current_exception();
        }
        item.done.store(true);
        if (caller_waiting_.load()) {
            const std::lock_guard<std::mutex> guard(lock_);
            finished_.notify_one();
        }
    }

    // A helper takes a few texts at a time, so that short ones cost it few
    // turns of the lock, but leaves most to the others.
    void help()
    {
        std::unique_lock<std::mutex> guard(lock_);
        while (!stopping_) {
            if (taken_ < filled_) {
                const std::uint64_t first = taken_;
                const std::uint64_t share = (filled_ - taken_) / (2 * searchers_);
                taken_ += std::clamp<std::uint64_t>(share, 1, 16);
                const std::uint64_t last = taken_;
                guard.unlock();
                for (std::uint64_t index = first; index < last; ++index)
                    search(index);
                guard.lock();
                continue;
            }
            ++helpers_waiting_;
            work_.wait(guard);
            --helpers_waiting_;
        }
    }

    // A thread that cannot be made leaves the work to those there are.
    void add_helper() noexcept
    {
        try {
            helpers_.emplace_back([this] { help(); });
        } catch (...) {
            most_helpers_ = helpers_.size();
        }
    }

    const Query& query_;
    std::mutex lock_;
    std::condition_variable work_, finished_;
    std::vector<InFlight> ring_;
    // Counts of texts ever handed back, taken in, and taken by a searcher:
    // head_ <= taken_ <= filled_ <= head_ + capacity. Guarded by lock_.
    std::uint64_t head_ = 0, filled_ = 0, taken_ = 0;
    bool stopping_ = false;
    std::atomic<bool> caller_waiting_{false};
    std::size_t helpers_waiting_ = 0;
    std::atomic<bool> cancelled_{false};
    const std::uint64_t searchers_; // the helpers wanted and the calling thread
    std::vector<std::thread> helpers_; // touched by the calling thread alone
    std::size_t most_helpers_;
};

// Code points in flight beyond which no more texts are taken in (one text
// is always taken, however long).
constexpr std::size_t most_code_points_in_flight = std::size_t{1} << 23;
// How long the calling thread waits before it looks for Ctrl-C.
constexpr std::chrono::milliseconds signal_patience{50};

struct ManySearchObject {
    PyObject_HEAD PyObject* query; // the QueryObject
    PyObject* texts;               // the caller's iterator; null once read to the end or failed
    PyObject* failure;             // what reading it raised, raised in its place in the results
    SearchPool* pool;
    std::size_t code_points_in_flight;
    bool running; // in __next__, which may release the interpreter lock
};

PyTypeObject many_search_type{};

// Releases what the search holds: the helpers end, the texts in flight are
// dropped unsearched. An exception already set stays as it is.
void finish(ManySearchObject* many)
{
    PyObject* raised = PyErr_GetRaisedException();
    if (many->pool) {
        SearchPool* pool = std::exchange(many->pool, nullptr);
        Py_BEGIN_ALLOW_THREADS pool->stop();
        Py_END_ALLOW_THREADS;
        for (PyObject* text : pool->held_texts())
            Py_DECREF(text);
        delete pool;
    }
    Py_CLEAR(many->texts);
    PyErr_SetRaisedException(raised);
}

void many_search_dealloc(PyObject* self)
{
    auto* many = reinterpret_cast<ManySearchObject*>(self);
    finish(many);
    Py_XDECREF(many->failure);
    Py_XDECREF(many->query);
    PyObject_Free(self);
}

// Takes texts in, once no more than half as many as it may hold are in
// flight, until it holds enough or the iterable ends. A failure to read one,
// or a text that is no str, is kept to be raised in its place, after the
// matches of the texts before it; Ctrl-C, or any other exception that is no
// Exception, is raised at once (false).
bool take_texts_in(ManySearchObject* many)
{
    SearchPool& pool = *many->pool;
    if (!many->texts || 2 * pool.in_flight() > pool.capacity()) return true;
    std::vector<std::pair<PyObject*, TextArgument>> taken;
    try {
        taken.reserve(pool.capacity() - pool.in_flight());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    bool read = true;
    while (many->texts && pool.in_flight() + taken.size() < pool.capacity() &&
           (pool.in_flight() + taken.size() == 0 || many->code_points_in_flight < most_code_points_in_flight)) {
        PyObject* text = PyIter_Next(many->texts);
        TextArgument argument;
        if (text && bindings::convert_text(text, "texts", argument)) {
            many->code_points_in_flight += argument.length;
            taken.emplace_back(text, argument);
            continue;
        }
        Py_XDECREF(text);
        Py_CLEAR(many->texts);
        if (!PyErr_Occurred()) break;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            read = false;
            break;
        }
        many->failure = PyErr_GetRaisedException();
    }
    if (!taken.empty()) pool.add(taken);
    return read;
}

PyObject* next_matches(ManySearchObject* many)
{
    if (!many->pool) return nullptr; // finished
    if (!take_texts_in(many)) {
        finish(many);
        return nullptr;
    }
    SearchPool& pool = *many->pool;
    if (!pool.in_flight()) {
        finish(many);
        if (many->failure) PyErr_SetRaisedException(std::exchange(many->failure, nullptr));
        return nullptr;
    }
    std::optional<Searched> first;
    while (!first) {
        Py_BEGIN_ALLOW_THREADS first = pool.wait_first(signal_patience);
        Py_END_ALLOW_THREADS;
        // Ctrl-C during the wait is raised here, by this call, even when a
        // text came back meanwhile: not later, wherever the caller's loop
        // happens to be (CPython 3.13.0 can lose an exception raised there
        // to the handlers around the loop).
        if (PyErr_CheckSignals() < 0) {
            if (first) Py_DECREF(first->text);
            finish(many);
            return nullptr;
        }
    }
    many->code_points_in_flight -= first->length;
    PyObject* matches = nullptr;
    if (first->failure) {
        finish(many);
        bindings::run_unlocked([&] { std::rethrow_exception(first->failure); });
    } else {
        matches = publish(std::move(first->found), first->text, reinterpret_cast<QueryObject*>(many->query)->patterns);
        if (!matches) finish(many);
    }
    Py_DECREF(first->text);
    return matches;
}

PyObject* many_search_next(PyObject* self)
{
    auto* many = reinterpret_cast<ManySearchObject*>(self);
    if (many->running) {
        PyErr_SetString(PyExc_ValueError, "find_many's results are already being read by another thread");
        return nullptr;
    }
    many->running = true;
    PyObject* matches = next_matches(many);
    many->running = false;
    return matches;
}

// find_many(texts, threads) -> ManySearch: the matches of each text of the
// iterator `texts`, in order, searched on `threads` threads (the calling
// one among them).
PyObject* query_find_many(PyObject* self, PyObject* args)
{
    PyObject* texts;
    Py_ssize_t threads;
    if (!PyArg_ParseTuple(args, "On", &texts, &threads)) return nullptr;
    if (!query_of(self)) return nullptr;
    if (!PyIter_Check(texts)) {
        PyErr_Format(PyExc_TypeError, "find_many needs an iterator of str, not %T", texts);
        return nullptr;
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "find_many needs one thread at least");
        return nullptr;
    }
    // One thread takes one text at a time; more keep enough texts in flight
    // that none of them waits for the calling thread.
    const auto helpers = static_cast<std::size_t>(std::min<Py_ssize_t>(threads - 1, 1 << 10));
    const std::size_t capacity = helpers ? std::clamp<std::size_t>(64 * (helpers + 1), 256, 1 << 16) : 1;
    auto* many = PyObject_New(ManySearchObject, &many_search_type);
    if (!many) return nullptr;
    many->query = Py_NewRef(self);
    many->texts = Py_NewRef(texts);
    many->failure = nullptr;
    many->code_points_in_flight = 0;
    many->running = false;
    many->pool = nullptr;
    try {
        many->pool = new SearchPool(*reinterpret_cast<QueryObject*>(self)->query, capacity, helpers);
    } catch (const std::bad_alloc&) {
        Py_DECREF(many);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(many);
}

PyMethodDef query_methods[] = {
    {"find", query_find, METH_O, "find(text) -> list[Match]: the matches in `text`, located in it"},
    {"find_many", query_find_many, METH_VARARGS,
     "find_many(texts, threads) -> ManySearch: the matches of each text of the iterator, in order, searched on "
     "`threads` threads"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject query_type = bindings::native_type(
    "tessarin_search._native.Query", sizeof(QueryObject),
    "Query(patterns, separator, ignore_case, ignore_accents, metric, threshold, threshold_kind, edit_reach, "
    "strategies, collapse_white_space): a search converted once",
    query_init, query_dealloc, query_methods, nullptr);

bool ready_many_search_type()
{
    PyTypeObject& type = many_search_type;
    type = bindings::native_type("tessarin_search._native.ManySearch", sizeof(ManySearchObject),
                                 "The matches of many texts, in their order, searched on several threads.", nullptr,
                                 many_search_dealloc, nullptr, nullptr);
    type.tp_new = nullptr; // made by Query.find_many
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = many_search_next;
    return PyType_Ready(&type) == 0;
}

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
        (!many_search_type.tp_name && !ready_many_search_type()) ||
        PyModule_AddObjectRef(module, "Query", reinterpret_cast<PyObject*>(&query_type)) < 0 ||
        PyModule_AddObjectRef(module, "ManySearch", reinterpret_cast<PyObject*>(&many_search_type)) < 0 ||
        PyModule_AddObjectRef(module, "Match", reinterpret_cast<PyObject*>(match_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
