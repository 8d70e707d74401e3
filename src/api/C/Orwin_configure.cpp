// Unit configuration: each generic command dispatches on the unit family.
#include "OrwinInternal.h"

#define ORWIN_DISPATCH(link, tor_call, vex_call)                                              \
    switch (orw_link(link)->system_type) {                                                    \
    case SYSTEM_TYPE_Tor:                                                                     \
        return tor_call;                                                                      \
    case SYSTEM_TYPE_Vex:                                                                     \
        return vex_call;                                                                      \
    default:                                                                                  \
        return orw_set_error(Error_Unknown_System_Type, "System type not correct");         \
    }

extern "C" {

int Orwin_set_active_link(Orwin link, int n)
{
    ORWIN_DISPATCH(link, Orwin_set_active_link_Tor(link, n), Orwin_set_active_link_Vex(link, n))
}

int Orwin_set_mode(Orwin link, int mode)
{
    ORWIN_DISPATCH(link, Orwin_set_mode_Tor(link, mode), Orwin_set_mode_Vex(link, mode))
}

} // extern "C"
