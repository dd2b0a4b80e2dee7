// The Python entry-point table: every C-API function and object the plugin
// uses, bound by name from a libpython opened at run time. No Python header is
// included; the few structures the plugin touches are mirrored here with the
// layout that Python 3.4 to 3.15 share, or that the loader reads per version.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

typedef ssize_t Py_ssize_t;

// Small helpers on every call path: inlined even where the compiler would
// rather make a call of them.
#define COILWORK_HOT inline __attribute__((always_inline))

// Object header of a regular (not free-threaded) build: the reference count
// and the type pointer, one word each. Ordinary counts are changed in place;
// the count of an immortal object (3.12 on) only through Py_IncRef and
// Py_DecRef (see PyAddRefs).
struct PyObject {
  Py_ssize_t ob_refcnt;
  struct PyTypeObject* ob_type;
};

typedef PyObject* (*PyCFunction)(PyObject* self, PyObject* args);

// Opaque to the plugin: only passed back to Python.
struct PyThreadState;
struct PyInterpreterState;
typedef void (*destructor)(PyObject*);
typedef int (*initproc)(PyObject*, PyObject*, PyObject*);
typedef PyObject* (*newfunc)(struct PyTypeObject*, PyObject*, PyObject*);
typedef void (*freefunc)(void*);
typedef void (*PyCapsule_Destructor)(PyObject*);

struct PyMethodDef {
  const char* ml_name;
  void* ml_meth;
  int ml_flags;
  const char* ml_doc;
};

enum { METH_VARARGS = 0x0001 };

// The start symbols of PyRun_StringFlags for a sequence of statements and
// for one expression.
enum { Py_file_input = 257, Py_eval_input = 258 };

struct PyModuleDef_Base {
  PyObject ob_base;
  PyObject* (*m_init)(void);
  Py_ssize_t m_index;
  PyObject* m_copy;
};

struct PyModuleDef {
  PyModuleDef_Base m_base;
  const char* m_name;
  const char* m_doc;
  Py_ssize_t m_size;
  PyMethodDef* m_methods;
  void* m_slots;
  void* m_traverse;
  void* m_clear;
  void* m_free;
};

// The type object as Python 3.15 lays it out, the largest of the supported
// versions, with room to spare. The fields up to tp_finalize sit at the same
// offsets in 3.4 to 3.15; later versions only append. The loader checks that
// the library's type objects fit (sizeof this).
struct PyTypeObject {
  PyObject ob_base;
  Py_ssize_t ob_size;
  const char* tp_name;
  Py_ssize_t tp_basicsize, tp_itemsize;
  destructor tp_dealloc;
  Py_ssize_t tp_vectorcall_offset;  // tp_print before 3.8
  void* tp_getattr;
  void* tp_setattr;
  void* tp_as_async;
  void* tp_repr;
  void* tp_as_number;
  void* tp_as_sequence;
  void* tp_as_mapping;
  void* tp_hash;
  void* tp_call;
  void* tp_str;
  void* tp_getattro;
  void* tp_setattro;
  void* tp_as_buffer;
  unsigned long tp_flags;
  const char* tp_doc;
  void* tp_traverse;
  void* tp_clear;
  void* tp_richcompare;
  Py_ssize_t tp_weaklistoffset;
  void* tp_iter;
  void* tp_iternext;
  PyMethodDef* tp_methods;
  void* tp_members;
  void* tp_getset;
  PyTypeObject* tp_base;
  PyObject* tp_dict;
  void* tp_descr_get;
  void* tp_descr_set;
  Py_ssize_t tp_dictoffset;
  initproc tp_init;
  void* tp_alloc;
  newfunc tp_new;
  freefunc tp_free;
  void* tp_is_gc;
  PyObject* tp_bases;
  PyObject* tp_mro;
  PyObject* tp_cache;
  void* tp_subclasses;
  PyObject* tp_weaklist;
  destructor tp_del;
  unsigned int tp_version_tag;
  destructor tp_finalize;
  void* tp_vectorcall;       // 3.8
  unsigned char tp_watched;  // 3.12
  uint16_t tp_versions_used; // 3.13
  void* tp_iteritem;         // 3.15
  // Room for fields that a newer Python appends: a type object the plugin
  // makes is zeroed to its end, as Python expects of fields it does not set.
  void* tp_reserved[6];
};

enum : unsigned long {
  Py_TPFLAGS_BASETYPE = 1UL << 10,
  Py_TPFLAGS_HAVE_VECTORCALL = 1UL << 11,  // 3.8
  Py_TPFLAGS_HAVE_VERSION_TAG = 1UL << 18,
  Py_TPFLAGS_LONG_SUBCLASS = 1UL << 24,
  Py_TPFLAGS_TUPLE_SUBCLASS = 1UL << 26,
  Py_TPFLAGS_UNICODE_SUBCLASS = 1UL << 28,
  Py_TPFLAGS_DICT_SUBCLASS = 1UL << 29,
  Py_TPFLAGS_TYPE_SUBCLASS = 1UL << 31,
};

COILWORK_HOT PyTypeObject* Py_TYPE(PyObject* o) { return o->ob_type; }

// A buffer as Python 3.3 to 3.15 lay it out. Python's own fill routine may
// point shape and strides into the structure itself, so one that is filled
// never moves.
struct Py_buffer {
  void* buf;
  PyObject* obj;
  Py_ssize_t len;
  Py_ssize_t itemsize;
  int readonly;
  int ndim;
  char* format;
  Py_ssize_t* shape;
  Py_ssize_t* strides;
  Py_ssize_t* suboffsets;
  void* internal;
};

typedef int (*getbufferproc)(PyObject*, Py_buffer*, int);
typedef void (*releasebufferproc)(PyObject*, Py_buffer*);
struct PyBufferProcs {
  getbufferproc bf_getbuffer;
  releasebufferproc bf_releasebuffer;
};

enum : int {
  PyBUF_WRITABLE = 0x0001,
  PyBUF_FORMAT = 0x0004,
  PyBUF_ND = 0x0008,
  PyBUF_STRIDES = 0x0010 | PyBUF_ND,
  PyBUF_C_CONTIGUOUS = 0x0020 | PyBUF_STRIDES,
};

// A tuple's variable-size header. The item pointers follow it up to 3.13;
// from 3.14 on a cached hash (-1: not yet computed) stands between. Where
// the items start is read from the library's own tuple type when it is
// loaded (gTupleItemsOffset). Read only for objects whose type is exactly
// tuple.
struct PyTupleObject {
  PyObject ob_base;
  Py_ssize_t ob_size;
};

// Bytes from a tuple's start to its first item, and whether a cached hash
// stands before the items (set by the loader's layout checks).
extern size_t gTupleItemsOffset;
extern bool gTupleHashCached;

COILWORK_HOT PyObject** TupleItems(PyTupleObject* t) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(t) + gTupleItemsOffset);
}

// A tuple whose items the plugin changes in place (one that nothing else
// holds) forgets the hash it may have cached for its former items.
COILWORK_HOT void TupleForgetHash(PyTupleObject* t) {
  if (gTupleHashCached) *reinterpret_cast<Py_ssize_t*>(t + 1) = -1;
}

// A list as Python 3.4 to 3.15 lay it out: the variable-size header, the
// item array and its capacity. Read only for objects whose type is exactly
// list.
struct PyListObject {
  PyObject ob_base;
  Py_ssize_t ob_size;
  PyObject** ob_item;
  Py_ssize_t allocated;
};

// What Py_NewInterpreterFromConfig answers (3.12 on): _type 0 means success.
struct PyStatus {
  int _type;
  const char* func;
  const char* err_msg;
  int exitcode;
};

// The settings of a new interpreter, as 3.12 and 3.13 lay them out.
struct PyInterpreterConfig {
  int use_main_obmalloc;
  int allow_fork;
  int allow_exec;
  int allow_threads;
  int allow_daemon_threads;
  int check_multi_interp_extensions;
  int gil;  // 1: the main interpreter's lock; 2: a lock of its own
};

// Functions bound from the library: X(return type, name, parameter list).
// Slot names are the C-API name with the prefix E (EPyTuple_New).
#define COILWORK_PY_FUNCTIONS(X)                                                        \
  /* interpreter */                                                                     \
  X(void, Py_Initialize, (void))                                                        \
  X(int, Py_IsInitialized, (void))                                                      \
  X(void, Py_Finalize, (void))                                                          \
  X(void, Py_SetProgramName, (const wchar_t*))                                          \
  X(PyObject*, PySys_GetObject, (const char*))                                          \
  X(int, PySys_SetObject, (const char*, PyObject*))                                     \
  X(PyObject*, PyImport_Import, (PyObject*))                                            \
  X(PyObject*, PyImport_ReloadModule, (PyObject*))                                      \
  X(int, PyImport_AppendInittab, (const char*, PyObject* (*)(void)))                   \
  X(PyObject*, PyImport_GetModuleDict, (void))                                          \
  X(PyObject*, PyImport_AddModule, (const char*))                                       \
  X(PyObject*, PyModule_GetDict, (PyObject*))                                           \
  X(PyObject*, PyRun_StringFlags, (const char*, int, PyObject*, PyObject*, void*))      \
  /* errors */                                                                          \
  X(void, PyErr_Clear, (void))                                                          \
  X(PyObject*, PyErr_Occurred, (void))                                                  \
  X(void, PyErr_Fetch, (PyObject**, PyObject**, PyObject**))                            \
  X(void, PyErr_SetString, (PyObject*, const char*))                                    \
  X(void, PyErr_SetObject, (PyObject*, PyObject*))                                      \
  X(void, PyErr_NormalizeException, (PyObject**, PyObject**, PyObject**))               \
  X(void, PyErr_Restore, (PyObject*, PyObject*, PyObject*))                             \
  X(int, PyErr_GivenExceptionMatches, (PyObject*, PyObject*))                           \
  /* objects and calls */                                                               \
  X(int, PyObject_HasAttrString, (PyObject*, const char*))                              \
  X(int, PyObject_SetAttrString, (PyObject*, const char*, PyObject*))                   \
  X(PyObject*, PyObject_GetAttrString, (PyObject*, const char*))                        \
  X(int, PyCallable_Check, (PyObject*))                                                 \
  X(PyObject*, PyObject_CallObject, (PyObject*, PyObject*))                             \
  X(PyObject*, PyEval_CallObjectWithKeywords, (PyObject*, PyObject*, PyObject*))        \
  X(PyObject*, PyObject_Call, (PyObject*, PyObject*, PyObject*))                        \
  X(PyObject*, PyObject_VectorcallMethod, (PyObject*, PyObject* const*, size_t, PyObject*)) \
  X(PyObject*, PyObject_Str, (PyObject*))                                               \
  X(PyObject*, PyObject_Repr, (PyObject*))                                              \
  X(Py_ssize_t, PyObject_Size, (PyObject*))                                             \
  X(PyObject*, PyObject_GetItem, (PyObject*, PyObject*))                                \
  X(int, PyObject_SetItem, (PyObject*, PyObject*, PyObject*))                           \
  X(int, PyObject_IsInstance, (PyObject*, PyObject*))                                   \
  X(PyObject*, PyObject_GetIter, (PyObject*))                                           \
  X(PyObject*, PyIter_Next, (PyObject*))                                                \
  X(PyObject*, PySequence_List, (PyObject*))                                            \
  X(int, PyObject_IsTrue, (PyObject*))                                                  \
  X(int, PyType_IsSubtype, (PyTypeObject*, PyTypeObject*))                              \
  X(int, PyArg_ParseTuple, (PyObject*, const char*, ...))                               \
  X(PyObject*, Py_BuildValue, (const char*, ...))                                       \
  X(void, Py_IncRef, (PyObject*))                                                       \
  X(void, PyObject_GC_Track, (void*))                                                   \
  X(int, PyObject_GC_IsTracked, (PyObject*))                                            \
  X(void, PyObject_GC_UnTrack, (void*))                                                 \
  X(void, Py_DecRef, (PyObject*))                                                       \
  /* numbers */                                                                         \
  X(PyObject*, PyLong_FromLong, (long))                                                 \
  X(long, PyLong_AsLong, (PyObject*))                                                   \
  X(long long, PyLong_AsLongLong, (PyObject*))                                          \
  X(PyObject*, PyLong_FromLongLong, (long long))                                        \
  X(unsigned long long, PyLong_AsUnsignedLongLong, (PyObject*))                         \
  X(PyObject*, PyLong_FromUnsignedLongLong, (unsigned long long))                       \
  X(long, PyLong_AsLongAndOverflow, (PyObject*, int*))                                  \
  X(PyObject*, PyFloat_FromDouble, (double))                                            \
  X(double, PyFloat_AsDouble, (PyObject*))                                              \
  /* tuples */                                                                          \
  X(PyObject*, PyTuple_New, (Py_ssize_t))                                               \
  X(PyObject*, PyTuple_GetItem, (PyObject*, Py_ssize_t))                                \
  X(int, PyTuple_SetItem, (PyObject*, Py_ssize_t, PyObject*))                           \
  X(Py_ssize_t, PyTuple_Size, (PyObject*))                                              \
  /* lists */                                                                           \
  X(int, PyList_Append, (PyObject*, PyObject*))                                         \
  X(PyObject*, PyList_New, (Py_ssize_t))                                                \
  X(Py_ssize_t, PyList_Size, (PyObject*))                                               \
  X(int, PyList_Insert, (PyObject*, Py_ssize_t, PyObject*))                             \
  X(PyObject*, PyList_GetItem, (PyObject*, Py_ssize_t))                                 \
  X(int, PyList_SetItem, (PyObject*, Py_ssize_t, PyObject*))                            \
  X(PyObject*, PyList_AsTuple, (PyObject*))                                             \
  X(int, PyList_Sort, (PyObject*))                                                      \
  X(int, PyList_Reverse, (PyObject*))                                                   \
  /* dictionaries */                                                                    \
  X(PyObject*, PyDict_New, (void))                                                      \
  X(PyObject*, PyDict_Keys, (PyObject*))                                                \
  X(PyObject*, PyDict_Values, (PyObject*))                                              \
  X(void, PyDict_Clear, (PyObject*))                                                    \
  X(Py_ssize_t, PyDict_Size, (PyObject*))                                               \
  X(PyObject*, PyDict_GetItem, (PyObject*, PyObject*))                                  \
  X(int, PyDict_Contains, (PyObject*, PyObject*))                                       \
  X(int, PyDict_SetItem, (PyObject*, PyObject*, PyObject*))                             \
  X(int, PyDict_SetItemString, (PyObject*, const char*, PyObject*))                     \
  X(PyObject*, PyDict_GetItemString, (PyObject*, const char*))                          \
  X(PyObject*, PyDict_Copy, (PyObject*))                                                \
  X(int, PyDict_DelItem, (PyObject*, PyObject*))                                        \
  /* text and bytes */                                                                  \
  X(PyObject*, PyUnicode_FromStringAndSize, (const char*, Py_ssize_t))                  \
  X(const char*, PyUnicode_AsUTF8AndSize, (PyObject*, Py_ssize_t*))                     \
  X(PyObject*, PyBytes_FromStringAndSize, (const char*, Py_ssize_t))                    \
  X(char*, PyBytes_AsString, (PyObject*))                                               \
  X(Py_ssize_t, PyBytes_Size, (PyObject*))                                              \
  /* capsules */                                                                        \
  X(PyObject*, PyCapsule_New, (void*, const char*, PyCapsule_Destructor))               \
  X(void*, PyCapsule_GetPointer, (PyObject*, const char*))                              \
  X(PyCapsule_Destructor, PyCapsule_GetDestructor, (PyObject*))                         \
  /* extension modules and types */                                                     \
  X(PyObject*, PyModule_Create2, (PyModuleDef*, int))                                   \
  X(int, PyModule_AddObject, (PyObject*, const char*, PyObject*))                       \
  X(PyObject*, PyType_GenericNew, (PyTypeObject*, PyObject*, PyObject*))                \
  X(int, PyType_Ready, (PyTypeObject*))                                                 \
  /* buffers */                                                                         \
  X(int, PyObject_GetBuffer, (PyObject*, Py_buffer*, int))                              \
  X(void, PyBuffer_Release, (Py_buffer*))                                               \
  X(int, PyBuffer_FillInfo, (Py_buffer*, PyObject*, void*, Py_ssize_t, int, int))       \
  X(PyObject*, PyMemoryView_FromObject, (PyObject*))                                    \
  /* threads and the interpreter lock */                                               \
  X(void, PyEval_InitThreads, (void))                                                   \
  X(PyThreadState*, PyEval_SaveThread, (void))                                          \
  X(void, PyEval_RestoreThread, (PyThreadState*))                                       \
  X(int, PyGILState_Ensure, (void))                                                     \
  X(void, PyGILState_Release, (int))                                                    \
  X(PyThreadState*, PyGILState_GetThisThreadState, (void))                              \
  X(PyThreadState*, PyThreadState_Get, (void))                                          \
  X(PyInterpreterState*, PyInterpreterState_Head, (void))                               \
  X(PyThreadState*, PyInterpreterState_ThreadHead, (PyInterpreterState*))               \
  X(PyThreadState*, PyThreadState_Next, (PyThreadState*))                              \
  X(PyThreadState*, PyThreadState_New, (PyInterpreterState*))                           \
  X(void, PyThreadState_Clear, (PyThreadState*))                                        \
  X(void, PyThreadState_Delete, (PyThreadState*))                                      \
  /* stopping Python code that runs for host code (optional) */                         \
  X(int, PyThreadState_SetAsyncExc, (unsigned long, PyObject*))                         \
  X(unsigned long, PyThread_get_thread_ident, (void))                                   \
  X(PyObject*, PyThreadState_GetFrame, (PyThreadState*))                                \
  X(PyObject*, PyFrame_GetCode, (PyObject*))                                            \
  /* serving host calls while the home thread runs Python code (optional) */            \
  X(int, Py_AddPendingCall, (int (*)(void*), void*))                                    \
  /* sub-interpreters (optional; the config form from 3.12 on) */                        \
  X(PyThreadState*, Py_NewInterpreter, (void))                                          \
  X(PyStatus, Py_NewInterpreterFromConfig, (PyThreadState**, const PyInterpreterConfig*)) \
  X(void, Py_EndInterpreter, (PyThreadState*))                                          \
  X(PyThreadState*, PyThreadState_Swap, (PyThreadState*))                               \
  X(PyObject*, PyLong_FromString, (const char*, char**, int))                           \
  /* plugin code compiled once and loaded into each sub-interpreter (optional) */       \
  X(PyObject*, Py_CompileString, (const char*, const char*, int))                       \
  X(PyObject*, PyMarshal_WriteObjectToString, (PyObject*, int))                         \
  X(PyObject*, PyMarshal_ReadObjectFromString, (const char*, Py_ssize_t))               \
  X(PyObject*, PyEval_EvalCode, (PyObject*, PyObject*, PyObject*))

// Bound only when a library path is set: the Python home is handed over.
#define COILWORK_PY_HOME_FUNCTIONS(X)                                                   \
  X(void, Py_SetPythonHome, (const wchar_t*))                                           \
  X(wchar_t*, Py_DecodeLocale, (const char*, size_t*))

// Type objects: slot e__Name holds the type object itself.
#define COILWORK_PY_TYPES(X)                                                            \
  X(PyFloat_Type) X(PyBool_Type) X(PyCapsule_Type) X(PyDict_Type) X(PyTuple_Type)       \
  X(PyBytes_Type) X(PyList_Type) X(PyModule_Type) X(PyLong_Type) X(PyUnicode_Type)

// Exception objects in the order of the Python3ErrorTypes constants 1 to 22:
// slot e__Name holds the address of the library's variable.
#define COILWORK_PY_EXCEPTIONS(X)                                                       \
  X(PyExc_AssertionError) X(PyExc_AttributeError) X(PyExc_EOFError)                     \
  X(PyExc_FloatingPointError) X(PyExc_IOError) X(PyExc_ImportError)                     \
  X(PyExc_IndexError) X(PyExc_KeyError) X(PyExc_KeyboardInterrupt)                      \
  X(PyExc_MemoryError) X(PyExc_NameError) X(PyExc_NotImplementedError)                  \
  X(PyExc_OSError) X(PyExc_OverflowError) X(PyExc_RuntimeError)                         \
  X(PyExc_SyntaxError) X(PyExc_SystemError) X(PyExc_SystemExit) X(PyExc_TypeError)      \
  X(PyExc_ValueError) X(PyExc_ZeroDivisionError) X(PyExc_ReferenceError)

#define COILWORK_DECLARE_PY_FUNCTION(ret, name, params) extern ret(*E##name) params;
COILWORK_PY_FUNCTIONS(COILWORK_DECLARE_PY_FUNCTION)
COILWORK_PY_HOME_FUNCTIONS(COILWORK_DECLARE_PY_FUNCTION)
#undef COILWORK_DECLARE_PY_FUNCTION

#define COILWORK_DECLARE_PY_TYPE(name) extern PyTypeObject* e__##name;
COILWORK_PY_TYPES(COILWORK_DECLARE_PY_TYPE)
#undef COILWORK_DECLARE_PY_TYPE

// Further exception objects the plugin tests for, outside that order.
#define COILWORK_PY_MORE_EXCEPTIONS(X) X(PyExc_StopIteration) X(PyExc_TimeoutError)

#define COILWORK_DECLARE_PY_EXC(name) extern PyObject** e__##name;
COILWORK_PY_EXCEPTIONS(COILWORK_DECLARE_PY_EXC)
COILWORK_PY_MORE_EXCEPTIONS(COILWORK_DECLARE_PY_EXC)
#undef COILWORK_DECLARE_PY_EXC

extern PyObject* e___Py_TrueStruct;
extern PyObject* e___Py_FalseStruct;
extern PyObject* e___Py_NoneStruct;  // optional: None, where the library exports it

extern void* PythonDLLHandle;
extern bool gPythonFound;
extern bool gPythonEntryPointsLoaded;
extern bool gPythonInitialized;
extern wchar_t* gPythonHome;
// Whether the library's objects may be worked on in place: reference counts
// changed and tuple and list items read and written directly, as Python's
// own macros do. False for a build that counts references for debugging,
// whose total of references only its own functions keep right: everything
// then goes through Python's calls.
extern bool gPythonInPlace;
// Objects are worked on in place and the library has immortal objects (3.12
// on): references to them are neither counted nor given back by call.
extern bool gImmortalObjects;
// A debug build from 3.12 on: its checks require a thread state to be
// deleted on the thread that last made it current, so host threads take
// the lock through PyGILState_Ensure, whose release deletes the state there.
extern bool gStatesStayOnTheirThread;
// Objects are laid out in place and the library calls with argument arrays
// (3.9 and later): calls go to an object's vectorcall entry directly.
extern bool gVectorcallInPlace;
// Objects are laid out in place and the library tells and sets whether the
// collector tracks an object (3.9 and later): argument tuples are kept for
// reuse. The tuple type then, null otherwise.
extern PyTypeObject* gKeptTupleType;
// The number of the running interpreter among those Init has started (1, 2,
// ...), 0 while none runs; objects are tagged with it. It is nonzero exactly
// while the table is loaded and gPythonInitialized holds: set right after
// the flag when an interpreter starts, cleared right before it when the
// interpreter stops or the plugin is entered again.
extern uint32_t gInterpreterGeneration;

// Opens a library and binds the table (see loader.cpp). Result 1 when loaded.
int LoadPythonEntryPoints(int32_t preferredVersion);

// Loads the table with the default preference when it is not loaded yet.
// True when the table is loaded.
bool EnsurePython();

// True when the table is loaded and an interpreter started by Init runs:
// the condition for every call into Python. The generation is nonzero
// exactly then, and one word is cheaper to ask on every path than two flags.
COILWORK_HOT bool PythonRunning() { return gInterpreterGeneration != 0; }

// The platform calls of the loader, replaceable by tests so that the search
// order, the flags and the messages can be checked without a real library.
struct PlatformLoader {
  void* (*open)(const char* file, int flags);
  void* (*sym)(void* handle, const char* name);
  char* (*error)(void);
  int (*close)(void* handle);
  int (*puts)(const char* line);
};
extern PlatformLoader gPlatform;
