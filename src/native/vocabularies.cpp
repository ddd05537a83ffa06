// The vocabularies: InitOptimization and DeviceDtype.
#include "classes.hpp"
#include "stack.hpp"
#include "state.hpp"

namespace npu {

namespace {

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

PyObject* init_optimization_get_options(NativeFunction* self, PyObject* const* args) {
    ModuleState* st = self->state;
    if (as_loaded(st->modes, args[0])) {
        return cached_list(st->modes, st->modes.count);
    }
    const Names& n = st->n;
    return list_of_attributes(args[0], {n.ENABLE_ALL, n.DISABLE_ALL, n.MANUAL});
}

PyObject* get_quantization_dtype(NativeFunction* self, PyObject* const* args) {
    ModuleState* st = self->state;
    if (as_loaded(st->dtypes, args[0])) {
        return cached_list(st->dtypes, kQuantized);
    }
    const Names& n = st->n;
    return list_of_attributes(args[0],
                              {n.DYNAMIC_FIXED_POINT_INT8, n.DYNAMIC_FIXED_POINT_INT16,
                               n.DYNAMIC_FIXED_POINT_UINT8, n.DYNAMIC_FIXED_POINT_UINT16,
                               n.SCALE_AFFINE_UINT8});
}

// cls.get_quantization_dtype() + [cls.FLOAT16, cls.FLOAT32]
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
    Ref floats = Ref::steal(list_of_attributes(cls, {st->n.FLOAT16, st->n.FLOAT32}));
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

}  // namespace

Ref make_init_optimization(PyObject* module) {
    const Names& n = state_of(module)->n;
    Ref enable_all = interned("enable_all");
    Ref disable_all = interned("disable_all");
    Ref manual = interned("manual");
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
    if (cls) {
        PyObject* const listed[] = {enable_all.get(), disable_all.get(), manual.get()};
        remember(state_of(module)->modes, cls.get(), listed);
    }
    return cls;
}

Ref make_device_dtype(PyObject* module) {
    ModuleState* st = state_of(module);
    const Names& n = st->n;
    Ref dfp8 = interned("dynamic_fixed_point-8");
    Ref dfp16 = interned("dynamic_fixed_point-16");
    Ref dfpu16 = interned("dynamic_fixed_point-u16");
    Ref dfpu8 = interned("dynamic_fixed_point-u8");
    Ref asym_u8 = interned("asymmetric_quantized-u8");
    Ref float16 = interned("float16");
    Ref float32 = interned("float32");
    Ref int32 = interned("int32");
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
    if (cls) {
        // get_options() in order: the quantized types first.
        PyObject* const listed[] = {dfp8.get(),    dfp16.get(),   dfpu8.get(),  dfpu16.get(),
                                    asym_u8.get(), float16.get(), float32.get()};
        remember(st->dtypes, cls.get(), listed);
    }
    return cls;
}

}  // namespace npu
