// Placeholder: filled in by the work on this file.
#include "OrwinInternal.h"
