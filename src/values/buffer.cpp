// Memory shared between host and Python without copies, both ways.
//
// Host to Python: FromMemoryBlock gives Python a memoryview whose exporter is
// a small object of the plugin's own type that holds one host reference on
// the block. Every view, slice and array Python makes from it keeps that
// exporter alive, so the block lives as long as anything in Python can reach
// its bytes; when Python frees the exporter, the reference goes back on a
// host thread (at once, or queued like the output of Python's threads).
//
// Python to host: GetBuffer asks any object for its buffer and keeps it in a
// Python3Buffer until Release or the holder's end, so the exporter's memory
// stays in place (Python refuses to resize a bytearray meanwhile) while host
// code reads and writes through Data.
#include "values/buffer.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "interpreter/interpreters.h"
#include "plugin/output_queue.h"

namespace {

// ---------------------------------------------------------------------------
// The blocks that exporters hold, one slot each, kept in the plugin's own
// memory: Finalize gives back the references of exporters Python never freed
// without reading the stopped interpreter's objects. Every change happens
// with the interpreter lock held (exporters are made and freed under it) or
// after Python has stopped.

struct BlockSlots {
  // Taken once interpreters with locks of their own exist, which change the
  // slots at the same time as the main one; before that the interpreter
  // lock keeps them in order.
  std::mutex lock;
  std::vector<REALobject> blocks;
  std::vector<uint32_t> free;
};

class SlotGuard {
 public:
  explicit SlotGuard(std::mutex& m) : m_(gOwnLockInterpreters.load(std::memory_order_acquire) ? &m : nullptr) {
    if (m_) m_->lock();
  }
  ~SlotGuard() {
    if (m_) m_->unlock();
  }
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;

 private:
  std::mutex* m_;
};
BlockSlots& Slots() {
  static auto* slots = new BlockSlots();  // never destroyed: Python may free late
  return *slots;
}

// A slot holding the block's reference; false when memory ran out.
bool TakeSlot(REALobject block, uint32_t* slot) {
  BlockSlots& s = Slots();
  SlotGuard guard(s.lock);
  try {
    if (s.free.empty()) {
      s.blocks.push_back(block);
      *slot = uint32_t(s.blocks.size() - 1);
    } else {
      *slot = s.free.back();
      s.free.pop_back();
      s.blocks[*slot] = block;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

REALobject GiveSlot(uint32_t slot) {
  BlockSlots& s = Slots();
  SlotGuard guard(s.lock);
  REALobject block = s.blocks[slot];
  s.blocks[slot] = nullptr;
  try {
    s.free.push_back(slot);
  } catch (const std::bad_alloc&) {
    // The slot is lost; the block's reference is not.
  }
  return block;
}

// ---------------------------------------------------------------------------
// The exporter of a block's bytes.

struct BlockExporter {
  PyObject ob_base;
  void* data;
  Py_ssize_t size;
  int readonly;
  uint32_t slot;        // where its block's reference is kept
  uint32_t generation;  // the interpreter it was made in
};

int BlockExporter_GetBuffer(PyObject* self, Py_buffer* view, int flags) {
  BlockExporter* e = reinterpret_cast<BlockExporter*>(self);
  // Python's own fill answers a writable request on read-only memory with
  // BufferError, and gives the format "B" when one is asked for.
  return EPyBuffer_FillInfo(view, self, e->data, e->size, e->readonly, flags);
}

// Exporters are made and freed once per FromMemoryBlock and hold no Python
// object. Where objects are laid out in place they live in the plugin's own
// memory, a few kept for the next ones, instead of going through Python's
// allocator each time; otherwise (a build that counts references) Python's
// own allocation keeps its books. Made and freed with the interpreter lock
// held.
constexpr int kKeptExporters = 8;
void* gKeptExporters[kKeptExporters];
int gKeptExporterCount;

// The kept ones are the main interpreter's, used under its lock only.
bool InMainInterpreter() { return tHostThread.enteredGeneration == 0; }

PyObject* NewExporter(PyTypeObject* type) {
  if (!gPythonInPlace) {
    auto alloc = reinterpret_cast<PyObject* (*)(PyTypeObject*, Py_ssize_t)>(type->tp_alloc);
    return alloc ? alloc(type, 0) : nullptr;
  }
  void* memory = gKeptExporterCount > 0 && InMainInterpreter() ? gKeptExporters[--gKeptExporterCount]
                                                              : malloc(sizeof(BlockExporter));
  if (!memory) return nullptr;
  PyObject* o = static_cast<PyObject*>(memset(memory, 0, sizeof(BlockExporter)));
  o->ob_refcnt = 1;
  o->ob_type = type;  // a static type: no reference to take
  return o;
}

void FreeExporter(PyObject* self) {
  if (!gPythonInPlace) {
    Py_TYPE(self)->tp_free(self);
  } else if (gKeptExporterCount < kKeptExporters && InMainInterpreter()) {
    gKeptExporters[gKeptExporterCount++] = self;
  } else {
    free(self);
  }
}

// Runs on whatever thread lets go of the last view; the block's reference is
// given back on a host thread. An exporter Python frees only after Finalize
// gave its block back has nothing left to give.
void BlockExporter_Dealloc(PyObject* self) {
  BlockExporter* e = reinterpret_cast<BlockExporter*>(self);
  if (e->generation != 0 && e->generation == CurrentGenerationOfThread())
    ReleaseOnHostThread(GiveSlot(e->slot));
  FreeExporter(self);
}

PyBufferProcs gBlockExporterBuffer = {BlockExporter_GetBuffer, nullptr};

// The exporter type of one interpreter. Each interpreter readies a fresh
// copy, and none is ever freed: objects of a stopped interpreter may still
// point at theirs. The main interpreter's is at hand; sub-interpreters'
// are looked up.
PyTypeObject* gExporterType;
uint32_t gExporterGeneration;
std::mutex gSubExporterLock;
std::vector<std::pair<uint32_t, PyTypeObject*>> gSubExporterTypes;

PyTypeObject* ExporterType() {
  const uint32_t generation = CurrentGenerationOfThread();
  if (gExporterType && gExporterGeneration == generation) return gExporterType;
  if (!EPyType_Ready || !EPyBuffer_FillInfo) return nullptr;
  std::lock_guard<std::mutex> guard(gSubExporterLock);
  if (generation != gInterpreterGeneration) {
    for (auto& p : gSubExporterTypes)
      if (p.first == generation) return p.second;
  }
  PyTypeObject* type = new (std::nothrow) PyTypeObject();
  if (!type) return nullptr;
  type->ob_base.ob_refcnt = 1;
  type->tp_name = "coilwork.HostMemory";
  type->tp_basicsize = sizeof(BlockExporter);
  type->tp_dealloc = BlockExporter_Dealloc;
  type->tp_as_buffer = &gBlockExporterBuffer;
  type->tp_flags = Py_TPFLAGS_HAVE_VERSION_TAG;
  type->tp_doc = "The bytes of a host MemoryBlock.";
  if (EPyType_Ready(type) < 0) return nullptr;  // kept: Python may hold it half-readied
  if (generation == gInterpreterGeneration) {
    gExporterType = type;
    gExporterGeneration = generation;
  } else {
    gSubExporterTypes.emplace_back(generation, type);
  }
  return type;
}

void RaiseValueError(const char* message) { PyRaise(e__PyExc_ValueError, message); }

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
  return d->generation != 0 && GenerationRuns(d->generation) ? &d->view : nullptr;
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

REALobject BlockOfView(PyObject* o, int8_t* writable) {
  if (!o || strcmp(Py_TYPE(o)->tp_name, "memoryview") != 0 || !EPyObject_GetBuffer) return nullptr;
  PyRef exporter(EPyObject_GetAttrString(o, "obj"));
  if (!exporter) {
    EPyErr_Clear();
    return nullptr;
  }
  if (Py_TYPE(exporter.get())->tp_dealloc != BlockExporter_Dealloc) return nullptr;
  BlockExporter* e = reinterpret_cast<BlockExporter*>(exporter.get());
  // Only a view of the whole block: a slice would arrive as more than it shows.
  Py_buffer view;
  if (EPyObject_GetBuffer(o, &view, 0) < 0) {
    EPyErr_Clear();
    return nullptr;
  }
  bool whole = view.buf == e->data && view.len == e->size && view.ndim <= 1;
  bool readonly = view.readonly != 0;
  EPyBuffer_Release(&view);
  if (!whole) return nullptr;
  BlockSlots& s = Slots();
  std::lock_guard<std::mutex> guard(s.lock);
  REALobject block = e->slot < s.blocks.size() ? s.blocks[e->slot] : nullptr;
  if (block) ELockObject(block);
  *writable = readonly ? 0 : 1;
  return block;
}

PyObject* NewBlockView(REALobject block, int8_t writable) {
  if (!PythonRunning()) return nullptr;
  int32_t size = block ? REALMemoryBlockGetSize(block) : -1;
  void* data = block && size >= 0 ? MemoryBlockAddress(block) : nullptr;
  if (!block || size < 0 || (size > 0 && !data)) {
    RaiseValueError(block ? "the MemoryBlock's size or address is not known" : "no MemoryBlock");
    return nullptr;
  }
  PyTypeObject* type = ExporterType();
  if (!type || !EPyMemoryView_FromObject) return nullptr;
  PyRef exporter(NewExporter(type));
  if (!exporter) {
    PyRaise(e__PyExc_MemoryError, "no memory for another MemoryBlock view");
    return nullptr;
  }
  BlockExporter* e = reinterpret_cast<BlockExporter*>(exporter.get());
  e->data = data;
  e->size = size;
  e->readonly = writable ? 0 : 1;
  e->generation = 0;  // holds no block until it has a slot
  if (!TakeSlot(block, &e->slot)) {
    PyRaise(e__PyExc_MemoryError, "no memory for another MemoryBlock view");
    return nullptr;
  }
  ELockObject(block);  // the exporter's reference from here on
  e->generation = CurrentGenerationOfThread();
  // The view keeps the exporter, and so the block, alive.
  return EPyMemoryView_FromObject(exporter.get());
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

void ReleaseBlockViewsAfterFinalize() {
  // Unlocking may run host destructors: work on what was taken out.
  std::vector<REALobject> left;
  {
    BlockSlots& s = Slots();
    std::lock_guard<std::mutex> guard(s.lock);
    left.swap(s.blocks);
    s.free.clear();
  }
  for (REALobject block : left)
    if (block) EUnlockObject(block);
}

REALclassDefinition PythonBufferClass = CLASS_RECORD(
    DOC("Python3Buffer", "An object's buffer held in place: its memory, read and written through Data without copies, stays where it is until Release.", ""), "Python3EntityBase", sizeof(BufferData),
    nullptr, FN_NO_PYTHON(PythonBuffer_Destructor),
    CLASS_TABLE(PythonBufferProperties), CLASS_TABLE(PythonBufferMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
