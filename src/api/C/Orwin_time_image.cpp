// Placeholder: filled in by the work on this file.
#include "OrwinInternal.h"
void orw_time_image_init(ORW *) {}
void orw_time_image_update(ORW *, int) {}
