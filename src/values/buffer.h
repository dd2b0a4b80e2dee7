// Memory shared between host MemoryBlocks and Python buffers without copies
// (buffer.cpp): the members that the entity records list.
#pragma once

#include "convert/convert.h"

// Python3Entity.FromMemoryBlock: a memoryview over the block's own bytes.
REALobject PythonEntity_FromMemoryBlock(REALobject block, int8_t writable);
// Python3EntityBase.GetBuffer: the held object's buffer in a new Python3Buffer.
REALobject PythonEntityBase_GetBuffer(REALobject self, int8_t writable);

// A memoryview over the bytes of a whole MemoryBlock (made by FromMemoryBlock
// in any interpreter): the block, with one host reference for the caller,
// and whether the view is writable; nil for any other object.
REALobject BlockOfView(PyObject* o, int8_t* writable);
// A memoryview over the block's bytes in the current interpreter (a new
// reference), or null with Python's error pending.
PyObject* NewBlockView(REALobject block, int8_t writable);

// After Python stopped: gives back the block of every view Python never freed.
void ReleaseBlockViewsAfterFinalize();
