// Classes made as a `class` statement makes them, with functions of the
// module's own type in their bodies.
#include "classes.hpp"

#include "state.hpp"

namespace npu {

CompiledDef new_code(PyObject* module, const FunctionInfo& info) {
    ModuleState* st = state_of(module);
    return make_code(info, st->n, st->code_template);
}

Ref new_function(PyObject* module, const FunctionInfo& info, PyObject* defaults) {
    CompiledDef def = new_code(module, info);
    if (!def.code) {
        return {};
    }
    return make_function(info, def.code.get(), def.varnames.get(), def.qualname.get(), module,
                         defaults);
}

// classmethod(function), as the decorator in a class body calls it: from
// 3.10 the wrapper then takes the function's __name__, __qualname__,
// __module__ and __doc__, and keeps it as __wrapped__.
Ref classmethod_of(PyObject* function) {
    return function ? call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), function) : Ref();
}

namespace {

// The names, sorted as sorted() sorts strings, as a tuple.
Ref sorted_names(Assigned assigned) {
    Ref names = Ref::steal(PyTuple_New(assigned.count));
    for (int i = 0; names && i < assigned.count; ++i) {
        int at = i;
        while (at > 0 && PyUnicode_Compare(PyTuple_GET_ITEM(names.get(), at - 1),
                                           assigned.names[i]) > 0) {
            PyTuple_SET_ITEM(names.get(), at, PyTuple_GET_ITEM(names.get(), at - 1));
            --at;
        }
        PyTuple_SET_ITEM(names.get(), at, Ref::borrow(assigned.names[i]).release());
    }
    return names;
}

}  // namespace

Ref new_class(PyObject* module, const char* name, const Member* members, int count,
              Assigned assigned) {
    ModuleState* st = state_of(module);
    Ref class_name = interned(name);
    Ref ns = Ref::steal(PyDict_New());
    if (!class_name || !ns) {
        return {};
    }
    Ref module_name = Ref::borrow(dict_item(module_namespace(module).get(), st->n.dunder_name));
    if (!module_name) {
        if (!PyErr_Occurred()) {
            raise_name_error(st->n.dunder_name);
        }
        return {};
    }
    if (PyDict_SetItem(ns.get(), st->n.dunder_module, module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), st->n.dunder_qualname, class_name.get()) < 0) {
        return {};
    }
    for (int i = 0; i < count; ++i) {
        if (!members[i].value || PyDict_SetItem(ns.get(), members[i].name, members[i].value) < 0) {
            return {};
        }
    }
    if (kClassesRecordStaticAttributes) {
        Ref sorted = sorted_names(assigned);
        if (!sorted ||
            PyDict_SetItem(ns.get(), st->n.dunder_static_attributes, sorted.get()) < 0) {
            return {};
        }
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref cls = bases ? call(reinterpret_cast<PyObject*>(&PyType_Type), class_name.get(),
                           bases.get(), ns.get())
                    : Ref();
    if (cls) {
        for (int i = 0; i < count; ++i) {
            if (members[i].function) {
                set_objclass(members[i].function, cls.get());
            }
        }
    }
    return cls;
}

}  // namespace npu
