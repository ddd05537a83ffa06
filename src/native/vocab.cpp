// The vocabularies: InitOptimization and DeviceDtype.
#include "classes.hpp"
#include "state.hpp"

#include <algorithm>
#include <new>
#include <vector>

namespace npu {

namespace {

ModuleState* state(NativeFunction* self) { return self->state; }

constexpr Py_ssize_t kQuantized = 5;  // get_options() begins with get_quantization_dtype()

// [cls.<name> for name in names]: the attributes read in order into a new
// list; an error drops the list with what it holds so far.
PyObject* list_of_attributes(PyObject* cls, std::initializer_list<PyObject*> names) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* name : names) {
        PyObject* value = list ? getattr(cls, name).release() : nullptr;
        if (!value) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i++, value);
    }
    return list.release();
}

#if NPU_SHORTCUTS
// A new list of the first `n` cached names.
PyObject* cached_list(const VocabularyCache& v, Py_ssize_t n) {
    PyObject* list = PyList_New(n);
    for (Py_ssize_t i = 0; list && i < n; ++i) {
        PyList_SET_ITEM(list, i, Ref::borrow(v.entries[i]).release());
    }
    return list;
}

#if NPU_DICT_WATCHERS
// One dict watcher per interpreter serves the caches of every module object
// loaded there; the watcher and the caches it serves are kept in a capsule in
// the interpreter's own dictionary, where the watcher finds them.
struct WatchRegistry {
    int watcher;
    std::vector<VocabularyCache*> caches;
};

constexpr const char* kRegistryName = "ovralite.api.npu_config.npu_config.watchers";

// The interpreter's registry, borrowed; NULL (no exception) when there is none.
WatchRegistry* find_registry() {
    PyObject* interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!interpreter_dict) {
        return nullptr;
    }
    Ref key = Ref::steal(PyUnicode_FromString(kRegistryName));
    PyObject* capsule = key ? PyDict_GetItemWithError(interpreter_dict, key.get()) : nullptr;
    void* registry = capsule ? PyCapsule_GetPointer(capsule, kRegistryName) : nullptr;
    PyErr_Clear();
    return static_cast<WatchRegistry*>(registry);
}

// Any change to a watched namespace, its clearing or its end turns the
// shortcut of its class off for good.
int namespace_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    SetAside pending;
    if (WatchRegistry* registry = find_registry()) {
        for (VocabularyCache* v : registry->caches) {
            if (v->namespace_dict == dict) {
                v->valid = false;
            }
        }
    }
    pending.raise_again();
    return 0;
}

void drop_registry(PyObject* capsule) {
    auto* registry = static_cast<WatchRegistry*>(PyCapsule_GetPointer(capsule, kRegistryName));
    if (!registry) {
        PyErr_Clear();
        return;
    }
    for (VocabularyCache* v : registry->caches) {
        v->valid = false;
    }
    delete registry;
}

// The interpreter's registry, made with its watcher on first use; NULL with
// an exception set when it cannot be had (all watchers taken, no memory).
WatchRegistry* registry() {
    if (WatchRegistry* found = find_registry()) {
        return found;
    }
    PyObject* interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!interpreter_dict) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no dictionary");
        return nullptr;
    }
    auto* made = new (std::nothrow) WatchRegistry{-1, {}};
    if (!made) {
        PyErr_NoMemory();
        return nullptr;
    }
    Ref capsule = Ref::steal(PyCapsule_New(made, kRegistryName, drop_registry));
    if (!capsule) {
        delete made;
        return nullptr;
    }
    made->watcher = PyDict_AddWatcher(namespace_changed);
    if (made->watcher < 0 ||
        PyDict_SetItemString(interpreter_dict, kRegistryName, capsule.get()) < 0) {
        return nullptr;  // the capsule's end frees `made`
    }
    return made;
}

// Starts watching the namespace of `v`'s class; the shortcut stays off when
// the interpreter cannot watch it.
void watch(VocabularyCache& v) {
    WatchRegistry* r = registry();
    if (!r || PyDict_Watch(r->watcher, v.namespace_dict) < 0) {
        PyErr_Clear();
        return;
    }
    r->caches.push_back(&v);
    v.watcher = r->watcher;
    v.valid = true;
}

void unwatch(VocabularyCache& v) {
    if (WatchRegistry* r = find_registry()) {
        auto& caches = r->caches;
        caches.erase(std::remove(caches.begin(), caches.end(), &v), caches.end());
    }
    if (v.valid && PyDict_Unwatch(v.watcher, v.namespace_dict) < 0) {
        PyErr_Clear();
    }
    v.valid = false;
}
#endif

// Caches `cls` as just made, no code of anyone else's having run since.
void remember(VocabularyCache& v, PyObject* cls, std::initializer_list<PyObject*> names) {
    v.cls = cls;
    v.namespace_dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    v.count = 0;
    for (PyObject* name : names) {
        v.entries[v.count++] = Ref::borrow(name).release();
    }
#if NPU_DICT_WATCHERS
    watch(v);
#else
    v.version = dict_version(v.namespace_dict);
    v.valid = true;
#endif
}
#endif

PyObject* init_optimization_get_options(NativeFunction* self, PyObject* const* args) {
    ModuleState* st = state(self);
#if NPU_SHORTCUTS
    if (as_loaded(st->modes, args[0])) {
        return cached_list(st->modes, st->modes.count);
    }
#endif
    const Names& n = st->n;
    return list_of_attributes(args[0], {n.ENABLE_ALL, n.DISABLE_ALL, n.MANUAL});
}

PyObject* get_quantization_dtype(NativeFunction* self, PyObject* const* args) {
    ModuleState* st = state(self);
#if NPU_SHORTCUTS
    if (as_loaded(st->dtypes, args[0])) {
        return cached_list(st->dtypes, kQuantized);
    }
#endif
    const Names& n = st->n;
    return list_of_attributes(args[0],
                              {n.DYNAMIC_FIXED_POINT_INT8, n.DYNAMIC_FIXED_POINT_INT16,
                               n.DYNAMIC_FIXED_POINT_UINT8, n.DYNAMIC_FIXED_POINT_UINT16,
                               n.SCALE_AFFINE_UINT8});
}

// cls.get_quantization_dtype() + [cls.FLOAT16, cls.FLOAT32]
PyObject* device_dtype_get_options(NativeFunction* self, PyObject* const* args) {
    ModuleState* st = state(self);
    PyObject* cls = args[0];
#if NPU_SHORTCUTS
    if (as_loaded(st->dtypes, cls)) {
        // As deep as the call of get_quantization_dtype() it stands for.
        return check_skipped_calls(1) ? cached_list(st->dtypes, st->dtypes.count) : nullptr;
    }
#endif
    Ref quantized = call_method(cls, st->n.get_quantization_dtype);
    if (!quantized) {
        return nullptr;
    }
    Ref floats = Ref::steal(list_of_attributes(cls, {st->n.FLOAT16, st->n.FLOAT32}));
    if (!floats) {
        return nullptr;
    }
    return PyNumber_Add(quantized.get(), floats.get());
}

const char* const kClsParams[] = {"cls"};

const FunctionInfo kInitOptimizationGetOptions = {
    "get_options", "InitOptimization.get_options", kClsParams, 1,
    init_optimization_get_options};
const FunctionInfo kGetQuantizationDtype = {
    "get_quantization_dtype", "DeviceDtype.get_quantization_dtype", kClsParams, 1,
    get_quantization_dtype};
const FunctionInfo kDeviceDtypeGetOptions = {
    "get_options", "DeviceDtype.get_options", kClsParams, 1, device_dtype_get_options};

Ref text(const char* value) { return Ref::steal(PyUnicode_InternFromString(value)); }

}  // namespace

#if NPU_SHORTCUTS
// While a cache is valid, its lists are the cached names: reading them
// through the class runs nobody's code (type is its metaclass and they are
// plain strings in its own namespace), and DeviceDtype.get_options() finds
// this module's get_quantization_dtype. The class and its namespace are not
// kept alive by the cache: the namespace's end, like any change to it, turns
// the cache off first (its watcher; up to 3.11 a new dictionary at the same
// address has a version never seen before).
int traverse_vocabulary(VocabularyCache& v, visitproc visit, void* arg) {
    for (int i = 0; i < v.count; ++i) {
        Py_VISIT(v.entries[i]);
    }
    return 0;
}

void clear_vocabulary(VocabularyCache& v) {
#if NPU_DICT_WATCHERS
    unwatch(v);
#endif
    v.valid = false;
    for (int i = 0; i < v.count; ++i) {
        Py_CLEAR(v.entries[i]);
    }
    v.count = 0;
}
#endif

Ref make_init_optimization(PyObject* module) {
    const Names& n = state_of(module)->n;
    Ref enable_all = text("enable_all");
    Ref disable_all = text("disable_all");
    Ref manual = text("manual");
    if (!enable_all || !disable_all || !manual) {
        return {};
    }
    Ref get_options = new_function(module, kInitOptimizationGetOptions);
    Ref get_options_method = classmethod_of(get_options.get());
    if (!get_options_method) {
        return {};
    }
    Ref cls = new_class(module, "InitOptimization",
                        {{n.ENABLE_ALL, enable_all.get()},
                         {n.DISABLE_ALL, disable_all.get()},
                         {n.MANUAL, manual.get()},
                         {n.get_options, get_options_method.get(), get_options.get()}});
#if NPU_SHORTCUTS
    if (cls) {
        remember(state_of(module)->modes, cls.get(),
                 {enable_all.get(), disable_all.get(), manual.get()});
    }
#endif
    return cls;
}

Ref make_device_dtype(PyObject* module) {
    ModuleState* st = state_of(module);
    const Names& n = st->n;
    Ref dfp8 = text("dynamic_fixed_point-8");
    Ref dfp16 = text("dynamic_fixed_point-16");
    Ref dfpu16 = text("dynamic_fixed_point-u16");
    Ref dfpu8 = text("dynamic_fixed_point-u8");
    Ref asym_u8 = text("asymmetric_quantized-u8");
    Ref float16 = text("float16");
    Ref float32 = text("float32");
    Ref int32 = text("int32");
    if (!dfp8 || !dfp16 || !dfpu16 || !dfpu8 || !asym_u8 || !float16 || !float32 || !int32) {
        return {};
    }
    Ref quantization = new_function(module, kGetQuantizationDtype);
    Ref quantization_method = classmethod_of(quantization.get());
    Ref options = quantization_method ? new_function(module, kDeviceDtypeGetOptions) : Ref();
    Ref options_method = classmethod_of(options.get());
    if (!options_method) {
        return {};
    }
    Ref cls = new_class(module, "DeviceDtype",
                        {{n.DYNAMIC_FIXED_POINT_INT8, dfp8.get()},
                         {n.DYNAMIC_FIXED_POINT_INT16, dfp16.get()},
                         {n.DYNAMIC_FIXED_POINT_UINT16, dfpu16.get()},
                         {n.DYNAMIC_FIXED_POINT_UINT8, dfpu8.get()},
                         {n.SCALE_AFFINE_UINT8, asym_u8.get()},
                         {n.FLOAT16, float16.get()},
                         {n.FLOAT32, float32.get()},
                         {n.INT32, int32.get()},
                         {n.get_quantization_dtype, quantization_method.get(), quantization.get()},
                         {n.get_options, options_method.get(), options.get()}});
#if NPU_SHORTCUTS
    if (cls) {
        remember(st->dtypes, cls.get(),
                 {dfp8.get(), dfp16.get(), dfpu8.get(), dfpu16.get(), asym_u8.get(), float16.get(),
                  float32.get()});
    }
#endif
    return cls;
}

}  // namespace npu
