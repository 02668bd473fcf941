// mivelo.pipeline_factories.http: the factory for a stream read over HTTP.
//
// build() makes a Pipeline for the factory's URL, connects the bus watcher,
// creates the appsink and then the souphttpsrc source, lets the base class
// join the two through its decoding stage and asks for PLAYING.  Module
// globals are looked up at each use so that rebinding them takes effect at
// the next call; nothing is caught.
#include "factory.hpp"

namespace {

using factory::APPSINK_PROPERTIES;
using factory::BUFFER_SRC_NAME;
using factory::Pipeline_;
using factory::appsink_;
using factory::get_static_pad_;
using factory::pipeline_watcher_;
using factory::src_;
using factory::url_;
using mv::Function;
using mv::KwNames;
using mv::Method;
using mv::Name;
using mv::Ref;

Name set_up_decoder_("_set_up_decoder");
Name new_element_("new_element");
Name souphttpsrc_("souphttpsrc");
Name location_("location");

KwNames properties_keyword("properties");
KwNames properties_and_name_keywords("properties", "name");

// __init__(self, *, url, pipeline_watcher, on_complete)
PyObject* init(Function& fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* url = args[1];
    PyObject* pipeline_watcher = args[2];
    PyObject* on_complete = args[3];
    if (!mv::check_str_or_none(url, "url")) {
        return nullptr;
    }
    if (!factory::init_base(fn, self, url, on_complete) ||
        !mv::setattr(self, pipeline_watcher_, pipeline_watcher)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// pipeline.appsink = pipeline.new_element("appsink", properties=_APPSINK_PROPERTIES)
bool add_sink(Function& fn, PyObject* pipeline) {
    Method new_element(pipeline, new_element_);
    Ref properties = new_element ? mv::global(fn, APPSINK_PROPERTIES) : Ref();
    Ref sink = properties ? new_element({appsink_.get(), properties.get()}, &properties_keyword)
                          : Ref();
    return sink && mv::setattr(pipeline, appsink_, sink.get());
}

// pipeline.new_element("souphttpsrc", properties={"location": self._url}, name=BUFFER_SRC_NAME)
Ref add_source(Function& fn, PyObject* self, PyObject* pipeline) {
    Method new_element(pipeline, new_element_);
    if (!new_element) {
        return {};
    }
    Ref properties = Ref::steal(PyDict_New());
    Ref url = properties ? mv::getattr(self, url_) : Ref();
    if (!url || PyDict_SetItem(properties.get(), location_.get(), url.get()) < 0) {
        return {};
    }
    Ref name = mv::global(fn, BUFFER_SRC_NAME);
    return name ? new_element({souphttpsrc_.get(), properties.get(), name.get()},
                              &properties_and_name_keywords)
                : Ref();
}

// self._set_up_decoder(src, src.get_static_pad("src"), pipeline)
bool set_up_decoder(PyObject* self, PyObject* source, PyObject* pipeline) {
    Method decoder(self, set_up_decoder_);
    if (!decoder) {
        return false;
    }
    Method get_static_pad(source, get_static_pad_);
    Ref pad = get_static_pad ? get_static_pad({src_.get()}) : Ref();
    return pad && decoder({source, pad.get(), pipeline});
}

// Pipeline(self._url)
Ref new_pipeline(Function& fn, PyObject* self) {
    Ref pipeline_class = mv::global(fn, Pipeline_);
    if (!pipeline_class) {
        return {};
    }
    Ref url = mv::getattr(self, url_);
    return url ? mv::call(pipeline_class.get(), {url.get()}) : Ref();
}

// build(self) -> "Pipeline"
PyObject* build(Function& fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref pipeline = new_pipeline(fn, self);
    if (!pipeline || !factory::watch_bus(self, pipeline.get()) || !add_sink(fn, pipeline.get())) {
        return nullptr;
    }
    Ref source = add_source(fn, self, pipeline.get());
    if (!source || !set_up_decoder(self, source.get(), pipeline.get()) ||
        !factory::play(fn, pipeline.get())) {
        return nullptr;
    }
    return pipeline.release();
}

const mv::FunctionSpec kInit = {
    "__init__",
    "self, *, url, pipeline_watcher, on_complete",
    nullptr,
    "\n"
    "        :param url: The URL to connect to\n"
    "        :param pipeline_watcher: Function to connect to the pipeline's bus\n"
    "        :param on_complete: Called when the pipeline has been built successfully\n"
    "        ",
    {"url", "str", "pipeline_watcher", "_PIPELINE_WATCHER", "on_complete", "_ON_COMPLETE_CALLBACK"},
    init,
    nullptr,
};

const mv::FunctionSpec kBuild = factory::build_spec(build);

const mv::FunctionSpec* const kMethods[] = {&kInit, &kBuild, nullptr};

const mv::ClassSpec kFactory = {"HTTPPipelineFactory", "Creates a pipeline for an HTTP URL.", kMethods};

int exec_http(PyObject* module) { return factory::define_factory(module, nullptr, kFactory) ? 0 : -1; }

}  // namespace

MV_MODULE(http, exec_http)
