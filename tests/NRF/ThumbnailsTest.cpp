// Tests of the bitmap, JPEG decoding and the thumbnail loaders: filled in with them.
