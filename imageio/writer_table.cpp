// The one table through which the save dispatch reaches the format writers.
#include "imageio/image_io.h"
#include "imageio/bmp_writer.h"
#include "imageio/gif_writer.h"
#include "imageio/jpeg_writer.h"
#include "imageio/png_writer.h"

TIOWriterTable& Writers() {
    static TIOWriterTable table{
        // JPEG
        WriteJpegWithMarkers,

        // PNG
        WritePngWithMask,

        // GIF
        WriteGifImage,

        // BMP: the table's signature has no alpha flag, so the entry reads it from the parameters.
        [](TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params, TIOProgressRecord& progress) {
            WriteBmp(stream, bitmap, params, params.BmpWriteAlpha != 0, progress);
        },
    };
    return table;
}
