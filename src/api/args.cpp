#include "api/args.hpp"

#include "progress/progress_py.hpp"

#include <algorithm>
#include <utility>

namespace kestrilune::api {
namespace {

constexpr int kParams = 6;
constexpr int kRequired = 4;
constexpr const char* kParamNames[kParams] = {"names",       "newick_iter", "translate_maps",
                                              "map_indices", "rooted",      "progress"};
enum Param { kNames, kNewickIter, kTranslateMaps, kMapIndices, kRooted, kProgress };

// Interned parameter names, created once per process (the module refuses a second
// interpreter) and never released.
PyObject* interned_names[kParams] = {};

const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// If the pending exception is a TypeError, replaces it by a new TypeError whose message
// names the argument and repeats the old message; the old error's cause carries over.
// Other exceptions (OverflowError, encoding errors) pass unchanged.
void name_the_argument(const char* argument) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_tb = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
    PyRef old_type = PyRef::steal(raw_type);
    PyRef old_value = PyRef::steal(raw_value);
    PyRef old_tb = PyRef::steal(raw_tb);

    PyRef text = PyRef::steal(PyObject_Str(old_value.get()));
    if (!text) {
        return;
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", argument, text.get()));
    if (!message) {
        return;
    }
    PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) {
        return;
    }
    if (PyObject* cause = PyException_GetCause(old_value.get())) {  // new reference
        PyException_SetCause(error.get(), cause);                     // steals it
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// The sequence test shared by names, translate_maps and map_indices: a str is refused, and
// anything the interpreter's sequence test rejects (dict, set, generator) too.
bool check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be taken as a sequence", type_name(obj));
        return false;
    }
    return true;
}

// Calls item_fn(item, index) for every item of a sequence that passed check_sequence. Its
// length, when it can be had, presizes `out` through reserve(), up to a cap: the length is
// only a hint (a __len__ may lie, sys.maxsize even), the items come from iteration.
template <class Vec, class ItemFn>
bool convert_items(PyObject* seq, Vec& out, ItemFn&& item_fn) {
    constexpr Py_ssize_t kMaxPresize = Py_ssize_t{1} << 16;
    const Py_ssize_t hint = PySequence_Size(seq);
    if (hint < 0) {
        // A failing length query is ignored, but not Ctrl-C or an exit request raised in it.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return false;
        }
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(std::min(hint, kMaxPresize)));
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(seq));
    if (!iter) {
        return false;
    }
    Py_ssize_t index = 0;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        if (!item_fn(item.get(), index)) {
            return false;
        }
        ++index;
    }
    return !PyErr_Occurred();
}

bool utf8_of(PyObject* str, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        return false;  // a lone surrogate: the interpreter's UnicodeEncodeError stands
    }
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_names(PyObject* obj, std::vector<std::string>& out) {
    if (!check_sequence(obj)) {
        return false;
    }
    return convert_items(obj, out, [&](PyObject* item, Py_ssize_t index) {
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "expected str items, got '%s' at index %zd",
                         type_name(item), index);
            return false;
        }
        return utf8_of(item, out.emplace_back());
    });
}

bool convert_iterator(PyObject* obj, PyRef& out) {
    if (!PyIter_Check(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "'%s' object cannot be converted to 'Iterator' (pass a generator or "
                     "iter(...))",
                     type_name(obj));
        return false;
    }
    out = PyRef::borrow(obj);
    return true;
}

bool convert_translate_map(PyObject* dict, Py_ssize_t index, TranslateMap& out) {
    out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    std::string key_text;
    std::string value_text;
    while (PyDict_Next(dict, &pos, &key, &value)) {  // borrowed references
        for (PyObject* part : {key, value}) {
            if (!PyUnicode_Check(part)) {
                PyErr_Format(PyExc_TypeError,
                             "translate map %zd must map str to str, found a %s of type '%s'",
                             index, part == key ? "key" : "value", type_name(part));
                return false;
            }
        }
        if (!utf8_of(key, key_text) || !utf8_of(value, value_text)) {
            return false;
        }
        out.insert_or_assign(std::move(key_text), std::move(value_text));
    }
    return true;
}

bool convert_translate_maps(PyObject* obj, std::vector<TranslateMap>& out) {
    if (!check_sequence(obj)) {
        return false;
    }
    return convert_items(obj, out, [&](PyObject* item, Py_ssize_t index) {
        if (!PyDict_Check(item)) {
            PyErr_Format(PyExc_TypeError, "expected dict items, got '%s' at index %zd",
                         type_name(item), index);
            return false;
        }
        return convert_translate_map(item, index, out.emplace_back());
    });
}

bool read_u64(PyObject* integer, std::uint64_t& out) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;  // OverflowError: negative or at least 2**64
    }
    out = value;
    return true;
}

bool convert_map_indices(PyObject* obj, std::vector<std::uint64_t>& out) {
    if (!check_sequence(obj)) {
        return false;
    }
    return convert_items(obj, out, [&](PyObject* item, Py_ssize_t) {
        std::uint64_t value = 0;
        if (PyLong_Check(item)) {
            if (!read_u64(item, value)) {
                return false;
            }
        } else {
            PyRef index = PyRef::steal(PyNumber_Index(item));  // TypeError without __index__
            if (!index || !read_u64(index.get(), value)) {
                return false;
            }
        }
        out.push_back(value);
        return true;
    });
}

// NumPy's boolean scalar, recognised by its type's module and name so that numpy need not
// be imported: numpy.bool_ (NumPy 1) or numpy.bool (NumPy 2).
bool is_numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
    if (!module || !PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        PyErr_Clear();
        return false;
    }
    PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

bool convert_rooted(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) {
            return false;
        }
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "expected bool, got '%s'", type_name(obj));
    return false;
}

bool convert_progress(PyObject* obj, PyRef& out) {
    if (!progress_py::is_progress_counter(obj)) {
        PyErr_Format(PyExc_TypeError, "expected ProgressCounter or None, got '%s'",
                     type_name(obj));
        return false;
    }
    out = PyRef::borrow(obj);
    return true;
}

// Matches a keyword name to a parameter: identity with the interned names first (the usual
// case, since the interpreter interns identifiers), then string equality.
int find_parameter(PyObject* keyword) {
    for (int p = 0; p < kParams; ++p) {
        if (keyword == interned_names[p]) {
            return p;
        }
    }
    for (int p = 0; p < kParams; ++p) {
        if (PyUnicode_Compare(keyword, interned_names[p]) == 0) {
            return p;
        }
    }
    return -1;
}

// Binds fast-call arguments to the six parameters with the interpreter's usual wording for
// binding errors. Slots receive borrowed references (the caller's vector keeps them alive).
bool bind(const char* function_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject* slots[kParams]) {
    if (nargs > kParams) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional arguments (%zd given)",
                     function_name, kParams, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return false;
        }
        const int p = find_parameter(keyword);
        if (p < 0) {
            PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", keyword,
                         function_name);
            return false;
        }
        if (slots[p] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)",
                         function_name, kParamNames[p], p + 1);
            return false;
        }
        slots[p] = args[nargs + k];
    }
    for (int p = 0; p < kRequired; ++p) {
        if (slots[p] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)",
                         function_name, kParamNames[p], p + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool init_keyword_names() {
    for (int p = 0; p < kParams; ++p) {
        if (interned_names[p] == nullptr) {
            interned_names[p] = PyUnicode_InternFromString(kParamNames[p]);
            if (interned_names[p] == nullptr) {
                return false;
            }
        }
    }
    return true;
}

bool bind_and_convert(const char* function_name, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, IterArgs& out) {
    PyObject* slots[kParams] = {};
    if (!bind(function_name, args, nargs, kwnames, slots)) {
        return false;
    }
    // Conversion in parameter order; the first failure ends the call.
    auto fail = [](Param p) {
        name_the_argument(kParamNames[p]);
        return false;
    };
    if (!convert_names(slots[kNames], out.names)) {
        return fail(kNames);
    }
    if (!convert_iterator(slots[kNewickIter], out.newick_iter)) {
        return fail(kNewickIter);
    }
    if (!convert_translate_maps(slots[kTranslateMaps], out.translate_maps)) {
        return fail(kTranslateMaps);
    }
    if (!convert_map_indices(slots[kMapIndices], out.map_indices)) {
        return fail(kMapIndices);
    }
    // rooted: omitted means False; an explicit None is converted, and refused.
    if (slots[kRooted] != nullptr && !convert_rooted(slots[kRooted], out.rooted)) {
        return fail(kRooted);
    }
    // progress: omitted and None both mean no counter.
    if (slots[kProgress] != nullptr && slots[kProgress] != Py_None &&
        !convert_progress(slots[kProgress], out.progress)) {
        return fail(kProgress);
    }
    return true;
}

}  // namespace kestrilune::api
