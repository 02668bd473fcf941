// What the two pipeline factories do alike: the names both use, the call of
// the base constructor, the bus watch, the request for PLAYING, their build()
// method's outside, and the module's imports and class.
#pragma once

#include "core.hpp"

namespace factory {

// Module globals and attributes that both factories look up.
extern mv::Name Pipeline_;            // the module global Pipeline
extern mv::Name APPSINK_PROPERTIES;   // _APPSINK_PROPERTIES
extern mv::Name BUFFER_SRC_NAME;      // BUFFER_SRC_NAME
extern mv::Name url_;                 // self._url
extern mv::Name pipeline_watcher_;    // self._pipeline_watcher
extern mv::Name appsink_;             // "appsink": the element factory, and pipeline.appsink
extern mv::Name get_static_pad_;      // element.get_static_pad
extern mv::Name src_;                 // "src"

// super().__init__(url=url, max_framerate=_FRAMERATE_LIMIT, on_complete=on_complete)
bool init_base(mv::Function& fn, PyObject* self, PyObject* url, PyObject* on_complete);

// pipeline.add_bus_watch(self._pipeline_watcher, pipeline)
bool watch_bus(PyObject* self, PyObject* pipeline);

// pipeline.set_state(Gst.State.PLAYING), with the module's current Gst.
bool play(mv::Function& fn, PyObject* pipeline);

// def build(self) -> "Pipeline", running `body`.
constexpr mv::FunctionSpec build_spec(mv::Body body) {
    return {"build", "self", nullptr, nullptr, {"return", "Pipeline"}, body, nullptr};
}

// The module's imports, in order, and then its class on PipelineFactory:
//     from gi.repository import Gst
//     from mivelo.errors import <error_class>      (when one is named; its
//     from mivelo.utils.credentials import mask_text, mask_url   errors quote URLs)
//     from mivelo.utils.gstreamer import Pipeline
//     from .base import _APPSINK_PROPERTIES, _FRAMERATE_LIMIT, _ON_COMPLETE_CALLBACK,
//         _PIPELINE_WATCHER, BUFFER_SRC_NAME, PipelineFactory
//     class <spec.name>(PipelineFactory): ...
bool define_factory(PyObject* module, const char* error_class, const mv::ClassSpec& spec);

}  // namespace factory
