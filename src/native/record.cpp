// DeviceConfig: the record of one device, and its serialization.
#include "classes.hpp"
#include "globals.hpp"
#include "stack.hpp"
#include "state.hpp"


namespace npu {

namespace {

// Asserts that every element is a name of DeviceDtype.get_options(); under
// -O the elements are still iterated but not tested.
int check_dtypes(NativeFunction* fn, ModuleState* st, PyObject* dtypes) {
    const Names& n = st->n;
    Ref vocabulary = load_global(fn, n.DeviceDtype);
    if (!vocabulary) {
        return -1;
    }
    // While DeviceDtype is the class this module made and nobody has
    // changed it, get_options() could only return a fresh list of the names
    // we already hold, and running it would execute no caller code. So we
    // test membership against our cached names instead of building that
    // list; the recursion check its two calls would have made is still
    // made, so deep recursion fails at the same depth either way.
    const bool cached = as_loaded(st->dtypes, vocabulary.get());
    Ref options;
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
            const int known = cached ? cached_contains(st->dtypes, item.get())
                                     : PySequence_Contains(options.get(), item.get());
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

// args: self, then the parameters in their order (setting_tables.hpp).
PyObject* device_config_init(NativeFunction* fn, PyObject* const* args) {
    ModuleState* st = fn->state;
    const Names& n = st->n;
    PyObject* self = args[0];
    Ref dtypes = Ref::borrow(args[kSettings[kDtypesSetting].param]);
    if (dtypes.get() == Py_None) {
        dtypes = Ref::steal(PyList_New(0));
        if (!dtypes) {
            return nullptr;
        }
    }
    if (check_dtypes(fn, st, dtypes.get()) < 0) {
        return nullptr;
    }
    // Attributes are stored in the order __init__'s body assigns them, and
    // the deep copy of nn_support_dtypes is taken only when its own turn
    // comes. A copy that raises (a caller's __deepcopy__) must leave the
    // record exactly as Python would: the earlier attributes set, the later
    // ones missing.
    for (int index : kAssignmentOrder.index) {
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
    // Keys are the file's key names, so the mapping can be written back as
    // a configuration. The data types are deep-copied so that a caller who
    // edits the mapping cannot change the record; copy.deepcopy is fetched
    // before the attribute is read because that is the order the Python
    // expression evaluates them, and a failing lookup of either must be the
    // one that surfaces.
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

const FunctionInfo kInit = {&Names::dunder_init, "DeviceConfig.__init__", kInitParams.names,
                            kInitParamCount, device_config_init};
PyObject* Names::* const kSelfParam[] = {&Names::self};
const FunctionInfo kSerialize = {&Names::serialize, "DeviceConfig.serialize", kSelfParam, 1,
                                 device_config_serialize};

}  // namespace

Ref make_device_config(PyObject* module) {
    const ModuleState* st = state_of(module);
    const Names& n = st->n;
    // The defaults are the settings' fallbacks, evaluated once, for the
    // parameters after the required ones: the empty list is shared by every
    // call that omits nn_support_dtypes.
    Ref defaults = Ref::steal(PyTuple_New(kSettingCount - kRequiredParams));
    if (!defaults) {
        return {};
    }
    for (int i = kRequiredParams; i < kSettingCount; ++i) {
        const int index = kParamOrder.index[i];
        PyTuple_SET_ITEM(defaults.get(), i - kRequiredParams,
                         Ref::borrow(st->fallbacks[index]).release());
    }
    Ref init = new_function(module, kInit, defaults.get());
    Ref serialize = init ? new_function(module, kSerialize) : Ref();
    if (!serialize) {
        return {};
    }
    PyObject* assigned[kSettingCount];  // what __init__ assigns
    for (int i = 0; i < kSettingCount; ++i) {
        assigned[i] = n.*kSettings[i].attribute;
    }
    return new_class(module, "DeviceConfig",
                     {{n.dunder_init, init.get(), init.get()},
                      {n.serialize, serialize.get(), serialize.get()}},
                     {assigned, kSettingCount});
}

}  // namespace npu
