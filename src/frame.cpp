// mivelo.stream_reader.frame: frames pulled from an appsink, handed to Python
// without a copy.
//
// pull() waits for the appsink's next sample with the interpreter lock
// released, so that other Python threads run while a reader waits.  A Frame
// keeps the sample's buffer referenced and mapped for as long as it lives; it
// exports the mapped pixels through the buffer protocol as a read-only
// height x width x channels array of bytes with GStreamer's row stride, and
// every view of it (memoryview, numpy array) keeps the Frame alive.  So the
// buffer is unmapped and released once, when the Frame itself goes, on
// whichever thread drops the last reference.
//
// The appsink is reached through PyGObject's wrapper of it (appsink.hpp);
// GStreamer's C libraries are linked directly.
//
// pull(..., pixel_format="BGR") converts frames that the sink holds in the
// decoder's YUV (see yuv.hpp) in the thread that reads them, with the
// interpreter lock released, and only the frames that are read.
#include "appsink.hpp"
#include "core.hpp"
#include "yuv.hpp"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstring>
#include <memory>

namespace {

using mv::Function;
using mv::Name;
using mv::Ref;


// ---------------------------------------------------------------------------
// The Frame type

// The pixel formats a Frame can describe as rows of whole pixels of
// one byte per channel, and their channel counts.
struct PackedFormat {
    GstVideoFormat format;
    Py_ssize_t channels;
};

constexpr PackedFormat kPackedFormats[] = {
    {GST_VIDEO_FORMAT_BGR, 3},  {GST_VIDEO_FORMAT_RGB, 3},  {GST_VIDEO_FORMAT_GRAY8, 1},
    {GST_VIDEO_FORMAT_BGRA, 4}, {GST_VIDEO_FORMAT_RGBA, 4}, {GST_VIDEO_FORMAT_ARGB, 4},
    {GST_VIDEO_FORMAT_ABGR, 4}, {GST_VIDEO_FORMAT_BGRx, 4}, {GST_VIDEO_FORMAT_RGBx, 4},
    {GST_VIDEO_FORMAT_xRGB, 4}, {GST_VIDEO_FORMAT_xBGR, 4},
};

Py_ssize_t channels_of(GstVideoFormat format) {
    for (const PackedFormat& packed : kPackedFormats) {
        if (packed.format == format) {
            return packed.channels;
        }
    }
    return 0;
}

// The formats whose frames are handed out as planes (Frame.planes): 8-bit
// YUV in two or three planes, as decoders make them.
constexpr GstVideoFormat kPlanarFormats[] = {
    GST_VIDEO_FORMAT_I420, GST_VIDEO_FORMAT_YV12, GST_VIDEO_FORMAT_NV12,
    GST_VIDEO_FORMAT_NV21, GST_VIDEO_FORMAT_Y42B, GST_VIDEO_FORMAT_Y444,
};

bool is_planar(GstVideoFormat format) {
    for (GstVideoFormat planar : kPlanarFormats) {
        if (planar == format) {
            return true;
        }
    }
    return false;
}

// Where one plane lies in the mapping, as rows x samples x bytes per sample.
struct PlaneLayout {
    Py_ssize_t offset;
    Py_ssize_t shape[3];
    Py_ssize_t strides[3];
};

struct FrameObject {
    PyObject_HEAD
    GstBuffer* buffer;  // referenced, and mapped when `mapped` is set
    GstMapInfo map;
    bool mapped;
    GstVideoFormat format;
    GstClockTime pts;
    unsigned long long index;
    Py_ssize_t offset;      // of the first pixel within the mapping
    Py_ssize_t shape[3];    // height, width, channels
    Py_ssize_t strides[3];  // row stride, channels, 1
    int n_planes;           // a planar frame's planes; 0 for rows of whole pixels
    PlaneLayout planes[GST_VIDEO_MAX_PLANES];
};

FrameObject* as_frame(PyObject* obj) { return reinterpret_cast<FrameObject*>(obj); }

void frame_dealloc(PyObject* self) {
    FrameObject* frame = as_frame(self);
    if (frame->mapped) {
        gst_buffer_unmap(frame->buffer, &frame->map);
    }
    if (frame->buffer) {
        gst_buffer_unref(frame->buffer);
    }
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t row_bytes(const FrameObject* frame) { return frame->shape[1] * frame->shape[2]; }

bool is_contiguous(const FrameObject* frame) { return frame->strides[0] == row_bytes(frame); }

// Whether a consumer that asked with `flags` can take the frame's layout:
// rows one after another (C order), padded ones only with the strides.
bool layout_accepted(const FrameObject* frame, int flags) {
    auto asks = [flags](int what) { return (flags & what) == what; };
    if (asks(PyBUF_F_CONTIGUOUS)) {
        PyErr_SetString(PyExc_BufferError, "frames are stored row by row (C order)");
        return false;
    }
    if (is_contiguous(frame)) {
        return true;
    }
    if (!asks(PyBUF_STRIDES) || asks(PyBUF_C_CONTIGUOUS) || asks(PyBUF_ANY_CONTIGUOUS)) {
        PyErr_SetString(PyExc_BufferError,
                        "the rows of this frame are padded: ask for a strided buffer "
                        "(memoryview() and numpy do) or copy it with bytes()");
        return false;
    }
    return true;
}

// The struct module's code for an unsigned byte; Py_buffer wants it non-const.
char kByteFormat[] = "B";

int frame_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    FrameObject* frame = as_frame(self);
    if (frame->n_planes > 0) {
        PyErr_Format(PyExc_BufferError, "%s frames are planar: read frame.planes",
                     gst_video_format_to_string(frame->format));
        return -1;
    }
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "frames are read-only");
        return -1;
    }
    if (!layout_accepted(frame, flags)) {
        return -1;
    }
    const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
    view->buf = frame->map.data + frame->offset;
    view->obj = Ref::borrow(self).release();
    view->len = frame->shape[0] * row_bytes(frame);
    view->readonly = 1;
    view->itemsize = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? kByteFormat : nullptr;
    view->ndim = nd ? 3 : 1;
    view->shape = nd ? frame->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? frame->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

// The whole frame (a packed one), or its planes one after another.
int plane_count(const FrameObject* frame) { return frame->n_planes > 0 ? frame->n_planes : 1; }

PlaneLayout plane_of(const FrameObject* frame, int plane) {
    if (frame->n_planes > 0) {
        return frame->planes[plane];
    }
    return {frame->offset,
            {frame->shape[0], frame->shape[1], frame->shape[2]},
            {frame->strides[0], frame->strides[1], frame->strides[2]}};
}

// __bytes__(): the pixels row after row (plane after plane), without the
// rows' padding.
PyObject* frame_bytes(PyObject* self, PyObject* /*unused*/) {
    const FrameObject* frame = as_frame(self);
    Py_ssize_t size = 0;
    for (int p = 0; p < plane_count(frame); ++p) {
        const PlaneLayout plane = plane_of(frame, p);
        size += plane.shape[0] * plane.shape[1] * plane.shape[2];
    }
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!copy) {
        return nullptr;
    }
    char* out = PyBytes_AS_STRING(copy.get());
    for (int p = 0; p < plane_count(frame); ++p) {
        const PlaneLayout plane = plane_of(frame, p);
        const Py_ssize_t row = plane.shape[1] * plane.shape[2];
        const guint8* in = frame->map.data + plane.offset;
        for (Py_ssize_t y = 0; y < plane.shape[0]; ++y, out += row) {
            std::memcpy(out, in + y * plane.strides[0], static_cast<size_t>(row));
        }
    }
    return copy.release();
}

PyMethodDef frame_methods[] = {
    {"__bytes__", frame_bytes, METH_NOARGS, "The pixels as bytes, rows without their padding."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_width(PyObject* self, void* /*closure*/) {
    return PyLong_FromSsize_t(as_frame(self)->shape[1]);
}

PyObject* get_height(PyObject* self, void* /*closure*/) {
    return PyLong_FromSsize_t(as_frame(self)->shape[0]);
}

PyObject* get_stride(PyObject* self, void* /*closure*/) {
    return PyLong_FromSsize_t(as_frame(self)->strides[0]);
}

PyObject* get_format(PyObject* self, void* /*closure*/) {
    return PyUnicode_FromString(gst_video_format_to_string(as_frame(self)->format));
}

PyObject* get_pts(PyObject* self, void* /*closure*/) {
    const GstClockTime pts = as_frame(self)->pts;
    if (!GST_CLOCK_TIME_IS_VALID(pts)) {
        Py_RETURN_NONE;
    }
    return PyFloat_FromDouble(static_cast<double>(pts) / static_cast<double>(GST_SECOND));
}

PyObject* get_index(PyObject* self, void* /*closure*/) {
    return PyLong_FromUnsignedLongLong(as_frame(self)->index);
}

Ref new_frame(GstBuffer* buffer, GstClockTime pts, unsigned long long index,
              GstMapFlags flags = GST_MAP_READ);

// planes: each plane of a planar frame as a Frame of its own (rows x samples
// x bytes per sample) over the same buffer; a packed frame is its own plane.
PyObject* get_planes(PyObject* self, void* /*closure*/) {
    const FrameObject* frame = as_frame(self);
    if (frame->n_planes == 0) {
        return PyTuple_Pack(1, self);
    }
    Ref planes = Ref::steal(PyTuple_New(frame->n_planes));
    for (int p = 0; planes && p < frame->n_planes; ++p) {
        Ref plane = new_frame(gst_buffer_ref(frame->buffer), frame->pts, frame->index);
        if (!plane) {
            return nullptr;
        }
        FrameObject* view = as_frame(plane.get());
        const PlaneLayout& layout = frame->planes[p];
        view->format = frame->format;
        view->offset = layout.offset;
        std::memcpy(view->shape, layout.shape, sizeof view->shape);
        std::memcpy(view->strides, layout.strides, sizeof view->strides);
        PyTuple_SET_ITEM(planes.get(), p, plane.release());
    }
    return planes.release();
}

PyObject* frame_repr(PyObject* self) {
    const FrameObject* frame = as_frame(self);
    const char* format = gst_video_format_to_string(frame->format);
    if (!GST_CLOCK_TIME_IS_VALID(frame->pts)) {
        return PyUnicode_FromFormat("<Frame %llu: %zdx%zd %s>", frame->index, frame->shape[1],
                                    frame->shape[0], format);
    }
    // Milliseconds as an integer: PyUnicode_FromFormat has no float format.
    const auto ms = static_cast<unsigned long long>(frame->pts / GST_MSECOND);
    return PyUnicode_FromFormat("<Frame %llu: %zdx%zd %s, pts %llu.%03llu s>", frame->index,
                                frame->shape[1], frame->shape[0], format, ms / 1000, ms % 1000);
}

PyGetSetDef frame_getset[] = {
    {"width", get_width, nullptr, "Width in pixels.", nullptr},
    {"height", get_height, nullptr, "Height in pixels.", nullptr},
    {"stride", get_stride, nullptr, "Bytes from the start of one row to the next.", nullptr},
    {"format", get_format, nullptr, "GStreamer's name of the pixel format, e.g. 'BGR'.",
     nullptr},
    {"pts", get_pts, nullptr,
     "Presentation time in seconds, or None when the buffer carries none.", nullptr},
    {"index", get_index, nullptr, "Number of frames the reader delivered before this one.",
     nullptr},
    {"planes", get_planes, nullptr,
     "The frame's planes, each a Frame of rows x samples x bytes per sample in the\n"
     "format's order: I420 and YV12 (h, w, 1), (h/2, w/2, 1) twice (halves rounded\n"
     "up; YV12 has V before U); NV12 and NV21 (h, w, 1), (h/2, w/2, 2); Y42B\n"
     "(h, w, 1), (h, w/2, 1) twice; Y444 (h, w, 1) three times.  The first is the\n"
     "luma plane.  A frame of whole pixels (BGR, ...) is its own one plane.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyBufferProcs frame_as_buffer = {frame_getbuffer, nullptr};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FrameType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

bool ready_frame_type() {
    PyTypeObject& t = FrameType;
    if (t.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    t.tp_name = "mivelo.stream_reader.frame.Frame";
    t.tp_basicsize = sizeof(FrameObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc =
        "One decoded video frame, exported without a copy.\n"
        "\n"
        "memoryview(frame) and numpy.asarray(frame) give a read-only\n"
        "height x width x channels array of bytes; its rows are `stride` bytes\n"
        "apart, as GStreamer laid them out.  The pixels stay valid while the\n"
        "frame or any view of it exists.  bytes(frame) copies them, rows\n"
        "without their padding.\n"
        "\n"
        "A frame in the planar YUV of decoders (I420, NV12, ...) exports no\n"
        "buffer itself: `planes` gives each of its planes as a Frame of its own,\n"
        "the luma plane first, and bytes(frame) copies them one after another.";
    t.tp_dealloc = frame_dealloc;
    t.tp_repr = frame_repr;
    t.tp_getset = frame_getset;
    t.tp_methods = frame_methods;
    t.tp_as_buffer = &frame_as_buffer;
    return PyType_Ready(&t) == 0;
}

// ---------------------------------------------------------------------------
// Making a Frame from a sample

// Owns the sample that a pull returned.
struct SampleUnref {
    void operator()(GstSample* sample) const noexcept { gst_sample_unref(sample); }
};
using SampleRef = std::unique_ptr<GstSample, SampleUnref>;

// The geometry of the sample's frames from its caps; false with ValueError set.
bool read_caps(GstSample* sample, GstVideoInfo& info) {
    GstCaps* caps = gst_sample_get_caps(sample);
    const bool raw = caps && gst_caps_get_size(caps) > 0 &&
                     gst_structure_has_name(gst_caps_get_structure(caps, 0), "video/x-raw");
    if (!raw || !gst_video_info_from_caps(&info, caps)) {
        gchar* text = caps ? gst_caps_to_string(caps) : nullptr;
        PyErr_Format(PyExc_ValueError, "the appsink delivered no raw video (caps: %s)",
                     text ? text : "none");
        g_free(text);
        return false;
    }
    return true;
}

// Whether `rows` rows of `row` bytes, `stride` bytes apart from `offset` on,
// lie within a mapping of `size` bytes.  Sizes come from gint fields, so
// these products fit a Py_ssize_t.
bool plane_fits(Py_ssize_t offset, Py_ssize_t stride, Py_ssize_t rows, Py_ssize_t row,
                Py_ssize_t size) {
    return rows > 0 && offset >= 0 && stride >= row && offset + stride * (rows - 1) + row <= size;
}

// Fills in the layout of the first plane, from the buffer's video meta when
// it has one, and checks that the mapping holds every row.
bool set_layout(FrameObject* frame, const GstVideoInfo& info, Py_ssize_t channels) {
    Py_ssize_t stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
    auto offset = static_cast<Py_ssize_t>(GST_VIDEO_INFO_PLANE_OFFSET(&info, 0));
    const GstVideoMeta* meta = gst_buffer_get_video_meta(frame->buffer);
    if (meta) {
        stride = meta->stride[0];
        offset = static_cast<Py_ssize_t>(meta->offset[0]);
    }
    const Py_ssize_t width = GST_VIDEO_INFO_WIDTH(&info);
    const Py_ssize_t height = GST_VIDEO_INFO_HEIGHT(&info);
    const auto size = static_cast<Py_ssize_t>(frame->map.size);
    if (width <= 0 || !plane_fits(offset, stride, height, width * channels, size)) {
        PyErr_Format(PyExc_ValueError,
                     "a %zdx%zd %s frame with rows %zd bytes apart does not fit its buffer of "
                     "%zd bytes",
                     width, height, GST_VIDEO_INFO_NAME(&info), stride, size);
        return false;
    }
    frame->format = GST_VIDEO_INFO_FORMAT(&info);
    frame->offset = offset;
    frame->shape[0] = height;
    frame->shape[1] = width;
    frame->shape[2] = channels;
    frame->strides[0] = stride;
    frame->strides[1] = channels;
    frame->strides[2] = 1;
    return true;
}

// Fills in the planes of a planar frame, from the buffer's video meta when
// it has one, and checks that the mapping holds each.
bool set_planes(FrameObject* frame, const GstVideoInfo& info) {
    const GstVideoMeta* meta = gst_buffer_get_video_meta(frame->buffer);
    const auto size = static_cast<Py_ssize_t>(frame->map.size);
    const int n_planes = static_cast<int>(GST_VIDEO_INFO_N_PLANES(&info));
    for (int p = 0; p < n_planes; ++p) {
        int component = 0;
        while (GST_VIDEO_INFO_COMP_PLANE(&info, component) != static_cast<guint>(p)) {
            ++component;
        }
        PlaneLayout& plane = frame->planes[p];
        plane.offset = static_cast<Py_ssize_t>(meta ? meta->offset[p]
                                                    : GST_VIDEO_INFO_PLANE_OFFSET(&info, p));
        const Py_ssize_t stride = meta ? meta->stride[p] : GST_VIDEO_INFO_PLANE_STRIDE(&info, p);
        const Py_ssize_t rows = GST_VIDEO_INFO_COMP_HEIGHT(&info, component);
        const Py_ssize_t samples = GST_VIDEO_INFO_COMP_WIDTH(&info, component);
        const Py_ssize_t bytes = GST_VIDEO_INFO_COMP_PSTRIDE(&info, component);
        if (!plane_fits(plane.offset, stride, rows, samples * bytes, size)) {
            PyErr_Format(PyExc_ValueError,
                         "a %dx%d %s frame does not fit its buffer of %zd bytes",
                         GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info),
                         GST_VIDEO_INFO_NAME(&info), size);
            return false;
        }
        plane.shape[0] = rows;
        plane.shape[1] = samples;
        plane.shape[2] = bytes;
        plane.strides[0] = stride;
        plane.strides[1] = bytes;
        plane.strides[2] = 1;
    }
    frame->n_planes = n_planes;
    frame->format = GST_VIDEO_INFO_FORMAT(&info);
    frame->offset = frame->planes[0].offset;
    std::memcpy(frame->shape, frame->planes[0].shape, sizeof frame->shape);
    std::memcpy(frame->strides, frame->planes[0].strides, sizeof frame->strides);
    frame->shape[1] = GST_VIDEO_INFO_WIDTH(&info);
    return true;
}

// What the module knows of the caps of the last frame made.  A sink hands
// out the same caps object for every frame until the stream changes, so most
// frames skip parsing them; the caps are referenced meanwhile, so another
// object cannot take their address.  Used with the interpreter lock held.
struct CapsLayout {
    GstCaps* caps = nullptr;
    GstVideoInfo info{};
    Py_ssize_t channels = 0;     // of a packed format; 0 for any other
    bool reproducible = false;   // YUV that yuv::convert() turns into BGR or RGB
    yuv::Coefficients coefficients{};
};
CapsLayout last_layout;

const CapsLayout* layout_of(GstSample* sample) {
    GstCaps* caps = gst_sample_get_caps(sample);
    if (caps == nullptr || caps != last_layout.caps) {
        GstVideoInfo info;
        if (!read_caps(sample, info)) {
            return nullptr;
        }
        gst_caps_replace(&last_layout.caps, caps);
        last_layout.info = info;
        last_layout.channels = channels_of(GST_VIDEO_INFO_FORMAT(&info));
        last_layout.reproducible = yuv::reproducible(info, last_layout.coefficients);
    }
    return &last_layout;
}

// A new Frame object that owns `buffer` (a reference taken over; nullptr
// for memory that could not be had) mapped for reading; nullptr with an
// error set when either fails.
Ref new_frame(GstBuffer* buffer, GstClockTime pts, unsigned long long index,
              GstMapFlags flags) {
    if (!buffer) {
        PyErr_NoMemory();
        return {};
    }
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(FrameObject, &FrameType)));
    if (!obj) {
        gst_buffer_unref(buffer);
        return {};
    }
    FrameObject* frame = as_frame(obj.get());
    frame->buffer = buffer;
    frame->mapped = false;
    frame->pts = pts;
    frame->index = index;
    frame->n_planes = 0;
    if (!gst_buffer_map(frame->buffer, &frame->map, flags)) {
        PyErr_SetString(PyExc_ValueError, "the frame's buffer could not be mapped");
        return {};
    }
    frame->mapped = true;
    return obj;
}

// GStreamer's own converter for the frames that yuv::convert() does not
// reproduce, kept for the next frame of the same caps.  A conversion takes
// it out of here and puts it back when done, so that two threads never use
// one converter; both steps happen with the interpreter lock held.
struct KeptConverter {
    GstCaps* caps = nullptr;
    GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN;
    GstVideoConverter* converter = nullptr;
};
KeptConverter kept_converter;

GstVideoConverter* take_converter(const CapsLayout& layout, const GstVideoInfo& out) {
    KeptConverter& kept = kept_converter;
    if (kept.converter && kept.caps == layout.caps &&
        kept.format == GST_VIDEO_INFO_FORMAT(&out)) {
        GstVideoConverter* converter = kept.converter;
        kept.converter = nullptr;
        return converter;
    }
    GstVideoInfo in = layout.info;
    GstVideoInfo target = out;
    return gst_video_converter_new(&in, &target, nullptr);
}

void keep_converter(const CapsLayout& layout, GstVideoFormat format,
                    GstVideoConverter* converter) {
    KeptConverter& kept = kept_converter;
    if (kept.converter) {
        gst_video_converter_free(kept.converter);
    }
    gst_caps_replace(&kept.caps, layout.caps);
    kept.format = format;
    kept.converter = converter;
}

// The memory of converted frames comes from a pool of a few buffers of the
// current size, so that a frame's memory serves again once the frame is
// gone, instead of new memory (and its page faults) for every frame.  Beyond
// the pool's few, a buffer is allocated as usual.  Used with the interpreter
// lock held; the pool itself is thread-safe, and a buffer holds its pool.
constexpr guint kPooledBuffers = 4;
struct OutputPool {
    GstBufferPool* pool = nullptr;
    guint size = 0;
};
OutputPool output_pool;

GstBuffer* output_buffer(guint size) {
    OutputPool& current = output_pool;
    if (current.size != size || !current.pool) {
        if (current.pool) {
            gst_buffer_pool_set_active(current.pool, FALSE);
            gst_object_unref(current.pool);
        }
        current.pool = gst_buffer_pool_new();
        current.size = size;
        GstStructure* config = gst_buffer_pool_get_config(current.pool);
        gst_buffer_pool_config_set_params(config, nullptr, size, 0, kPooledBuffers);
        if (!gst_buffer_pool_set_config(current.pool, config) ||
            !gst_buffer_pool_set_active(current.pool, TRUE)) {
            gst_object_unref(current.pool);
            current.pool = nullptr;
        }
    }
    GstBuffer* buffer = nullptr;
    GstBufferPoolAcquireParams params = {};
    params.flags = GST_BUFFER_POOL_ACQUIRE_FLAG_DONTWAIT;
    if (current.pool &&
        gst_buffer_pool_acquire_buffer(current.pool, &buffer, &params) == GST_FLOW_OK) {
        return buffer;
    }
    return gst_buffer_new_allocate(nullptr, size, nullptr);
}

// The layout of `in`'s frames converted to `format`, as videoconvert gives
// it (rows padded to four bytes); with what GStreamer's converter wants to
// be the same on both sides.
GstVideoInfo target_info(const GstVideoInfo& in, GstVideoFormat format) {
    GstVideoInfo out;
    gst_video_info_set_format(&out, format, GST_VIDEO_INFO_WIDTH(&in), GST_VIDEO_INFO_HEIGHT(&in));
    GST_VIDEO_INFO_FPS_N(&out) = GST_VIDEO_INFO_FPS_N(&in);
    GST_VIDEO_INFO_FPS_D(&out) = GST_VIDEO_INFO_FPS_D(&in);
    GST_VIDEO_INFO_PAR_N(&out) = GST_VIDEO_INFO_PAR_N(&in);
    GST_VIDEO_INFO_PAR_D(&out) = GST_VIDEO_INFO_PAR_D(&in);
    GST_VIDEO_INFO_INTERLACE_MODE(&out) = GST_VIDEO_INFO_INTERLACE_MODE(&in);
    return out;
}

// Converts the mapped frame `in` into `buffer` (mapped at `pixels`), laid
// out as `out`: by `converter` when there is one, else by yuv::convert().
// Rows' padding is zeroed.  Runs without the interpreter lock.
void convert_pixels(GstVideoFrame& in, const CapsLayout& layout, GstVideoConverter* converter,
                    GstVideoInfo& out, GstBuffer* buffer, guint8* pixels) {
    const int width = GST_VIDEO_INFO_WIDTH(&out);
    const int height = GST_VIDEO_INFO_HEIGHT(&out);
    const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&out, 0);
    if (converter) {
        GstVideoFrame target;
        if (gst_video_frame_map(&target, &out, buffer, GST_MAP_WRITE)) {
            gst_video_converter_frame(converter, &in, &target);
            gst_video_frame_unmap(&target);
        }
    } else {
        const yuv::Planes planes = {
            static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&in, 0)),
            static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&in, 1)),
            static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&in, 2)),
            GST_VIDEO_FRAME_COMP_STRIDE(&in, 0),
            GST_VIDEO_FRAME_COMP_STRIDE(&in, 1),
            GST_VIDEO_FRAME_COMP_STRIDE(&in, 2),
            GST_VIDEO_FRAME_FORMAT(&in) != GST_VIDEO_FORMAT_Y444,
        };
        yuv::convert(planes, width, height, layout.coefficients,
                     GST_VIDEO_INFO_FORMAT(&out) == GST_VIDEO_FORMAT_RGB, pixels, stride);
    }
    const int row = width * 3;
    for (int y = 0; stride != row && y < height; ++y) {
        std::memset(pixels + static_cast<std::ptrdiff_t>(y) * stride + row, 0,
                    static_cast<size_t>(stride - row));
    }
}

// A Frame in `format` (BGR or RGB) made from a frame of any other raw
// format, converted with the interpreter lock released: YUV that
// yuv::convert() reproduces by it, anything else by GStreamer's converter.
// `layout` must be the caller's own: the kept one changes while the lock is
// released.
Ref converted_frame(GstBuffer* in_buffer, const CapsLayout& layout, GstVideoFormat format,
                    unsigned long long index) {
    GstVideoInfo out = target_info(layout.info, format);
    GstVideoInfo in_info = layout.info;
    GstVideoFrame in;
    if (!gst_video_frame_map(&in, &in_info, in_buffer, GST_MAP_READ)) {
        PyErr_Format(PyExc_ValueError, "a %dx%d %s frame does not fit its buffer of %zu bytes",
                     GST_VIDEO_INFO_WIDTH(&in_info), GST_VIDEO_INFO_HEIGHT(&in_info),
                     GST_VIDEO_INFO_NAME(&in_info), gst_buffer_get_size(in_buffer));
        return {};
    }
    Ref obj = new_frame(output_buffer(static_cast<guint>(GST_VIDEO_INFO_SIZE(&out))),
                        GST_BUFFER_PTS(in_buffer), index, GST_MAP_READWRITE);
    GstVideoConverter* converter =
        obj && !layout.reproducible ? take_converter(layout, out) : nullptr;
    if (!obj || (!layout.reproducible && !converter)) {
        gst_video_frame_unmap(&in);
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_ValueError, "GStreamer cannot convert %s frames to %s",
                         GST_VIDEO_INFO_NAME(&in_info), gst_video_format_to_string(format));
        }
        return {};
    }
    FrameObject* frame = as_frame(obj.get());
    Py_BEGIN_ALLOW_THREADS
    convert_pixels(in, layout, converter, out, frame->buffer, frame->map.data);
    Py_END_ALLOW_THREADS
    gst_video_frame_unmap(&in);
    if (converter) {
        keep_converter(layout, format, converter);
    }
    return set_layout(frame, out, 3) ? std::move(obj) : Ref();
}

// A Frame of the sample's pixels; with `format` BGR or RGB, converted to it
// when they are in another format.
Ref make_frame(GstSample* sample, unsigned long long index, GstVideoFormat format) {
    const CapsLayout* layout = layout_of(sample);
    if (!layout) {
        return {};
    }
    GstBuffer* sample_buffer = gst_sample_get_buffer(sample);
    if (!sample_buffer) {
        PyErr_SetString(PyExc_ValueError, "the appsink delivered a sample without a buffer");
        return {};
    }
    if (format != GST_VIDEO_FORMAT_UNKNOWN && format != GST_VIDEO_INFO_FORMAT(&layout->info)) {
        // A copy: the conversion lets go of the interpreter lock, and another
        // thread's frame may change the kept layout meanwhile.  Its caps stay
        // valid with the sample, which holds them.
        const CapsLayout own = *layout;
        return converted_frame(sample_buffer, own, format, index);
    }
    const bool planar = is_planar(GST_VIDEO_INFO_FORMAT(&layout->info));
    if (layout->channels == 0 && !planar) {
        PyErr_Format(PyExc_ValueError,
                     "frames in %s are neither rows of whole pixels nor planes of bytes; "
                     "convert them before the appsink, e.g. with 'videoconvert ! "
                     "video/x-raw,format=BGR'",
                     GST_VIDEO_INFO_NAME(&layout->info));
        return {};
    }
    Ref obj = new_frame(gst_buffer_ref(sample_buffer), GST_BUFFER_PTS(sample_buffer), index);
    FrameObject* frame = obj ? as_frame(obj.get()) : nullptr;
    const bool laid_out = frame && (planar ? set_planes(frame, layout->info)
                                           : set_layout(frame, layout->info, layout->channels));
    return laid_out ? std::move(obj) : Ref();
}

// ---------------------------------------------------------------------------
// pull()

// A timeout in seconds (None waits for ever) as GStreamer's nanoseconds.
bool timeout_of(PyObject* obj, GstClockTime& timeout) {
    double seconds;
    if (!mv::timeout_seconds(obj, seconds)) {
        return false;
    }
    // GST_CLOCK_TIME_NONE and anything beyond it mean waiting for ever.
    constexpr double kForever = 18446744073.0;
    timeout = seconds >= kForever ? GST_CLOCK_TIME_NONE
                                  : static_cast<GstClockTime>(seconds * GST_SECOND);
    return true;
}

// Waits for the next sample with the interpreter lock released.  The sink
// is referenced meanwhile, whatever other threads do with its wrapper.
GstSample* wait_for_sample(GstAppSink* sink, GstClockTime timeout) {
    GstSample* sample = nullptr;
    gst_object_ref(sink);
    Py_BEGIN_ALLOW_THREADS
    sample = gst_app_sink_try_pull_sample(sink, timeout);
    Py_END_ALLOW_THREADS
    gst_object_unref(sink);
    return sample;
}

// None (frames as the sink has them), "BGR" or "RGB".
bool pixel_format_of(PyObject* obj, GstVideoFormat& format) {
    format = GST_VIDEO_FORMAT_UNKNOWN;
    if (obj == Py_None) {
        return true;
    }
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "pixel_format must be a str or None, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(obj, "BGR") == 0) {
        format = GST_VIDEO_FORMAT_BGR;
    } else if (PyUnicode_CompareWithASCIIString(obj, "RGB") == 0) {
        format = GST_VIDEO_FORMAT_RGB;
    } else {
        PyErr_Format(PyExc_ValueError, "pixel_format must be 'BGR', 'RGB' or None, not %R", obj);
        return false;
    }
    return true;
}

// pull(appsink, timeout, index, pixel_format=None)
PyObject* pull(Function& /*fn*/, PyObject* const* args) {
    GstAppSink* sink = appsink::of(args[0], "pull");
    GstClockTime timeout = 0;
    unsigned long long index = 0;
    GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN;
    if (!sink || !timeout_of(args[1], timeout) || !mv::unsigned_64(args[2], "index", index) ||
        !pixel_format_of(args[3], format)) {
        return nullptr;
    }
    SampleRef sample(wait_for_sample(sink, timeout));
    if (!sample) {
        Py_RETURN_NONE;
    }
    return make_frame(sample.get(), index, format).release();
}

Ref default_pixel_format() { return Ref::steal(PyTuple_Pack(1, Py_None)); }

const mv::FunctionSpec kPull = {
    "pull",
    "appsink, timeout, index, pixel_format",
    nullptr,
    "The appsink's next frame as a Frame numbered `index`, or None.\n"
    "\n"
    "    Waits at most `timeout` seconds (None: until a frame comes), with the\n"
    "    interpreter lock released.  None also means that the stream ended or\n"
    "    that the sink stopped (its pipeline was closed).  A frame in 8-bit\n"
    "    planar YUV (I420, NV12, ...) gives its planes through frame.planes;\n"
    "    frames that are neither that nor rows of whole pixels (BGR, RGB,\n"
    "    GRAY8, BGRA, ...) raise ValueError.  Pull from one thread at a time\n"
    "    per sink: when several threads wait on one appsink, GStreamer wakes\n"
    "    the others for no later frame once one of them got its own, and they\n"
    "    wait out their timeout.\n"
    "\n"
    "    pixel_format 'BGR' or 'RGB' converts frames of any other raw format\n"
    "    to that layout, with the interpreter lock released, into a buffer of\n"
    "    the frame's own: 8-bit I420, YV12 and Y444 by the module's own code,\n"
    "    pixel for pixel as videoconvert does it, anything else by GStreamer's\n"
    "    converter.  None hands the frames out as the sink has them.\n"
    "    ",
    {nullptr},
    pull,
    default_pixel_format,
};

int exec_frame(PyObject* module) {
    if (!ready_frame_type() ||
        !mv::bind(module, "Frame", reinterpret_cast<PyObject*>(&FrameType))) {
        return -1;
    }
    Ref function = mv::make_function(module, kPull, nullptr);
    return function && mv::bind(module, kPull.name, function.get()) ? 0 : -1;
}

}  // namespace

MV_MODULE(frame, exec_frame)
