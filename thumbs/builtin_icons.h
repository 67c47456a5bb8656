// The program's own file-type icons, drawn in code so that no set-up, however bare, leaves a
// thumbnail blank.
#pragma once

#include "thumbs/file_types.h"
#include "thumbs/rgba_image.h"

// The icon of `kind` at size x size pixels (a sheet of paper with the type's emblem), straight
// alpha, transparent around the sheet. Thread safe: draws with QPainter on a QImage, no text.
TRgbaImage BuiltInIcon(TBuiltInIconKind kind, int size);
