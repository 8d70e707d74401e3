// Placeholder: filled in by the work on this file.
#include "OrwinInternal.h"
void orw_log_packet(ORW *, int, const void *, size_t, int) {}
