// Private to the JSON units: payload allocation in blocks while a reader
// builds a tree.
#ifndef VORNLIB_VIO_JSON_VALUE_P_H
#define VORNLIB_VIO_JSON_VALUE_P_H

// While one lives, the payloads this thread creates come from shared blocks
// instead of one heap allocation each. Nests.
// Not thread-safe: a scope of the calling thread.
class VJsonPayloadBlocks
{
public:
    VJsonPayloadBlocks();
    ~VJsonPayloadBlocks();

private:
    VJsonPayloadBlocks(const VJsonPayloadBlocks&) = delete;
    VJsonPayloadBlocks& operator=(const VJsonPayloadBlocks&) = delete;
};

#endif
