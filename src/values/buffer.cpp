// Memory shared between host and Python without copies, both ways.
//
// Host to Python: FromMemoryBlock gives Python a memoryview over the block's
// own bytes, which keeps the block alive as long as anything in Python can
// reach them (convert/block_views.h).
//
// Python to host: GetBuffer asks any object for its buffer and keeps it in a
// Python3Buffer until Release or the holder's end, so the exporter's memory
// stays in place (Python refuses to resize a bytearray meanwhile) while host
// code reads and writes through Data.
#include "values/buffer.h"

#include <string.h>

#include "convert/block_views.h"
#include "interpreter/interpreters.h"

namespace {

// ---------------------------------------------------------------------------
// Python3Buffer: the buffer held, in the holder's own data block (Python may
// point into the structure, so it is filled in place and never moves).

struct BufferData {
  Py_buffer view;
  uint32_t generation;  // the interpreter the buffer is held in; 0 when none
};

BufferData* BufferBlock(REALobject self) { return Data<BufferData>(self, PythonBufferClass); }

// The buffer, or null when none is held (released, never taken, or taken in
// an interpreter that has stopped since: its memory is gone).
Py_buffer* HeldView(REALobject self) {
  BufferData* d = BufferBlock(self);
  uint32_t g = d->generation;
  // Most often the main interpreter's, which runs while its generation is
  // the running one: asked without a call.
  return g != 0 && (g == gInterpreterGeneration || GenerationRuns(g)) ? &d->view : nullptr;
}

void PythonBuffer_Release(REALobject self) {
  Py_buffer* view = HeldView(self);
  uint32_t generation = BufferBlock(self)->generation;
  BufferBlock(self)->generation = 0;  // every reader answers as released from here on
  // Given back in the interpreter the buffer was taken in.
  if (view && (generation == CurrentGenerationOfThread() || EnterGenerationForMember(generation)))
    EPyBuffer_Release(view);  // gives the exporter its buffer back
}

void* PythonBuffer_Data(REALobject self, intptr_t) {
  Py_buffer* view = HeldView(self);
  return view ? view->buf : nullptr;
}

int64_t PythonBuffer_Size(REALobject self, intptr_t) {
  Py_buffer* view = HeldView(self);
  return view ? int64_t(view->len) : 0;
}

int32_t PythonBuffer_ItemSize(REALobject self, intptr_t) {
  Py_buffer* view = HeldView(self);
  return view ? int32_t(view->itemsize) : 0;
}

REALstring PythonBuffer_Format(REALobject self, intptr_t) {
  Py_buffer* view = HeldView(self);
  if (!view) return nullptr;
  const char* format = view->format ? view->format : "B";
  return REALBuildStringWithEncoding(format, strlen(format), kREALTextEncodingUTF8);
}

int32_t PythonBuffer_Dimensions(REALobject self, intptr_t) {
  Py_buffer* view = HeldView(self);
  return view ? view->ndim : 0;
}

int8_t PythonBuffer_ReadOnly(REALobject self, intptr_t) {
  Py_buffer* view = HeldView(self);
  return view ? int8_t(view->readonly != 0) : 0;
}

int64_t PythonBuffer_Shape(REALobject self, int32_t dimension) {
  Py_buffer* view = HeldView(self);
  if (!view || dimension < 0 || dimension >= view->ndim) return 0;
  if (view->shape) return view->shape[dimension];
  return view->itemsize ? view->len / view->itemsize : 0;  // one dimension, no shape given
}

REALobject PythonBuffer_ToMemoryBlock(REALobject self) {
  Py_buffer* view = HeldView(self);
  if (!view || view->len > INT32_MAX) return nullptr;
  REALobject block = CreateMemoryBlock(int32_t(view->len));
  if (!block || view->len == 0) return block;
  void* address = MemoryBlockAddress(block);
  if (!address || REALMemoryBlockGetSize(block) < view->len) {
    EUnlockObject(block);
    return nullptr;
  }
  memcpy(address, view->buf, size_t(view->len));
  return block;
}

// The readers make no Python call and run no host code: they read the
// holder's own block, without the lock bookkeeping of the members that do.
// The holder's end: a buffer still held is given back under the lock; one
// already released (the usual case) needs nothing, and no lock bookkeeping.
void PythonBuffer_Destructor(REALobject self) {
  if (BufferBlock(self)->generation == 0) return;
  HostCall call;
  PythonBuffer_Release(self);
}

#define PROPERTY(name, type, what, faults) \
  {nullptr, DOC(#name, what, faults), type, REALmemberFlag, FN_NO_PYTHON(PythonBuffer_##name), nullptr, 0, {}}

REALproperty PythonBufferProperties[] = {
    PROPERTY(Data, "Ptr", "The address of the first byte; host code may read and write through it (when not ReadOnly) from any thread while the buffer is held.", "Released, or held over Finalize: nil."),
    PROPERTY(Size, "Int64", "The size in bytes.", "Released, or held over Finalize: 0."),
    PROPERTY(ItemSize, "Integer", "The size of one item in bytes.", "Released, or held over Finalize: 0."),
    PROPERTY(Format, "String", "The item format in Python's struct notation (\"B\" when the exporter gives none).", "Released, or held over Finalize: nil."),
    PROPERTY(Dimensions, "Integer", "The number of dimensions.", "Released, or held over Finalize: 0."),
    PROPERTY(ReadOnly, "Boolean", "Whether the memory must not be written.", "Released, or held over Finalize: False."),
};

#undef PROPERTY

REALmethodDefinition PythonBufferMethods[] = {
    {FN_NO_PYTHON(PythonBuffer_Shape), nullptr, DOC("Shape(dimension as Integer) as Int64", "The length of the dimension (0 for the first).", "Outside the dimensions, released, or held over Finalize: 0."), REALmemberFlag, 0, 0},
    {FN(PythonBuffer_Release), nullptr, DOC("Release()", "Gives the buffer back to its exporter, which may then move its memory (a bytearray can grow again); Data is nil and Size 0 afterwards.", "Already released, or held over Finalize: nothing."), REALmemberFlag, 0, 0},
    {FN(PythonBuffer_ToMemoryBlock), nullptr, DOC("ToMemoryBlock() as MemoryBlock", "A copy of the bytes in a new MemoryBlock.", "Released, held over Finalize, or larger than a MemoryBlock holds: nil."), REALmemberFlag, 0, 0},
};

}  // namespace

// ---------------------------------------------------------------------------
// The members other records list.

REALobject PythonEntity_FromMemoryBlock(REALobject block, int8_t writable) {
  if (!PythonRunning()) return nullptr;
  PyObject* view = NewBlockView(block, writable);
  return view ? NewHolder(PythonEntityClassRef, "Python3Entity", view) : nullptr;
}

REALobject PythonEntityBase_GetBuffer(REALobject self, int8_t writable) {
  PyObject* o = LiveHeld(self);
  if (!o || !EPyObject_GetBuffer || !EPyBuffer_Release) return nullptr;
  REALobject holder = NewInstance(PythonBufferClassRef, "Python3Buffer");
  if (!holder) return nullptr;
  BufferData* d = BufferBlock(holder);
  int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (EPyObject_GetBuffer(o, &d->view, flags) < 0) {
    EUnlockObject(holder);  // holds nothing: its end makes no Python call
    return nullptr;
  }
  d->generation = CurrentGenerationOfThread();
  PyAddRef(o);
  EntityData(holder)->held.set(o);
  return holder;
}

REALclassDefinition PythonBufferClass = CLASS_RECORD(
    DOC("Python3Buffer", "An object's buffer held in place: its memory, read and written through Data without copies, stays where it is until Release.", ""), "Python3EntityBase", sizeof(BufferData),
    nullptr, FN_NO_PYTHON(PythonBuffer_Destructor),
    CLASS_TABLE(PythonBufferProperties), CLASS_TABLE(PythonBufferMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
