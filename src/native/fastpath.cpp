#include "fastpath.hpp"

#include "state.hpp"

namespace npu {

namespace {

// --- unchanged classes: the interpreter's type version tags ---------------

unsigned int current_tag(PyTypeObject* t, PyObject* any_name) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)any_name;
    return PyUnstable_Type_AssignVersionTag(t) ? t->tp_version_tag : 0;
#else
    // A lookup through the type's method cache gives it a tag if it has none.
    (void)_PyType_Lookup(t, any_name);
    return (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
#endif
}

bool tag_holds(PyTypeObject* t, unsigned int tag) {
    // Any change to a class's namespace (or its bases) resets its tag.
#if PY_VERSION_HEX >= 0x030C0000
    return tag != 0 && t->tp_version_tag == tag;
#else
    return tag != 0 && (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == tag;
#endif
}

// Whether `t` is as confirmed; when its tag moved, `matches(st)` decides anew.
bool class_confirmed(ClassGuard& guard, PyTypeObject* t, ModuleState* st, PyObject* any_name,
                     bool (*matches)(ModuleState*)) {
    if (tag_holds(t, guard.tag)) {
        return true;
    }
    if (tag_holds(t, guard.rejected_tag)) {
        return false;
    }
    guard.tag = 0;
    const bool same = matches(st);
    (same ? guard.tag : guard.rejected_tag) = current_tag(t, any_name);
    return same && guard.tag != 0;
}

// --- unchanged namespaces ---------------------------------------------------

#if PY_VERSION_HEX >= 0x030C0000
// Every change to a watched namespace moves the epoch on.
uint64_t g_epoch = 1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_epoch;
    return 0;
}
#endif

PyObject** watched_dicts(DeepCopyCache& c, PyObject* (&out)[3]) {
    out[0] = c.module ? PyModule_GetDict(c.module) : nullptr;
    out[1] = c.dispatch;
    out[2] = c.builtins;
    return out;
}

void remember_versions(FastPaths& fast) {
    DeepCopyCache& c = fast.deepcopy;
#if PY_VERSION_HEX >= 0x030C0000
    c.epoch = g_epoch;
#else
    PyObject* dicts[3];
    watched_dicts(c, dicts);
    for (int i = 0; i < 3; ++i) {
        c.versions[i] = reinterpret_cast<PyDictObject*>(dicts[i])->ma_version_tag;
    }
#endif
}

bool versions_hold(const DeepCopyCache& c) {
#if PY_VERSION_HEX >= 0x030C0000
    return c.epoch == g_epoch;
#else
    PyObject* dicts[3];
    watched_dicts(const_cast<DeepCopyCache&>(c), dicts);
    for (int i = 0; i < 3; ++i) {
        if (reinterpret_cast<PyDictObject*>(dicts[i])->ma_version_tag != c.versions[i]) {
            return false;
        }
    }
    return true;
#endif
}

PyObject* item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);  // borrowed
    if (!value) {
        PyErr_Clear();
    }
    return value;
}

// The namespace of the plain module bound to `name` in `module_dict`, or NULL.
PyObject* module_namespace(PyObject* module_dict, PyObject* name) {
    PyObject* module = item(module_dict, name);
    return module && PyModule_CheckExact(module) ? PyModule_GetDict(module) : nullptr;
}

// --- DeviceDtype ------------------------------------------------------------

PyObject* const* vocabulary_names(const Names& n, PyObject* (&out)[VocabularyCache::kEntries]) {
    PyObject* names[] = {n.DYNAMIC_FIXED_POINT_INT8, n.DYNAMIC_FIXED_POINT_INT16,
                         n.DYNAMIC_FIXED_POINT_UINT8, n.DYNAMIC_FIXED_POINT_UINT16,
                         n.SCALE_AFFINE_UINT8, n.FLOAT16, n.FLOAT32,
                         n.get_quantization_dtype, n.get_options};
    for (int i = 0; i < VocabularyCache::kEntries; ++i) {
        out[i] = names[i];
    }
    return out;
}

// The class's namespace holds the load's objects under every name the lists
// are read from.
bool vocabulary_matches(ModuleState* st) {
    VocabularyCache& v = st->fast.vocabulary;
    auto* t = reinterpret_cast<PyTypeObject*>(st->device_dtype);
    if (!v.entries[0] || Py_TYPE(st->device_dtype) != &PyType_Type) {
        return false;
    }
    PyObject* names[VocabularyCache::kEntries];
    vocabulary_names(st->n, names);
    for (int i = 0; i < VocabularyCache::kEntries; ++i) {
        if (item(t->tp_dict, names[i]) != v.entries[i]) {
            return false;
        }
    }
    return true;
}

void capture_vocabulary(ModuleState* st) {
    VocabularyCache& v = st->fast.vocabulary;
    auto* t = reinterpret_cast<PyTypeObject*>(st->device_dtype);
    PyObject* names[VocabularyCache::kEntries];
    vocabulary_names(st->n, names);
    PyObject* found[VocabularyCache::kEntries];
    for (int i = 0; i < VocabularyCache::kEntries; ++i) {
        found[i] = item(t->tp_dict, names[i]);
        const bool constant = i < VocabularyCache::kOptions;
        // Constants are read as they are only while they are plain strings.
        if (!found[i] || (constant && !PyUnicode_CheckExact(found[i])) ||
            (!constant && !PyObject_TypeCheck(found[i], &PyClassMethod_Type))) {
            return;
        }
    }
    for (int i = 0; i < VocabularyCache::kEntries; ++i) {
        v.entries[i] = Ref::borrow(found[i]).release();
    }
}

// --- copy.deepcopy ----------------------------------------------------------

enum CopyFunction { kDeepcopy, kCopyList, kCopyAtomic, kKeepAlive };

bool functions_unchanged(const DeepCopyCache& c) {
    for (int i = 0; i < 4; ++i) {
        if (PyFunction_GET_CODE(c.functions[i]) != c.codes[i] ||
            PyFunction_GET_DEFAULTS(c.functions[i]) != c.defaults[i]) {
            return false;
        }
    }
    return true;
}

// The builtins namespace that copy's functions resolve `id` and `type` in.
PyObject* builtins_of(const Names& n, PyObject* function) {
#if PY_VERSION_HEX >= 0x030A0000
    (void)n;
    return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
#else
    PyObject* b = item(PyFunction_GET_GLOBALS(function), n.dunder_builtins);
    return b && PyModule_Check(b) ? PyModule_GetDict(b) : b;
#endif
}

// The copy module's namespace still holds the captured objects.
bool copy_module_matches(ModuleState* st) {
    DeepCopyCache& c = st->fast.deepcopy;
    const Names& n = st->n;
    PyObject* d = PyModule_GetDict(c.module);
    return item(d, n.deepcopy) == c.functions[kDeepcopy] &&
           item(d, n.deepcopy_dispatch) == c.dispatch &&
           item(d, n.keep_alive) == c.functions[kKeepAlive] && !item(d, n.id) &&
           !item(d, n.type) &&
           item(c.dispatch, reinterpret_cast<PyObject*>(&PyList_Type)) ==
               c.functions[kCopyList] &&
           item(c.dispatch, reinterpret_cast<PyObject*>(&PyUnicode_Type)) ==
               c.functions[kCopyAtomic] &&
           item(c.builtins, n.id) == c.builtin_id && item(c.builtins, n.type) == c.builtin_type &&
           builtins_of(n, c.functions[kDeepcopy]) == c.builtins;
}

void capture_deepcopy(ModuleState* st, PyObject* module_dict) {
    DeepCopyCache& c = st->fast.deepcopy;
    PyObject* d = module_namespace(module_dict, st->n.copy);
    if (!d) {
        return;
    }
    PyObject* module = item(module_dict, st->n.copy);
    PyObject* deepcopy = item(d, st->n.deepcopy);
    PyObject* dispatch = item(d, st->n.deepcopy_dispatch);
    PyObject* keep_alive = item(d, st->n.keep_alive);
    if (!deepcopy || !dispatch || !keep_alive || !PyFunction_Check(deepcopy) ||
        !PyDict_CheckExact(dispatch) || !PyFunction_Check(keep_alive)) {
        return;
    }
    PyObject* copy_list = item(dispatch, reinterpret_cast<PyObject*>(&PyList_Type));
    PyObject* copy_atomic = item(dispatch, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (!copy_list || !copy_atomic || !PyFunction_Check(copy_list) ||
        !PyFunction_Check(copy_atomic)) {
        return;
    }
    // _deepcopy_list(x, memo, deepcopy=deepcopy) copies elements with deepcopy itself.
    PyObject* list_defaults = PyFunction_GET_DEFAULTS(copy_list);
    if (!list_defaults || !PyTuple_Check(list_defaults) || PyTuple_GET_SIZE(list_defaults) != 1 ||
        PyTuple_GET_ITEM(list_defaults, 0) != deepcopy) {
        return;
    }
    PyObject* builtins = builtins_of(st->n, deepcopy);
    if (!builtins || !PyDict_Check(builtins)) {
        PyErr_Clear();
        return;
    }
    PyObject* builtin_id = item(builtins, st->n.id);
    PyObject* builtin_type = item(builtins, st->n.type);
    if (!builtin_id || !PyCFunction_Check(builtin_id) ||
        builtin_type != reinterpret_cast<PyObject*>(&PyType_Type)) {
        return;
    }
    PyObject* functions[4] = {deepcopy, copy_list, copy_atomic, keep_alive};
    c.module = Ref::borrow(module).release();
    c.dispatch = Ref::borrow(dispatch).release();
    c.builtins = Ref::borrow(builtins).release();
    c.builtin_id = Ref::borrow(builtin_id).release();
    c.builtin_type = Ref::borrow(builtin_type).release();
    for (int i = 0; i < 4; ++i) {
        c.functions[i] = Ref::borrow(functions[i]).release();
        c.codes[i] = Ref::borrow(PyFunction_GET_CODE(functions[i])).release();
        c.defaults[i] = Ref::borrow(PyFunction_GET_DEFAULTS(functions[i])).release();
    }
    c.usable = copy_module_matches(st);
}

// --- DeviceConfig ----------------------------------------------------------

bool record_class_matches(ModuleState* st) {
    RecordCache& r = st->fast.record;
    auto* t = reinterpret_cast<PyTypeObject*>(st->device_config);
    if (!r.namespace_items || Py_TYPE(st->device_config) != &PyType_Type ||
        t->tp_setattro != PyObject_GenericSetAttr || t->tp_base != &PyBaseObject_Type ||
        PyDict_Size(t->tp_dict) != PyDict_Size(r.namespace_items)) {
        return false;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(r.namespace_items, &pos, &key, &value)) {
        if (item(t->tp_dict, key) != value) {
            return false;
        }
    }
    return true;
}

// --- configparser.SectionProxy ---------------------------------------------

bool nobody_tracing() {
    PyThreadState* ts = PyThreadState_Get();
    return !ts->c_tracefunc && !ts->c_profilefunc;
}

// SectionProxy.get as the standard library writes it:
//   def get(self, option, fallback=None, *, raw=False, vars=None, _impl=None, **kwargs):
//       if not _impl: _impl = self._parser.get
//       return _impl(self._name, option, raw=raw, vars=vars, fallback=fallback, **kwargs)
bool looks_like_section_get(PyObject* function) {
    PyObject* code = PyFunction_GET_CODE(function);
    Ref varnames = Ref::steal(PyObject_GetAttrString(code, "co_varnames"));
    Ref names = Ref::steal(PyObject_GetAttrString(code, "co_names"));
    Ref argcount = Ref::steal(PyObject_GetAttrString(code, "co_argcount"));
    Ref kwonly = Ref::steal(PyObject_GetAttrString(code, "co_kwonlyargcount"));
    Ref expected_vars = Ref::steal(Py_BuildValue("(sssssss)", "self", "option", "fallback", "raw",
                                                 "vars", "_impl", "kwargs"));
    Ref expected_names = Ref::steal(Py_BuildValue("(sss)", "_parser", "get", "_name"));
    if (!varnames || !names || !argcount || !kwonly || !expected_vars || !expected_names) {
        PyErr_Clear();
        return false;
    }
    Ref head = Ref::steal(PyTuple_GetSlice(varnames.get(), 0, 7));
    const int same_vars = head ? PyObject_RichCompareBool(head.get(), expected_vars.get(), Py_EQ)
                               : -1;
    const int same_names = PyObject_RichCompareBool(names.get(), expected_names.get(), Py_EQ);
    PyErr_Clear();
    return same_vars == 1 && same_names == 1 && PyLong_AsLong(argcount.get()) == 3 &&
           PyLong_AsLong(kwonly.get()) == 3;
}

void capture_section(ModuleState* st, PyObject* module_dict) {
    SectionCache& c = st->fast.section;
    PyObject* d = module_namespace(module_dict, st->n.configparser);
    if (!d) {
        return;
    }
    PyObject* proxy = item(d, st->n.SectionProxy);
    PyObject* functools = module_namespace(d, st->n.functools);
    PyObject* partial = functools ? item(functools, st->n.partial) : nullptr;
    if (!proxy || !PyType_Check(proxy) || !partial || !PyType_Check(partial)) {
        return;
    }
    PyObject* get = item(reinterpret_cast<PyTypeObject*>(proxy)->tp_dict, st->n.get);
    if (!get || !PyFunction_Check(get) || !looks_like_section_get(get)) {
        return;
    }
    c.kwnames = PyTuple_Pack(3, st->n.raw, st->n.vars, st->n.fallback);
    if (!c.kwnames) {
        PyErr_Clear();
        return;
    }
    c.proxy_type = Ref::borrow(proxy).release();
    c.partial_type = Ref::borrow(partial).release();
    c.get = Ref::borrow(get).release();
    c.get_code = Ref::borrow(PyFunction_GET_CODE(get)).release();
    c.get_defaults = Ref::borrow(PyFunction_GET_DEFAULTS(get)).release();
    c.get_kwdefaults = Ref::borrow(PyFunction_GET_KW_DEFAULTS(get)).release();
}

// The class still gives instances its `get` and no descriptor for the names
// the view's reads use.
bool section_class_matches(ModuleState* st) {
    SectionCache& c = st->fast.section;
    auto* t = reinterpret_cast<PyTypeObject*>(c.proxy_type);
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, st->n.get) != c.get) {
        return false;
    }
    for (PyObject* name : {st->n.underscore_name, st->n.underscore_parser, st->n.getint,
                           st->n.getboolean}) {
        if (_PyType_Lookup(t, name)) {
            return false;
        }
    }
    return true;
}

bool section_intact(ModuleState* st, PyObject* dev) {
    SectionCache& c = st->fast.section;
    if (!c.proxy_type || reinterpret_cast<PyObject*>(Py_TYPE(dev)) != c.proxy_type ||
        !nobody_tracing()) {
        return false;
    }
    if (PyFunction_GET_CODE(c.get) != c.get_code ||
        PyFunction_GET_DEFAULTS(c.get) != c.get_defaults ||
        PyFunction_GET_KW_DEFAULTS(c.get) != c.get_kwdefaults || !c.get_kwdefaults ||
        PyDict_Size(c.get_kwdefaults) != 3 ||
        item(c.get_kwdefaults, st->n.underscore_impl) != Py_None ||
        !item(c.get_kwdefaults, st->n.raw) || !item(c.get_kwdefaults, st->n.vars)) {
        return false;
    }
    return class_confirmed(c.guard, reinterpret_cast<PyTypeObject*>(c.proxy_type), st, st->n.get,
                           section_class_matches);
}

// A bound method of SectionProxy.get on `dev`.
bool is_own_get(const SectionCache& c, PyObject* method, PyObject* dev) {
    return method && PyMethod_Check(method) && PyMethod_GET_FUNCTION(method) == c.get &&
           PyMethod_GET_SELF(method) == dev;
}

}  // namespace

Ref section_read(ModuleState* st, PyObject* dev, PyObject* read, PyObject* key,
                 PyObject* fallback, bool* taken) {
    *taken = false;
    if (!section_intact(st, dev)) {
        return {};
    }
    SectionCache& c = st->fast.section;
    const Names& n = st->n;
    // Bound as the view's get binds its keyword defaults, at the start, and
    // held: what runs later may change them.
    Ref raw = Ref::borrow(item(c.get_kwdefaults, n.raw));
    Ref vars = Ref::borrow(item(c.get_kwdefaults, n.vars));
    // What the view's read is: its own get, or a converter made as
    // functools.partial(self.get, _impl=parser.get<type>).
    Ref reader = getattr(dev, read);
    if (!reader) {
        PyErr_Clear();
        return {};
    }
    Ref impl;
    if (read == n.get) {
        if (!is_own_get(c, reader.get(), dev)) {
            return {};
        }
    } else {
        if (reinterpret_cast<PyObject*>(Py_TYPE(reader.get())) != c.partial_type) {
            return {};
        }
        Ref func = getattr(reader.get(), n.func);
        Ref args = func ? getattr(reader.get(), n.args) : Ref();
        Ref keywords = args ? getattr(reader.get(), n.keywords) : Ref();
        if (!keywords) {
            PyErr_Clear();
            return {};
        }
        if (!is_own_get(c, func.get(), dev) || !PyTuple_CheckExact(args.get()) ||
            PyTuple_GET_SIZE(args.get()) != 0 || !PyDict_CheckExact(keywords.get()) ||
            PyDict_Size(keywords.get()) != 1) {
            return {};
        }
        impl = Ref::borrow(item(keywords.get(), n.underscore_impl));
        // `if not _impl` runs no code for a bound method, which is always true.
        if (!impl || !PyMethod_Check(impl.get())) {
            return {};
        }
    }
    *taken = true;
    if (!impl) {
        Ref parser = getattr(dev, n.underscore_parser);
        impl = parser ? getattr(parser.get(), n.get) : Ref();
        if (!impl) {
            return {};
        }
    }
    Ref name = getattr(dev, n.underscore_name);
    if (!name) {
        return {};
    }
    PyObject* stack[] = {nullptr, name.get(), key, raw.get(), vars.get(), fallback};
    return Ref::steal(
        PyObject_Vectorcall(impl.get(), stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, c.kwnames));
}

bool record_class_intact(ModuleState* st) {
    return class_confirmed(st->fast.record.guard,
                           reinterpret_cast<PyTypeObject*>(st->device_config), st,
                           st->n.dunder_init, record_class_matches);
}

int init_fast_paths(ModuleState* st, PyObject* module_dict) {
    FastPaths& fast = st->fast;
    capture_vocabulary(st);
    capture_deepcopy(st, module_dict);
    capture_section(st, module_dict);
    if (st->device_config) {
        fast.record.namespace_items =
            PyDict_Copy(reinterpret_cast<PyTypeObject*>(st->device_config)->tp_dict);
    }
    PyErr_Clear();  // what could not be captured leaves its shortcut off
    DeepCopyCache& c = fast.deepcopy;
    if (!c.usable) {
        return 0;
    }
#if PY_VERSION_HEX >= 0x030C0000
    fast.dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (fast.dict_watcher < 0) {
        PyErr_Clear();
        c.usable = false;
        return 0;
    }
    fast.watching = true;
    PyObject* dicts[3];
    watched_dicts(c, dicts);
    for (PyObject* d : dicts) {
        if (PyDict_Watch(fast.dict_watcher, d) < 0) {
            PyErr_Clear();
            c.usable = false;
            return 0;
        }
    }
#endif
    remember_versions(fast);
    return 0;
}

int traverse_fast_paths(FastPaths& fast, visitproc visit, void* arg) {
    for (PyObject* o : fast.vocabulary.entries) {
        Py_VISIT(o);
    }
    Py_VISIT(fast.record.namespace_items);
    Py_VISIT(fast.section.proxy_type);
    Py_VISIT(fast.section.get);
    Py_VISIT(fast.section.get_code);
    Py_VISIT(fast.section.get_defaults);
    Py_VISIT(fast.section.get_kwdefaults);
    Py_VISIT(fast.section.partial_type);
    Py_VISIT(fast.section.kwnames);
    Py_VISIT(fast.record.instance_template);
    DeepCopyCache& c = fast.deepcopy;
    Py_VISIT(c.module);
    Py_VISIT(c.dispatch);
    Py_VISIT(c.builtins);
    Py_VISIT(c.builtin_id);
    Py_VISIT(c.builtin_type);
    for (int i = 0; i < 4; ++i) {
        Py_VISIT(c.functions[i]);
        Py_VISIT(c.codes[i]);
        Py_VISIT(c.defaults[i]);
    }
    return 0;
}

void clear_fast_paths(FastPaths& fast) {
    for (PyObject*& o : fast.vocabulary.entries) {
        Py_CLEAR(o);
    }
    fast.vocabulary.guard = {};
    Py_CLEAR(fast.record.namespace_items);
    Py_CLEAR(fast.section.proxy_type);
    Py_CLEAR(fast.section.get);
    Py_CLEAR(fast.section.get_code);
    Py_CLEAR(fast.section.get_defaults);
    Py_CLEAR(fast.section.get_kwdefaults);
    Py_CLEAR(fast.section.partial_type);
    Py_CLEAR(fast.section.kwnames);
    fast.section.guard = {};
    Py_CLEAR(fast.record.instance_template);
    fast.record.guard = {};
    DeepCopyCache& c = fast.deepcopy;
    c.usable = false;
#if PY_VERSION_HEX >= 0x030C0000
    if (fast.watching) {
        // May run while an exception is on its way (a failed load).
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (PyDict_ClearWatcher(fast.dict_watcher) < 0) {
            PyErr_Clear();
        }
        PyErr_Restore(type, value, traceback);
        fast.watching = false;
    }
#endif
    Py_CLEAR(c.module);
    Py_CLEAR(c.dispatch);
    Py_CLEAR(c.builtins);
    Py_CLEAR(c.builtin_id);
    Py_CLEAR(c.builtin_type);
    for (int i = 0; i < 4; ++i) {
        Py_CLEAR(c.functions[i]);
        Py_CLEAR(c.codes[i]);
        Py_CLEAR(c.defaults[i]);
    }
}

bool vocabulary_intact(ModuleState* st, PyObject* cls) {
    if (cls != st->device_dtype || !cls) {
        return false;
    }
    return class_confirmed(st->fast.vocabulary.guard, reinterpret_cast<PyTypeObject*>(cls), st,
                           st->n.get_options, vocabulary_matches);
}

bool deepcopy_intact(ModuleState* st, PyObject* copy_module) {
    DeepCopyCache& c = st->fast.deepcopy;
    if (!c.usable || copy_module != c.module || Py_TYPE(copy_module) != &PyModule_Type) {
        return false;
    }
    // A tracer or profiler would see the calls that the general path makes.
    if (!nobody_tracing() || !functions_unchanged(c)) {
        return false;
    }
    if (versions_hold(c)) {
        return true;
    }
    if (!copy_module_matches(st)) {
        return false;
    }
    remember_versions(st->fast);
    return true;
}

bool fresh_record(ModuleState* st, PyObject* self) {
#if PY_VERSION_HEX >= 0x030B0000
    // Instances keep their attributes inline; the generic stores are fast.
    (void)st;
    (void)self;
    return false;
#else
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(st->device_config)) {
        return false;
    }
    PyObject** dict = _PyObject_GetDictPtr(self);
    return dict && !*dict && record_class_intact(st);
#endif
}

bool all_plain_strings(PyObject* list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) {
            return false;
        }
    }
    return true;
}

}  // namespace npu
