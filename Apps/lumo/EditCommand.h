#pragma once

// The rotation arithmetic behind `lumo rotate`. A rotation code holds in bits 0-1 the quarter turns
// clockwise that show the stored picture upright and in bit 2 whether it is mirrored (left-right,
// before turning).

enum class RotateAction { Clockwise, CounterClockwise, MirrorHorizontal, MirrorVertical };

// The code that shows the picture as the user sees it under `code`, changed by `action`.
int rotatedCode(int code, RotateAction action);
// The EXIF Orientation (1..8) for a rotation code (0..7).
int exifOrientationForCode(int code);
// The rotation code for an EXIF Orientation (1..8); -1 for any other value.
int codeForExifOrientation(int orientation);
