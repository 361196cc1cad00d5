#include "arguments.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tessarin::bindings {
namespace {

// Releases its reference however the scope is left, C++ exceptions included.
class OwnedReference {
public:
    explicit OwnedReference(PyObject* object) noexcept : object_(object) {}
    OwnedReference(const OwnedReference&) = delete;
    OwnedReference& operator=(const OwnedReference&) = delete;
    ~OwnedReference() { Py_XDECREF(object_); }
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_;
};

// The qualified name of the object's type, as a new reference; a stand-in
// text when the name cannot be read.
PyObject* type_name_of(PyObject* object)
{
    PyObject* name = PyType_GetQualName(Py_TYPE(object));
    if (name && PyUnicode_Check(name)) return name;
    Py_XDECREF(name);
    PyErr_Clear();
    return PyUnicode_FromString("<failed to extract type name>");
}

// Raises TypeError with `format`, whose one %U receives the type's name.
bool refuse_type(PyObject* object, const char* format)
{
    PyObject* name = type_name_of(object);
    if (name) {
        PyErr_Format(PyExc_TypeError, format, name);
        Py_DECREF(name);
    }
    return false;
}

// A conversion error of exactly TypeError is raised again as a TypeError
// that names the argument, with the original as its cause; any other error
// reaches the caller as it is.
bool fail_argument(const char* parameter)
{
    PyObject* error = PyErr_GetRaisedException();
    if (!error || !Py_IS_TYPE(error, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(error);
        return false;
    }
    PyObject* message = PyUnicode_FromFormat("argument '%s': %S", parameter, error);
    PyObject* wrapped = message ? PyObject_CallOneArg(PyExc_TypeError, message) : nullptr;
    Py_XDECREF(message);
    if (!wrapped) {
        Py_DECREF(error);
        return false;
    }
    PyException_SetCause(wrapped, error); // steals the reference to error
    PyErr_SetRaisedException(wrapped);
    return false;
}

// The UTF-8 form of a str that is known to be one, without a copy: an
// ASCII str's own bytes, else the encoded form that the interpreter keeps
// on the object. A lone surrogate raises the interpreter's
// UnicodeEncodeError.
bool utf8_of(PyObject* text, std::string_view& out)
{
    if (PyUnicode_IS_ASCII(text)) {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        return true;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// A strategy name into `list`, or false with the error set.
bool add_strategy(PyObject* item, const char* parameter, StrategyList& list)
{
    if (!PyUnicode_Check(item)) {
        refuse_type(item, "'%U' object cannot be converted to 'PyString'");
        return fail_argument(parameter);
    }
    std::string_view name;
    if (!utf8_of(item, name)) return fail_argument(parameter);
    list.add(parse_strategy(name));
    return true;
}

// 1 when the attribute is a str equal to `expected`, else 0; -1 with
// MemoryError set when memory ran out while reading it. Any other failure to
// read the attribute only means that it does not hold `expected`; running
// out of memory must not turn a NumPy boolean into a refused type.
int attribute_equals(PyObject* object, const char* attribute, const char* expected)
{
    PyObject* value = PyObject_GetAttrString(object, attribute);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
        PyErr_Clear();
        return 0;
    }
    const int equal = PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, expected) == 0;
    Py_DECREF(value);
    return equal;
}

// 1 for a NumPy boolean scalar, 0 for anything else, -1 with MemoryError set.
int is_numpy_bool(PyObject* object)
{
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    const int in_numpy = attribute_equals(type, "__module__", "numpy");
    if (in_numpy != 1) return in_numpy;
    const int named_bool_ = attribute_equals(type, "__name__", "bool_");
    return named_bool_ != 0 ? named_bool_ : attribute_equals(type, "__name__", "bool");
}

void append_quoted_names(std::string& text, const std::vector<const char*>& names)
{
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += '\'';
        text += names[i];
        text += '\'';
    }
}

} // namespace

bool bind_arguments(const char* function, const char* const* names, Py_ssize_t count, PyObject* const* args,
                    Py_ssize_t nargsf, PyObject* kwnames, PyObject** bound)
{
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", function, count,
                     positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        bound[i] = i < positional ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = 0;
        while (slot < count && PyUnicode_CompareWithASCIIString(keyword, names[slot]) != 0)
            ++slot;
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, keyword);
            return false;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[slot]);
            return false;
        }
        bound[slot] = args[positional + k];
    }

    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!bound[i]) missing.push_back(names[i]);
    if (!missing.empty()) {
        std::string listed;
        append_quoted_names(listed, missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function, missing.size(),
                     missing.size() > 1 ? "s" : "", listed.c_str());
        return false;
    }
    return true;
}

bool convert_metric(PyObject* object, const char* parameter, MetricChoice& value)
{
    if (!PyUnicode_Check(object)) {
        refuse_type(object, "'%U' object cannot be converted to 'PyString'");
        return fail_argument(parameter);
    }
    std::string_view name;
    if (!utf8_of(object, name)) return fail_argument(parameter);
    value = MetricChoice(name);
    return true;
}

bool convert_text(PyObject* object, const char* parameter, TextArgument& value)
{
    if (!PyUnicode_Check(object)) {
        refuse_type(object, "'%U' object cannot be converted to 'PyString'");
        return fail_argument(parameter);
    }
    value.length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
    value.data = PyUnicode_DATA(object);
    bool surrogate = false;
    switch (PyUnicode_KIND(object)) {
    case PyUnicode_1BYTE_KIND:
        value.width = 1;
        value.ascii = PyUnicode_IS_ASCII(object);
        return true;
    case PyUnicode_2BYTE_KIND:
        value.width = 2;
        surrogate = has_surrogate(std::u16string_view(static_cast<const char16_t*>(value.data), value.length));
        break;
    default:
        value.width = 4;
        surrogate = has_surrogate(std::u32string_view(static_cast<const char32_t*>(value.data), value.length));
        break;
    }
    value.ascii = false;
    if (!surrogate) return true;
    // A lone surrogate has no UTF-8 form: the interpreter raises its own
    // UnicodeEncodeError for it.
    PyObject* bytes = PyUnicode_AsUTF8String(object);
    Py_XDECREF(bytes);
    return bytes ? true : fail_argument(parameter);
}

bool convert_flag(PyObject* object, const char* parameter, bool& value)
{
    if (PyBool_Check(object)) {
        value = object == Py_True;
        return true;
    }
    const int numpy_bool = is_numpy_bool(object);
    if (numpy_bool < 0) return false;
    if (numpy_bool == 0) {
        refuse_type(object, "'%U' object cannot be converted to 'PyBool'");
        return fail_argument(parameter);
    }
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (!number || !number->nb_bool) {
        refuse_type(object, "object of type '%U' does not define a '__bool__' conversion");
        return fail_argument(parameter);
    }
    const int truth = number->nb_bool(object);
    if (truth < 0) return fail_argument(parameter);
    value = truth != 0;
    return true;
}

bool convert_threshold(PyObject* object, const char* parameter, double& value)
{
    value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return fail_argument(parameter);
    return true;
}

bool convert_threshold_kind(PyObject* object, const char* parameter, std::uint8_t& value)
{
    const long number = PyLong_AsLong(object);
    if (number == -1 && PyErr_Occurred()) return fail_argument(parameter);
    if (number < 0 || number > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return fail_argument(parameter);
    }
    value = static_cast<std::uint8_t>(number);
    return true;
}

bool convert_strategies(PyObject* object, const char* parameter, StrategyList& value)
{
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return fail_argument(parameter);
    }
    if (!PySequence_Check(object)) {
        refuse_type(object, "'%U' object cannot be converted to 'Sequence'");
        return fail_argument(parameter);
    }
    // An exact list or tuple is read in place: reading it runs no Python
    // code, so nothing can change it meanwhile. Every item is checked, also
    // those after a name that ends the list of strategies that count.
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(object);
        PyObject** items = PySequence_Fast_ITEMS(object);
        for (Py_ssize_t i = 0; i < count; ++i)
            if (!add_strategy(items[i], parameter, value)) return false;
        return true;
    }
    // The size is only a hint, and not needed: iterating decides.
    if (PySequence_Size(object) < 0) PyErr_Clear();
    OwnedReference iterator(PyObject_GetIter(object));
    if (!iterator) return fail_argument(parameter);
    while (OwnedReference item{PyIter_Next(iterator.get())})
        if (!add_strategy(item.get(), parameter, value)) return false;
    return !PyErr_Occurred() || fail_argument(parameter);
}

} // namespace tessarin::bindings
