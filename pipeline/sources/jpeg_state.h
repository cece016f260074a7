// What a Motion JPEG decoder keeps from one picture to the next: the quantisation and Huffman
// tables, the restart interval and the application and comment segments it reads. A picture
// that sets again all of these that the pictures before it set decodes alike in a decoder
// that has not seen them, so the pictures can be decoded on several decoders at once.
#pragma once

#include <cstddef>
#include <cstdint>

class JpegState {
public:
    // Whether the picture `data` stands alone after the pictures seen before; false too for
    // data that is not one whole JPEG (a cut one decodes partly over what the decoder's
    // buffer held). Call in stream order.
    bool standsAlone(const uint8_t* data, size_t size);

    // The pieces of state the picture sets, one bit each; `whole` false unless `data` starts
    // as a JPEG and its last scan is ended.
    static uint64_t setBy(const uint8_t* data, size_t size, bool& whole);

private:
    uint64_t seen_ = 0;
};
