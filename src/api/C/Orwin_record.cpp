// Placeholder: filled in by the work on this file.
#include "OrwinInternal.h"
int orw_record_received(ORW *, const unsigned char *, size_t) { return 0; }
