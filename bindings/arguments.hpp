// Binding and conversion of the entry functions' arguments. Every function
// returns false with a Python exception set when the argument is refused.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/mod.hpp"
#include "text/units.hpp"

namespace tessarin::bindings {

// A str argument as the interpreter stores it, one, two or four bytes per
// code point, lent for the call: the caller's reference keeps the str alive
// (and a str never changes) until the call returns.
struct TextArgument {
    const void* data = "";
    std::size_t length = 0;
    int width = 1;
    bool ascii = true;

    // The text as the extractors take it.
    TextInput input() const noexcept
    {
        switch (width) {
        case 1: return TextInput::borrowed(UnitText::borrowed(std::string_view(static_cast<const char*>(data), length), ascii));
        case 2: return TextInput::borrowed(UnitText::borrowed(std::u16string_view(static_cast<const char16_t*>(data), length)));
        default: return TextInput::borrowed(UnitText::borrowed(std::u32string_view(static_cast<const char32_t*>(data), length)));
        }
    }
};

// Fills bound[0 .. count) with borrowed references to the arguments, matched
// to `names` by position and then by keyword, as a Python function with
// `count` required parameters would.
bool bind_arguments(const char* function, const char* const* names, Py_ssize_t count, PyObject* const* args,
                    Py_ssize_t nargsf, PyObject* kwnames, PyObject** bound);

// Conversions of one argument each; `parameter` names it in error messages.
// A text searched, a pattern or a separator: the str's own storage.
bool convert_text(PyObject* object, const char* parameter, TextArgument& value);
// A metric name, read where it lies and matched against the names.
bool convert_metric(PyObject* object, const char* parameter, MetricChoice& value);
bool convert_flag(PyObject* object, const char* parameter, bool& value);
bool convert_threshold(PyObject* object, const char* parameter, double& value);
bool convert_threshold_kind(PyObject* object, const char* parameter, std::uint8_t& value);
// Strategy names, each read where it lies and matched against the names.
bool convert_strategies(PyObject* object, const char* parameter, StrategyList& value);

} // namespace tessarin::bindings
