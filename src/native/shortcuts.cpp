// The vocabulary caches: how a cache is made, watched, searched and let go.
#include "shortcuts.hpp"

#if NPU_SHORTCUTS

namespace npu {

int cached_contains(const VocabularyCache& v, PyObject* item) {
    for (int i = 0; i < v.count; ++i) {
        if (const int same = PyObject_RichCompareBool(v.entries[i], item, Py_EQ)) {
            return same;
        }
    }
    return 0;
}

#if NPU_DICT_WATCHERS
// One dict watcher per interpreter serves the caches of every module object
// loaded there. The watcher and the caches it serves (a list through the
// caches themselves) are kept in a capsule in the interpreter's dictionary,
// where the watcher, which is given no data of its own, finds them.
struct WatchRegistry {
    int watcher;
    VocabularyCache* caches;
};

namespace {

constexpr const char* kRegistryName = "ovralite.api.npu_config.npu_config.watchers";

// The interpreter's registry, or NULL. Walks the interpreter's dictionary
// rather than looking a key up: nothing is allocated and no exception is
// raised, so the watcher can always find it.
WatchRegistry* find_registry() {
    PyObject* interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (interpreter_dict && PyDict_Next(interpreter_dict, &position, &key, &value)) {
        if (PyCapsule_IsValid(value, kRegistryName)) {
            return static_cast<WatchRegistry*>(PyCapsule_GetPointer(value, kRegistryName));
        }
    }
    return nullptr;
}

// Any change to a watched namespace, its clearing or its end turns the
// shortcut of its class off for good.
int namespace_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    if (WatchRegistry* registry = find_registry()) {
        for (VocabularyCache* v = registry->caches; v; v = v->next) {
            if (v->namespace_dict == dict) {
                v->valid = false;
            }
        }
    }
    return 0;
}

// The interpreter's end: the caches of module objects still alive stop
// watching, and forget the registry.
void drop_registry(PyObject* capsule) {
    auto* registry = static_cast<WatchRegistry*>(PyCapsule_GetPointer(capsule, kRegistryName));
    if (!registry) {
        PyErr_Clear();
        return;
    }
    for (VocabularyCache* v = registry->caches; v;) {
        VocabularyCache* next = v->next;
        v->valid = false;
        v->registry = nullptr;
        v->next = nullptr;
        v = next;
    }
    PyMem_RawFree(registry);
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
    auto* made = static_cast<WatchRegistry*>(PyMem_RawCalloc(1, sizeof(WatchRegistry)));
    if (!made) {
        PyErr_NoMemory();
        return nullptr;
    }
    made->watcher = -1;
    Ref capsule = Ref::steal(PyCapsule_New(made, kRegistryName, drop_registry));
    if (!capsule) {
        PyMem_RawFree(made);
        return nullptr;
    }
    made->watcher = PyDict_AddWatcher(namespace_changed);
    if (made->watcher < 0) {
        return nullptr;  // the capsule's end frees `made`
    }
    if (PyDict_SetItemString(interpreter_dict, kRegistryName, capsule.get()) < 0) {
        // The watcher goes with the registry that could not be kept: the
        // interpreter has few, and the next load tries again.
        SetAside error;
        if (PyDict_ClearWatcher(made->watcher) < 0) {
            PyErr_Clear();
        }
        error.raise_again();
        return nullptr;
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
    v.watcher = r->watcher;
    v.registry = r;
    v.next = r->caches;
    r->caches = &v;
    v.valid = true;
}

// Runs in the module's clear and end, which set aside an exception on its way.
void unwatch(VocabularyCache& v) {
    if (WatchRegistry* r = v.registry) {
        for (VocabularyCache** link = &r->caches; *link; link = &(*link)->next) {
            if (*link == &v) {
                *link = v.next;
                break;
            }
        }
        v.registry = nullptr;
        v.next = nullptr;
    }
    if (v.valid && PyDict_Unwatch(v.watcher, v.namespace_dict) < 0) {
        PyErr_Clear();
    }
    v.valid = false;
}

}  // namespace
#endif

void remember(VocabularyCache& v, PyObject* cls, PyObject* const* texts, int count) {
    v.cls = cls;
    v.namespace_dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    v.count = 0;
    for (int i = 0; i < count && i < VocabularyCache::kMaxEntries; ++i) {
        v.entries[v.count++] = Ref::borrow(texts[i]).release();
    }
#if NPU_DICT_WATCHERS
    watch(v);
#else
    v.version = dict_version(v.namespace_dict);
    v.valid = true;
#endif
}

int traverse_vocabulary(const VocabularyCache& v, visitproc visit, void* arg) {
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

}  // namespace npu

#endif
