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

// copy.deepcopy(value), `copy` read from the module namespace now.
Ref deep_copy(NativeFunction* fn, const Names& n, PyObject* value) {
    Ref copy = load_global(fn->globals, fn->builtins, n.copy);
    return copy ? call_method(copy.get(), n.deepcopy, value) : Ref();
}

// Asserts that every element is a name of DeviceDtype.get_options(); under
// -O the elements are still iterated but not tested.
int check_dtypes(NativeFunction* fn, ModuleState* st, PyObject* dtypes) {
    const Names& n = st->n;
    Ref vocabulary = load_global(fn->globals, fn->builtins, n.DeviceDtype);
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
    const std::pair<PyObject*, PyObject*> before_copy[] = {
        {n.target, args[kTarget]},
        {n.pid, args[kPid]},
        {n.optimization, args[kOptimization]},
        {n.core, args[kCore]},
        {n.mad_per_core, args[kMadPerCore]},
        {n.input_buffer_depth, args[kInputBufferDepth]},
        {n.evis, args[kEvis]},
    };
    for (const auto& [name, value] : before_copy) {
        if (PyObject_SetAttr(self, name, value) < 0) {
            return nullptr;
        }
    }
    Ref copied = deep_copy(fn, n, dtypes.get());
    if (!copied || PyObject_SetAttr(self, n.nn_support_dtypes, copied.get()) < 0) {
        return nullptr;
    }
    const std::pair<PyObject*, PyObject*> after_copy[] = {
        {n.ext_sram_sizes, args[kExtSramSizes]},
        {n.sdk_dir, args[kSdkDir]},
        {n.simulator_config, args[kSimulatorConfig]},
        {n.ext_axi_sram_sizes, args[kExtAxiSramSizes]},
    };
    for (const auto& [name, value] : after_copy) {
        if (PyObject_SetAttr(self, name, value) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* device_config_serialize(NativeFunction* fn, PyObject* const* args) {
    const Names& n = state_of(fn->owner)->n;
    PyObject* self = args[0];
    Ref ordered_dict = load_global(fn->globals, fn->builtins, n.OrderedDict);
    Ref result = ordered_dict ? call(ordered_dict.get()) : Ref();
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
    for (const auto& [key, attribute] : entries) {
        Ref value;
        if (attribute == n.nn_support_dtypes) {
            Ref copy = load_global(fn->globals, fn->builtins, n.copy);
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

const FunctionSpec kInit = {"__init__", "DeviceConfig.__init__", kInitParams, kParamCount,
                            device_config_init};
const char* const kSelfParam[] = {"self"};
const FunctionSpec kSerialize = {"serialize", "DeviceConfig.serialize", kSelfParam, 1,
                                 device_config_serialize};

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
    return new_class(module, "DeviceConfig",
                     {{n.dunder_init, init.get()}, {n.serialize, serialize.get()}});
}

}  // namespace npu
