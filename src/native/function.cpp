// The module's function type. Attribute set, descriptor binding, argument
// binding and error wording follow Objects/funcobject.c and the interpreter's
// own binding of arguments to a `def` with positional-or-keyword parameters.
#include "function.hpp"

#include "compat.hpp"
#include "stack.hpp"
#include "state.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstddef>

namespace npu {

namespace {

// The name argument errors give the function; a new reference.
Ref code_name(NativeFunction* f) {
    return Ref::borrow(kErrorsNameQualname ? f->qualname : f->co_name);
}

void too_many_positional(NativeFunction* f, Py_ssize_t given, Py_ssize_t defcount) {
    const Py_ssize_t argcount = f->info->argcount;
    Ref sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", argcount));
    }
    Ref name = code_name(f);
    if (!sig || !name) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 name.get(), sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the missing names as the
// interpreter lists them.
void missing_arguments(NativeFunction* f, PyObject* const* slots, Py_ssize_t end) {
    Py_ssize_t missing[kMaxParams];
    Py_ssize_t len = 0;
    for (Py_ssize_t i = 0; i < end; ++i) {
        if (!slots[i]) {
            missing[len++] = i;
        }
    }
    Ref listed;
    for (Py_ssize_t k = 0; k < len; ++k) {
        PyObject* name = PyTuple_GET_ITEM(f->varnames, missing[k]);
        const char* format = k == 0              ? "%R"
                             : k < len - 1       ? "%U, %R"
                             : len == 2          ? "%U and %R"
                                                 : "%U, and %R";
        listed = k == 0 ? Ref::steal(PyUnicode_FromFormat(format, name))
                        : Ref::steal(PyUnicode_FromFormat(format, listed.get(), name));
        if (!listed) {
            return;
        }
    }
    Ref name = code_name(f);
    if (!listed || !name) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 name.get(), len, len == 1 ? "" : "s", listed.get());
}

// From 3.13 the interpreter suggests the closest parameter name for an
// unexpected keyword: a Levenshtein distance over UTF-8 bytes where a case
// flip costs 1 and any other edit 2, accepted when at most a third of the
// characters involved change. The same rule is applied here.
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;
constexpr size_t kMaxCompared = 40;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) {
        return kMoveCost;
    }
    if (a == b) {
        return 0;
    }
    auto lower = [](char c) { return ('A' <= c && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    return lower(a) == lower(b) ? kCaseCost : kMoveCost;
}

size_t edit_distance(const char* a, size_t a_size, const char* b, size_t b_size,
                     size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) {
        ++a, ++b, --a_size, --b_size;
    }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) {
        --a_size, --b_size;
    }
    if (a_size == 0 || b_size == 0) {
        return (a_size + b_size) * kMoveCost;
    }
    if (a_size > kMaxCompared || b_size > kMaxCompared) {
        return max_cost + 1;
    }
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) {
        return max_cost + 1;
    }
    size_t row[kMaxCompared];
    for (size_t i = 0; i < a_size; ++i) {
        row[i] = (i + 1) * kMoveCost;
    }
    size_t result = 0;
    for (size_t j = 0; j < b_size; ++j) {
        size_t diagonal = result = j * kMoveCost;
        size_t row_minimum = SIZE_MAX;
        for (size_t i = 0; i < a_size; ++i) {
            const size_t substitute = diagonal + substitution_cost(b[j], a[i]);
            diagonal = row[i];
            result = std::min(std::min(result, diagonal) + kMoveCost, substitute);
            row[i] = result;
            row_minimum = std::min(row_minimum, result);
        }
        if (row_minimum > max_cost) {
            return max_cost + 1;
        }
    }
    return result;
}

// The parameter name closest to `key`, borrowed; NULL when none is close.
PyObject* closest_param(NativeFunction* f, PyObject* key) {
    Py_ssize_t key_size;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (!key_text) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    Py_ssize_t best_distance = PY_SSIZE_T_MAX;
    for (Py_ssize_t i = 0; i < f->info->argcount; ++i) {
        PyObject* name = PyTuple_GET_ITEM(f->varnames, i);
        Py_ssize_t size;
        const char* text = PyUnicode_AsUTF8AndSize(name, &size);
        if (!text) {
            PyErr_Clear();
            return nullptr;
        }
        if (PyUnicode_CompareWithASCIIString(key, text) == 0) {
            continue;
        }
        Py_ssize_t limit = (key_size + size + 3) * static_cast<Py_ssize_t>(kMoveCost) / 6;
        limit = std::min(limit, best_distance - 1);
        const auto distance = static_cast<Py_ssize_t>(
            edit_distance(key_text, key_size, text, size, static_cast<size_t>(limit)));
        if (distance > limit) {
            continue;
        }
        if (!best || distance < best_distance) {
            best = name;
            best_distance = distance;
        }
    }
    return best;
}

void unexpected_keyword(NativeFunction* f, PyObject* key) {
    Ref name = code_name(f);
    if (!name) {
        return;
    }
    if (PyObject* suggestion = kSuggestsKeywords ? closest_param(f, key) : nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     name.get(), key, suggestion);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", name.get(),
                 key);
}

// Index of the parameter called `key`, -1 if none, -2 on error.
Py_ssize_t find_param(NativeFunction* f, PyObject* key) {
    PyObject* names = f->varnames;
    const Py_ssize_t n = f->info->argcount;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(names, i) == key) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(names, i), key, Py_EQ);
        if (eq < 0) {
            return -2;
        }
        if (eq) {
            return i;
        }
    }
    return -1;
}

// The general binding: keywords, missing and surplus arguments, defaults.
NPU_OWN_FRAME PyObject* bind_and_call(NativeFunction* f, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t argcount = f->info->argcount;
    PyObject* slots[kMaxParams] = {};
    const Py_ssize_t npos = nargs < argcount ? nargs : argcount;
    for (Py_ssize_t i = 0; i < npos; ++i) {
        slots[i] = args[i];
    }
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                Ref name = code_name(f);
                if (name) {
                    PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", name.get());
                }
                return nullptr;
            }
            const Py_ssize_t j = find_param(f, key);
            if (j == -2) {
                return nullptr;
            }
            if (j == -1) {
                unexpected_keyword(f, key);
                return nullptr;
            }
            if (slots[j]) {
                Ref name = code_name(f);
                if (name) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                                 name.get(), key);
                }
                return nullptr;
            }
            slots[j] = args[nargs + k];
        }
    }
    // Defaults stay alive for the call even if the body rebinds __defaults__.
    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    if (nargs > argcount) {
        too_many_positional(f, nargs, defcount);
        return nullptr;
    }
    if (nargs < argcount) {
        const Py_ssize_t m = argcount - defcount;
        for (Py_ssize_t i = nargs; i < m; ++i) {
            if (!slots[i]) {
                missing_arguments(f, slots, m);
                return nullptr;
            }
        }
        for (Py_ssize_t i = npos > m ? npos - m : 0; i < defcount; ++i) {
            if (!slots[m + i]) {
                slots[m + i] = PyTuple_GET_ITEM(defaults.get(), i);
            }
        }
    }
    return f->info->body(f, slots);
}

// An exception leaving a function gets a traceback entry for it, as it would
// leaving a Python function: the function's code (its name and the module's
// file) in a frame over the module's namespace, where the "Did you mean"
// hint of a NameError looks for names. Not on 3.9, which has no such hint
// and whose linecache fails on a file that is not text.
NPU_OWN_FRAME void add_traceback_entry(NativeFunction* f) {
    if (!kTracebacksNameExtensionFiles) {
        return;
    }
    SetAside error;
    PyFrameObject* frame = PyFrame_New(current_thread_state(),
                                       reinterpret_cast<PyCodeObject*>(f->code), f->globals,
                                       nullptr);
    if (!frame) {
        PyErr_Clear();  // the exception goes on without the entry
    }
    error.raise_again();
    if (frame) {
        PyTraceBack_Here(frame);  // on failure, its own error stands in the exception's place
        Py_DECREF(frame);
    }
}

// The common shape of a call with defaults: the first arguments by
// position, the rest from the end of __defaults__ (kept alive for the call
// even if the body rebinds it).
NPU_OWN_FRAME PyObject* call_with_defaults(NativeFunction* f, PyObject* const* args,
                                           Py_ssize_t nargs) {
    const Py_ssize_t argcount = f->info->argcount;
    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t defcount = PyTuple_GET_SIZE(defaults.get());
    PyObject* slots[kMaxParams];
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    for (Py_ssize_t i = nargs; i < argcount; ++i) {
        slots[i] = PyTuple_GET_ITEM(defaults.get(), defcount - argcount + i);
    }
    return f->info->body(f, slots);
}

// As a Python function's frame does, every call passes the interpreter's
// recursion check: bodies call back into Python, which may call them again.
// The call's own frame holds nothing more, so that a recursion through the
// module holds as little stack as it can: binding that needs room of its own
// has a frame of its own.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* f = reinterpret_cast<NativeFunction*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyThreadState* ts;
    if (!enter_function_call(&ts)) {
        return nullptr;
    }
    const Py_ssize_t argcount = f->info->argcount;
    const bool positional = !kwnames || PyTuple_GET_SIZE(kwnames) == 0;
    PyObject* result;
    if (positional && nargs == argcount) {
        result = f->info->body(f, args);
    } else if (positional && nargs < argcount && f->defaults &&
               argcount - nargs <= PyTuple_GET_SIZE(f->defaults)) {
        result = call_with_defaults(f, args, nargs);
    } else {
        result = bind_and_call(f, args, nargs, positional ? nullptr : kwnames);
    }
    leave_function_call(ts);
    if (!result) {
        add_traceback_entry(f);
    }
    return result;
}

// --- attributes ------------------------------------------------------------

PyObject* get_code(NativeFunction* f, void*) {
    if (PySys_Audit("object.__getattr__", "Os", f, "__code__") < 0) {
        return nullptr;
    }
    Py_INCREF(f->code);
    return f->code;
}

// __doc__ and __module__: anything, and None once deleted, as a def's
// function has them.
PyObject* get_optional(PyObject* value) {
    return Ref::borrow(value ? value : Py_None).release();
}

int set_optional(PyObject** slot, PyObject* value) {
    Py_XSETREF(*slot, Ref::borrow(value).release());
    return 0;
}

PyObject* get_doc(NativeFunction* f, void*) { return get_optional(f->doc); }
int set_doc(NativeFunction* f, PyObject* value, void*) { return set_optional(&f->doc, value); }
PyObject* get_module(NativeFunction* f, void*) { return get_optional(f->module); }
int set_module(NativeFunction* f, PyObject* value, void*) {
    return set_optional(&f->module, value);
}

// __defaults__ and __kwdefaults__: None, or an object of one type, each read,
// write and deletion audited as for a function; the getset's closure says
// which of the two.
struct DefaultsField {
    const char* name;
    PyObject* NativeFunction::*field;
    int (*is_its_type)(PyObject*);
    const char* type_error;
};
const DefaultsField kDefaults{"__defaults__", &NativeFunction::defaults,
                              [](PyObject* o) { return PyTuple_Check(o) ? 1 : 0; },
                              "__defaults__ must be set to a tuple object"};
const DefaultsField kKwdefaults{"__kwdefaults__", &NativeFunction::kwdefaults,
                                [](PyObject* o) { return PyDict_Check(o) ? 1 : 0; },
                                "__kwdefaults__ must be set to a dict object"};

PyObject* get_defaults_field(NativeFunction* f, void* closure) {
    const auto& d = *static_cast<const DefaultsField*>(closure);
    if (PySys_Audit("object.__getattr__", "Os", f, d.name) < 0) {
        return nullptr;
    }
    PyObject* value = f->*d.field;
    if (!value) {
        Py_RETURN_NONE;
    }
    Py_INCREF(value);
    return value;
}

int set_defaults_field(NativeFunction* f, PyObject* value, void* closure) {
    const auto& d = *static_cast<const DefaultsField*>(closure);
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !d.is_its_type(value)) {
        PyErr_SetString(PyExc_TypeError, d.type_error);
        return -1;
    }
    if (value ? PySys_Audit("object.__setattr__", "OsO", f, d.name, value) < 0
              : PySys_Audit("object.__delattr__", "Os", f, d.name) < 0) {
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(f->*d.field, value);
    return 0;
}

// __annotations__: from 3.14 made by calling __annotate__ (PEP 649) where
// it is callable, once, else an empty dict made on first access.
PyObject* get_annotations(NativeFunction* f, void*) {
    if (!f->annotations) {
        if (kFunctionsHaveAnnotate && f->annotate && PyCallable_Check(f->annotate)) {
            Ref one = Ref::steal(PyLong_FromLong(1));  // annotationlib.Format.VALUE
            Ref made = one ? call(f->annotate, one.get()) : Ref();
            if (!made) {
                return nullptr;
            }
            if (!PyDict_Check(made.get())) {
                raise_not_annotations(made.get());
                return nullptr;
            }
            Py_XSETREF(f->annotations, made.release());
        } else if (!(f->annotations = PyDict_New())) {
            return nullptr;
        }
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(NativeFunction* f, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(f->annotations, value);
    Py_CLEAR(f->annotate);
    return 0;
}

PyObject* get_annotate(NativeFunction* f, void*) { return get_optional(f->annotate); }

int set_annotate(NativeFunction* f, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_XSETREF(f->annotate, Ref::borrow(value).release());
    if (value != Py_None) {
        Py_CLEAR(f->annotations);
    }
    return 0;
}

int set_text(PyObject** slot, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

PyObject* get_name(NativeFunction* f, void*) {
    Py_INCREF(f->name);
    return f->name;
}

int set_name(NativeFunction* f, PyObject* value, void*) {
    return set_text(&f->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(NativeFunction* f, void*) {
    Py_INCREF(f->qualname);
    return f->qualname;
}

int set_qualname(NativeFunction* f, PyObject* value, void*) {
    return set_text(&f->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_type_params(NativeFunction* f, void*) {
    if (!f->type_params) {
        return PyTuple_New(0);
    }
    Py_INCREF(f->type_params);
    return f->type_params;
}

int set_type_params(NativeFunction* f, PyObject* value, void*) {
    if (!value || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(f->type_params, value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__code__", reinterpret_cast<getter>(get_code), nullptr, nullptr, nullptr},
    {"__doc__", reinterpret_cast<getter>(get_doc), reinterpret_cast<setter>(set_doc), nullptr,
     nullptr},
    {"__defaults__", reinterpret_cast<getter>(get_defaults_field),
     reinterpret_cast<setter>(set_defaults_field), nullptr,
     const_cast<DefaultsField*>(&kDefaults)},
    {"__kwdefaults__", reinterpret_cast<getter>(get_defaults_field),
     reinterpret_cast<setter>(set_defaults_field), nullptr,
     const_cast<DefaultsField*>(&kKwdefaults)},
    {"__annotations__", reinterpret_cast<getter>(get_annotations),
     reinterpret_cast<setter>(set_annotations), nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", reinterpret_cast<getter>(get_name), reinterpret_cast<setter>(set_name), nullptr,
     nullptr},
    {"__qualname__", reinterpret_cast<getter>(get_qualname),
     reinterpret_cast<setter>(set_qualname), nullptr, nullptr},
    // Last, newest last: where functions do not have one, it ends the table.
    {kFunctionsHaveTypeParams ? "__type_params__" : nullptr,
     reinterpret_cast<getter>(get_type_params), reinterpret_cast<setter>(set_type_params),
     nullptr, nullptr},
    {kFunctionsHaveAnnotate ? "__annotate__" : nullptr, reinterpret_cast<getter>(get_annotate),
     reinterpret_cast<setter>(set_annotate), nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A function's __module__ is its own, as a def's is; the type's __module__
// is "builtins", as that of the interpreter's function type is (pickle then
// refuses the type as it refuses that one). A heap type's namespace holds
// the type's, so the function's is read and written here.
bool is_module_attribute(PyObject* name) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__module__") == 0;
}

PyObject* function_getattro(PyObject* self, PyObject* name) {
    if (is_module_attribute(name)) {
        return get_module(reinterpret_cast<NativeFunction*>(self), nullptr);
    }
    return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (is_module_attribute(name)) {
        return set_module(reinterpret_cast<NativeFunction*>(self), value, nullptr);
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// The offsets of the struct's parts, which tell the type where they are
// (and are taken out of its namespace again), then the attributes kept in it.
const char* const kOffsetMembers[] = {"__dictoffset__", "__weaklistoffset__",
                                      "__vectorcalloffset__"};
PyMemberDef function_members[] = {
    {kOffsetMembers[0], Py_T_PYSSIZET, offsetof(NativeFunction, dict), Py_READONLY, nullptr},
    {kOffsetMembers[1], Py_T_PYSSIZET, offsetof(NativeFunction, weakreflist), Py_READONLY,
     nullptr},
    {kOffsetMembers[2], Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY,
     nullptr},
    // Read-only members, as a def's function has them ("readonly attribute").
    {"__closure__", Py_T_OBJECT_EX, offsetof(NativeFunction, closure), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(NativeFunction, globals), Py_READONLY, nullptr},
    {"__objclass__", Py_T_OBJECT_EX, offsetof(NativeFunction, objclass), Py_READONLY, nullptr},
    // Last: where functions do not show their builtins, it ends the table.
    {kFunctionsShowBuiltins ? "__builtins__" : nullptr, Py_T_OBJECT_EX,
     offsetof(NativeFunction, builtins), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickling and copying treat a function as a reference to its qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_INCREF(f->qualname);
    return f->qualname;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == Py_None || obj == nullptr) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->code);
    Py_VISIT(f->varnames);
    Py_VISIT(f->co_name);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->annotate);
    Py_VISIT(f->type_params);
    Py_VISIT(f->dict);
    Py_VISIT(f->owner);
    Py_VISIT(f->objclass);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->annotate);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->objclass);
    // name, qualname, code and parameter names stay until deallocation: repr and argument
    // errors may still need them while a cycle is being broken.
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->co_name);
    Py_CLEAR(f->closure);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

}  // namespace

Ref make_function_type(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
        {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_methods, function_methods},
        {Py_tp_members, function_members},
        {Py_tp_getset, function_getset},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {0, nullptr},
    };
    PyType_Spec spec = {"builtins.function", sizeof(NativeFunction), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR | kTypeFlagsOfBuiltins,
                        slots};
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!type) {
        return {};
    }
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    // As attributes, the offsets would be more than a function type shows.
    for (const char* name : kOffsetMembers) {
        if (PyDict_DelItemString(t->tp_dict, name) < 0) {
            PyErr_Clear();
        }
    }
    // Functions are made by the module, not by calling their type; messages
    // name the type as they name the interpreter's own function type.
    t->tp_new = nullptr;
    t->tp_name = "function";
    PyType_Modified(t);
    return type;
}

Ref code_template(PyObject* filename) {
    Ref file_text = Ref::steal(PyUnicode_AsUTF8String(filename));
    Ref empty = file_text ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
                                PyBytes_AS_STRING(file_text.get()), "<npu_config>", 0)))
                          : Ref();
    return empty ? Ref::steal(code_parts(empty.get())) : Ref();
}

CompiledDef make_code(const FunctionInfo& info, const Names& n, PyObject* code_template) {
    if (info.argcount > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "a function of more parameters than binding takes");
        return {};
    }
    Ref varnames = Ref::steal(PyTuple_New(info.argcount));
    for (Py_ssize_t i = 0; varnames && i < info.argcount; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Ref::borrow(n.*info.params[i]).release());
    }
    Ref qualname = Ref::steal(PyUnicode_FromString(info.qualname));
    if (!varnames || !qualname) {
        return {};
    }
    Ref code = Ref::steal(new_code(code_template, static_cast<int>(info.argcount),
                                   CO_OPTIMIZED | CO_NEWLOCALS, varnames.get(), n.*info.name,
                                   qualname.get()));
    if (!code) {
        return {};
    }
    return {std::move(code), std::move(varnames), std::move(qualname)};
}

Ref make_function(const FunctionInfo& info, PyObject* code, PyObject* varnames,
                  PyObject* qualname, PyObject* owner, PyObject* defaults,
                  PyObject* maker_builtins) {
    const Names& n = state_of(owner)->n;
    PyObject* globals = module_namespace(owner).get();  // kept by the module
    PyObject* name = n.*info.name;
    // Like a `def`: __module__ is the namespace's __name__ at creation, and
    // the builtins are the namespace's __builtins__ (a module stands for its
    // namespace), else those of the running code.
    Ref module_name = Ref::borrow(dict_item(globals, n.dunder_name));
    Ref builtins = PyErr_Occurred() ? Ref() : Ref::borrow(dict_item(globals, n.dunder_builtins));
    if (builtins && PyModule_Check(builtins.get())) {
        builtins = Ref::borrow(module_namespace(builtins.get()));
    } else if (!builtins && !PyErr_Occurred()) {
        builtins = Ref::borrow(maker_builtins ? maker_builtins : running_builtins().get());
    }
    if (!builtins) {
        return {};
    }
    auto* f = PyObject_GC_New(
        NativeFunction, reinterpret_cast<PyTypeObject*>(state_of(owner)->function_type));
    if (!f) {
        return {};
    }
    f->vectorcall = function_vectorcall;
    f->info = &info;
    f->co_name = Ref::borrow(name).release();
    f->name = Ref::borrow(name).release();
    f->qualname = Ref::borrow(qualname).release();
    f->code = Ref::borrow(code).release();
    f->varnames = Ref::borrow(varnames).release();
    f->globals = Ref::borrow(globals).release();
    f->builtins = builtins.release();
    f->module = module_name.release();
    f->doc = Ref::borrow(Py_None).release();
    f->closure = Ref::borrow(Py_None).release();
    f->defaults = Ref::borrow(defaults).release();
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->annotate = nullptr;
    f->type_params = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->owner = Ref::borrow(owner).release();
    f->state = state_of(owner);
    f->objclass = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void set_objclass(PyObject* function, PyObject* cls) {
    auto* f = reinterpret_cast<NativeFunction*>(function);
    Py_XSETREF(f->objclass, Ref::borrow(cls).release());
}

}  // namespace npu
