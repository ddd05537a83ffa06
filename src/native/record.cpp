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

// Asserts that every element is a name of DeviceDtype.get_options(); under
// -O the elements are still iterated but not tested.
int check_dtypes(NativeFunction* fn, ModuleState* st, PyObject* dtypes) {
    const Names& n = st->n;
    Ref vocabulary = load_global(fn, n.DeviceDtype);
    Ref options = vocabulary ? call_method(vocabulary.get(), n.get_options) : Ref();
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
    // The deep copy is made when its turn comes: a failing copy leaves the
    // attributes before it assigned.
    Ref copied;
    for (const Assigned& a : kAssigned) {
        if (a.param == kDtypes) {
            Ref copy = load_global(fn, n.copy);
            copied = copy ? call_method(copy.get(), n.deepcopy, dtypes.get()) : Ref();
            if (!copied) {
                return nullptr;
            }
        }
        if (PyObject_SetAttr(self, n.*a.name, assigned_value(a, args, copied.get())) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* device_config_serialize(NativeFunction* fn, PyObject* const* args) {
    const Names& n = state_of(fn->owner)->n;
    PyObject* self = args[0];
    Ref ordered_dict = load_global(fn, n.OrderedDict);
    Ref result = ordered_dict ? call(ordered_dict.get()) : Ref();
    if (!result) {
        return nullptr;
    }
    // key, attribute; the data types are written as a copy of their own,
    // copy.deepcopy being looked up before the attribute is read.
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
    for (const auto& [key, attribute] : entries) {
        Ref value;
        if (attribute == n.nn_support_dtypes) {
            Ref copy = load_global(fn, n.copy);
            Ref deepcopy = copy ? getattr(copy.get(), n.deepcopy) : Ref();
            Ref dtypes = deepcopy ? getattr(self, attribute) : Ref();
            value = dtypes ? call(deepcopy.get(), dtypes.get()) : Ref();
        } else {
            value = getattr(self, attribute);
        }
        if (!value || PyObject_SetItem(result.get(), key, value.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

const FunctionInfo kInit = {"__init__", "DeviceConfig.__init__", kInitParams, kParamCount,
                            device_config_init};
const char* const kSelfParam[] = {"self"};
const FunctionInfo kSerialize = {"serialize", "DeviceConfig.serialize", kSelfParam, 1,
                                 device_config_serialize};

#if NPU_SHORTCUTS
// The arguments of a vectorcall as a tuple and a dict (NULL when there are
// no keywords), as type.__call__ receives them; false on error.
bool pack_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Ref* positional, Ref* keywords) {
    *positional = Ref::steal(PyTuple_New(nargs));
    if (!*positional) {
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional->get(), i, Ref::borrow(args[i]).release());
    }
    if (!kwnames) {
        return true;
    }
    *keywords = Ref::steal(PyDict_New());
    if (!*keywords) {
        return false;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (PyDict_SetItem(keywords->get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
            return false;
        }
    }
    return true;
}

// type(cls).__call__(cls, *args, **kwargs)
PyObject* call_type(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref positional, keywords;
    if (!pack_arguments(args, nargs, kwnames, &positional, &keywords)) {
        return nullptr;
    }
    return Py_TYPE(cls)->tp_call(cls, positional.get(), keywords.get());
}

// type.__call__ for a class whose __new__ is object's: allocate, then run
// __init__ as the class's init slot does, found at that moment (allocating
// may run a finalizer that changes the class). The arguments reach a
// method-descriptor __init__ as they came, without a tuple and dict.
PyObject* new_and_init(ModuleState* st, PyTypeObject* t, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
    Ref self = Ref::steal(t->tp_alloc(t, 0));
    if (!self) {
        return nullptr;
    }
    PyObject* init = t->tp_init == st->init_slot ? _PyType_Lookup(t, st->n.dunder_init) : nullptr;
    if (!init || !(Py_TYPE(init)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        // Any other case: the init slot with the arguments as a tuple and a dict.
        Ref positional, keywords;
        if (!pack_arguments(args, nargs, kwnames, &positional, &keywords)) {
            return nullptr;
        }
        if (t->tp_init && t->tp_init(self.get(), positional.get(), keywords.get()) < 0) {
            return nullptr;
        }
        return self.release();
    }
    Ref method = Ref::borrow(init);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* stack[kMaxParams + 1];
    stack[0] = self.get();
    for (Py_ssize_t i = 0; i < total; ++i) {
        stack[i + 1] = args[i];
    }
    Ref result = Ref::steal(PyObject_Vectorcall(method.get(), stack, nargs + 1, kwnames));
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

// DeviceConfig's own vectorcall: while its metaclass is type and its
// __new__ object's, type.__call__ is an allocation and the __init__ call,
// made directly; otherwise the metaclass's call.
PyObject* construct_record(PyObject* cls, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    auto* t = reinterpret_cast<PyTypeObject*>(cls);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* module = reinterpret_cast<PyHeapTypeObject*>(t)->ht_module;
    ModuleState* st = module ? state_of(module) : nullptr;
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result;
    if (!st || !st->n.dunder_init || Py_TYPE(cls) != &PyType_Type ||
        t->tp_new != PyBaseObject_Type.tp_new || (t->tp_flags & Py_TPFLAGS_IS_ABSTRACT) ||
        total >= kMaxParams) {
        result = call_type(cls, args, nargs, kwnames);
    } else {
        result = new_and_init(st, t, args, nargs, kwnames);
    }
    Py_LeaveRecursiveCall();
    return result;
}
#endif

}  // namespace

Ref make_device_config(PyObject* module) {
    ModuleState* st = state_of(module);
    const Names& n = st->n;
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
                        {{n.dunder_init, init.get()}, {n.serialize, serialize.get()}},
                        {n.core, n.evis, n.ext_axi_sram_sizes, n.ext_sram_sizes,
                         n.input_buffer_depth, n.mad_per_core, n.nn_support_dtypes,
                         n.optimization, n.pid, n.sdk_dir, n.simulator_config, n.target});
#if NPU_SHORTCUTS
    if (cls) {
        // The class finds the module's state through its module, as a class
        // made from a spec would; nothing of Python reads this field.
        auto* t = reinterpret_cast<PyHeapTypeObject*>(cls.get());
        Py_XSETREF(t->ht_module, Ref::borrow(module).release());
        st->init_slot = t->ht_type.tp_init;
        t->ht_type.tp_vectorcall = construct_record;
    }
#endif
    return cls;
}

}  // namespace npu
