#pragma once

// The application's busy mark: set while any background operation that asks for it is running. The
// mark counts, so that one of two overlapping operations finishing does not clear it for the other.

void MarkAppBusy();
// Balances one MarkAppBusy(); more clears than marks leave the mark cleared.
void ClearAppBusy();
bool IsAppBusy();
