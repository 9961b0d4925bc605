#include "lib/image.h"

#include "buffers/large_buffers.h"

#include "lib/messages.h"
#include "lib/numpy_api.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <stdexcept>

namespace grainel {
namespace {

bool is_uint8_array(PyObject* object) {
    if (!PyArray_Check(object)) return false;
    Ref uint8 = checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_UBYTE)));
    return PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object)),
                              reinterpret_cast<PyArray_Descr*>(uint8.get()));
}

// A PIL image if PIL can be imported and says so; anything that goes wrong
// while asking only means "not a PIL image".
bool is_pil_image(PyObject* object) {
    Ref module = Ref::steal(PyImport_ImportModule("PIL.Image"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    Ref image_class = checked(PyObject_GetAttrString(module.get(), "Image"));
    const int is_instance = PyObject_IsInstance(object, image_class.get());
    if (is_instance < 0) PyErr_Clear();
    return is_instance > 0;
}

bool is_16_bit_mode(std::string_view name) {
    return name == "I;16" || name == "I;16L" || name == "I;16B" || name == "I;16N";
}

// A 16-bit gray PIL image as an (H, W, 3) uint8 array, each value scaled by
// the depth of the mode (v / 257, rounded) and repeated in r, g and b: what
// PIL's conversion to RGB gives, except that PIL clips at 255 and so turns
// nearly every 16-bit picture white.
Ref sixteen_bit_as_rgb(PyObject* image) {
    Ref numpy = checked(PyImport_ImportModule("numpy"));
    Ref values = call_method(numpy.get(), "asarray", image);
    // The byte-order variants come back big- or little-endian; one native copy.
    Ref native = call_method(numpy.get(), "ascontiguousarray", values.get(), str("=u2").get());
    auto* gray = reinterpret_cast<PyArrayObject*>(native.get());
    if (!PyArray_Check(native.get()) || PyArray_TYPE(gray) != NPY_UINT16 || PyArray_NDIM(gray) != 2)
        throw std::logic_error("a 16-bit PIL image did not give a 2-D uint16 array");
    npy_intp dims[3] = {PyArray_DIM(gray, 0), PyArray_DIM(gray, 1), 3};
    Ref rgb = checked(PyArray_SimpleNew(3, dims, NPY_UBYTE));
    const auto* in = static_cast<const std::uint16_t*>(PyArray_DATA(gray));
    auto* out = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rgb.get())));
    const std::size_t count = static_cast<std::size_t>(dims[0] * dims[1]);
    for (std::size_t i = 0; i < count; ++i) {
        // v / 257 rounded: no 16-bit value lies exactly halfway, so adding
        // 128 before the floor division rounds every one correctly.
        const auto byte = static_cast<std::uint8_t>((in[i] + 128u) / 257u);
        out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = byte;
    }
    return rgb;
}

// The PIL image as an array-like in one of the four modes we hand back;
// every other mode is converted to RGB.
Ref pil_in_supported_mode(PyObject* image, std::optional<std::string>& mode) {
    Ref mode_object = checked(PyObject_GetAttrString(image, "mode"));
    if (!PyUnicode_Check(mode_object.get())) raise_not_instance(mode_object.get(), "str");
    const std::string_view name = utf8(mode_object.get());
    if (name == "L" || name == "LA" || name == "RGB" || name == "RGBA") {
        mode = std::string(name);
        return Ref::borrow(image);
    }
    mode = "RGB";
    if (is_16_bit_mode(name)) return sixteen_bit_as_rgb(image);
    return call_method(image, "convert", str("RGB").get());
}

Ref as_uint8_array(PyObject* object) {
    Ref numpy = checked(PyImport_ImportModule("numpy"));
    Ref array = call_method(numpy.get(), "asarray", object);
    if (is_uint8_array(array.get())) return array;

    std::string dtype = "<unknown>";
    Ref descr = Ref::steal(PyObject_GetAttrString(array.get(), "dtype"));
    Ref text = descr ? Ref::steal(PyObject_Str(descr.get())) : Ref();
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8)
        dtype = utf8;
    else
        PyErr_Clear();
    raise(PyExc_TypeError,
          "expected a uint8 image array, got dtype " + dtype +
              "; convert with np.asarray(img, dtype=np.uint8), or "
              "(img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]");
}

// Copies the array's elements in logical row-major order, whatever its
// strides (Fortran order, steps, negative strides, broadcast views).
void copy_row_major(PyArrayObject* array, std::uint8_t* out, const Img& img) {
    const auto* base = static_cast<const std::uint8_t*>(PyArray_DATA(array));
    if (PyArray_IS_C_CONTIGUOUS(array)) {
        std::memcpy(out, base, img.size);
        return;
    }
    const npy_intp* strides = PyArray_STRIDES(array);
    const npy_intp channel_stride = PyArray_NDIM(array) == 3 ? strides[2] : 0;
    for (std::size_t y = 0; y < img.height; ++y) {
        const std::uint8_t* row = base + static_cast<npy_intp>(y) * strides[0];
        for (std::size_t x = 0; x < img.width; ++x) {
            const std::uint8_t* pixel = row + static_cast<npy_intp>(x) * strides[1];
            for (std::size_t c = 0; c < img.channels; ++c)
                *out++ = pixel[static_cast<npy_intp>(c) * channel_stride];
        }
    }
}

void free_pixels(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, "grainel.pixels"));
}

}  // namespace

Img extract_image(PyObject* image, bool preserve_alpha) {
    ensure_numpy();
    Img img{};
    Ref array;
    if (is_uint8_array(image)) {
        array = Ref::borrow(image);
    } else if (is_pil_image(image)) {
        Ref supported = pil_in_supported_mode(image, img.mode);
        array = as_uint8_array(supported.get());
    } else {
        array = as_uint8_array(image);
    }

    auto* view = reinterpret_cast<PyArrayObject*>(array.get());
    const int ndim = PyArray_NDIM(view);
    const npy_intp* dims = PyArray_DIMS(view);
    img.shape.assign(dims, dims + ndim);
    if (ndim != 2 && ndim != 3)
        raise(PyExc_ValueError, "expected a 2-D grayscale or 3-D (H, W, C) image, got a " +
                                    std::to_string(ndim) + "-D array with shape " +
                                    bracketed(img.shape));
    if (std::find(img.shape.begin(), img.shape.end(), 0u) != img.shape.end())
        raise(PyExc_ValueError, "image has an empty dimension: shape " + bracketed(img.shape));

    img.height = img.shape[0];
    img.width = img.shape[1];
    img.channels = ndim == 3 ? img.shape[2] : 1;
    if (ndim == 3 && preserve_alpha && (img.channels == 2 || img.channels == 4))
        img.alpha = img.channels - 1;

    img.size = img.height * img.width * img.channels;
    img.pixels.reset(static_cast<std::uint8_t*>(allocate_large(img.size)));
    if (!img.pixels) throw std::bad_alloc();
    copy_row_major(view, img.pixels.get(), img);
    return img;
}

Ref into_output(Img&& consumed) {
    Img img = std::move(consumed);
    const std::size_t expected = std::accumulate(img.shape.begin(), img.shape.end(),
                                                 std::size_t{1}, std::multiplies<>());
    if (expected != img.size) throw std::logic_error("shape/data length mismatch");

    ensure_numpy();
    Ref owner = checked(PyCapsule_New(img.pixels.get(), "grainel.pixels", free_pixels));
    std::uint8_t* data = img.pixels.release();

    npy_intp dims[3], strides[3];
    const int ndim = static_cast<int>(img.shape.size());
    npy_intp stride = 1;
    for (int axis = ndim - 1; axis >= 0; --axis) {
        dims[axis] = static_cast<npy_intp>(img.shape[axis]);
        strides[axis] = stride;
        stride *= dims[axis];
    }
    PyArray_Descr* uint8 = PyArray_DescrFromType(NPY_UBYTE);
    if (!uint8) throw PythonError{};
    // NewFromDescr takes the descriptor reference even when it fails.
    Ref array = checked(PyArray_NewFromDescr(&PyArray_Type, uint8, ndim, dims, strides,
                                             data, NPY_ARRAY_WRITEABLE, nullptr));
    check(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                                owner.release()));
    if (!img.mode) return array;

    Ref pil = checked(PyImport_ImportModule("PIL.Image"));
    // PIL reads (H, W, 2) arrays as "LA" only when told; other shapes pick
    // their own mode ("L", "RGB", "RGBA").
    if (*img.mode == "LA") return call_method(pil.get(), "fromarray", array.get(), str("LA").get());
    return call_method(pil.get(), "fromarray", array.get());
}

}  // namespace grainel
