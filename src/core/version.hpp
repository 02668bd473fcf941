// The CPython versions the core adapts to: one name for each change of the C
// API or of the interpreter's behaviour that the code depends on.  Nothing
// else in the sources tests PY_VERSION_HEX.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// 3.8: vectorcall and Py_TPFLAGS_METHOD_DESCRIPTOR (PEP 590).
#define MV_HAVE_VECTORCALL (PY_VERSION_HEX >= 0x03080000)

// 3.8: super() passes on an error other than AttributeError that reading
// obj.__class__ raises; 3.7 discarded every error there.
#define MV_HAVE_SUPER_CLASS_ERRORS (PY_VERSION_HEX >= 0x03080000)

// 3.8: a dict walk fails when it meets more entries than the dict had at its
// start ("dictionary keys changed during iteration").
#define MV_HAVE_DICT_KEYS_CHECK (PY_VERSION_HEX >= 0x03080000)

// 3.9: the vectorcall names become public (PyObject_Vectorcall,
// Py_TPFLAGS_HAVE_VECTORCALL); "keywords must be strings" no longer names the
// function.
#define MV_HAVE_PUBLIC_VECTORCALL (PY_VERSION_HEX >= 0x03090000)

// 3.9: a call of a class goes through the class's own tp_vectorcall when it
// has one (type objects support vectorcall).
#define MV_HAVE_TYPE_VECTORCALL (PY_VERSION_HEX >= 0x03090000)

// 3.9: PyMODINIT_FUNC marks the init function as exported.
#define MV_HAVE_EXPORTED_MODINIT (PY_VERSION_HEX >= 0x03090000)

// 3.9 to 3.12 declare the interpreter's own method lookup, _PyObject_GetMethod.
#define MV_HAVE_GET_METHOD (PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030D0000)

// 3.10: argument errors name the function by its qualified name; functions
// have __builtins__; NameError has a `name` attribute.
#define MV_HAVE_QUALNAME_ERRORS (PY_VERSION_HEX >= 0x030A0000)

// 3.12: strings are always ready; PyUnicode_READY is deprecated.
#define MV_HAVE_READY_STRINGS (PY_VERSION_HEX >= 0x030C0000)

// 3.12: the dict of a static builtin type is had only through PyType_GetDict.
#define MV_HAVE_TYPE_GET_DICT (PY_VERSION_HEX >= 0x030C0000)

// 3.13: super()'s error for an object that is neither an instance nor a
// subclass of the type names both.
#define MV_HAVE_SUPER_ERROR_NAMES_TYPES (PY_VERSION_HEX >= 0x030D0000)

// 3.13: an unexpected keyword argument to a def gets "Did you mean 'x'?",
// computed by the interpreter's own spelling rule (module _suggestions).
#define MV_HAVE_KEYWORD_SUGGESTIONS (PY_VERSION_HEX >= 0x030D0000)
