// Modules: their definition (MV_MODULE), the names they import and bind,
// and module globals looked up at each use, as Python code looks them up.
#pragma once

#include "names.hpp"

#include <initializer_list>

// The modules are built with hidden symbols; PyMODINIT_FUNC exports the init
// function only from 3.9 on, so before that it is exported here.
#if MV_HAVE_EXPORTED_MODINIT
#define MV_MODINIT_FUNC PyMODINIT_FUNC
#else
#define MV_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace mv {

struct Function;

// `from <from_name> import <names...>` run by `module`, binding each name in
// its namespace in order.  level 1 is a relative import from its package.
bool import_names(PyObject* module, const char* from_name, int level,
                  std::initializer_list<const char*> names);
bool bind(PyObject* module, const char* name, PyObject* value);

// Looks `name` up as the function's module global, then as a builtin.
Ref global(Function& fn, Name& name);
// Looks `name` up as a global of `module`, then as a builtin.
Ref module_global(PyObject* module, const char* name);

// Defines PyInit_<name> for a multi-phase module whose exec function is
// `exec_fn`; the module's names are made before it runs.
#define MV_MODULE(modname, exec_fn)                                                    \
    static int modname##_exec(PyObject* module) {                                      \
        return ::mv::intern_names() ? exec_fn(module) : -1;                            \
    }                                                                                  \
    static PyModuleDef_Slot modname##_slots[] = {{Py_mod_exec, (void*)(modname##_exec)}, \
                                                 {0, nullptr}};                        \
    static PyModuleDef modname##_def = {PyModuleDef_HEAD_INIT, #modname, nullptr, 0,  \
                                        nullptr, modname##_slots, nullptr, nullptr,    \
                                        nullptr};                                      \
    MV_MODINIT_FUNC PyInit_##modname(void) { return PyModuleDef_Init(&modname##_def); }

}  // namespace mv
