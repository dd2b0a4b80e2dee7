// Memory shared between host MemoryBlocks and Python buffers without copies
// (buffer.cpp): the members that the entity records list.
#pragma once

#include "values/holders.h"

// Python3Entity.FromMemoryBlock: a memoryview over the block's own bytes.
REALobject PythonEntity_FromMemoryBlock(REALobject block, int8_t writable);
// Python3EntityBase.GetBuffer: the held object's buffer in a new Python3Buffer.
REALobject PythonEntityBase_GetBuffer(REALobject self, int8_t writable);
