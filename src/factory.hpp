// What the two pipeline factories do alike: the call of the base constructor,
// the bus watch, the request for PLAYING and the module's imports from its
// sibling `base`.
#pragma once

#include "core.hpp"

namespace factory {

// super().__init__(url=url, max_framerate=_FRAMERATE_LIMIT, on_complete=on_complete)
bool init_base(mv::Function& fn, PyObject* self, PyObject* url, PyObject* on_complete);

// pipeline.add_bus_watch(self._pipeline_watcher, pipeline)
bool watch_bus(PyObject* self, PyObject* pipeline);

// pipeline.set_state(Gst.State.PLAYING), with the module's current Gst.
bool play(mv::Function& fn, PyObject* pipeline);

// from .base import _APPSINK_PROPERTIES, _FRAMERATE_LIMIT, _ON_COMPLETE_CALLBACK,
//     _PIPELINE_WATCHER, BUFFER_SRC_NAME, PipelineFactory
bool import_base(PyObject* module);

}  // namespace factory
