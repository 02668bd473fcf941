#include "appsink.hpp"

namespace appsink {

namespace {

mv::Name gpointer_("__gpointer__");

}  // namespace

GstAppSink* of(PyObject* obj, const char* function) {
    mv::Ref capsule = mv::getattr(obj, gpointer_);
    void* pointer = nullptr;
    if (capsule && PyCapsule_CheckExact(capsule.get())) {
        pointer = PyCapsule_GetPointer(capsule.get(), nullptr);
    }
    if (pointer && GST_IS_APP_SINK(pointer)) {
        return GST_APP_SINK(pointer);
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() needs an appsink element, not %.200s", function,
                 Py_TYPE(obj)->tp_name);
    return nullptr;
}

}  // namespace appsink
