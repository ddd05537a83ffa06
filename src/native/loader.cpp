// NPUConfig: locates and reads a model's configuration file, applies its
// section "device" to a DeviceConfig, and answers compatibility questions.
#include "classes.hpp"
#include "settings.hpp"
#include "state.hpp"

namespace npu {

namespace {

// device.<attribute> = dev.<read>(key, fallback)
int apply(PyObject* device, PyObject* attribute, PyObject* dev, PyObject* read,
          PyObject* key, PyObject* fallback) {
    Ref value = call_method(dev, read, key, fallback);
    return value ? set_attr(device, attribute, value.get()) : -1;
}

// if dev.getboolean(key, fallback): device.nn_support_dtypes.append(DeviceDtype.<constant>)
int apply_switch(NativeFunction* fn, PyObject* device, PyObject* dev,
                 PyObject* key, PyObject* fallback, PyObject* constant) {
    const Names& n = fn->state->n;
    Ref on = call_method(dev, n.getboolean, key, fallback);
    const int truth = on ? PyObject_IsTrue(on.get()) : -1;
    if (truth <= 0) {
        return truth;
    }
    Ref dtypes = getattr(device, n.nn_support_dtypes);
    Ref append = dtypes ? getattr(dtypes.get(), n.append) : Ref();
    Ref vocabulary = append ? load_global(fn, n.DeviceDtype) : Ref();
    Ref name = vocabulary ? getattr(vocabulary.get(), constant) : Ref();
    return name && call(append.get(), name.get()) ? 0 : -1;
}

// device.sdk_dir = os.path.join(ROOT_DIR, "simulator", dev.get(key, fallback))
int apply_under_root(NativeFunction* fn, PyObject* device, PyObject* attribute, PyObject* dev,
                     PyObject* key, PyObject* fallback) {
    const Names& n = fn->state->n;
    Ref join = os_path_function(fn, n.join);
    Ref root = join ? load_global(fn, n.ROOT_DIR) : Ref();
    Ref value = root ? call_method(dev, n.get, key, fallback) : Ref();
    Ref path = value ? call(join.get(), root.get(), n.simulator, value.get()) : Ref();
    return path ? set_attr(device, attribute, path.get()) : -1;
}

PyObject* parse_device(NativeFunction* fn, PyObject* const* args) {
    ModuleState* st = fn->state;
    const Names& n = st->n;
    PyObject* parser = args[0];
    PyObject* device = args[1];
    const int has_section = PySequence_Contains(parser, n.device);
    if (has_section <= 0) {
        return has_section < 0 ? nullptr : Ref::borrow(Py_None).release();
    }
    Ref dev = Ref::steal(PyObject_GetItem(parser, n.device));
    if (!dev) {
        return nullptr;
    }
    for (const Setting& setting : kSettings) {
        PyObject* attribute = n.*setting.attribute;
        PyObject* key = n.*setting.key;
        PyObject* fallback = st->fallbacks[&setting - kSettings];
        int done = 0;
        switch (setting.read) {
            case Read::Get:
                done = apply(device, attribute, dev.get(), n.get, key, fallback);
                break;
            case Read::GetInt:
                done = apply(device, attribute, dev.get(), n.getint, key, fallback);
                break;
            case Read::Switches:
                for (const Switch& s : kSwitches) {
                    if ((done = apply_switch(fn, device, dev.get(), n.*s.key,
                                             s.fallback ? Py_True : Py_False,
                                             n.*s.constant)) < 0) {
                        break;
                    }
                }
                break;
            case Read::UnderRoot:
                done = apply_under_root(fn, device, attribute, dev.get(), key, fallback);
                break;
        }
        if (done < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

const char* const kParseDeviceParams[] = {"parser", "device"};

// ovraLog.e(message.format(npu_model))
int log_error(NativeFunction* fn, const Names& n, PyObject* message, PyObject* npu_model) {
    Ref log = load_global(fn, n.ovraLog);
    Ref e = log ? getattr(log.get(), n.e) : Ref();
    Ref text = e ? call_method(message, n.format, npu_model) : Ref();
    return text && call(e.get(), text.get()) ? 0 : -1;
}

PyObject* npu_config_init(NativeFunction* fn, PyObject* const* args) {
    ModuleState* st = fn->state;
    const Names& n = st->n;
    PyObject* self = args[0];
    PyObject* npu_model = args[1];
    // Made as a def in this body is: without __builtins__ in the namespace,
    // it takes the builtins of the function that makes it.
    Ref parse = make_function(kParseDevice, st->parse_device_code, st->parse_device_varnames,
                              fn->owner, nullptr, fn->builtins);
    if (!parse) {
        return nullptr;
    }
    Ref join = os_path_function(fn, n.join);
    Ref root = join ? load_global(fn, n.ROOT_DIR) : Ref();
    Ref cfg_path = root ? call(join.get(), root.get(), n.config, n.npu_config, npu_model) : Ref();
    Ref exists = cfg_path ? os_path_function(fn, n.exists) : Ref();
    Ref found = exists ? call(exists.get(), cfg_path.get()) : Ref();
    const int is_there = found ? PyObject_IsTrue(found.get()) : -1;
    if (is_there < 0 || (!is_there && log_error(fn, n, n.msg_missing, npu_model) < 0)) {
        return nullptr;
    }
    PyObject* default_pid = n.default_pid;
    Ref device_config = load_global(fn, n.DeviceConfig);
    if (!device_config) {
        return nullptr;
    }
    PyObject* record_args[] = {nullptr, npu_model, default_pid};
    Ref record = Ref::steal(PyObject_Vectorcall(device_config.get(), record_args + 1,
                                                PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                st->kwnames_record));
    if (!record || set_attr(self, n.device, record.get()) < 0) {
        return nullptr;
    }
    Ref configparser = load_global(fn, n.configparser);
    Ref parser_class = configparser ? getattr(configparser.get(), n.ConfigParser) : Ref();
    Ref ordered_dict = parser_class ? load_global(fn, n.OrderedDict) : Ref();
    if (!ordered_dict) {
        return nullptr;
    }
    PyObject* parser_args[] = {nullptr, ordered_dict.get()};
    Ref cfg_parser = Ref::steal(PyObject_Vectorcall(
        parser_class.get(), parser_args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, st->kwnames_parser));
    Ref read = cfg_parser ? call_method(cfg_parser.get(), n.read, cfg_path.get()) : Ref();
    if (!read) {
        return nullptr;
    }
    // A path that exists but yields nothing (a directory, an unreadable
    // file) is reported rather than passed off as an empty configuration.
    if (is_there) {
        const int read_any = PyObject_IsTrue(read.get());
        if (read_any < 0 || (!read_any && log_error(fn, n, n.msg_unreadable, npu_model) < 0)) {
            return nullptr;
        }
    }
    Ref device = getattr(self, n.device);
    Ref result = device ? call(parse.get(), cfg_parser.get(), device.get()) : Ref();
    if (!result) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// quantized_dtype in self.device.nn_support_dtypes
PyObject* is_quantize_method_compatible(NativeFunction* fn, PyObject* const* args) {
    const Names& n = fn->state->n;
    Ref device = getattr(args[0], n.device);
    Ref dtypes = device ? getattr(device.get(), n.nn_support_dtypes) : Ref();
    if (!dtypes) {
        return nullptr;
    }
    const int found = PySequence_Contains(dtypes.get(), args[1]);
    if (found < 0) {
        return nullptr;
    }
    return Ref::borrow(found ? Py_True : Py_False).release();
}

const char* const kInitParams[] = {"self", "npu_model"};
const FunctionInfo kInit = {"__init__", "NPUConfig.__init__", kInitParams, 2, npu_config_init};
const char* const kCompatibleParams[] = {"self", "quantized_dtype"};
const FunctionInfo kCompatible = {"is_quantize_method_compatible",
                                  "NPUConfig.is_quantize_method_compatible", kCompatibleParams,
                                  2, is_quantize_method_compatible};

}  // namespace

const FunctionInfo kParseDevice = {"_parse_device", "NPUConfig.__init__.<locals>._parse_device",
                                   kParseDeviceParams, 2, parse_device};

Ref make_npu_config(PyObject* module) {
    const Names& n = state_of(module)->n;
    Ref init = new_function(module, kInit);
    Ref compatible = init ? new_function(module, kCompatible) : Ref();
    if (!compatible) {
        return {};
    }
    PyObject* assigned[] = {n.device};
    return new_class(module, "NPUConfig",
                     {{n.dunder_init, init.get(), init.get()},
                      {n.is_quantize_method_compatible, compatible.get(), compatible.get()}},
                     assigned, 1);
}

}  // namespace npu
