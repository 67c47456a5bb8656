// The one table through which the save dispatch reaches the format writers.
#include "imageio/image_io.h"

TIOWriterTable& Writers() {
    static TIOWriterTable table{
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
