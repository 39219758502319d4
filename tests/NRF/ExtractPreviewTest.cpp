// Tests of preview extraction and its EXIF segment: filled in with them.
