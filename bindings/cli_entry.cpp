// The command's private native entry, `tessarin_cli._native`: the command's
// options converted once into the core's settings (Command), and files read,
// searched and printed by the core's file search (src/stream) with the
// interpreter lock released: many small files in one call (search_files),
// or one file a block at a time (FileSearch). Nothing is searched here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "native_entry.hpp"
#include "stream/file_search.hpp"

namespace tessarin::cli {
namespace {

using bindings::native_type;
using bindings::run_unlocked;

// Set by cancel() from any thread: every running search ends soon after.
std::atomic<bool> stop_requested{false};

bool stop_check(void*)
{
    return stop_requested.load(std::memory_order_relaxed);
}

// A str's UTF-8 bytes; with "surrogateescape", a name's bytes as they
// were, those that are not UTF-8 included.
bool bytes_of(PyObject* object, std::string& out, const char* errors = "strict")
{
    PyObject* encoded = PyUnicode_AsEncodedString(object, "utf-8", errors);
    if (!encoded) return false;
    out.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    return true;
}

bool strings_of(PyObject* list, std::vector<std::string>& out)
{
    out.resize(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!bytes_of(PyList_GET_ITEM(list, i), out[static_cast<std::size_t>(i)])) return false;
    return true;
}

// The output modes by name, in the enum's order.
constexpr std::string_view output_names[] = {"lines", "only_matching", "json", "count", "files_with_matches", "quiet"};

// ---- Command: the options, converted once -----------------------------------

struct CommandObject {
    PyObject_HEAD SearchSettings* settings;
};

int command_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"patterns",       "separator",    "ignore_case",
                                     "ignore_accents", "metric",       "threshold",
                                     "threshold_kind", "strategies",   "output",
                                     "with_filename",  "line_number",  "column",
                                     "color",          "before",       "after",
                                     "max_count",      "text",         "binary",
                                     "edit_reach",     "with_pattern", "collapse_white_space",
                                     nullptr};
    PyObject *patterns, *separator, *metric, *strategies, *max_count;
    int ignore_case, ignore_accents, threshold_kind, with_filename, line_number, column, color, text, binary;
    int edit_reach = -1; // fuzzy raw windows m - k to m + k, as an edit count reads them
    int with_pattern = 0;
    int collapse_white_space = 0; // every run of white space read as one space
    double threshold;
    const char* output;
    Py_ssize_t before, after;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OppOdiO!sppppnnOpp|ipp", const_cast<char**>(keywords),
                                     &PyList_Type, &patterns, &separator, &ignore_case, &ignore_accents, &metric,
                                     &threshold, &threshold_kind, &PyList_Type, &strategies, &output, &with_filename,
                                     &line_number, &column, &color, &before, &after, &max_count, &text, &binary,
                                     &edit_reach, &with_pattern, &collapse_white_space))
        return -1;
    const auto* named = std::find(std::begin(output_names), std::end(output_names), std::string_view(output));
    const auto mode = static_cast<OutputMode>(named - std::begin(output_names));
    if (named == std::end(output_names) || before < 0 || after < 0 ||
        (max_count != Py_None && !PyLong_Check(max_count))) {
        PyErr_SetString(PyExc_ValueError, "an unknown output, or a negative count of lines");
        return -1;
    }
    auto settings = std::make_unique<SearchSettings>();
    std::vector<std::string> pattern_texts, strategy_names;
    std::string separator_text, metric_name;
    if (!strings_of(patterns, pattern_texts) || !strings_of(strategies, strategy_names) ||
        (separator != Py_None && !bytes_of(separator, separator_text)) ||
        (metric != Py_None && !bytes_of(metric, metric_name)))
        return -1;
    const bool tokens = separator != Py_None, fuzzy = metric != Py_None;
    settings->print.patterns = pattern_texts;
    settings->print.with_pattern = with_pattern;
    for (std::string& pattern : pattern_texts) {
        StreamQuery query;
        query.mode = fuzzy ? (tokens ? SearchMode::fuzzy_token : SearchMode::fuzzy_raw)
                           : (tokens ? SearchMode::exact_token : SearchMode::exact_raw);
        query.pattern = std::move(pattern);
        query.separator = separator_text;
        query.options = exact_search_options(ignore_case, ignore_accents, parse_strategies(strategy_names));
        query.options.metric = MetricChoice(metric_name);
        query.options.threshold = threshold;
        query.options.threshold_kind = threshold_kind == 0 ? ThresholdKind::Absolute : ThresholdKind::Normalized;
        query.options.edit_reach = edit_reach;
        query.crlf_line_feeds = true;
        query.collapse_white_space = collapse_white_space;
        // Only JSON prints positions in code points; without them, the text
        // between the places worth searching is passed over uncounted.
        query.code_points = mode == OutputMode::json;
        settings->queries.emplace_back(std::move(query));
    }
    PrintSettings& print = settings->print;
    print.mode = mode;
    print.with_name = with_filename, print.line_numbers = line_number, print.column = column, print.color = color;
    print.before = static_cast<std::uint64_t>(before), print.after = static_cast<std::uint64_t>(after);
    const long long limit = max_count == Py_None ? -1 : PyLong_AsLongLong(max_count);
    if (limit == -1 && PyErr_Occurred()) return -1;
    if (limit >= 0) print.max_count = static_cast<std::uint64_t>(limit);
    settings->text_mode = text, settings->binary_mode = binary;
    auto* object = reinterpret_cast<CommandObject*>(self);
    delete object->settings;
    object->settings = settings.release();
    return 0;
}

void command_dealloc(PyObject* self)
{
    delete reinterpret_cast<CommandObject*>(self)->settings;
    Py_TYPE(self)->tp_free(self);
}

const SearchSettings* settings_of(PyObject* command);

// ---- What became of a file --------------------------------------------------------

PyStructSequence_Field file_result_fields[] = {
    {"index", "the file's place among the paths given"},
    {"output", "what is printed for it (bytes)"},
    {"matched", "whether something matched"},
    {"error", "why it could not be read, or None"},
    {"in_blocks", "whether it is to be read in blocks instead (large, or not a regular file)"},
    {nullptr, nullptr},
};
PyStructSequence_Desc file_result_desc = {"tessarin_cli._native.FileResult", "What became of a file searched whole",
                                          file_result_fields, 5};
PyTypeObject* file_result_type = nullptr;

PyObject* file_result(const FileReport& report)
{
    PyObject* result = PyStructSequence_New(file_result_type);
    const int error = report.file.outcome == WholeFile::Outcome::failed ? report.file.error : 0;
    PyObject* values[] = {
        PyLong_FromSize_t(report.index),
        PyBytes_FromStringAndSize(report.output.data(), static_cast<Py_ssize_t>(report.output.size())),
        PyBool_FromLong(report.file.matched), error ? PyUnicode_FromString(std::strerror(error)) : Py_NewRef(Py_None),
        PyBool_FromLong(report.file.outcome == WholeFile::Outcome::too_large)};
    bool complete = result != nullptr;
    for (Py_ssize_t k = 0; k < 5; ++k) {
        complete = complete && values[k];
        if (result)
            PyStructSequence_SetItem(result, k, values[k] ? values[k] : Py_NewRef(Py_None));
        else
            Py_XDECREF(values[k]);
    }
    if (!complete) Py_CLEAR(result);
    return result;
}

// search_files(paths, labels, walked, limit) -> (results, bytes_read,
// searched): reads, searches and prints each regular file below `limit`
// bytes whole. Only the files with output, a match, an error or too large
// to read whole have a result; the first `searched` files were dealt with.
PyObject* search_files(PyObject* self, PyObject* args)
{
    PyObject *paths, *labels, *walked;
    Py_ssize_t limit;
    if (!PyArg_ParseTuple(args, "O!O!O!n", &PyList_Type, &paths, &PyList_Type, &labels, &PyList_Type, &walked, &limit))
        return nullptr;
    const SearchSettings* settings = settings_of(self);
    if (!settings) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(paths);
    if (PyList_GET_SIZE(labels) != count || PyList_GET_SIZE(walked) != count || limit < 0) {
        PyErr_SetString(PyExc_ValueError, "one label and one walked flag per path, and a limit of 0 or more");
        return nullptr;
    }
    std::vector<FileToSearch> files(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        FileToSearch& file = files[static_cast<std::size_t>(i)];
        PyObject* path = nullptr;
        const int flag = PyObject_IsTrue(PyList_GET_ITEM(walked, i));
        if (flag < 0 || !PyUnicode_FSConverter(PyList_GET_ITEM(paths, i), &path)) return nullptr;
        file.path.assign(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
        Py_DECREF(path);
        file.walked = flag != 0;
        if (!bytes_of(PyList_GET_ITEM(labels, i), file.label, "surrogateescape")) return nullptr;
    }
    std::vector<FileReport> reports;
    std::size_t searched = 0;
    std::uint64_t bytes_read = 0;
    if (!run_unlocked([&] {
            static thread_local StreamBuffer buffer; // its pages stay mapped from one file to the next
            Cancellation cancel(stop_check, nullptr);
            // What waits to be written stays a few blocks, however many files match.
            reports = search_whole_files(*settings, files, static_cast<std::uint64_t>(limit), std::size_t{1} << 20,
                                         buffer, cancel, searched, bytes_read);
        }))
        return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(reports.size()));
    for (std::size_t i = 0; list && i < reports.size(); ++i) {
        PyObject* item = file_result(reports[i]);
        if (!item)
            Py_CLEAR(list);
        else
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    if (!list) return nullptr;
    return Py_BuildValue("(NKn)", list, static_cast<unsigned long long>(bytes_read), static_cast<Py_ssize_t>(searched));
}

PyMethodDef command_methods[] = {
    {"search_files", search_files, METH_VARARGS,
     "search_files(paths, labels, walked, limit) -> (results, bytes_read, searched): search small files whole"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject command_type =
    native_type("tessarin_cli._native.Command", sizeof(CommandObject),
                "Command(patterns, separator, ignore_case, ignore_accents, metric, threshold, "
                "threshold_kind, strategies, output, with_filename, line_number, column, color, "
                "before, after, max_count, text, binary, edit_reach=-1, with_pattern=False): what the command "
                "asks of every file",
                command_init, command_dealloc, command_methods, nullptr);

const SearchSettings* settings_of(PyObject* command)
{
    if (!PyObject_TypeCheck(command, &command_type) || !reinterpret_cast<CommandObject*>(command)->settings) {
        PyErr_SetString(PyExc_TypeError, "an initialised Command is needed");
        return nullptr;
    }
    return reinterpret_cast<CommandObject*>(command)->settings;
}

// ---- One file, a block at a time ---------------------------------------------

struct FileSearchObject {
    PyObject_HEAD PyObject* command; // kept alive for the settings the search reads
    FileStepper* file;
};

// FileSearch(command, label, walked, block, fd=None): reads `fd` (or, without
// one, the bytes given to step()) and prints what the command asks for.
int file_search_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"command", "label", "walked", "block", "fd", nullptr};
    PyObject *command, *label, *fd_object = Py_None;
    int walked;
    Py_ssize_t block;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OUpn|O", const_cast<char**>(keywords), &command, &label, &walked,
                                     &block, &fd_object))
        return -1;
    const SearchSettings* settings = settings_of(command);
    std::string name;
    if (!settings || !bytes_of(label, name, "surrogateescape")) return -1;
    const long fd = fd_object == Py_None ? -1 : PyLong_AsLong(fd_object);
    auto* object = reinterpret_cast<FileSearchObject*>(self);
    if ((fd < 0 && fd_object != Py_None) || block <= 0 || object->file) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "a FileSearch takes a block and a descriptor once");
        return -1;
    }
    try {
        object->file =
            new FileStepper(*settings, std::move(name), walked, static_cast<std::size_t>(block), static_cast<int>(fd));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    object->command = Py_NewRef(command);
    return 0;
}

void file_search_dealloc(PyObject* self)
{
    auto* object = reinterpret_cast<FileSearchObject*>(self);
    delete object->file;
    Py_XDECREF(object->command);
    Py_TYPE(self)->tp_free(self);
}

// step(data=None) -> bytes: reads and searches the next block (or searches
// `data`, the next bytes; empty at the end) and returns what is printed.
PyObject* file_search_step(PyObject* self, PyObject* args)
{
    FileStepper* file = reinterpret_cast<FileSearchObject*>(self)->file;
    Py_buffer data{};
    if (!PyArg_ParseTuple(args, "|y*", &data)) return nullptr;
    const bool given = data.obj != nullptr;
    std::string out;
    const bool done =
        file && given != file->reads() && run_unlocked([&] {
            Cancellation cancel(stop_check, nullptr);
            file->step(std::string_view(static_cast<const char*>(data.buf), static_cast<std::size_t>(data.len)), cancel,
                       out);
        });
    if (given) PyBuffer_Release(&data);
    if (!done && !PyErr_Occurred())
        PyErr_SetString(PyExc_ValueError, "step() takes bytes exactly when the FileSearch has no file descriptor");
    if (!done) return nullptr;
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

// The attributes done, matched and bytes_read.
enum class FileState { done, matched, bytes_read };
FileState states[] = {FileState::done, FileState::matched, FileState::bytes_read};

PyObject* file_search_state(PyObject* self, void* which)
{
    const FileStepper* file = reinterpret_cast<FileSearchObject*>(self)->file;
    switch (*static_cast<const FileState*>(which)) {
    case FileState::done: return PyBool_FromLong(!file || file->done());
    case FileState::matched: return PyBool_FromLong(file && file->matched());
    default: return PyLong_FromUnsignedLongLong(file ? file->bytes_read() : 0);
    }
}

PyMethodDef file_search_methods[] = {
    {"step", file_search_step, METH_VARARGS,
     "step(data=None) -> bytes: search the next block of the file, or `data`, and return what is printed"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef file_search_getset[] = {
    {"done", file_search_state, nullptr, "nothing more of the file is wanted", &states[0]},
    {"matched", file_search_state, nullptr, "something matched", &states[1]},
    {"bytes_read", file_search_state, nullptr, "bytes of the file read so far", &states[2]},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject file_search_type =
    native_type("tessarin_cli._native.FileSearch", sizeof(FileSearchObject),
                "FileSearch(command, label, walked, block, fd=None): one file, read and printed a block at a time",
                file_search_init, file_search_dealloc, file_search_methods, file_search_getset);

PyObject* cancel(PyObject*, PyObject*)
{
    stop_requested.store(true);
    Py_RETURN_NONE;
}

PyObject* resume(PyObject*, PyObject*)
{
    stop_requested.store(false);
    Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"cancel", cancel, METH_NOARGS, "cancel() -> None: end every running search soon"},
    {"resume", resume, METH_NOARGS, "resume() -> None: let searches run again"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT,
                                 "tessarin_cli._native",
                                 "The tessarin command's native search of files.",
                                 -1,
                                 module_functions,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr};

} // namespace
} // namespace tessarin::cli

PyMODINIT_FUNC PyInit__native(void)
{
    using namespace tessarin::cli;
    PyObject* module = PyModule_Create(&module_definition);
    if (!module) return nullptr;
    if (!file_result_type) file_result_type = PyStructSequence_NewType(&file_result_desc);
    if (!file_result_type || PyType_Ready(&command_type) < 0 || PyType_Ready(&file_search_type) < 0 ||
        PyModule_AddObjectRef(module, "Command", reinterpret_cast<PyObject*>(&command_type)) < 0 ||
        PyModule_AddObjectRef(module, "FileSearch", reinterpret_cast<PyObject*>(&file_search_type)) < 0 ||
        PyModule_AddObjectRef(module, "FileResult", reinterpret_cast<PyObject*>(file_result_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
