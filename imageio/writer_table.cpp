// The one table through which the save dispatch reaches the format writers.
#include "imageio/image_io.h"

const TIOWriterTable& Writers() {
    static const TIOWriterTable table{
        // JPEG
        nullptr,

        // PNG
        nullptr,

        // GIF
        nullptr,

        // BMP
        nullptr,
    };
    return table;
}
