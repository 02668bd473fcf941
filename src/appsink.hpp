// The GstAppSink behind PyGObject's wrapper of one, for the modules that
// work on appsinks through GStreamer's C libraries (frame, waker).
//
// Every GObject wrapper of PyGObject carries its object in a `__gpointer__`
// capsule; PyGObject's headers are not needed.
#pragma once

#include "core.hpp"

#include <gst/app/gstappsink.h>

namespace appsink {

// The appsink that `obj` wraps; nullptr with TypeError set ("<function>()
// needs an appsink element, not <type>") when it wraps none.
GstAppSink* of(PyObject* obj, const char* function);

}  // namespace appsink
