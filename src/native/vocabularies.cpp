// The vocabularies: InitOptimization and DeviceDtype.
#include "classes.hpp"
#include "stack.hpp"
#include "state.hpp"
#include "vocabulary_tables.hpp"

namespace npu {

namespace {

// [cls.<name> for name in the listed constants from place `first` on, `n` of
// them]: the attributes read in order into a new list; an error drops the
// list with what it holds so far.
template <int N>
PyObject* list_of_attributes(PyObject* cls, const Names& names, const Constant (&rows)[N],
                             const Listing& listed, int first, int n) {
    Ref list = Ref::steal(PyList_New(n));
    for (int i = 0; list && i < n; ++i) {
        PyObject* value = getattr(cls, names.*rows[listed.index[first + i]].name).release();
        if (!value) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, value);
    }
    return list.release();
}

PyObject* init_optimization_get_options(NativeFunction* self, PyObject* const* args) {
    ModuleState* st = self->state;
    if (as_loaded(st->modes, args[0])) {
        return cached_list(st->modes, st->modes.count);
    }
    return list_of_attributes(args[0], st->n, kInitOptimization, kModesListed, 0,
                              kModesListed.count);
}

PyObject* get_quantization_dtype(NativeFunction* self, PyObject* const* args) {
    ModuleState* st = self->state;
    if (as_loaded(st->dtypes, args[0])) {
        return cached_list(st->dtypes, kQuantized);
    }
    return list_of_attributes(args[0], st->n, kDeviceDtype, kDtypesListed, 0, kQuantized);
}

// cls.get_quantization_dtype() + [cls.FLOAT16, cls.FLOAT32]: the quantized
// types, then the rest of the listed ones.
PyObject* device_dtype_get_options(NativeFunction* self, PyObject* const* args) {
    ModuleState* st = self->state;
    PyObject* cls = args[0];
    if (as_loaded(st->dtypes, cls)) {
        // As deep as the call of get_quantization_dtype() it stands for.
        return check_skipped_calls(1) ? cached_list(st->dtypes, st->dtypes.count) : nullptr;
    }
    Ref quantized = call_method(cls, st->n.get_quantization_dtype);
    if (!quantized) {
        return nullptr;
    }
    Ref floats = Ref::steal(list_of_attributes(cls, st->n, kDeviceDtype, kDtypesListed,
                                               kQuantized, kDtypesListed.count - kQuantized));
    if (!floats) {
        return nullptr;
    }
    return PyNumber_Add(quantized.get(), floats.get());
}

PyObject* Names::* const kClsParams[] = {&Names::cls};

const FunctionInfo kInitOptimizationGetOptions = {
    &Names::get_options, "InitOptimization.get_options", kClsParams, 1,
    init_optimization_get_options};
const FunctionInfo kGetQuantizationDtype = {
    &Names::get_quantization_dtype, "DeviceDtype.get_quantization_dtype", kClsParams, 1,
    get_quantization_dtype};
const FunctionInfo kDeviceDtypeGetOptions = {
    &Names::get_options, "DeviceDtype.get_options", kClsParams, 1, device_dtype_get_options};

// A vocabulary class: its constants, interned, in the order of the rows,
// then its methods; the listed texts, once the class is made, are
// remembered for the shortcut.
template <int N, size_t M>
Ref make_vocabulary(PyObject* module, const char* name, const Constant (&rows)[N],
                    const Listing& listed, const Member (&methods)[M], VocabularyCache& cache) {
    const Names& n = state_of(module)->n;
    Ref texts[N];
    Member members[N + M];
    for (int i = 0; i < N; ++i) {
        if (!(texts[i] = interned(rows[i].text))) {
            return {};
        }
        members[i] = Member{n.*rows[i].name, texts[i].get()};
    }
    int count = N;
    for (const Member& m : methods) {
        if (!m.value) {
            return {};
        }
        members[count++] = m;
    }
    Ref cls = new_class(module, name, members, count);
    if (cls) {
        PyObject* in_order[kMaxListed];
        for (int i = 0; i < listed.count; ++i) {
            in_order[i] = texts[listed.index[i]].get();
        }
        remember(cache, cls.get(), in_order, listed.count);
    }
    return cls;
}

}  // namespace

Ref make_init_optimization(PyObject* module) {
    ModuleState* st = state_of(module);
    Ref get_options = new_function(module, kInitOptimizationGetOptions);
    Ref get_options_method = classmethod_of(get_options.get());
    return make_vocabulary(module, "InitOptimization", kInitOptimization, kModesListed,
                           {{st->n.get_options, get_options_method.get(), get_options.get()}},
                           st->modes);
}

Ref make_device_dtype(PyObject* module) {
    ModuleState* st = state_of(module);
    const Names& n = st->n;
    Ref quantization = new_function(module, kGetQuantizationDtype);
    Ref quantization_method = classmethod_of(quantization.get());
    Ref options = quantization_method ? new_function(module, kDeviceDtypeGetOptions) : Ref();
    Ref options_method = classmethod_of(options.get());
    return make_vocabulary(
        module, "DeviceDtype", kDeviceDtype, kDtypesListed,
        {{n.get_quantization_dtype, quantization_method.get(), quantization.get()},
         {n.get_options, options_method.get(), options.get()}},
        st->dtypes);
}

}  // namespace npu
