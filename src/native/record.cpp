// DeviceConfig: the record of one device, and its serialization.
#include "classes.hpp"
#include "state.hpp"

namespace npu {

namespace {

// Parameter positions of DeviceConfig.__init__ (0 is the instance).
enum Param : int {
    kSelf,
    kTarget,
    kPid,
    kCore,
    kMadPerCore,
    kInputBufferDepth,
    kEvis,
    kDtypes,
    kOptimization,
    kExtSramSizes,
    kSdkDir,
    kSimulatorConfig,
    kExtAxiSramSizes,
    kParamCount
};

const char* const kInitParams[kParamCount] = {
    "self",  "target",           "pid",          "core",           "mad_per_core",
    "input_buffer_depth",        "evis",         "nn_support_dtypes", "optimization",
    "ext_sram_sizes",            "sdk_dir",      "simulator_config", "ext_axi_sram_sizes"};

constexpr int kAttributes = kParamCount - 1;

// The constructor's attributes in the order it assigns them, each with the
// parameter it takes; nn_support_dtypes takes the deep copy of its argument.
struct Assigned {
    PyObject* Names::*name;
    Param param;
};
constexpr Assigned kAssigned[kAttributes] = {
    {&Names::target, kTarget},
    {&Names::pid, kPid},
    {&Names::optimization, kOptimization},
    {&Names::core, kCore},
    {&Names::mad_per_core, kMadPerCore},
    {&Names::input_buffer_depth, kInputBufferDepth},
    {&Names::evis, kEvis},
    {&Names::nn_support_dtypes, kDtypes},
    {&Names::ext_sram_sizes, kExtSramSizes},
    {&Names::sdk_dir, kSdkDir},
    {&Names::simulator_config, kSimulatorConfig},
    {&Names::ext_axi_sram_sizes, kExtAxiSramSizes},
};

PyObject* assigned_value(const Assigned& a, PyObject* const* args, PyObject* copied) {
    return a.param == kDtypes ? copied : args[a.param];
}

// The standard deep copy of a list of plain strings is a new list of the
// same strings: whether copy.deepcopy, reached through `copy`, is the
// standard one and `value` such a list.
bool slice_is_deep_copy(ModuleState* st, PyObject* copy, PyObject* value) {
    return PyList_CheckExact(value) && all_plain_strings(value) && deepcopy_intact(st, copy);
}

Ref list_slice(PyObject* list) {
    return Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
}

// copy.deepcopy(value), `copy` read from the module namespace now.
Ref deep_copy(NativeFunction* fn, ModuleState* st, PyObject* value) {
    Ref copy = load_global(fn->globals, fn->builtins, st->n.copy);
    if (!copy) {
        return {};
    }
    if (slice_is_deep_copy(st, copy.get(), value)) {
        return list_slice(value);
    }
    return call_method(copy.get(), st->n.deepcopy, value);
}

// Whether the plain string `name` is among DeviceDtype's cached options.
bool known_option(ModuleState* st, PyObject* name) {
    for (int i = 0; i < VocabularyCache::kOptions; ++i) {
        PyObject* option = st->fast.vocabulary.entries[i];
        if (option == name || PyUnicode_Compare(option, name) == 0) {
            return true;
        }
    }
    return false;
}

// Asserts that every element is a name of DeviceDtype.get_options(); under
// -O the elements are still iterated but not tested.
int check_dtypes(NativeFunction* fn, ModuleState* st, PyObject* dtypes) {
    const Names& n = st->n;
    Ref vocabulary = load_global(fn->globals, fn->builtins, n.DeviceDtype);
    if (!vocabulary) {
        return -1;
    }
    // get_options() of the unchanged DeviceDtype gives the cached names, and
    // testing plain strings against them runs no code of anyone else's.
    if (PyList_CheckExact(dtypes) && all_plain_strings(dtypes) &&
        vocabulary_intact(st, vocabulary.get())) {
        const Py_ssize_t count = st->assertions ? PyList_GET_SIZE(dtypes) : 0;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!known_option(st, PyList_GET_ITEM(dtypes, i))) {
                PyErr_SetNone(PyExc_AssertionError);
                return -1;
            }
        }
        return 0;
    }
    Ref options = call_method(vocabulary.get(), n.get_options);
    Ref it = options ? Ref::steal(PyObject_GetIter(dtypes)) : Ref();
    if (!it) {
        return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!st->assertions) {
            continue;
        }
        const int known = PySequence_Contains(options.get(), item.get());
        if (known < 0) {
            return -1;
        }
        if (!known) {
            PyErr_SetNone(PyExc_AssertionError);
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

#if PY_VERSION_HEX < 0x030B0000
// For a fresh instance of the unchanged class, the twelve attribute stores
// leave exactly a namespace with these keys in this order: it is made as a
// copy of a template (sharing the class's key table) with the values put in.
// Returns 1 when done, 0 when the general path must run, -1 on error.
int init_fresh_record(NativeFunction* fn, ModuleState* st, PyObject* const* args,
                      PyObject* dtypes) {
    PyObject* self = args[kSelf];
    PyObject* template_dict = st->fast.record.instance_template;
    if (!template_dict || !fresh_record(st, self)) {
        return 0;
    }
    // The deep copy must be one without side effects, as it now comes first.
    Ref copy = load_global(fn->globals, fn->builtins, st->n.copy);
    if (!copy) {
        PyErr_Clear();
        return 0;
    }
    if (!slice_is_deep_copy(st, copy.get(), dtypes)) {
        return 0;
    }
    Ref copied = list_slice(dtypes);
    Ref dict = copied ? Ref::steal(PyDict_Copy(template_dict)) : Ref();
    if (!dict) {
        return -1;
    }
    for (const Assigned& a : kAssigned) {
        if (PyDict_SetItem(dict.get(), st->n.*a.name, assigned_value(a, args, copied.get())) < 0) {
            return -1;
        }
    }
    PyObject** slot = _PyObject_GetDictPtr(self);
    *slot = dict.release();
    return 1;
}

// After the general path has filled a fresh instance of the unchanged
// class, its namespace becomes the template for the next ones.
void keep_template(ModuleState* st, PyObject* self, bool fresh) {
    if (!fresh || st->fast.record.instance_template) {
        return;
    }
    PyObject** slot = _PyObject_GetDictPtr(self);
    if (!slot || !*slot || !PyDict_CheckExact(*slot) || PyDict_Size(*slot) != kAttributes) {
        return;
    }
    // Only a namespace holding exactly the constructor's attributes, in its
    // order, can stand for what the assignments make.
    Ref keys = Ref::steal(PyDict_Keys(*slot));
    if (!keys) {
        PyErr_Clear();
        return;
    }
    for (int i = 0; i < kAttributes; ++i) {
        if (PyList_GET_ITEM(keys.get(), i) != st->n.*kAssigned[i].name) {
            return;
        }
    }
    // The values are blanked so that the template keeps nothing alive.
    Ref blank = Ref::steal(PyDict_Copy(*slot));
    for (Py_ssize_t i = 0; blank && i < PyList_GET_SIZE(keys.get()); ++i) {
        if (PyDict_SetItem(blank.get(), PyList_GET_ITEM(keys.get(), i), Py_None) < 0) {
            blank.reset();
        }
    }
    if (!blank) {
        PyErr_Clear();
        return;
    }
    st->fast.record.instance_template = blank.release();
}
#endif

PyObject* device_config_init(NativeFunction* fn, PyObject* const* args) {
    ModuleState* st = state_of(fn->owner);
    const Names& n = st->n;
    PyObject* self = args[kSelf];
    Ref dtypes = Ref::borrow(args[kDtypes]);
    if (dtypes.get() == Py_None) {
        dtypes = Ref::steal(PyList_New(0));
        if (!dtypes) {
            return nullptr;
        }
    }
    if (check_dtypes(fn, st, dtypes.get()) < 0) {
        return nullptr;
    }
#if PY_VERSION_HEX < 0x030B0000
    const int done = init_fresh_record(fn, st, args, dtypes.get());
    if (done) {
        return done < 0 ? nullptr : Ref::borrow(Py_None).release();
    }
    const bool fresh = fresh_record(st, self);
#endif
    // The deep copy is made when its turn comes: a failing copy leaves the
    // attributes before it assigned.
    Ref copied;
    for (const Assigned& a : kAssigned) {
        if (a.param == kDtypes) {
            copied = deep_copy(fn, st, dtypes.get());
            if (!copied) {
                return nullptr;
            }
        }
        if (PyObject_SetAttr(self, n.*a.name, assigned_value(a, args, copied.get())) < 0) {
            return nullptr;
        }
    }
#if PY_VERSION_HEX < 0x030B0000
    keep_template(st, self, fresh);
#endif
    Py_RETURN_NONE;
}

// The instance dict of a DeviceConfig whose class is as loaded (3.9, 3.10).
PyObject* record_namespace(ModuleState* st, PyObject* self) {
#if PY_VERSION_HEX >= 0x030B0000
    (void)st;
    (void)self;
    return nullptr;
#else
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(st->device_config) ||
        !record_class_intact(st)) {
        return nullptr;
    }
    PyObject** slot = _PyObject_GetDictPtr(self);
    return slot && *slot && PyDict_CheckExact(*slot) ? *slot : nullptr;
#endif
}

// copy.deepcopy(self.nn_support_dtypes): copy.deepcopy is looked up before
// the attribute is read.
Ref serialized_dtypes(NativeFunction* fn, ModuleState* st, PyObject* self) {
    const Names& n = st->n;
    Ref copy = load_global(fn->globals, fn->builtins, n.copy);
    if (!copy) {
        return {};
    }
    if (deepcopy_intact(st, copy.get())) {
        // Looking up the standard copy.deepcopy has no effect of its own.
        Ref dtypes = getattr(self, n.nn_support_dtypes);
        if (!dtypes) {
            return {};
        }
        return slice_is_deep_copy(st, copy.get(), dtypes.get())
                   ? list_slice(dtypes.get())
                   : call_method(copy.get(), n.deepcopy, dtypes.get());
    }
    Ref deepcopy = getattr(copy.get(), n.deepcopy);
    Ref dtypes = deepcopy ? getattr(self, n.nn_support_dtypes) : Ref();
    return dtypes ? call(deepcopy.get(), dtypes.get()) : Ref();
}

PyObject* device_config_serialize(NativeFunction* fn, PyObject* const* args) {
    ModuleState* st = state_of(fn->owner);
    const Names& n = st->n;
    PyObject* self = args[0];
    Ref ordered_dict = load_global(fn->globals, fn->builtins, n.OrderedDict);
    if (!ordered_dict) {
        return nullptr;
    }
    // OrderedDict() of the standard class is an empty ordered dictionary.
    Ref result = ordered_dict.get() == reinterpret_cast<PyObject*>(&PyODict_Type)
                     ? Ref::steal(PyODict_New())
                     : call(ordered_dict.get());
    if (!result) {
        return nullptr;
    }
    // key, attribute; the data types are written as a copy of their own.
    const std::pair<PyObject*, PyObject*> entries[] = {
        {n.target, n.target},
        {n.pid, n.pid},
        {n.optimization, n.optimization},
        {n.core, n.core},
        {n.mad_per_core, n.mad_per_core},
        {n.input_buffer_depth, n.input_buffer_depth},
        {n.evis, n.evis},
        {n.nn_support_dtypes, n.nn_support_dtypes},
        {n.extSRAMSizes, n.ext_sram_sizes},
        {n.extAXISRAMSizes, n.ext_axi_sram_sizes},
        {n.sdk_dir, n.sdk_dir},
        {n.simulator_config, n.simulator_config},
    };
    // For an instance of the unchanged class, each attribute read is a read
    // of its namespace (attributes missing there are still read generically,
    // so the error is the interpreter's own). The deep copy, and item stores
    // into anything but a plain OrderedDict, can run a caller's code, which
    // may replace the namespace or change the class: after them it is looked
    // up again.
    const bool plain_result = PyODict_CheckExact(result.get());
    Ref own = Ref::borrow(record_namespace(st, self));
    for (const auto& [key, attribute] : entries) {
        Ref value;
        const bool copies = attribute == n.nn_support_dtypes;
        if (copies) {
            value = serialized_dtypes(fn, st, self);
        } else {
            PyObject* found = own ? PyDict_GetItemWithError(own.get(), attribute) : nullptr;
            value = found ? Ref::borrow(found) : getattr(self, attribute);
        }
        if (!value || PyObject_SetItem(result.get(), key, value.get()) < 0) {
            return nullptr;
        }
        if (copies || !plain_result) {
            own = Ref::borrow(record_namespace(st, self));
        }
    }
    return result.release();
}

const FunctionInfo kInit = {"__init__", "DeviceConfig.__init__", kInitParams, kParamCount,
                            device_config_init};
const char* const kSelfParam[] = {"self"};
const FunctionInfo kSerialize = {"serialize", "DeviceConfig.serialize", kSelfParam, 1,
                                 device_config_serialize};

PyObject* g_init_name;  // "__init__", interned once per process

// type.__call__(cls, *args, **kwargs), reached from a vectorcall.
PyObject* call_type(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref positional = Ref::steal(PyTuple_New(nargs));
    Ref keywords = kwnames ? Ref::steal(PyDict_New()) : Ref();
    if (!positional || (kwnames && !keywords)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(positional.get(), i, args[i]);
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
            return nullptr;
        }
    }
    return PyType_Type.tp_call(cls, positional.get(), keywords.get());
}

// The class's own vectorcall. For DeviceConfig as loaded, type.__call__
// amounts to object.__new__ (an allocation) followed by this module's
// __init__; that is done here without building an argument tuple and dict.
// Anything else, a subclass or a changed class, goes to type.__call__.
PyObject* construct_record(PyObject* cls, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    auto* t = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* init = _PyType_Lookup(t, g_init_name);  // borrowed
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (!init || !is_native_function(init) ||
        reinterpret_cast<NativeFunction*>(init)->info != &kInit || nargs + nkw >= kMaxParams) {
        return call_type(cls, args, nargs, kwnames);
    }
    ModuleState* st = state_of(reinterpret_cast<NativeFunction*>(init)->owner);
    if (!st || cls != st->device_config || t->tp_new != PyBaseObject_Type.tp_new ||
        !record_class_intact(st)) {
        return call_type(cls, args, nargs, kwnames);
    }
    Ref self = Ref::steal(t->tp_alloc(t, 0));
    if (!self) {
        return nullptr;
    }
    PyObject* stack[kMaxParams + 1];
    stack[0] = self.get();
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) {
        stack[i + 1] = args[i];
    }
    Ref result = Ref::steal(PyObject_Vectorcall(init, stack, nargs + 1, kwnames));
    if (!result) {
        return nullptr;
    }
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return self.release();
}

}  // namespace

Ref make_device_config(PyObject* module) {
    const Names& n = state_of(module)->n;
    // The defaults are evaluated once, here: the empty list is shared by
    // every call that omits nn_support_dtypes.
    Ref defaults = Ref::steal(Py_BuildValue("(iiiiNOOOOO)", 1, 64, 12, 2, PyList_New(0), Py_True,
                                            n.default_ext_sram, n.default_sdk_dir,
                                            n.default_simulator_config,
                                            n.default_ext_axi_sram));
    if (!defaults) {
        return {};
    }
    Ref init = new_function(module, kInit, defaults.get());
    Ref serialize = init ? new_function(module, kSerialize) : Ref();
    if (!serialize) {
        return {};
    }
    Ref cls = new_class(module, "DeviceConfig",
                        {{n.dunder_init, init.get()}, {n.serialize, serialize.get()}});
    if (cls) {
        if (!g_init_name) {
            g_init_name = Ref::borrow(n.dunder_init).release();  // kept for the process
        }
        reinterpret_cast<PyTypeObject*>(cls.get())->tp_vectorcall = construct_record;
    }
    return cls;
}

}  // namespace npu
