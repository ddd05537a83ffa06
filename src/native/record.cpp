// DeviceConfig: the record of one device, and its serialization.
#include "classes.hpp"
#include "settings.hpp"
#include "state.hpp"

namespace npu {

namespace {

const char* const kInitParams[kParamCount] = {
    "self",  "target",           "pid",          "core",           "mad_per_core",
    "input_buffer_depth",        "evis",         "nn_support_dtypes", "optimization",
    "ext_sram_sizes",            "sdk_dir",      "simulator_config", "ext_axi_sram_sizes"};

// `item in options`, options being DeviceDtype.get_options(): the interpreter's
// comparison with each name in turn. From the cached names of the unchanged
// class (`options` NULL) when the module has its shortcuts.
int is_option(ModuleState* st, PyObject* options, PyObject* item) {
#if NPU_SHORTCUTS
    if (!options) {
        for (int i = 0; i < st->dtypes.count; ++i) {
            const int same = PyObject_RichCompareBool(st->dtypes.entries[i], item, Py_EQ);
            if (same) {
                return same;
            }
        }
        return 0;
    }
#else
    (void)st;
#endif
    return PySequence_Contains(options, item);
}

// Asserts that every element is a name of DeviceDtype.get_options(); under
// -O the elements are still iterated but not tested.
int check_dtypes(NativeFunction* fn, ModuleState* st, PyObject* dtypes) {
    const Names& n = st->n;
    Ref vocabulary = load_global(fn, n.DeviceDtype);
    if (!vocabulary) {
        return -1;
    }
    Ref options;
#if NPU_SHORTCUTS
    // get_options() of the class as loaded would be a new list of the cached
    // names, made without running anyone's code: the names are compared directly.
    const bool cached = as_loaded(st->dtypes, vocabulary.get());
#else
    const bool cached = false;
#endif
    // As deep as the calls of get_options() and get_quantization_dtype() that
    // the cached names stand for.
    if (cached ? !check_skipped_calls(2)
               : !(options = call_method(vocabulary.get(), n.get_options))) {
        return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(dtypes));
    if (!it) {
        return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (st->assertions) {
            const int known = is_option(st, options.get(), item.get());
            if (known < 0) {
                return -1;
            }
            if (!known) {
                PyErr_SetNone(PyExc_AssertionError);
                return -1;
            }
        }
        // A loop in Python runs pending signal handlers as it goes round.
        if (PyErr_CheckSignals() < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* device_config_init(NativeFunction* fn, PyObject* const* args) {
    ModuleState* st = fn->state;
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
    for (int index : kAssignmentOrder) {
        const Setting& setting = kSettings[index];
        Ref copied;
        PyObject* value = args[setting.param];
        if (setting.read == Read::Switches) {
            Ref copy = load_global(fn, n.copy);
            copied = copy ? call_method(copy.get(), n.deepcopy, dtypes.get()) : Ref();
            if (!(value = copied.get())) {
                return nullptr;
            }
        }
        if (set_attr(self, n.*setting.attribute, value) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* device_config_serialize(NativeFunction* fn, PyObject* const* args) {
    const Names& n = fn->state->n;
    PyObject* self = args[0];
    Ref ordered_dict = load_global(fn, n.OrderedDict);
    Ref result = ordered_dict ? call(ordered_dict.get()) : Ref();
    if (!result) {
        return nullptr;
    }
    // Under the file's keys; the data types as a copy of their own, with
    // copy.deepcopy looked up before the attribute is read.
    for (const Setting& setting : kSettings) {
        Ref value;
        if (setting.read == Read::Switches) {
            Ref copy = load_global(fn, n.copy);
            Ref deepcopy = copy ? getattr(copy.get(), n.deepcopy) : Ref();
            Ref dtypes = deepcopy ? getattr(self, n.*setting.attribute) : Ref();
            value = dtypes ? call(deepcopy.get(), dtypes.get()) : Ref();
        } else {
            value = getattr(self, n.*setting.attribute);
        }
        if (!value || PyObject_SetItem(result.get(), n.*setting.key, value.get()) < 0) {
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

}  // namespace

Ref make_device_config(PyObject* module) {
    const ModuleState* st = state_of(module);
    const Names& n = st->n;
    // The defaults are the settings' fallbacks, evaluated once: the empty
    // list is shared by every call that omits nn_support_dtypes.
    Ref defaults = Ref::steal(PyTuple_New(kParamCount - kCore));
    if (!defaults) {
        return {};
    }
    for (const Setting& setting : kSettings) {
        if (setting.param >= kCore) {
            PyObject* fallback = st->fallbacks[&setting - kSettings];
            PyTuple_SET_ITEM(defaults.get(), setting.param - kCore,
                             Ref::borrow(fallback).release());
        }
    }
    Ref init = new_function(module, kInit, defaults.get());
    Ref serialize = init ? new_function(module, kSerialize) : Ref();
    if (!serialize) {
        return {};
    }
    PyObject* attributes[kSettingCount];
    for (int i = 0; i < kSettingCount; ++i) {
        attributes[i] = n.*kSettings[i].attribute;
    }
    return new_class(module, "DeviceConfig",
                     {{n.dunder_init, init.get(), init.get()},
                      {n.serialize, serialize.get(), serialize.get()}},
                     attributes, kSettingCount);
}

}  // namespace npu
