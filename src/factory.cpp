#include "factory.hpp"

namespace factory {

mv::Name Pipeline_("Pipeline");
mv::Name APPSINK_PROPERTIES("_APPSINK_PROPERTIES");
mv::Name BUFFER_SRC_NAME("BUFFER_SRC_NAME");
mv::Name url_("_url");
mv::Name pipeline_watcher_("_pipeline_watcher");
mv::Name appsink_("appsink");
mv::Name get_static_pad_("get_static_pad");
mv::Name src_("src");

namespace {

mv::Name FRAMERATE_LIMIT("_FRAMERATE_LIMIT");
mv::Name Gst_("Gst");
mv::Name State_("State");
mv::Name PLAYING_("PLAYING");
mv::Name add_bus_watch_("add_bus_watch");
mv::Name set_state_("set_state");
mv::KwNames base_init_keywords("url", "max_framerate", "on_complete");

}  // namespace

bool init_base(mv::Function& fn, PyObject* self, PyObject* url, PyObject* on_complete) {
    mv::Ref max_framerate = mv::global(fn, FRAMERATE_LIMIT);
    return max_framerate && mv::call_super_init(fn, self, {url, max_framerate.get(), on_complete},
                                                base_init_keywords);
}

bool watch_bus(PyObject* self, PyObject* pipeline) {
    mv::Method add_bus_watch(pipeline, add_bus_watch_);
    mv::Ref watcher = add_bus_watch ? mv::getattr(self, pipeline_watcher_) : mv::Ref();
    return watcher && add_bus_watch({watcher.get(), pipeline});
}

bool play(mv::Function& fn, PyObject* pipeline) {
    mv::Method set_state(pipeline, set_state_);
    mv::Ref gst = set_state ? mv::global(fn, Gst_) : mv::Ref();
    mv::Ref state = gst ? mv::getattr(gst.get(), State_) : mv::Ref();
    mv::Ref playing = state ? mv::getattr(state.get(), PLAYING_) : mv::Ref();
    return playing && set_state({playing.get()});
}

bool define_factory(PyObject* module, const char* error_class, const mv::ClassSpec& spec) {
    return mv::import_names(module, "gi.repository", 0, {"Gst"}) &&
           (!error_class ||
            (mv::import_names(module, "mivelo.errors", 0, {error_class}) &&
             mv::import_names(module, "mivelo.utils.credentials", 0, {"mask_text", "mask_url"}))) &&
           mv::import_names(module, "mivelo.utils.gstreamer", 0, {"Pipeline"}) &&
           mv::import_names(module, "base", 1,
                            {"_APPSINK_PROPERTIES", "_FRAMERATE_LIMIT", "_ON_COMPLETE_CALLBACK",
                             "_PIPELINE_WATCHER", "BUFFER_SRC_NAME", "PipelineFactory"}) &&
           mv::define_class(module, "PipelineFactory", spec);
}

}  // namespace factory
