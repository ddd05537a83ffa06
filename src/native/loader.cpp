// NPUConfig: locates and reads a model's configuration file, applies its
// section "device" to a DeviceConfig, and answers compatibility questions.
#include "classes.hpp"
#include "globals.hpp"
#include "stack.hpp"
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
int apply_switch(NativeFunction* fn, PyObject* device, PyObject* dev, const Switch& s) {
    const Names& n = fn->state->n;
    Ref on = call_method(dev, n.getboolean, n.*s.key, s.fallback ? Py_True : Py_False);
    const int truth = on ? PyObject_IsTrue(on.get()) : -1;
    if (truth <= 0) {
        return truth;
    }
    Ref dtypes = getattr(device, n.nn_support_dtypes);
    Ref append = dtypes ? getattr(dtypes.get(), n.append) : Ref();
    Ref vocabulary = append ? load_global(fn, n.DeviceDtype) : Ref();
    Ref name = vocabulary ? getattr(vocabulary.get(), n.*s.constant) : Ref();
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

int apply_setting(NativeFunction* fn, PyObject* device, PyObject* dev, int index) {
    const Names& n = fn->state->n;
    const Setting& setting = kSettings[index];
    PyObject* attribute = n.*setting.attribute;
    PyObject* key = n.*setting.key;
    PyObject* fallback = fn->state->fallbacks[index];
    switch (setting.read) {
        case Read::Get:
            return apply(device, attribute, dev, n.get, key, fallback);
        case Read::GetInt:
            return apply(device, attribute, dev, n.getint, key, fallback);
        case Read::Switches:
            for (const Switch& s : kSwitches) {
                if (apply_switch(fn, device, dev, s) < 0) {
                    return -1;
                }
            }
            return 0;
        case Read::UnderRoot:
            return apply_under_root(fn, device, attribute, dev, key, fallback);
    }
    return 0;
}

// _parse_device(parser, device)
PyObject* parse_device(NativeFunction* fn, PyObject* const* args) {
    const Names& n = fn->state->n;
    PyObject* parser = args[0];
    PyObject* device = args[1];
    // `"device" in parser`, then `parser["device"]`: both through the
    // parser's own protocol rather than its sections() or a dict behind it,
    // so a ConfigParser subclass (or a stand-in the caller passed) decides,
    // and the section view it returns is what every read below goes through,
    // getting its fallbacks, interpolation and converters.
    const int has_section = PySequence_Contains(parser, n.device);
    if (has_section <= 0) {
        return has_section < 0 ? nullptr : Ref::borrow(Py_None).release();
    }
    Ref dev = Ref::steal(PyObject_GetItem(parser, n.device));
    if (!dev) {
        return nullptr;
    }
    for (int i = 0; i < kSettingCount; ++i) {
        if (apply_setting(fn, device, dev.get(), i) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* Names::* const kParseDeviceParams[] = {&Names::parser, &Names::device};
const FunctionInfo kParseDevice = {&Names::parse_device,
                                   "NPUConfig.__init__.<locals>._parse_device",
                                   kParseDeviceParams, 2, parse_device};

// The local function _parse_device, made as a def in NPUConfig.__init__'s
// body makes it: from code compiled once. Without __builtins__ in the
// namespace, it takes the builtins of the function that makes it.
Ref make_parse_device(NativeFunction* fn) {
    ModuleState* st = fn->state;
    if (!st->parse_device_code) {
        CompiledDef def = make_code(kParseDevice, st->n, st->code_template);
        if (!def.code) {
            return {};
        }
        st->parse_device_code = def.code.release();
        st->parse_device_varnames = def.varnames.release();
        st->parse_device_qualname = def.qualname.release();
    }
    return make_function(kParseDevice, st->parse_device_code, st->parse_device_varnames,
                         st->parse_device_qualname, fn->owner, nullptr, fn->builtins);
}

// ovraLog.e(message.format(npu_model))
int log_error(NativeFunction* fn, PyObject* message, PyObject* npu_model) {
    const Names& n = fn->state->n;
    Ref log = load_global(fn, n.ovraLog);
    Ref e = log ? getattr(log.get(), n.e) : Ref();
    Ref text = e ? call_method(message, n.format, npu_model) : Ref();
    return text && call(e.get(), text.get()) ? 0 : -1;
}

// The steps of the construction stand apart, each in a frame of its own
// that is gone before the next: a logger, the record class or the parser
// may call back into the module, and each level of such recursion then
// holds only the frame of the step it is in.

// npu_cfg_path = os.path.join(ROOT_DIR, "config", "npu_config", npu_model);
// whether it exists, the logger told when it does not. 1, 0, or -1 on error.
NPU_OWN_FRAME int locate(NativeFunction* fn, PyObject* npu_model, Ref* cfg_path) {
    const Names& n = fn->state->n;
    Ref join = os_path_function(fn, n.join);
    Ref root = join ? load_global(fn, n.ROOT_DIR) : Ref();
    *cfg_path = root ? call(join.get(), root.get(), n.config, n.npu_config, npu_model) : Ref();
    Ref exists = *cfg_path ? os_path_function(fn, n.exists) : Ref();
    Ref found = exists ? call(exists.get(), cfg_path->get()) : Ref();
    const int is_there = found ? PyObject_IsTrue(found.get()) : -1;
    found.reset();
    if (is_there == 0 && log_error(fn, n.msg_missing, npu_model) < 0) {
        return -1;
    }
    return is_there;
}

// self.device = DeviceConfig(target=npu_model, pid=default_pid)
NPU_OWN_FRAME int make_record(NativeFunction* fn, PyObject* self, PyObject* npu_model) {
    ModuleState* st = fn->state;
    PyObject* default_pid = st->n.default_pid;
    Ref device_config = load_global(fn, st->n.DeviceConfig);
    if (!device_config) {
        return -1;
    }
    PyObject* args[] = {nullptr, npu_model, default_pid};
    Ref record = Ref::steal(PyObject_Vectorcall(device_config.get(), args + 1,
                                                PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                st->kwnames_record));
    return record ? set_attr(self, st->n.device, record.get()) : -1;
}

// cfg_parser = configparser.ConfigParser(dict_type=OrderedDict), and
// cfg_parser.read(npu_cfg_path). A path that exists but yields nothing (a
// directory, an unreadable file) is reported rather than passed off as an
// empty configuration.
NPU_OWN_FRAME Ref read_config(NativeFunction* fn, PyObject* cfg_path, int is_there,
                              PyObject* npu_model) {
    ModuleState* st = fn->state;
    const Names& n = st->n;
    Ref configparser = load_global(fn, n.configparser);
    Ref parser_class = configparser ? getattr(configparser.get(), n.ConfigParser) : Ref();
    Ref ordered_dict = parser_class ? load_global(fn, n.OrderedDict) : Ref();
    if (!ordered_dict) {
        return {};
    }
    PyObject* args[] = {nullptr, ordered_dict.get()};
    Ref cfg_parser = Ref::steal(PyObject_Vectorcall(
        parser_class.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, st->kwnames_parser));
    Ref read = cfg_parser ? call_method(cfg_parser.get(), n.read, cfg_path) : Ref();
    if (!read) {
        return {};
    }
    if (is_there) {  // `if found and not read`
        const int read_any = PyObject_IsTrue(read.get());
        if (read_any < 0 || (!read_any && log_error(fn, n.msg_unreadable, npu_model) < 0)) {
            return {};
        }
    }
    return cfg_parser;
}

// _parse_device(cfg_parser, self.device). self.device is read back rather
// than reusing the record we just made: a subclass may make it a property,
// or the record's class may have replaced it, and Python would see theirs.
NPU_OWN_FRAME int apply_config(NativeFunction* fn, PyObject* parse, PyObject* self,
                               PyObject* cfg_parser) {
    Ref device = getattr(self, fn->state->n.device);
    Ref result = device ? call(parse, cfg_parser, device.get()) : Ref();
    return result ? 0 : -1;
}

// What the first construction makes for every later one.
NPU_OWN_FRAME int prepare_loader(ModuleState* st) {
    const Names& n = st->n;
    if (init_loader_names(st->n) < 0) {
        return -1;
    }
    Py_XSETREF(st->kwnames_record, PyTuple_Pack(2, n.target, n.pid));
    Py_XSETREF(st->kwnames_parser, PyTuple_Pack(1, n.dict_type));
    st->loader_ready = st->kwnames_record && st->kwnames_parser;
    return st->loader_ready ? 0 : -1;
}

PyObject* npu_config_init(NativeFunction* fn, PyObject* const* args) {
    ModuleState* st = fn->state;
    PyObject* self = args[0];
    PyObject* npu_model = args[1];
    if (!st->loader_ready && prepare_loader(st) < 0) {
        return nullptr;
    }
    Ref parse = make_parse_device(fn);
    if (!parse) {
        return nullptr;
    }
    Ref cfg_path;
    const int is_there = locate(fn, npu_model, &cfg_path);
    if (is_there < 0 || make_record(fn, self, npu_model) < 0) {
        return nullptr;
    }
    Ref cfg_parser = read_config(fn, cfg_path.get(), is_there, npu_model);
    if (!cfg_parser || apply_config(fn, parse.get(), self, cfg_parser.get()) < 0) {
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

PyObject* Names::* const kInitParams[] = {&Names::self, &Names::npu_model};
const FunctionInfo kInit = {&Names::dunder_init, "NPUConfig.__init__", kInitParams, 2,
                            npu_config_init};
PyObject* Names::* const kCompatibleParams[] = {&Names::self, &Names::quantized_dtype};
const FunctionInfo kCompatible = {&Names::is_quantize_method_compatible,
                                  "NPUConfig.is_quantize_method_compatible", kCompatibleParams,
                                  2, is_quantize_method_compatible};

}  // namespace

Ref make_npu_config(PyObject* module) {
    const Names& n = state_of(module)->n;
    Ref init = new_function(module, kInit);
    Ref compatible = init ? new_function(module, kCompatible) : Ref();
    if (!compatible) {
        return {};
    }
    return new_class(module, "NPUConfig",
                     {{n.dunder_init, init.get(), init.get()},
                      {n.is_quantize_method_compatible, compatible.get(), compatible.get()}},
                     {&n.device, 1});
}

}  // namespace npu
