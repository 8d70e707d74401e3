// SPDX-License-Identifier: MIT
// Orwin_dump.cpp - diagnostic dumps of the receive buffer and state.
#include "OrwinInternal.h"

extern "C" {

int Orwin_dump(Orwin handle, char *file_name, char * /*note*/)
{
    ORW *link = orw_link(handle);
    if (link->max_dumps <= 0)
        return 0;
    link->max_dumps--;
    FILE *f = file_name ? fopen(file_name, "a") : nullptr;
    if (f == nullptr)
        return orw_set_error(Error_RecFile_Open, "Couldn't open recording file");

    const ssize_t content = link->rx_buffer_content;
    const long ptr = link->rx_buffer_ptr;
    fprintf(f, "rx_buffer_content = #%zuX\n", static_cast<size_t>(content > 0 ? content : 0));
    fprintf(f, "rx_buffer_ptr = #%X \n", static_cast<unsigned>(link->rx_buffer_ptr));
    fputs("rx_buffer: ", f);
    // A window around the parse position: up to 128 bytes before it, on a
    // 16-byte boundary, and up to 255 after.
    long start = ptr - 128 > 0 ? ((ptr - 128) / 16) * 16 : 0;
    const long end = content < static_cast<ssize_t>(link->rx_buffer_length) ? content : static_cast<long>(link->rx_buffer_length);
    for (long i = start; link->rx_buffer && i < end && i <= ptr + 255; ++i) {
        if (i % 16 == 0)
            fprintf(f, "\n#%06lX: ", static_cast<unsigned long>(i));
        fprintf(f, "#%02X ", link->rx_buffer[i]);
    }
    fputs("\n\n-----------------------------------------------------\n\n", f);
    fflush(f);
    fclose(f);
    return 0;
}

void Orwin_dump_max(Orwin link, int dump_max) { orw_link(link)->max_dumps = dump_max; }

void Orwin_dump_status(Orwin handle)
{
    const ORW *link = orw_link(handle);
    fprintf(stderr, "STATE %d RXPARAM %d EXTN_CMD %d EXTN BYTE %d COUNT %u\n", link->rx_state, link->rx_param,
            link->extn_cmd, link->extn_byte, static_cast<unsigned>(link->rx_count));
    const size_t content = link->rx_buffer_content > 0 ? static_cast<size_t>(link->rx_buffer_content) : 0;
    fprintf(stderr, "PTR %d TOTAL DATA %zu\n", link->rx_buffer_ptr, content);
    for (size_t i = 0; link->rx_buffer && i < content && i < link->rx_buffer_length; ++i)
        fprintf(stderr, "%zu = %02x\n", i, link->rx_buffer[i]);
}

} // extern "C"
