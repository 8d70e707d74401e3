/* SPDX-License-Identifier: MIT */
/* Proves the public headers compile and link as plain C. */
#include "Orwin.h"
#include "Orwin_Platform.h"

#include <stdio.h>
#include <string.h>

int main(void)
{
    const char *version = Orwin_get_version();
    uint32_t flags = 0;
    ORW_CB_INFO info;
    memset(&info, 0, sizeof info);
    (void)flags;
    if (Orwin_get_error() != 0)
        return 1;
    if (Orwin_open_file("-/nonexistent/file/for/c/test") != NULL)
        return 1;
    if (strcmp(Orwin_pkttype_to_str(Orwin_EOP), "Orwin_EOP") != 0)
        return 1;
    /* The exported register helpers are declared for C callers. */
    {
        int (*read_bytes)(Orwin, int, void *, int) = ram_io_read_bytes;
        int (*get_int)(Orwin, int, int) = ram_io_get_int;
        if (read_bytes == NULL || get_int == NULL)
            return 1;
    }
    /* The capture functions answer 1 for a name that has no capture. */
    {
        char file[8320];
        if (Orwin_Capture_File("no capture", 0, file) != 1 || file[0] != '\0')
            return 1;
        if (Orwin_Stop_Capture("no capture") != 1 || Orwin_Close_Capture("no capture") != 1)
            return 1;
    }
    printf("%s\n", version);
    return 0;
}
