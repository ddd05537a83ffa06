// Shortcuts for the hot operations. Each is taken only while nothing a
// caller can reach differs from the state in which the shortcut was shown
// to give the general path's result: the same objects bound to the same
// names, classes and namespaces unmodified, no tracer or profiler watching.
// Whenever that cannot be shown, the general path runs.
#pragma once

#include <cstdint>

#include "ref.hpp"

namespace npu {

struct ModuleState;

// A class confirmed to be as the load made it, under the interpreter's
// version tag of the moment; a rejected tag spares re-checking a class that
// is known to differ until it changes again.
struct ClassGuard {
    unsigned int tag;
    unsigned int rejected_tag;
};

// DeviceDtype as the load made it: the values of its namespace, and the
// version tag under which they were last confirmed.
struct VocabularyCache {
    static constexpr int kOptions = 7;  // get_options(): five quantized, two float
    static constexpr int kQuantized = 5;
    static constexpr int kEntries = kOptions + 2;  // + both class methods
    PyObject* entries[kEntries];  // strong; in the order of get_options, then methods
    ClassGuard guard;
};

// The standard library's deep copy of a list of plain strings is a new list
// holding the same strings. These are the objects that make it so.
struct DeepCopyCache {
    PyObject* module;       // the `copy` module imported at load
    PyObject* functions[4];  // deepcopy, its list and atomic copiers, _keep_alive
    PyObject* codes[4];      // their __code__ ...
    PyObject* defaults[4];   // ... and __defaults__, as confirmed
    PyObject* dispatch;      // copy._deepcopy_dispatch
    PyObject* builtin_id;
    PyObject* builtin_type;
    PyObject* builtins;      // the namespace copy's functions use for builtins
    bool usable;             // false once the copy module is found to differ
#if PY_VERSION_HEX >= 0x030C0000
    uint64_t epoch;          // watcher epoch at the last confirmation
#else
    uint64_t versions[3];    // module dict, dispatch, builtins: as confirmed
#endif
};

// DeviceConfig as the load made it, and the namespace its constructor gives
// a new instance (3.9 and 3.10 keep instance attributes in a dict that a
// copy of this one can start from).
struct RecordCache {
    PyObject* namespace_items;  // the class namespace at load: a dict copy
    PyObject* instance_template;  // twelve attributes in assignment order
    ClassGuard guard;
};

// configparser's section view as loaded: reading through it is a call of the
// parser's own read with the section name, which is made directly.
struct SectionCache {
    PyObject* proxy_type;     // configparser.SectionProxy
    PyObject* get;            // SectionProxy.get
    PyObject* get_code;
    PyObject* get_defaults;
    PyObject* get_kwdefaults;
    PyObject* partial_type;   // functools.partial, which makes its converters
    PyObject* kwnames;        // ("raw", "vars", "fallback")
    ClassGuard guard;
};

struct FastPaths {
    SectionCache section;
    VocabularyCache vocabulary;
    DeepCopyCache deepcopy;
    RecordCache record;
#if PY_VERSION_HEX >= 0x030C0000
    int dict_watcher;
    bool watching;     // dict_watcher was registered by this module
#endif
};

// Records the state that the shortcuts depend on; called at the end of the
// load. A failure to find it leaves the shortcuts off, never the load failed.
int init_fast_paths(ModuleState* st, PyObject* module_dict);
int traverse_fast_paths(FastPaths& fast, visitproc visit, void* arg);
void clear_fast_paths(FastPaths& fast);

// Whether `cls` is DeviceDtype as loaded, unchanged: its lists are then made
// of the cached entries.
bool vocabulary_intact(ModuleState* st, PyObject* cls);

// Whether copy.deepcopy, reached through `copy_module`, is the standard
// library's, unchanged, with nobody tracing the calls it would make.
bool deepcopy_intact(ModuleState* st, PyObject* copy_module);

// Whether `self` is a new, attribute-less instance of DeviceConfig as loaded,
// whose attribute stores are therefore plain stores into its namespace.
bool fresh_record(ModuleState* st, PyObject* self);

// Whether DeviceConfig's namespace is as loaded.
bool record_class_intact(ModuleState* st);

// dev.<read>(key, fallback) for a standard section view, as the view itself
// would do it. Sets *taken to false (returning an empty Ref, no error) when
// the view is not one that this applies to.
Ref section_read(ModuleState* st, PyObject* dev, PyObject* read, PyObject* key,
                 PyObject* fallback, bool* taken);

// Whether every element of `list` is an exact str.
bool all_plain_strings(PyObject* list);

}  // namespace npu
