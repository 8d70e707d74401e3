// Thread-local error reporting shared by every function of the C interface.
#include "OrwinInternal.h"

namespace {
thread_local int last_error_code = 0;
thread_local const char *last_error_text = nullptr;
} // namespace

int orw_set_error(int code, const char *text)
{
    if (code == 0)
        code = Error_Not_Known;
    last_error_code = code;
    last_error_text = text;
    return code;
}

extern "C" int Orwin_get_error(void) { return last_error_code; }

extern "C" char *Orwin_get_error_text(void) { return const_cast<char *>(last_error_text); }

void orw_restore_error(int code, const char *text)
{
    last_error_code = code;
    last_error_text = text;
}
