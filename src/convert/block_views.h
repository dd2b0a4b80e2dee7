// Host MemoryBlocks' bytes as Python memoryviews, without copies
// (block_views.cpp): what Python3Entity.FromMemoryBlock gives Python, what the
// copies between interpreters carry across, and what Finalize gives back.
#pragma once

#include "convert/convert.h"

// A memoryview over the bytes of a whole MemoryBlock (made by FromMemoryBlock
// in any interpreter): the block, with one host reference for the caller,
// and whether the view is writable; nil for any other object.
REALobject BlockOfView(PyObject* o, int8_t* writable);
// A memoryview over the block's bytes in the current interpreter (a new
// reference), or null with Python's error pending.
PyObject* NewBlockView(REALobject block, int8_t writable);

// After Python stopped: gives back the block of every view Python never freed.
void ReleaseBlockViewsAfterFinalize();
