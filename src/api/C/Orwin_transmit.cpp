// Placeholder: filled in by the work on this file.
#include "OrwinInternal.h"
ssize_t orw_send(ORW *, const void *, size_t, int) { return -1; }
int Orwin_sendPacket(Orwin, void *, size_t, size_t, uint32_t) { return -1; }
int Orwin_flush(Orwin) { return -1; }
